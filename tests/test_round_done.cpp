// Round completion in each settings mode: what is published, evaluated, printed and saved, in
// which order, and where valuesMutex_ is held.
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "device_probe.h"

namespace {

const std::string kBreaker = "交流输出主空开状态";

std::string Bool(int level, const std::string& name, const std::string& id,
                 const std::string& value, const std::string& text, bool state, int seq = 1) {
    return "CheckThresholdBool " + std::to_string(level) + "|" + name + "|" + id + "|" + value +
           "|" + text + "|" + (state ? "true" : "false") + "|" + std::to_string(seq);
}

const std::string kBreakerCall = Bool(2, "0418001", "0418001", kBreaker, kBreaker, false);

// Notes, for each framework call, whether another thread could take valuesMutex_ just then.
class LockProbe : public HostObserver {
  public:
    explicit LockProbe(std::mutex& m) : m_(m) {}
    std::vector<std::string> seen;

    void OnSendSP(int, const unsigned char*, unsigned int, bool) override { Note("SendSP"); }
    void OnReset() override { Note("Reset"); }
    void OnCheckThreshold(const std::string&, const std::string&, float, int) override {
        Note("CheckThreshold");
    }
    void OnCheckThresholdBool(int, const std::string&, const std::string&, const std::string&,
                              const std::string&, bool, unsigned short) override {
        Note("CheckThresholdBool");
    }
    void OnCheckAOReport(const std::string&, float) override { Note("CheckAOReport"); }
    void OnDoBatchCheckThreshold(const std::vector<rule_value>&) override { Note("DoBatch"); }
    void OnSaveDeviceHistory(const unsigned char*, unsigned int) override { Note("Save"); }

  private:
    void Note(const char* what) {
        bool free = false;
        std::thread t([&] {
            if (m_.try_lock()) {
                free = true;
                m_.unlock();
            }
        });
        t.join();
        seen.push_back(std::string(what) + (free ? " free" : " held"));
    }
    std::mutex& m_;
};

class Thrower : public HostObserver {
  public:
    void OnCheckThreshold(const std::string&, const std::string&, float, int) override {
        throw std::runtime_error("host refused");
    }
    void OnCheckThresholdBool(int, const std::string&, const std::string&, const std::string&,
                              const std::string&, bool, unsigned short) override {
        throw std::runtime_error("host refused");
    }
};

bool MutexFree(std::mutex& m) {
    if (!m.try_lock()) return false;
    m.unlock();
    return true;
}

void FillModeOne(DeviceProbe& d) {
    d.b_mode_ = 1;
    d.alarmSignalIdMap_[kBreaker] = "0418001";
    d.aiSignalMap_["Ua"] = {"0123456789", "输出电压"};
    d.aiSignalMap_["Ub"] = {"01234", "Ub"};
    d.aiSignalMap_["Uc"] = {"012", "Uc"};
    d.aiSignalMap_["Ud"] = {"0120000000", "Ud"};
}

void FillRuleTables(DeviceProbe& d) {
    d.upRuleMap_["b"] = {"R2001", 60.0f, 55.0f, false, 2};
    d.upRuleMap_["a"] = {"R1001", 40.0f, 30.0f, false, 2};
    d.up2RuleMap_["a"] = {"R1002", 45.0f, 30.0f, false, 3};
    d.lowRuleMap_["a"] = {"R1003", 40.0f, 45.0f, false, 2};
    d.lowRuleMap_["c"] = {"R3003", 40.0f, 45.0f, false, 2};
    d.low2RuleMap_["a"] = {"R1004", 60.0f, 65.0f, false, 3};
}

TEST(RoundDone, ModeOneEvaluatesEachAnalogSignalUnderItsAlarmId) {
    DeviceProbe d;
    FillModeOne(d);
    d.signalValues_["Ua"] = 230.5;
    d.signalValues_["Ub"] = 12;
    d.signalValues_["Uc"] = 1.5;
    // A report setting only under the alarm id: the signal id takes a copy and reports at once.
    SMDVDevice::BAOSetting period;
    period.periodEnable = true;
    period.periodMinutes = 5.0f;
    d.aoSettingMap_["0126456719"] = period;

    CaptureStdout out;
    // The queue's size is printed before the history save, not after it.
    struct PrintedBeforeSave : HostObserver {
        const CaptureStdout* out = nullptr;
        std::string text;
        void OnSaveDeviceHistory(const unsigned char*, unsigned int) override {
            text = out->Text();
        }
    } atSave;
    atSave.out = &out;
    d.AddObserver(&atSave);
    d.RoundDone();
    d.RemoveObserver(&atSave);

    EXPECT_EQ(out.Text(), "rvSize is 3\n");
    EXPECT_EQ(atSave.text, "rvSize is 3\n");
    EXPECT_EQ(d.rec.Calls(),
              (std::vector<std::string>{
                  "SendSP 5156 1550 false", "Reset", kBreakerCall,
                  "CheckThreshold 0126456719 输出电压 230.5 1", "CheckAOReport 0123456789 230.5",
                  "CheckThreshold 01264 Ub 12 1", "CheckThreshold 012 Uc 1.5 1",
                  "DoBatchCheckThreshold 3", "SaveDeviceHistory 1550"}));
    EXPECT_TRUE(d.signalValues_.isMember("Ud"));
    EXPECT_TRUE(d.signalValues_["Ud"].isNull());
    EXPECT_TRUE(d.pendingRules_.empty());
    EXPECT_EQ(d.ruleSequence_, 2);
    EXPECT_FLOAT_EQ(d.aoSettingMap_.at("0123456789").lastValue, 230.5f);

    // Published before the checks and saved after them, with the same stamped bytes.
    ASSERT_EQ(d.rec.Published().size(), 1u);
    EXPECT_EQ(d.rec.Published()[0], d.rec.Saved()[0]);
    const ttime stamp = get_ttime(d.lastUpdate_.load());
    EXPECT_EQ(std::memcmp(d.Bytes() + 1543, &stamp, 7), 0);
}

TEST(RoundDone, ModeOneWithoutValuesListsEverySignalAsNull) {
    DeviceProbe d;
    FillModeOne(d);
    // A report setting that would report Ua at once, had it a value.
    SMDVDevice::BAOSetting period;
    period.periodEnable = true;
    period.periodMinutes = 5.0f;
    d.aoSettingMap_["0126456719"] = period;
    CaptureStdout out;
    d.RoundDone();
    ASSERT_TRUE(d.signalValues_.isObject());
    EXPECT_EQ(d.signalValues_.getMemberNames(), (std::vector<std::string>{"Ua", "Ub", "Uc", "Ud"}));
    EXPECT_TRUE(d.rec.Calls("CheckThreshold ").empty());
    EXPECT_TRUE(d.rec.Calls("CheckAOReport").empty());
    EXPECT_EQ(out.Text(), "rvSize is 0\n");
}

// A value that cannot be read as a number is passed over; the round still completes and saves.
TEST(RoundDone, ModeOneSkipsValuesThatAreNotNumbers) {
    DeviceProbe d;
    FillModeOne(d);
    d.signalValues_["Ua"] = "230.5";
    d.signalValues_["Ub"] = Json::Value(Json::arrayValue);
    d.signalValues_["Uc"] = 7;
    d.signalValues_["Ud"] = true;  // a boolean reads as the number 1
    CaptureStdout out;
    d.RoundDone();
    EXPECT_EQ(d.rec.Calls("CheckThreshold "),
              (std::vector<std::string>{"CheckThreshold 012 Uc 7 1",
                                        "CheckThreshold 0126000010 Ud 1 1"}));
    EXPECT_EQ(d.rec.Calls("SaveDeviceHistory").size(), 1u);
    EXPECT_TRUE(d.pendingRules_.empty());
}

TEST(RoundDone, ModeFiveEvaluatesTheFourTablesInOrder) {
    DeviceProbe d;
    d.b_mode_ = 5;
    d.alarmSignalIdMap_[kBreaker] = "0418001";  // never reported in this mode
    d.aiSignalMap_["Ua"] = {"0123456789", "Ua"};
    FillRuleTables(d);
    d.signalValues_["a"] = 50;
    d.signalValues_["b"] = 50;

    CaptureStdout out;
    d.RoundDone();

    EXPECT_EQ(out.Text(), "rvSize is 0\n");
    EXPECT_EQ(d.rec.Calls(),
              (std::vector<std::string>{"SendSP 5156 1550 false", "Reset",
                                        Bool(2, "a", "R1001", "50", "当前值50高于阈值:40", true),
                                        Bool(2, "b", "R2001", "50", "", false),
                                        Bool(3, "a", "R1002", "50", "当前值50高于阈值:45", true),
                                        Bool(2, "a", "R1003", "50", "", false),
                                        Bool(3, "a", "R1004", "50", "当前值50低于阈值:60", true),
                                        "DoBatchCheckThreshold 0", "SaveDeviceHistory 1550"}));
    EXPECT_EQ(d.ruleSequence_, 1);
    EXPECT_FALSE(d.signalValues_.isMember("Ua")) << "the analog path does not run";
}

TEST(RoundDone, OtherModesOnlyPublishReportTheBreakerAndSave) {
    for (int mode : {3, 0, 4}) {
        DeviceProbe d;
        FillModeOne(d);
        FillRuleTables(d);
        d.b_mode_ = mode;
        d.pendingRules_.push_back(rule_value{"X", "X", 1.0f, 1, false, ""});

        CaptureStdout out;
        d.RoundDone();

        EXPECT_EQ(out.Text(), "rvSize is 1\n") << mode;
        std::vector<std::string> expected{"SendSP 5156 1550 false", "Reset"};
        if (mode == 3) expected.push_back(kBreakerCall);
        expected.push_back("DoBatchCheckThreshold 1");
        expected.push_back("SaveDeviceHistory 1550");
        EXPECT_EQ(d.rec.Calls(), expected) << mode;
        EXPECT_TRUE(d.pendingRules_.empty());
        EXPECT_TRUE(d.signalValues_.isNull());
    }
}

TEST(RoundDone, ValuesMutexIsHeldOnlyAroundTheEvaluation) {
    for (int mode : {1, 5}) {
        DeviceProbe d;
        FillModeOne(d);
        FillRuleTables(d);
        d.b_mode_ = mode;
        d.signalValues_["Uc"] = 1;
        d.signalValues_["a"] = 1;
        SMDVDevice::BAOSetting period;
        period.periodEnable = true;
        d.aoSettingMap_["012"] = period;
        LockProbe probe(d.valuesMutex_);
        d.AddObserver(&probe);
        CaptureStdout out;
        d.RoundDone();
        d.RemoveObserver(&probe);

        std::vector<std::string> expected{"SendSP free", "Reset free"};
        if (mode == 1) {
            expected.insert(expected.end(), {"CheckThresholdBool free", "CheckThreshold held",
                                             "CheckAOReport held"});
        } else {
            expected.insert(expected.end(), 4, "CheckThresholdBool held");
        }
        expected.insert(expected.end(), {"DoBatch free", "Save free"});
        EXPECT_EQ(probe.seen, expected) << "mode " << mode;
    }
}

TEST(RoundDone, AnExceptionFromTheHostReleasesTheMutex) {
    for (int mode : {1, 5}) {
        DeviceProbe d;
        FillModeOne(d);
        d.alarmSignalIdMap_.clear();
        FillRuleTables(d);
        d.b_mode_ = mode;
        d.signalValues_["Ua"] = 1;
        d.signalValues_["a"] = 1;
        Thrower thrower;
        d.AddObserver(&thrower);
        CaptureStdout out;
        EXPECT_THROW(d.RoundDone(), std::runtime_error) << mode;
        d.RemoveObserver(&thrower);

        EXPECT_TRUE(MutexFree(d.valuesMutex_)) << mode;
        EXPECT_TRUE(d.dataReady_);
        EXPECT_EQ(d.rec.Calls("SendSP").size(), 1u);
        EXPECT_TRUE(d.rec.Calls("SaveDeviceHistory").empty());
        EXPECT_EQ(out.Text(), "");

        d.rec.Clear();
        d.RoundDone();  // the next round runs normally
        EXPECT_EQ(d.rec.Calls("SaveDeviceHistory").size(), 1u);
    }
}

TEST(RoundDone, AlarmChangedMarksARoundThatChangedAnAlarm) {
    DeviceProbe d;
    FillModeOne(d);
    d.signalValues_["Ub"] = 12;
    d.SetThresholdLimit("01264", 0.0f, 10.0f);
    CaptureStdout out;

    d.RoundDone();  // Ub above its host limit: raised through the batch
    EXPECT_TRUE(d.alarmChanged_);
    d.RoundDone();
    EXPECT_FALSE(d.alarmChanged_);
    d.Bytes()[169] = 1;  // the breaker opens: raised through CheckThresholdBool
    d.RoundDone();
    EXPECT_TRUE(d.alarmChanged_);
    d.RoundDone();
    EXPECT_FALSE(d.alarmChanged_);
    EXPECT_EQ(d.rec.Alarms().size(), 2u);
}

TEST(RoundDone, TheLastPollingReplyCompletesTheRound) {
    DeviceProbe d;
    d.b_mode_ = 5;
    FillRuleTables(d);
    d.signalValues_["a"] = 50;
    d.protocolState_ = 29;
    CaptureStdout out;
    EXPECT_EQ(d.Reply(std::string(10, '\x5A')), 0);

    EXPECT_EQ(out.Text(), "rvSize is 0\n");
    EXPECT_TRUE(d.rec.Calls("write_pmbus_cmd").empty());
    EXPECT_EQ(d.rec.Calls("CheckThresholdBool").size(), 4u);
    ASSERT_EQ(d.rec.Published().size(), 1u);
    EXPECT_EQ(d.rec.Published()[0][1533], 0x5A);
    EXPECT_EQ(d.rec.Published()[0][1542], 0x5A);
    EXPECT_EQ(d.protocolState_, 29);
}

TEST(RoundDone, ACachedRecordRunsOneFullCompletion) {
    DeviceProbe d;
    d.b_mode_ = 5;
    FillRuleTables(d);
    d.signalValues_["a"] = 50;
    std::vector<unsigned char> cached(1550, 0x11);
    CaptureStdout out;
    ASSERT_EQ(d.LoadFromCache(cached.data(), 1550), 1);

    EXPECT_EQ(out.Text(), "rvSize is 0\n");
    EXPECT_EQ(d.rec.Calls("SendSP").size(), 1u);
    EXPECT_EQ(d.rec.Calls("CheckThresholdBool").size(), 4u);
    EXPECT_EQ(d.rec.Calls("SaveDeviceHistory").size(), 1u);
    EXPECT_EQ(d.rec.Saved()[0][100], 0x11);
}

}  // namespace
