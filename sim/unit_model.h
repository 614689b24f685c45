#pragma once
// The simulated RTMK48_PV05 unit without any I/O: a command frame in, a reply frame out.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <json/value.h>

#include "runtime/frame.h"

namespace rtmk48sim {

class UnitModel {
  public:
    static constexpr int kSteps = 19;
    struct Step {
        uint8_t cid1;
        uint8_t cid2;
        int infoCount;  // 0 or 1: the one INFO byte the command carries
        uint8_t info;
        std::size_t size;  // INFO bytes of the reply
    };
    // Step 1..kSteps of a polling round, in the order the host asks.
    static const Step& StepAt(int step);
    // The step that (cid1, cid2) names, 0 when none.
    static int StepOf(uint8_t cid1, uint8_t cid2);

    // Where the set-parameter command (0xD4, 0x49) puts its value in the reply to (0xD4, 0x47):
    // parameter 0x80 at bytes 0-1, 0x81 at bytes 2-3, high byte first.
    static constexpr std::size_t kParamOffset80 = 0;
    static constexpr std::size_t kParamOffset81 = 2;
    // The AC output main breaker: byte 6 of the reply to (0x40, 0x43, 0xFF).
    static constexpr std::size_t kBreakerByte = 6;

    UnitModel();

    uint8_t adr = 0x01;
    uint8_t ver = 0x20;

    // Scenario (JSON):
    //   { "adr": 1,
    //     "blocks":  { "40 4D": "07E80C08...", "40 43 FF": "..." },   // INFO of a reply, hex
    //     "breaker": 1,
    //     "rounds":  [ { "breaker": 0, "blocks": { ... } }, ... ] }  // [k] applies when round
    //                                                               // k + 1 begins
    // Blocks not named keep their default pattern. False (and `error`) on a bad scenario.
    bool LoadScenario(const Json::Value& scenario, std::string* error);

    const std::vector<uint8_t>& Block(int step) const { return blocks_[step - 1]; }
    void SetBlock(int step, std::vector<uint8_t> bytes) { blocks_[step - 1] = std::move(bytes); }
    void SetBreaker(uint8_t state);
    uint16_t Param(uint8_t which) const;
    // The record bytes 4..1542 a host holds after a clean round of the current blocks.
    std::vector<uint8_t> RecordBlocks() const;
    int RoundsBegun() const { return rounds_; }
    const std::vector<uint8_t>& RemoteCommands() const { return remote_; }  // 0x10 / 0x11

    // Answers a well-formed command frame. Returns the reply's RTN and fills `info`; sets
    // `step` to the polling step (0 for others). No reply for another address: returns -1.
    int Answer(const frame::Frame& cmd, std::vector<uint8_t>& info, int& step);

  private:
    bool ApplyBlocks(const Json::Value& blocks, std::string* error);
    void BeginRound();

    std::array<std::vector<uint8_t>, kSteps> blocks_;
    std::vector<Json::Value> roundPatches_;
    int rounds_ = 0;
    std::vector<uint8_t> remote_;
};

}  // namespace rtmk48sim
