#pragma once
// The device interface the host sees. The order of the virtual operations is part of the
// binary interface with plug-ins built elsewhere: never reorder, insert or remove one.
#include <memory>
#include <string>
#include <vector>

#include <json/value.h>

#include "host/host_api.h"
#include "host/types.h"

class SMDVDevice;

class HOST_API VDeviceInterface {
  public:
    VDeviceInterface();
    VDeviceInterface(const VDeviceInterface&) = delete;
    VDeviceInterface& operator=(const VDeviceInterface&) = delete;

    // Plain value of one variable; this default serves none and throws std::out_of_range.
    virtual double Get_Value(unsigned int index, const std::string& name) const;
    virtual int LoadFromCache(const std::string& bytes);
    virtual int LoadFromCache(const unsigned char* bytes, int count);
    virtual unsigned int DataId() const;
    virtual std::string DeviceType() const;
    virtual int DeviceIoControl(int code, const void* in, int inLen, void* out, int outLen,
                                int& retLen);
    virtual void RoundDone();
    virtual bool UseControllerDb();
    virtual ~VDeviceInterface();
    virtual void Reset();
    virtual bool InitV(SMDVDevice* parent, unsigned int dataId, const Json::Value& config);
    virtual bool Init(std::weak_ptr<SMDController> controller, unsigned int dataId,
                      const Json::Value& config);
    virtual void InitSetting(const Json::Value& settings);
    virtual bool IsSupportDevice(const std::string& type) const;
    virtual std::shared_ptr<VDeviceInterface> GetChildVDevice(unsigned int dataId);
    virtual std::vector<std::shared_ptr<VDeviceInterface>> GetAllChildVDevices();

  protected:
    unsigned int dataId_ = 0;
    std::string deviceType_;
    bool useControllerDb_ = false;  // the host flag byte
};
