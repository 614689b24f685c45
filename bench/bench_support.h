#pragma once
// What the benchmarks share: a device with its protected state open, the unit's replies framed
// once, a link that answers each command with its canned reply, and a guard that keeps the
// device's diagnostic lines off the terminal.
#include <array>
#include <cstddef>
#include <cstdint>
#include <iostream>
#include <streambuf>
#include <string>
#include <vector>

#include <json/value.h>

#include "device/rtmk48_pv05.h"
#include "runtime/frame.h"
#include "runtime/link.h"
#include "sim/unit_model.h"

namespace bench {

class Device : public RTMK48_PV05 {
  public:
    using RTMK48_PV05::aiSignalMap_;
    using RTMK48_PV05::alarmSignalIdMap_;
    using RTMK48_PV05::aoSettingMap_;
    using RTMK48_PV05::b_mode_;
    using RTMK48_PV05::currentReply_;
    using RTMK48_PV05::low2RuleMap_;
    using RTMK48_PV05::lowRuleMap_;
    using RTMK48_PV05::protocolState_;
    using RTMK48_PV05::signalValues_;
    using RTMK48_PV05::up2RuleMap_;
    using RTMK48_PV05::upRuleMap_;

    explicit Device(unsigned int dataId = 7) { Init({}, dataId, Json::Value()); }
};

// Swallows std::cout for the life of the object: the device prints a line every round.
class QuietStdout {
  public:
    QuietStdout() : old_(std::cout.rdbuf(&sink_)) {}
    ~QuietStdout() { std::cout.rdbuf(old_); }
    QuietStdout(const QuietStdout&) = delete;
    QuietStdout& operator=(const QuietStdout&) = delete;

  private:
    struct Sink : std::streambuf {
        int overflow(int c) override { return c == traits_type::eof() ? 0 : c; }
        std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
    };
    Sink sink_;
    std::streambuf* old_;
};

// The 19 replies of a clean round as the unit frames them (VER 0x20, ADR 0x01, RTN 0).
struct CannedReplies {
    std::array<std::vector<uint8_t>, rtmk48sim::UnitModel::kSteps> frames;
    std::size_t infoBytes = 0;   // INFO bytes of one round
    std::size_t frameBytes = 0;  // reply bytes on the line in one round

    CannedReplies() {
        const rtmk48sim::UnitModel unit;
        for (int s = 1; s <= rtmk48sim::UnitModel::kSteps; ++s) {
            const auto& step = rtmk48sim::UnitModel::StepAt(s);
            const std::vector<uint8_t>& info = unit.Block(s);
            std::vector<uint8_t>& f = frames[s - 1];
            f.resize(frame::kMaxFrame);
            f.resize(frame::Encode(0x20, 0x01, step.cid1, frame::kRtnOk, info.data(), info.size(),
                                   f.data(), f.size()));
            infoBytes += info.size();
            frameBytes += f.size();
        }
    }
};

// Answers every command written to it with the canned reply of its polling step; the owner
// takes the reply and hands it to the device. Unknown commands get no reply.
class CannedLink : public Link {
  public:
    explicit CannedLink(const CannedReplies& replies) : replies_(replies) {}

    bool Write(const uint8_t* data, std::size_t len) override {
        ++commands_;
        commandBytes_ += len;
        pending_ = nullptr;
        // CID1 and CID2 follow SOI, VER and ADR as hex text.
        if (len < frame::kMinFrame) return true;
        const int step = rtmk48sim::UnitModel::StepOf(Hex(data + 5), Hex(data + 7));
        if (step > 0) pending_ = &replies_.frames[step - 1];
        return true;
    }

    // The reply to the last command, once; null when there is none.
    const std::vector<uint8_t>* Take() {
        const std::vector<uint8_t>* r = pending_;
        pending_ = nullptr;
        return r;
    }
    uint64_t Commands() const { return commands_; }
    uint64_t CommandBytes() const { return commandBytes_; }

  private:
    static uint8_t Nibble(uint8_t c) { return c <= '9' ? c - '0' : c - 'A' + 10; }
    static uint8_t Hex(const uint8_t* p) {
        return static_cast<uint8_t>(Nibble(p[0]) << 4 | Nibble(p[1]));
    }

    const CannedReplies& replies_;
    const std::vector<uint8_t>* pending_ = nullptr;
    uint64_t commands_ = 0;
    uint64_t commandBytes_ = 0;
};

// A link that drops what it is given.
class NullLink : public Link {
  public:
    bool Write(const uint8_t*, std::size_t) override { return true; }
};

}  // namespace bench
