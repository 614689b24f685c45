// SMDVDevice: publishing and history go to the device's observers; history is also kept in
// memory, newest records only.
#include <algorithm>
#include <mutex>
#include <utility>
#include <vector>

#include "host/smd_vdevice.h"
#include "runtime/vdevice_runtime.h"

SMDVDevice::SMDVDevice() : vrt_(std::make_unique<VDeviceRuntime>()) {}
SMDVDevice::~SMDVDevice() = default;

bool SMDVDevice::InitV(SMDVDevice* parent, unsigned int dataId, const Json::Value& config) {
    return VDeviceInterface::InitV(parent, dataId, config);
}

int SMDVDevice::SendSP(int typeId, const unsigned char* data, unsigned int len, bool flag) {
    vrt_->Notify([&](HostObserver& o) { o.OnSendSP(typeId, data, len, flag); });
    return 1;
}

int SMDVDevice::SendDelayData(int delay) {
    vrt_->Notify([&](HostObserver& o) { o.OnSendDelayData(delay); });
    return 1;
}

int SMDVDevice::SendDoData(int, char) {
    return 0;
}
int SMDVDevice::ReadDi(int) {
    return 0;
}
float SMDVDevice::ReadAi(int) {
    return 0.0f;
}
float SMDVDevice::Get_SP_Value(unsigned int, const std::string&) {
    return 0.0f;
}
int SMDVDevice::RefreshStatus() {
    return 1;
}

// Kept before observers hear of it, so that whoever learns of a save finds it in History().
void SMDVDevice::SaveDeviceHistory(const unsigned char* data, unsigned int len) {
    {
        HistoryEntry entry{vrt_->clock(), std::vector<unsigned char>(data, data + len)};
        std::lock_guard<std::mutex> lock(vrt_->historyMutex);
        if (vrt_->history.size() == VDeviceRuntime::kHistoryDepth) vrt_->history.pop_front();
        vrt_->history.push_back(std::move(entry));
    }
    vrt_->Notify([&](HostObserver& o) { o.OnSaveDeviceHistory(data, len); });
}

std::vector<HistoryEntry> VDeviceRuntime::History() const {
    std::lock_guard<std::mutex> lock(historyMutex);
    return {history.begin(), history.end()};
}

void SMDVDevice::AddObserver(HostObserver* observer) {
    vrt_->observers.push_back(observer);
}

void SMDVDevice::RemoveObserver(HostObserver* observer) {
    auto& v = vrt_->observers;
    v.erase(std::remove(v.begin(), v.end(), observer), v.end());
}
