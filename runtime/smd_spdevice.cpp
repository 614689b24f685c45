// SMDSPDevice: outgoing frames, their delays and the port.
#include "host/smd_spdevice.h"
#include "runtime/spdevice_runtime.h"
#include "runtime/vdevice_runtime.h"

SMDSPDevice::SMDSPDevice() : sprt_(std::make_unique<SPDeviceRuntime>()) {}
SMDSPDevice::~SMDSPDevice() = default;

bool SPDeviceRuntime::ReleaseHeld(std::chrono::steady_clock::time_point now) {
    if (!holding || now < heldUntil) return false;
    holding = false;
    return link != nullptr && link->Write(heldFrame.data(), heldFrame.size());
}

void SMDSPDevice::Reset() {
    VDeviceRuntime::Of(*this).Notify([](HostObserver& o) { o.OnReset(); });
}

bool SMDSPDevice::Init(std::weak_ptr<SMDController> controller, unsigned int dataId,
                       const Json::Value& config) {
    return VDeviceInterface::Init(std::move(controller), dataId, config);
}

int SMDSPDevice::RefreshStatus() { return 1; }

int SMDSPDevice::SendDelayData(int delay) {
    SMDVDevice::SendDelayData(delay);
    sprt_->pendingDelay = delay;
    return 1;
}

int SMDSPDevice::process(unsigned char*, unsigned int) { return 0; }
bool SMDSPDevice::IsProcessing() { return false; }
bool SMDSPDevice::IsStalled() { return false; }

int SMDSPDevice::SendData(const unsigned char* data, unsigned int len) {
    SPDeviceRuntime& rt = *sprt_;
    if (rt.pendingDelay > 0) {
        const auto delay = std::chrono::duration<double, std::milli>(rt.pendingDelay * rt.delayScale);
        rt.heldFrame.assign(data, data + len);
        rt.heldUntil = std::chrono::steady_clock::now() +
                       std::chrono::duration_cast<std::chrono::steady_clock::duration>(delay);
        rt.holding = true;
        rt.pendingDelay = 0;
        return static_cast<int>(len);
    }
    if (rt.link == nullptr || !rt.link->Write(data, len)) return -1;
    return static_cast<int>(len);
}

int SMDSPDevice::SendParityData(const unsigned char* data, unsigned int len, EnumParity) {
    return SendData(data, len);
}

int SMDSPDevice::OpenPort() {
    VDeviceRuntime::Of(*this).Notify([](HostObserver& o) { o.OnOpenPort(); });
    return 1;
}

int SMDSPDevice::ClosePort() { return 1; }
