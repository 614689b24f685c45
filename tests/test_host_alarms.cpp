// The host runtime's alarm handling: state by alarm id, events only on a change, host-side limits,
// analog reports and the in-memory history.
#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/date_time/posix_time/posix_time.hpp>

#include "device_probe.h"
#include "runtime/vdevice_runtime.h"

namespace {

using boost::posix_time::ptime;

ptime FixedTime() {
    return ptime(boost::gregorian::date(2026, 12, 8), boost::posix_time::time_duration(15, 4, 9));
}

struct ReportObserver : HostObserver {
    struct Report {
        std::string id;
        float value;
        ptime time;
    };
    std::vector<Report> reports;
    void OnAnalogReport(const std::string& id, float value, const ptime& time) override {
        reports.push_back({id, value, time});
    }
};

class HostAlarms : public ::testing::Test {
  protected:
    HostAlarms() { VDeviceRuntime::Of(d).clock = &FixedTime; }
    void Bool(const std::string& id, bool state, const std::string& text = "") {
        d.CheckThresholdBool(3, "name", id, "57", text, state, 1);
    }
    DeviceProbe d;
};

TEST_F(HostAlarms, BooleanAlarmRaisesAndClearsOnlyOnAChange) {
    Bool("A", false);  // never seen counts as cleared: no event
    Bool("A", true, "当前值57高于阈值:55");
    Bool("A", true, "当前值57高于阈值:55");
    Bool("B", true, "other");
    Bool("A", false);
    Bool("A", false);

    EXPECT_EQ(d.rec.Calls("CheckThresholdBool").size(), 6u) << "every call is still observed";
    const auto alarms = d.rec.Alarms();
    ASSERT_EQ(alarms.size(), 3u);
    EXPECT_EQ(alarms[0].level, 3);
    EXPECT_EQ(alarms[0].alarmId, "A");
    EXPECT_EQ(alarms[0].name, "name");
    EXPECT_EQ(alarms[0].value, "57");
    EXPECT_EQ(alarms[0].text, "当前值57高于阈值:55");
    EXPECT_TRUE(alarms[0].raised);
    EXPECT_EQ(alarms[0].time, FixedTime());
    EXPECT_EQ(alarms[1].alarmId, "B");
    EXPECT_EQ(alarms[2].alarmId, "A");
    EXPECT_FALSE(alarms[2].raised);
    EXPECT_FALSE(d.AlarmActive("A"));
    EXPECT_TRUE(d.AlarmActive("B"));
    EXPECT_FALSE(d.AlarmActive("never"));
}

TEST_F(HostAlarms, ThresholdQueuesOneResultPerCallAgainstTheHostLimits) {
    d.SetThresholdLimit("V", 42.0f, 55.0f);
    for (float v : {55.0f, 56.7f, 42.0f, 41.2f, std::nanf("")}) d.CheckThreshold("V", "电压", v, 1);
    d.CheckThreshold("free", "无限值", 1e9f, 1);

    ASSERT_EQ(d.pendingRules_.size(), 6u);
    std::vector<bool> active;
    for (const rule_value& r : d.pendingRules_) active.push_back(r.active);
    EXPECT_EQ(active, (std::vector<bool>{false, true, false, true, false, false}));
    EXPECT_EQ(d.pendingRules_[1].text, "当前值56.7000008高于阈值:55");
    EXPECT_EQ(d.pendingRules_[3].text, "当前值41.2000008低于阈值:42");
    EXPECT_EQ(d.pendingRules_[0].text, "");
    EXPECT_EQ(d.pendingRules_[1].alarmId, "V");
    EXPECT_EQ(d.pendingRules_[1].name, "电压");
    EXPECT_EQ(d.pendingRules_[1].level, 1);
    EXPECT_TRUE(d.rec.Alarms().empty()) << "events come from the batch, not the check";
}

TEST_F(HostAlarms, BatchRaisesAndClearsOnlyOnAChange) {
    std::vector<rule_value> batch{{"V", "电压", 56.5f, 1, true, "当前值56.5高于阈值:55"},
                                  {"W", "电流", 3.0f, 2, false, ""}};
    EXPECT_TRUE(d.DoBatchCheckThreshold(batch));
    EXPECT_FALSE(d.DoBatchCheckThreshold(batch));
    batch[0].active = false;
    batch[0].value = 50.0f;
    EXPECT_TRUE(d.DoBatchCheckThreshold(batch));
    EXPECT_FALSE(d.DoBatchCheckThreshold({}));

    EXPECT_EQ(d.rec.Calls("DoBatchCheckThreshold").size(), 4u);
    const auto alarms = d.rec.Alarms();
    ASSERT_EQ(alarms.size(), 2u);
    EXPECT_TRUE(alarms[0].raised);
    EXPECT_EQ(alarms[0].alarmId, "V");
    EXPECT_EQ(alarms[0].value, "56.5");
    EXPECT_EQ(alarms[0].level, 1);
    EXPECT_EQ(alarms[0].time, FixedTime());
    EXPECT_FALSE(alarms[1].raised);
    EXPECT_EQ(alarms[1].value, "50");
}

TEST_F(HostAlarms, AnalogReportsReachTheObserversWithTheirTime) {
    ReportObserver reports;
    d.AddObserver(&reports);
    d.SMDVDevice::CheckAOReport("0123456789", 230.5f);
    d.RemoveObserver(&reports);
    EXPECT_EQ(d.rec.Calls(), std::vector<std::string>{"CheckAOReport 0123456789 230.5"});
    ASSERT_EQ(reports.reports.size(), 1u);
    EXPECT_EQ(reports.reports[0].id, "0123456789");
    EXPECT_FLOAT_EQ(reports.reports[0].value, 230.5f);
    EXPECT_EQ(reports.reports[0].time, FixedTime());
}

TEST_F(HostAlarms, HistoryKeepsTheNewestRecords) {
    const std::size_t depth = VDeviceRuntime::kHistoryDepth;
    for (std::size_t i = 0; i < depth + 3; ++i) {
        const unsigned char b[2] = {static_cast<unsigned char>(i),
                                    static_cast<unsigned char>(i >> 8)};
        d.SaveDeviceHistory(b, 2);
    }
    const auto history = VDeviceRuntime::Of(d).History();
    ASSERT_EQ(history.size(), depth);
    EXPECT_EQ(history.front().bytes, (std::vector<unsigned char>{3, 0}));
    const std::size_t last = depth + 2;
    EXPECT_EQ(history.back().bytes,
              (std::vector<unsigned char>{static_cast<unsigned char>(last),
                                          static_cast<unsigned char>(last >> 8)}));
    EXPECT_EQ(history.back().time, FixedTime());
}

}  // namespace
