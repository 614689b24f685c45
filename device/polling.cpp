// The polling sequence: 19 commands a round, each reply's INFO copied into its record block.
#include <algorithm>
#include <cstddef>
#include <cstring>

#include "device/rtmk48_pv05.h"

namespace {

struct Command {
    unsigned char cid1;
    unsigned char cid2;
    int infoCount;  // 0 or 1
    unsigned char info;
};

struct PollStep {
    Command command;     // the command whose reply this state expects
    std::size_t offset;  // record block the reply fills
    std::size_t size;
};

constexpr int kFirstState = 11;
constexpr int kLastState = 29;

// Row i is state 11 + i; the command of row i + 1 is sent after the reply of row i.
// clang-format off
constexpr PollStep kSequence[] = {
    //  CID1  CID2  INFO            offset  size   block
    {{0x40, 0x4D, 0, 0x00}, 4, 7},      // unit_time
    {{0x40, 0x51, 0, 0x00}, 11, 66},    // unit_info
    {{0x40, 0xE1, 0, 0x00}, 77, 62},    // ext_40_e1
    {{0x40, 0x42, 1, 0xFF}, 139, 24},   // analog_40
    {{0x40, 0x43, 1, 0xFF}, 163, 11},   // status_40
    {{0x40, 0x47, 0, 0x00}, 174, 21},   // param_40
    {{0x40, 0x81, 0, 0x00}, 195, 11},   // ext_40_81
    {{0x41, 0x42, 0, 0x00}, 206, 532},  // analog_41
    {{0x41, 0x43, 0, 0x00}, 738, 529},  // status_41
    {{0x42, 0x42, 0, 0x00}, 1267, 109}, // analog_42
    {{0x91, 0x42, 0, 0x00}, 1376, 8},   // analog_91
    {{0x91, 0x47, 0, 0x00}, 1384, 11},  // param_91
    {{0xD0, 0x42, 0, 0x00}, 1395, 12},  // analog_d0
    {{0xD0, 0x47, 0, 0x00}, 1407, 6},   // param_d0
    {{0x4A, 0x42, 1, 0x01}, 1413, 60},  // analog_4a
    {{0xD2, 0x42, 1, 0x01}, 1473, 39},  // analog_d2
    {{0xD4, 0x42, 0, 0x00}, 1512, 11},  // analog_d4
    {{0xD4, 0x43, 0, 0x00}, 1523, 10},  // status_d4
    {{0xD4, 0x47, 0, 0x00}, 1533, 10},  // param_d4
};
// clang-format on
static_assert(sizeof(kSequence) / sizeof(kSequence[0]) == kLastState - kFirstState + 1);
static_assert(kSequence[18].offset + kSequence[18].size ==
                  offsetof(RTMK48_PV05_Data_t, update_time),
              "the blocks lie end to end up to update_time");

constexpr bool BlocksAreContiguous() {
    std::size_t next = offsetof(RTMK48_PV05_Data_t, unit_time);
    for (const PollStep& step : kSequence) {
        if (step.offset != next) return false;
        next += step.size;
    }
    return true;
}
static_assert(BlocksAreContiguous());

constexpr bool IsControlState(int state) {
    return state == 100 || state == 102 || state == 106;
}

}  // namespace

int RTMK48_PV05::RefreshStatus() {
    SMDSPDevice::RefreshStatus();
    protocolState_ = kFirstState;
    const Command& first = kSequence[0].command;
    write_pmbus_cmd(first.cid1, first.cid2);
    return 1;
}

int RTMK48_PV05::process_payload() {
    const int state = protocolState_;
    if (state >= kFirstState && state <= kLastState) {
        const PollStep& step = kSequence[state - kFirstState];
        const std::size_t n = std::min<std::size_t>(currentReply_.infoLength / 2, step.size);
        std::memcpy(reinterpret_cast<unsigned char*>(&data_) + step.offset, currentReply_.info, n);
        if (state == kLastState) {
            RoundDone();
            return 0;
        }
        protocolState_ = state + 1;
        SendDelayData(500);
        const Command& next = kSequence[state + 1 - kFirstState].command;
        if (next.infoCount == 0) {
            write_pmbus_cmd(next.cid1, next.cid2);
        } else {
            write_pmbus_cmd(next.cid1, next.cid2, &next.info, next.infoCount);
        }
        return 1;
    }
    if (IsControlState(state)) {
        controlResult_ = 1;
        Reset();
        return 0;
    }
    return 1;
}
