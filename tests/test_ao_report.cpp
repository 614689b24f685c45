// Analog-output reports: the fallback copy, the bands, the period, and the state after a report.
#include <ctime>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "alarm/ao_report.h"
#include "device_probe.h"

namespace {

using Setting = SMDVDevice::BAOSetting;

Setting Abs(float last, float delta) {
    Setting s;
    s.absEnable = true;
    s.absDelta = delta;
    s.lastValue = last;
    return s;
}

Setting Pct(float last, float delta) {
    Setting s;
    s.pctEnable = true;
    s.pctDelta = delta;
    s.lastValue = last;
    return s;
}

TEST(AOReport, NoSettingUnderEitherIdReportsNothingAndAddsNothing) {
    DeviceProbe d;
    EXPECT_FALSE(d.CheckAOReport("fb", "sig", 1.0f));
    d.aoSettingMap_["other"] = Abs(0, 0);
    EXPECT_FALSE(d.CheckAOReport("fb", "sig", 100.0f));
    EXPECT_EQ(d.aoSettingMap_.size(), 1u);
    EXPECT_TRUE(d.rec.Calls().empty());
}

TEST(AOReport, FallbackSettingIsCopiedOnceAndEvaluatedInTheSameCall) {
    DeviceProbe d;
    Setting fb = Abs(10, 2);
    fb.lastTime = 123;
    d.aoSettingMap_["fb"] = fb;

    EXPECT_FALSE(d.CheckAOReport("fb", "sig", 11.0f));
    ASSERT_EQ(d.aoSettingMap_.count("sig"), 1u);
    EXPECT_EQ(d.aoSettingMap_.at("sig").lastTime, 123u) << "the whole setting is copied";
    EXPECT_FLOAT_EQ(d.aoSettingMap_.at("sig").absDelta, 2.0f);

    // The copy is the signal's own: a later change of the fallback does not reach it.
    d.aoSettingMap_["fb"].absDelta = 100.0f;
    EXPECT_TRUE(d.CheckAOReport("fb", "sig", 13.0f));
    EXPECT_EQ(d.rec.Calls(), std::vector<std::string>{"CheckAOReport sig 13"})
        << "reported under the signal id, never the fallback";
    EXPECT_FLOAT_EQ(d.aoSettingMap_.at("fb").lastValue, 10.0f);
}

TEST(AOReport, AbsoluteBandIsStrict) {
    const Setting s = Abs(10, 2);
    EXPECT_FALSE(AOReportDue(s, 12.0f, 0));
    EXPECT_FALSE(AOReportDue(s, 8.0f, 0));
    EXPECT_TRUE(AOReportDue(s, 12.5f, 0));
    EXPECT_TRUE(AOReportDue(s, 7.5f, 0));
    Setting off = s;
    off.absEnable = false;
    EXPECT_FALSE(AOReportDue(off, 1000.0f, 0));
}

TEST(AOReport, PercentageBandIsStrict) {
    const Setting s = Pct(200, 10);
    EXPECT_FALSE(AOReportDue(s, 220.0f, 0));
    EXPECT_FALSE(AOReportDue(s, 180.0f, 0));
    EXPECT_TRUE(AOReportDue(s, 221.0f, 0));
    EXPECT_TRUE(AOReportDue(s, 179.0f, 0));

    const Setting zero = Pct(0, 10);
    EXPECT_FALSE(AOReportDue(zero, 0.0f, 0));
    EXPECT_TRUE(AOReportDue(zero, 0.001f, 0));
    EXPECT_TRUE(AOReportDue(zero, -0.001f, 0));
}

// Below zero the band is measured from the magnitude of the last value, not turned inside out.
TEST(AOReport, PercentageBandAroundANegativeLastValue) {
    const Setting s = Pct(-200, 10);
    EXPECT_FALSE(AOReportDue(s, -200.0f, 0));
    EXPECT_FALSE(AOReportDue(s, -220.0f, 0));
    EXPECT_FALSE(AOReportDue(s, -180.0f, 0));
    EXPECT_TRUE(AOReportDue(s, -221.0f, 0));
    EXPECT_TRUE(AOReportDue(s, -179.0f, 0));

    DeviceProbe d;
    d.aoSettingMap_["sig"] = s;
    for (int round = 0; round < 3; ++round) d.CheckAOReport("", "sig", -205.0f);
    EXPECT_TRUE(d.rec.Calls().empty()) << "a steady negative reading is not reported every round";
}

// Counted to the second, also at present-day epoch times where a float steps by 128 s.
TEST(AOReport, PeriodExpiresToTheSecond) {
    Setting s;
    s.periodEnable = true;
    s.periodMinutes = 1.0f;
    s.lastTime = 1765000000u;
    EXPECT_FALSE(AOReportDue(s, 0.0f, 1765000000 + 59));
    EXPECT_FALSE(AOReportDue(s, 0.0f, 1765000000 + 60));
    EXPECT_TRUE(AOReportDue(s, 0.0f, 1765000000 + 61));

    s.lastTime = 0;
    EXPECT_TRUE(AOReportDue(s, 0.0f, 1765000000));
    s.periodEnable = false;
    EXPECT_FALSE(AOReportDue(s, 0.0f, 1765000000));
}

TEST(AOReport, PeriodThroughTheDeviceClock) {
    DeviceProbe d;
    Setting s;
    s.periodEnable = true;
    s.periodMinutes = 1.0f;
    s.lastTime = static_cast<uint32_t>(std::time(nullptr) - 30);
    d.aoSettingMap_["sig"] = s;
    EXPECT_FALSE(d.CheckAOReport("", "sig", 5.0f));

    d.aoSettingMap_["sig"].lastTime = static_cast<uint32_t>(std::time(nullptr) - 61);
    const std::time_t before = std::time(nullptr);
    EXPECT_TRUE(d.CheckAOReport("", "sig", 5.0f));
    EXPECT_GE(d.aoSettingMap_.at("sig").lastTime, before);
    EXPECT_LE(d.aoSettingMap_.at("sig").lastTime, std::time(nullptr));
}

TEST(AOReport, AfterAReportTheBandCentresOnTheReportedValue) {
    DeviceProbe d;
    Setting s = Abs(10, 2);
    s.periodEnable = true;
    s.periodMinutes = 60.0f;
    s.lastTime = static_cast<uint32_t>(std::time(nullptr));
    d.aoSettingMap_["sig"] = s;

    // A slow drift reports once its total leaves the band, not step by step.
    EXPECT_FALSE(d.CheckAOReport("", "sig", 11.0f));
    EXPECT_FALSE(d.CheckAOReport("", "sig", 12.0f));
    EXPECT_TRUE(d.CheckAOReport("", "sig", 12.5f));
    EXPECT_FLOAT_EQ(d.aoSettingMap_.at("sig").lastValue, 12.5f);
    EXPECT_FALSE(d.CheckAOReport("", "sig", 14.0f));
    EXPECT_FALSE(d.CheckAOReport("", "sig", 11.0f));
    EXPECT_TRUE(d.CheckAOReport("", "sig", 10.0f));
    EXPECT_EQ(d.rec.Calls(),
              (std::vector<std::string>{"CheckAOReport sig 12.5", "CheckAOReport sig 10"}));
}

}  // namespace
