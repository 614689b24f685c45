// The AC output main breaker state: which modes report it, under which id, with which sequence.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "device_probe.h"

namespace {

const std::string kSignal = "交流输出主空开状态";

std::string Call(const std::string& id, bool state, int sequence) {
    return "CheckThresholdBool 2|" + id + "|" + id + "|" + kSignal + "|" + kSignal + "|" +
           (state ? "true" : "false") + "|" + std::to_string(sequence);
}

TEST(BreakerAlarm, ModesOneAndThreeReportTheByteAtOffset169) {
    for (int mode : {1, 3}) {
        DeviceProbe d;
        d.b_mode_ = mode;
        d.alarmSignalIdMap_[kSignal] = "0418001";
        std::vector<std::string> expected;
        for (unsigned char byte : {0x00, 0x01, 0xFF, 0x00}) {
            d.Bytes()[169] = byte;
            d.ruleSequence_ = 1;
            d.RunCheckThreshold();
            EXPECT_EQ(d.ruleSequence_, 2);
            expected.push_back(Call("0418001", byte != 0, 1));
        }
        // Neighbouring bytes of the switch-state block say nothing about the breaker.
        d.Bytes()[168] = d.Bytes()[170] = 0xFF;
        d.RunCheckThreshold();
        expected.push_back(Call("0418001", false, 2));
        EXPECT_EQ(d.rec.Calls(), expected) << "mode " << mode;
    }
}

TEST(BreakerAlarm, OtherModesAndMissingIdsMakeNoCall) {
    for (int mode : {0, 2, 4, 5, 7}) {
        DeviceProbe d;
        d.b_mode_ = mode;
        d.alarmSignalIdMap_[kSignal] = "0418001";
        d.Bytes()[169] = 1;
        d.ruleSequence_ = 1;
        d.RunCheckThreshold();
        EXPECT_TRUE(d.rec.Calls().empty()) << mode;
        EXPECT_EQ(d.ruleSequence_, 1) << mode;
    }
    DeviceProbe d;
    d.Bytes()[169] = 1;
    d.ruleSequence_ = 1;
    d.alarmSignalIdMap_["交流输出主空开"] = "0418001";
    d.RunCheckThreshold();
    EXPECT_EQ(d.alarmSignalIdMap_.count(kSignal), 0u) << "the lookup never inserts";
    d.alarmSignalIdMap_[kSignal] = "";
    d.RunCheckThreshold();
    EXPECT_TRUE(d.rec.Calls().empty());
    EXPECT_EQ(d.ruleSequence_, 1);
}

TEST(BreakerAlarm, SequenceWrapsAtSixteenBits) {
    DeviceProbe d;
    d.alarmSignalIdMap_[kSignal] = "A";
    d.ruleSequence_ = 65535;
    d.RunCheckThreshold();
    EXPECT_EQ(d.ruleSequence_, 0);
    EXPECT_EQ(d.rec.Calls(), std::vector<std::string>{Call("A", false, 65535)});
}

}  // namespace
