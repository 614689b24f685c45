#include "plugin/provider.h"

#include "device/rtmk48_pv05.h"

RTMK48_PV05Provider::~RTMK48_PV05Provider() = default;

VDeviceInterface* RTMK48_PV05Provider::create() const {
    return new RTMK48_PV05();
}
