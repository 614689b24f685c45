#pragma once
// The host runtime's private protocol state of one PMBusProtocol device.
//
// Settings read by PMBusProtocol::InitSetting (integers, or text such as "0x20"):
//   "appSetting"."pmbus_ver"  protocol version VER put in every command (default 0x20)
//   "appSetting"."pmbus_adr"  the unit's address ADR (default 0x01)
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>

#include "host/pmbus_protocol.h"
#include "runtime/frame.h"

struct PMBusRuntime {
    using Clock = std::chrono::steady_clock;

    uint8_t ver = 0x20;
    uint8_t adr = 0x01;

    frame::Decoder decoder;
    std::array<uint8_t, frame::kMaxFrame> tx{};  // the command being framed

    // A command went out and its reply has not been settled yet. A command held back by a
    // delay is not awaited until it leaves: a frame before that answers nothing of ours.
    bool awaiting = false;
    bool commandHeld = false;  // the frame held by the port is a command
    uint8_t expectCid1 = 0;
    frame::Frame command;  // the last command framed: a frame equal to it is its echo
    // Commands put on the line so far, and the last frame begun before the last of them left:
    // that frame and every earlier one answer an earlier command, however fast they follow.
    uint64_t sends = 0;
    std::size_t staleThrough = 0;
    // A frame that broke off while a reply was awaited (bad hex or LENGTH): noise unless no reply
    // follows, then the round's error.
    bool broken = false;
    frame::ReplyError brokenKind = frame::ReplyError::kBadHex;
    Clock::time_point sentAt{};     // when the awaited command left
    Clock::time_point lastRx{};     // when bytes of a frame last arrived (noise before SOI is not)
    std::size_t skippedAtSend = 0;  // the decoder's skipped bytes when the command left

    std::array<std::atomic<uint32_t>, frame::kReplyErrorCount> errors{};
    std::atomic<uint64_t> replies{0};  // valid replies handed to process_payload
    std::atomic<uint64_t> givenUp{0};  // commands whose reply failed: each stops its round
    std::atomic<frame::ReplyError> lastError{frame::ReplyError::kTimeout};

    uint32_t ErrorCount(frame::ReplyError e) const {
        return errors[static_cast<std::size_t>(e)].load();
    }
    uint64_t TotalErrors() const {
        uint64_t n = 0;
        for (const auto& e : errors) n += e.load();
        return n;
    }
    void Count(frame::ReplyError e) {
        lastError = e;
        errors[static_cast<std::size_t>(e)].fetch_add(1);
    }

    // The command is on the line now: its reply is awaited from this moment.
    void Sent(Clock::time_point now) {
        decoder.Reset();
        awaiting = true;
        commandHeld = false;
        broken = false;
        ++sends;
        sentAt = now;
        skippedAtSend = decoder.SkippedBytes();
    }

    // The awaited reply failed: the model hears of it, and the round it belonged to ends.
    int GiveUp(PMBusProtocol& self) {
        givenUp.fetch_add(1);
        return self.process_error();
    }

    // The reply time-out expired: the outstanding command is given up and the model hears of it
    // through process_error. The caller holds the port lock.
    // `kind` says how: silence, noise only, or a reply too slow to finish.
    void TimedOut(PMBusProtocol& self, frame::ReplyError kind = frame::ReplyError::kTimeout);
    // What an expired reply was, from what the line carried since the command left.
    frame::ReplyError ExpiryKind(bool overallDeadlinePassed) const {
        if (broken && !decoder.InFrame()) return brokenKind;
        if (decoder.InFrame())
            return overallDeadlinePassed ? frame::ReplyError::kTooSlow
                                         : frame::ReplyError::kTimeout;
        return decoder.SkippedBytes() != skippedAtSend ? frame::ReplyError::kLineNoise
                                                       : frame::ReplyError::kTimeout;
    }
};
