#pragma once
#include "host/provider.h"

// Factory of RTMK48_PV05 devices; keeps no state.
class RTMK48_PV05Provider : public SMDSPDeviceProvider {
  public:
    ~RTMK48_PV05Provider() override;
    VDeviceInterface* create() const override;
};
