// PMBusProtocol: command frames out, replies in. (Framing comes with the polling work.)
#include "host/pmbus_protocol.h"
#include "runtime/pmbus_runtime.h"
#include "runtime/vdevice_runtime.h"

PMBusProtocol::PMBusProtocol() : pmrt_(std::make_unique<PMBusRuntime>()) {}
PMBusProtocol::~PMBusProtocol() = default;

void PMBusProtocol::InitSetting(const Json::Value& settings) {
    VDeviceRuntime::Of(*this).Notify([&](HostObserver& o) { o.OnHostInitSetting(settings); });
}

int PMBusProtocol::process(unsigned char*, unsigned int) { return 0; }

int PMBusProtocol::process_error() { return 0; }

int PMBusProtocol::write_pmbus_cmd(unsigned char cid1, unsigned char cid2) {
    return write_pmbus_cmd(cid1, cid2, nullptr, 0);
}

int PMBusProtocol::write_pmbus_cmd(unsigned char cid1, unsigned char cid2,
                                   const unsigned char* info, int count) {
    VDeviceRuntime::Of(*this).Notify(
        [&](HostObserver& o) { o.OnWritePmbusCmd(cid1, cid2, info, count); });
    return 1;
}
