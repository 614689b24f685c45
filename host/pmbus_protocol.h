#pragma once
// The framework's YD/T 1363.3 protocol device: builds command frames, unframes replies and hands
// each valid reply to the model class through process_payload.
#include <atomic>
#include <cstdint>
#include <memory>

#include "host/host_api.h"
#include "host/smd_spdevice.h"

struct PMBusRuntime;

// The reply just received, INFO already converted from hexadecimal.
struct PMBusReply {
    uint16_t infoLength = 0;  // in hexadecimal characters, two per byte
    uint8_t info[2048] = {};  // LENID is 12 bits: at most 4095 characters
};

class HOST_API PMBusProtocol : public SMDSPDevice {
  public:
    PMBusProtocol();
    ~PMBusProtocol() override;

    void InitSetting(const Json::Value& settings) override;
    int process(unsigned char* data, unsigned int len) override;

    // A valid reply is in currentReply_; the return value is the model's own.
    virtual int process_payload() = 0;
    // A reply that was broken, rejected by the unit, or never came.
    virtual int process_error();

    int write_pmbus_cmd(unsigned char cid1, unsigned char cid2);
    int write_pmbus_cmd(unsigned char cid1, unsigned char cid2, const unsigned char* info,
                        int count);

    // Runtime side, not used by plug-ins.
    PMBusRuntime& Protocol() { return *pmrt_; }

  protected:
    // Set by control requests on other host threads while the polling thread reads it.
    std::atomic<int> protocolState_{0};
    PMBusReply currentReply_;

  private:
    std::unique_ptr<PMBusRuntime> pmrt_;
};
