#pragma once
// The framework's serial-port device: the port, the outgoing frames and their delays.
#include <memory>

#include "host/host_api.h"
#include "host/smd_vdevice.h"

class Link;
struct SPDeviceRuntime;

class HOST_API SMDSPDevice : public SMDVDevice {
  public:
    SMDSPDevice();
    ~SMDSPDevice() override;

    void Reset() override;
    bool Init(std::weak_ptr<SMDController> controller, unsigned int dataId,
              const Json::Value& config) override;
    int RefreshStatus() override;
    int SendDelayData(int delay) override;

    // Bytes received from the port.
    virtual int process(unsigned char* data, unsigned int len);
    virtual bool IsProcessing();
    virtual bool IsStalled();
    virtual int SendData(const unsigned char* data, unsigned int len);
    virtual int SendParityData(const unsigned char* data, unsigned int len, EnumParity parity);
    virtual int OpenPort();
    virtual int ClosePort();

    // Runtime side, not used by plug-ins.
    SPDeviceRuntime& Runtime() { return *sprt_; }
    int BaudRate() const { return baudRate_; }

  protected:
    int baudRate_ = 9600;
    char portOption_ = 'N';  // the host character setting

  private:
    std::unique_ptr<SPDeviceRuntime> sprt_;
};
