// The real device code in the real runtime, over a pseudo-terminal to the simulated unit.
#include <chrono>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "sim_fixture.h"

namespace {

using rtmk48sim::Fault;
using rtmk48sim::FaultTrigger;
using rtmk48sim::UnitModel;

std::vector<uint8_t> UnitBlocks(rtmk48sim::Simulator& sim) {
    std::vector<uint8_t> out;
    sim.WithUnit([&](UnitModel& u) { out = u.RecordBlocks(); });
    return out;
}

std::vector<uint8_t> DeviceBlocks(DeviceProbe& d) {
    return std::vector<uint8_t>(d.Bytes() + 4, d.Bytes() + 1543);
}

TEST(SerialSimE2E, FullRoundCopiesEveryReplyByteForByte) {
    SimRig rig;
    ASSERT_TRUE(rig.Ready()) << rig.error;
    CaptureStdout quiet;
    ASSERT_TRUE(rig.RunRound());
    EXPECT_EQ(DeviceBlocks(rig.device), UnitBlocks(rig.sim));
    const auto published = rig.device.rec.Published();
    ASSERT_EQ(published.size(), 1u);
    EXPECT_EQ(std::vector<uint8_t>(published[0].begin() + 4, published[0].begin() + 1543),
              UnitBlocks(rig.sim));
    EXPECT_EQ(rig.sim.CommandLog().size(), 19u);
    EXPECT_EQ(rig.driver->Replies(), 19u);
    EXPECT_EQ(rig.driver->TotalErrors(), 0u);
}

}  // namespace
