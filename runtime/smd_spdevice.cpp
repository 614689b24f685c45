// SMDSPDevice: outgoing frames, their delays and the port.
#include <cstring>

#include "host/smd_spdevice.h"
#include "runtime/spdevice_runtime.h"
#include "runtime/vdevice_runtime.h"

SMDSPDevice::SMDSPDevice() : sprt_(std::make_unique<SPDeviceRuntime>()) {}
SMDSPDevice::~SMDSPDevice() = default;

bool SPDeviceRuntime::WriteNow(const uint8_t* data, std::size_t len, Clock::time_point now) {
    if (link == nullptr || !link->Write(data, len)) return false;
    lastWrite = now;
    return true;
}

bool SPDeviceRuntime::ReleaseHeld(Clock::time_point now) {
    std::lock_guard<std::recursive_mutex> lock(mu);
    if (!holding || now < heldUntil) return false;
    holding = false;
    return WriteNow(heldFrame.data(), heldLen, now);
}

void SMDSPDevice::Reset() {
    VDeviceRuntime::Of(*this).Notify([](HostObserver& o) { o.OnReset(); });
}

bool SMDSPDevice::Init(std::weak_ptr<SMDController> controller, unsigned int dataId,
                       const Json::Value& config) {
    return VDeviceInterface::Init(std::move(controller), dataId, config);
}

int SMDSPDevice::RefreshStatus() {
    return 1;
}

int SMDSPDevice::SendDelayData(int delay) {
    SMDVDevice::SendDelayData(delay);
    std::lock_guard<std::recursive_mutex> lock(sprt_->mu);
    sprt_->pendingDelay = delay;
    return 1;
}

int SMDSPDevice::process(unsigned char*, unsigned int) {
    return 0;
}
bool SMDSPDevice::IsProcessing() {
    std::lock_guard<std::recursive_mutex> lock(sprt_->mu);
    return sprt_->holding;
}
bool SMDSPDevice::IsStalled() {
    return false;
}

int SMDSPDevice::SendData(const unsigned char* data, unsigned int len) {
    SPDeviceRuntime& rt = *sprt_;
    std::lock_guard<std::recursive_mutex> lock(rt.mu);
    const auto now = SPDeviceRuntime::Clock::now();
    const double ms = rt.pendingDelay * rt.delayScale;
    rt.pendingDelay = 0;
    if (len > rt.heldFrame.size()) return -1;
    int result = static_cast<int>(len);
    if (ms > 0) {
        std::memcpy(rt.heldFrame.data(), data, len);
        rt.heldLen = len;
        rt.heldUntil = now + std::chrono::duration_cast<SPDeviceRuntime::Clock::duration>(
                                 std::chrono::duration<double, std::milli>(ms));
        rt.holding = true;
    } else {
        // A frame sent without a delay takes over the port from any frame still held.
        rt.holding = false;
        if (!rt.WriteNow(data, len, now)) result = -1;
    }
    // A driver asleep in poll(2) recomputes its deadlines.
    if (rt.onSend) rt.onSend();
    return result;
}

int SMDSPDevice::SendParityData(const unsigned char* data, unsigned int len, EnumParity) {
    return SendData(data, len);
}

int SMDSPDevice::OpenPort() {
    VDeviceRuntime::Of(*this).Notify([](HostObserver& o) { o.OnOpenPort(); });
    return 1;
}

int SMDSPDevice::ClosePort() {
    return 1;
}
