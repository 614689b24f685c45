#pragma once
// The host runtime's private state of one SMDSPDevice: its link and the frame held back by a
// requested delay.
#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>

#include "host/smd_spdevice.h"
#include "runtime/frame.h"
#include "runtime/link.h"

struct SPDeviceRuntime {
    using Clock = std::chrono::steady_clock;

    // The port lock. Control requests send from host threads while the driver's thread feeds
    // replies; a reply's handling sends the next command, hence recursive.
    std::recursive_mutex mu;

    Link* link = nullptr;
    double delayScale = 1.0;  // milliseconds per SendDelayData unit
    int pendingDelay = 0;     // requested by SendDelayData, applied to the next frame
    std::array<uint8_t, frame::kMaxFrame> heldFrame{};
    std::size_t heldLen = 0;
    Clock::time_point heldUntil{};
    bool holding = false;
    Clock::time_point lastWrite{};  // when the last frame went to the link
    // Called after a frame was written or held, so that a driver waiting in poll(2) can
    // recompute its deadlines. Set before the device runs.
    std::function<void()> onSend;

    // Writes the held frame once its time has come; true when it was written.
    bool ReleaseHeld(Clock::time_point now);
    bool WriteNow(const uint8_t* data, std::size_t len, Clock::time_point now);
};
