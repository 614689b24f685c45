// Alarms end to end: settings through InitSetting, rounds polled from the simulated unit over a
// pseudo-terminal, values written through the document address, and what each round publishes,
// evaluates, raises or clears, and saves.
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/value.h>

#include "runtime/vdevice_runtime.h"
#include "sim_fixture.h"

namespace {

namespace fs = std::filesystem;

const std::string kBreaker = "交流输出主空开状态";

// Settings in mode 1 read the model file below the working directory: the repository's own.
void InitFromSourceTree(DeviceProbe& d, int mode) {
    struct Cwd {
        fs::path old = fs::current_path();
        ~Cwd() { fs::current_path(old); }
    } restore;
    fs::current_path(SMD_SOURCE_DIR);
    Json::Value settings;
    settings["appSetting"]["b_mode"] = mode;
    d.InitSetting(settings);
}

// The document as a host holds it: by the address that code 803 hands out.
Json::Value* DocumentAddress(DeviceProbe& d) {
    unsigned char out[sizeof(void*)];
    int retLen = 0;
    EXPECT_EQ(d.DeviceIoControl(803, nullptr, 0, out, sizeof out, retLen), 0);
    Json::Value* doc = nullptr;
    std::memcpy(&doc, out, sizeof doc);
    return doc;
}

void SetValue(DeviceProbe& d, Json::Value* doc, const std::string& name, double v) {
    std::lock_guard<std::mutex> lock(d.valuesMutex_);
    (*doc)[name] = v;
}

void SetBreaker(SimRig& rig, uint8_t state) {
    rig.sim.WithUnit([&](rtmk48sim::UnitModel& u) { u.SetBreaker(state); });
}

// Runs one round and waits until it has been saved, not only published.
bool FullRound(SimRig& rig) {
    const std::size_t saved = rig.device.rec.Saved().size();
    return rig.RunRound() && SimRig::WaitFor([&] { return rig.device.rec.Saved().size() > saved; });
}

// The round's framework calls without the polling traffic.
std::vector<std::string> RoundCalls(const RecordingObserver& rec) {
    std::vector<std::string> out;
    for (const std::string& c : rec.Calls())
        if (c.rfind("write_pmbus_cmd", 0) != 0 && c.rfind("SendDelayData", 0) != 0)
            out.push_back(c);
    return out;
}

std::string Bool(int level, const std::string& name, const std::string& id,
                 const std::string& value, const std::string& text, bool state, int seq = 1) {
    return "CheckThresholdBool " + std::to_string(level) + "|" + name + "|" + id + "|" + value +
           "|" + text + "|" + (state ? "true" : "false") + "|" + std::to_string(seq);
}

std::vector<std::string> Events(const RecordingObserver& rec) {
    std::vector<std::string> out;
    for (const AlarmEvent& e : rec.Alarms())
        out.push_back((e.raised ? "raise " : "clear ") + e.alarmId + " " + e.value);
    return out;
}

// What was published is what was saved, in the observers and in the runtime's history.
void ExpectPublishedIsSaved(DeviceProbe& d) {
    const auto published = d.rec.Published();
    const auto saved = d.rec.Saved();
    ASSERT_EQ(published.size(), saved.size());
    EXPECT_EQ(published, saved);
    const auto history = VDeviceRuntime::Of(d).History();
    ASSERT_EQ(history.size(), saved.size());
    for (std::size_t i = 0; i < saved.size(); ++i) EXPECT_EQ(history[i].bytes, saved[i]);
}

TEST(AlarmE2E, ModeOneChecksAnalogSignalsAndTheBreaker) {
    SimRig rig;
    ASSERT_TRUE(rig.Ready()) << rig.error;
    DeviceProbe& d = rig.device;
    CaptureStdout out;
    InitFromSourceTree(d, 1);
    ASSERT_EQ(d.alarmSignalIdMap_.count(kBreaker), 1u) << "model file not read";
    Json::Value* doc = DocumentAddress(d);
    SetValue(d, doc, "交流输出电压", 230.5);
    SetValue(d, doc, "直流输出电压", 54.0);
    d.SetThresholdLimit("0416004011", 43.0f, 53.5f);
    SMDVDevice::BAOSetting period;  // under the alarm id: copied to the signal id on first use
    period.periodEnable = true;
    period.periodMinutes = 5.0f;
    d.aoSettingMap_["0416001011"] = period;
    SetBreaker(rig, 1);
    d.rec.Clear();

    ASSERT_TRUE(FullRound(rig));
    EXPECT_EQ(RoundCalls(d.rec), (std::vector<std::string>{
                                     "SendSP 5156 1550 false", "Reset",
                                     Bool(2, "0418001001", "0418001001", kBreaker, kBreaker, true),
                                     "CheckThreshold 0416001011 交流输出电压(V) 230.5 1",
                                     "CheckAOReport 0411001001 230.5",
                                     "CheckThreshold 0416004011 直流输出电压(V) 54 1",
                                     "DoBatchCheckThreshold 2", "SaveDeviceHistory 1550"}));
    EXPECT_NE(out.Text().find("rvSize is 2\n"), std::string::npos);
    EXPECT_EQ(d.rec.Published()[0][169], 1);
    EXPECT_TRUE(d.alarmChanged_);
    EXPECT_EQ(Events(d.rec), (std::vector<std::string>{"raise 0418001001 交流输出主空开状态",
                                                       "raise 0416004011 54"}));
    {
        std::lock_guard<std::mutex> lock(d.valuesMutex_);
        EXPECT_TRUE(doc->isMember("电池温度") && (*doc)["电池温度"].isNull())
            << "signals without a value are listed";
    }

    // Next round: breaker closed and the voltage back within its limits; no new analog report.
    SetBreaker(rig, 0);
    SetValue(d, doc, "直流输出电压", 53.0);
    ASSERT_TRUE(FullRound(rig));
    EXPECT_EQ(Events(d.rec), (std::vector<std::string>{
                                 "raise 0418001001 交流输出主空开状态", "raise 0416004011 54",
                                 "clear 0418001001 交流输出主空开状态", "clear 0416004011 53"}));
    EXPECT_EQ(d.rec.Calls("CheckAOReport").size(), 1u);
    EXPECT_EQ(d.rec.Published()[1][169], 0);
    ExpectPublishedIsSaved(d);
}

TEST(AlarmE2E, ModeThreeReportsOnlyTheBreakerKeptFromAnEarlierModelFile) {
    SimRig rig;
    ASSERT_TRUE(rig.Ready()) << rig.error;
    DeviceProbe& d = rig.device;
    CaptureStdout out;
    InitFromSourceTree(d, 1);
    InitFromSourceTree(d, 3);
    ASSERT_EQ(d.b_mode_, 3);
    Json::Value* doc = DocumentAddress(d);
    SetValue(d, doc, "直流输出电压", 60.0);
    d.SetThresholdLimit("0416004011", 43.0f, 53.5f);
    SetBreaker(rig, 0xFF);
    d.rec.Clear();

    ASSERT_TRUE(FullRound(rig));
    EXPECT_EQ(RoundCalls(d.rec), (std::vector<std::string>{
                                     "SendSP 5156 1550 false", "Reset",
                                     Bool(2, "0418001001", "0418001001", kBreaker, kBreaker, true),
                                     "DoBatchCheckThreshold 0", "SaveDeviceHistory 1550"}));
    EXPECT_NE(out.Text().find("rvSize is 0\n"), std::string::npos);
    EXPECT_EQ(Events(d.rec), std::vector<std::string>{"raise 0418001001 交流输出主空开状态"});
    ExpectPublishedIsSaved(d);
}

TEST(AlarmE2E, ModeFiveEvaluatesRuleTablesWithHysteresis) {
    SimRig rig;
    ASSERT_TRUE(rig.Ready()) << rig.error;
    DeviceProbe& d = rig.device;
    CaptureStdout out;
    Json::Value settings;
    settings["appSetting"]["b_mode"] = 5;
    Json::Value& rule = settings["thresholdSetting"]["r1"];
    rule["SignalName"] = "直流输出电压";
    rule["ID"] = "0416004";
    rule["UpValue"] = "57";
    rule["UpReconverValue"] = "56";
    rule["UpAlarmLevel"] = "2";
    rule["LowValue"] = 45;
    rule["LowReconverValue"] = 47;
    rule["LowAlarmLevel"] = 1;
    d.alarmSignalIdMap_[kBreaker] = "0418001001";  // never reported in this mode
    d.InitSetting(settings);
    Json::Value* doc = DocumentAddress(d);
    SetBreaker(rig, 1);
    d.rec.Clear();

    // One round per value: raise above, hold, clear at recovery, raise below.
    for (double v : {58.0, 56.5, 56.0, 44.0}) {
        SetValue(d, doc, "直流输出电压", v);
        ASSERT_TRUE(FullRound(rig)) << v;
    }
    const std::string name = "直流输出电压";
    EXPECT_EQ(d.rec.Calls("CheckThresholdBool"),
              (std::vector<std::string>{
                  Bool(2, name, "0416004001", "58", "当前值58高于阈值:57", true),
                  Bool(1, name, "0416004003", "58", "", false),
                  Bool(2, name, "0416004001", "56.5", "当前值56.5高于阈值:57", true),
                  Bool(1, name, "0416004003", "56.5", "", false),
                  Bool(2, name, "0416004001", "56", "", false),
                  Bool(1, name, "0416004003", "56", "", false),
                  Bool(2, name, "0416004001", "44", "", false),
                  Bool(1, name, "0416004003", "44", "当前值44低于阈值:45", true)}));
    EXPECT_EQ(Events(d.rec), (std::vector<std::string>{"raise 0416004001 58", "clear 0416004001 56",
                                                       "raise 0416004003 44"}));
    EXPECT_EQ(d.rec.Calls("SendSP").size(), 4u);
    EXPECT_EQ(d.rec.Calls("DoBatchCheckThreshold 0").size(), 4u);
    ExpectPublishedIsSaved(d);
}

}  // namespace
