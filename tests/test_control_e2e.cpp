// Control requests against the simulated unit over a pseudo-terminal: the command reaches the
// unit, its answer turns the control result to 1, and the unit's (0xD4, 0x47) reply of the next
// round carries the new parameter.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <streambuf>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim_fixture.h"

namespace {

using rtmk48sim::UnitModel;

// Standard output is written by the driver's thread (round lines) and by the test's (request
// lines). Dropped here without shared state; set up before the rig, so it outlives the thread.
class QuietStdout : private std::streambuf {
  public:
    QuietStdout() : old_(std::cout.rdbuf(this)) {}
    ~QuietStdout() override { std::cout.rdbuf(old_); }

  private:
    int overflow(int c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
    std::streambuf* old_;
};

int Control(DeviceProbe& d, int code, const std::string& in, int32_t* answer = nullptr) {
    unsigned char out[4];
    int retLen = 0;
    const int result =
        d.DeviceIoControl(code, in.data(), static_cast<int>(in.size()), out, sizeof out, retLen);
    if (answer != nullptr) std::memcpy(answer, out, sizeof *answer);
    return result;
}

bool Answered(DeviceProbe& d) {
    return SimRig::WaitFor([&] { return d.controlResult_ == 1; });
}

size_t ParameterCommands(SimRig& rig) {
    const std::vector<std::string> log = rig.sim.CommandLog();
    return static_cast<size_t>(std::count(log.begin(), log.end(), "D4 49"));
}

TEST(ControlE2E, JsonParameterReachesTheUnitAndTheNextRound) {
    QuietStdout quiet;
    SimRig rig;
    ASSERT_TRUE(rig.Ready()) << rig.error;

    ASSERT_EQ(Control(rig.device, 310, R"({"signal_id":"D48101","SetValue":"500"})"), 0);
    ASSERT_TRUE(Answered(rig.device));
    int32_t result = 0;
    Control(rig.device, 7, "", &result);
    EXPECT_EQ(result, 1) << "the control result reports the answer";

    ASSERT_EQ(Control(rig.device, 310, R"({"signal_id":"D48001","SetValue":" -1 "})"), 0);
    ASSERT_TRUE(Answered(rig.device));
    uint16_t p80 = 0, p81 = 0;
    rig.sim.WithUnit([&](UnitModel& u) {
        p80 = u.Param(0x80);
        p81 = u.Param(0x81);
    });
    EXPECT_EQ(p80, 0xFFFF);
    EXPECT_EQ(p81, 500);

    ASSERT_TRUE(rig.RunRound());
    const uint8_t* param = rig.device.data_.param_d4;
    EXPECT_EQ(param[UnitModel::kParamOffset80], 0xFF);
    EXPECT_EQ(param[UnitModel::kParamOffset80 + 1], 0xFF);
    EXPECT_EQ(param[UnitModel::kParamOffset81], 0x01);
    EXPECT_EQ(param[UnitModel::kParamOffset81 + 1], 0xF4);
}

TEST(ControlE2E, RefusedValueNeverReachesTheUnit) {
    QuietStdout quiet;
    SimRig rig;
    ASSERT_TRUE(rig.Ready()) << rig.error;
    ASSERT_EQ(Control(rig.device, 310, R"({"signal_id":"D48001","SetValue":"321"})"), 0);
    ASSERT_TRUE(Answered(rig.device));
    ASSERT_TRUE(rig.RunRound());
    ASSERT_EQ(ParameterCommands(rig), 1u);

    for (const char* bad : {"\"12.7\"", "\"abc\"", "\"65536\"", "70000"}) {
        SCOPED_TRACE(bad);
        const std::string request = std::string(R"({"signal_id":"D48001","SetValue":)") + bad + "}";
        EXPECT_EQ(Control(rig.device, 310, request), -1);
        EXPECT_EQ(rig.device.controlResult_, -1);
    }
    // A round afterwards still polls normally and finds the earlier value on the unit.
    ASSERT_TRUE(rig.RunRound());
    EXPECT_EQ(ParameterCommands(rig), 1u);
    const uint8_t* param = rig.device.data_.param_d4;
    EXPECT_EQ(param[UnitModel::kParamOffset80] << 8 | param[UnitModel::kParamOffset80 + 1], 321);
}

TEST(ControlE2E, RemoteControlsBySignalIdInModes1And5) {
    QuietStdout quiet;
    SimRig rig;
    ASSERT_TRUE(rig.Ready()) << rig.error;

    ASSERT_EQ(Control(rig.device, 320, "D41101"), 0);  // mode 1: the bare id
    ASSERT_TRUE(Answered(rig.device));

    rig.device.b_mode_ = 5;  // settings belong to set-up; no round runs meanwhile
    ASSERT_EQ(Control(rig.device, 320, R"({"signal_id":"D41001"})"), 0);
    ASSERT_TRUE(Answered(rig.device));

    std::vector<uint8_t> remote;
    rig.sim.WithUnit([&](UnitModel& u) { remote = u.RemoteCommands(); });
    EXPECT_EQ(remote, (std::vector<uint8_t>{0x11, 0x10}));

    // Polling starts again from its first command after a control reply.
    ASSERT_TRUE(rig.RunRound());
}

}  // namespace
