// Defaults of the framework's interfaces.
#include <stdexcept>

#include "host/observer.h"
#include "host/provider.h"
#include "host/vdevice_interface.h"

SMDController::~SMDController() = default;
HostObserver::~HostObserver() = default;
Provider::~Provider() = default;

VDeviceInterface::VDeviceInterface() = default;
VDeviceInterface::~VDeviceInterface() = default;

double VDeviceInterface::Get_Value(unsigned int, const std::string&) const {
    throw std::out_of_range("数据未就绪");
}

int VDeviceInterface::LoadFromCache(const std::string& bytes) {
    return LoadFromCache(reinterpret_cast<const unsigned char*>(bytes.data()),
                         static_cast<int>(bytes.size()));
}

int VDeviceInterface::LoadFromCache(const unsigned char*, int) {
    return 0;
}
unsigned int VDeviceInterface::DataId() const {
    return dataId_;
}
std::string VDeviceInterface::DeviceType() const {
    return deviceType_;
}

int VDeviceInterface::DeviceIoControl(int, const void*, int, void*, int, int& retLen) {
    retLen = 0;
    return -1;
}

void VDeviceInterface::RoundDone() {}
bool VDeviceInterface::UseControllerDb() {
    return useControllerDb_;
}
void VDeviceInterface::Reset() {}

bool VDeviceInterface::InitV(SMDVDevice*, unsigned int dataId, const Json::Value&) {
    dataId_ = dataId;
    return true;
}

bool VDeviceInterface::Init(std::weak_ptr<SMDController>, unsigned int dataId, const Json::Value&) {
    dataId_ = dataId;
    return true;
}

void VDeviceInterface::InitSetting(const Json::Value&) {}
bool VDeviceInterface::IsSupportDevice(const std::string& type) const {
    return type == deviceType_;
}

std::shared_ptr<VDeviceInterface> VDeviceInterface::GetChildVDevice(unsigned int) {
    return {};
}

std::vector<std::shared_ptr<VDeviceInterface>> VDeviceInterface::GetAllChildVDevices() {
    return {};
}
