#pragma once
// Named fault triggers, shared by the simulator, its program's --fault option and the tests.
#include <chrono>
#include <cstdint>
#include <string>

namespace rtmk48sim {

enum class Fault {
    kSilence,            // "silence": no reply at all
    kBadChecksum,        // "bad_chksum": CHKSUM off by one
    kBadLengthChecksum,  // "bad_lchksum": LCHKSUM wrong, CHKSUM consistent with it
    kRtnError,           // "rtn_error": RTN `rtn`, empty INFO
    kShortInfo,          // "short_info": INFO 3 bytes shorter than the block
    kLongInfo,           // "long_info": INFO 5 bytes longer than the block
    kGarbage,            // "garbage": noise bytes (never SOI) before the frame
    kSplit,              // "split": the reply in pieces with pauses between them
    kLate,               // "late": the reply after `SimOptions::lateBy`
    kNoise,              // "noise": no reply, noise bytes (never SOI) for `SimOptions::noiseFor`
    kTrickle,            // "trickle": the reply one byte every `SimOptions::tricklePause`
    kDuplicate,          // "duplicate": the reply twice, back to back
    kSoiNoise,           // "soi_noise": noise holding SOIs and a frame cut off, before the reply
    kEcho,               // "echo": the command back first, as a 2-wire adapter gives it
};
const char* to_string(Fault f);
bool ParseFault(const std::string& name, Fault& out);

struct FaultTrigger {
    Fault fault = Fault::kSilence;
    int step = 0;        // 1..19: the reply to that command of the polling round; 0: any reply
    int times = 1;       // replies it hits; -1: all of them
    uint8_t rtn = 0x06;  // for kRtnError
};

// "NAME", "NAME@STEP", "NAME@STEPxTIMES" (TIMES -1 or "*" for always). False on bad text.
bool ParseTrigger(const std::string& text, FaultTrigger& out);

}  // namespace rtmk48sim
