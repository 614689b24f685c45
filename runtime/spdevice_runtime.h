#pragma once
// The host runtime's private state of one SMDSPDevice: its link and the frame held back by a
// requested delay.
#include <chrono>
#include <vector>

#include "host/smd_spdevice.h"
#include "runtime/link.h"

struct SPDeviceRuntime {
    Link* link = nullptr;
    double delayScale = 1.0;  // milliseconds per SendDelayData unit
    int pendingDelay = 0;     // requested by SendDelayData, applied to the next frame
    std::vector<uint8_t> heldFrame;
    std::chrono::steady_clock::time_point heldUntil;
    bool holding = false;

    // Writes the held frame once its time has come; true when it was written.
    bool ReleaseHeld(std::chrono::steady_clock::time_point now);
};
