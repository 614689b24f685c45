#pragma once
// Device factories that plug-ins hand to the host through `get_providers`.
#include <memory>
#include <vector>

#include "host/host_api.h"
#include "host/vdevice_interface.h"

class HOST_API Provider {
  public:
    virtual ~Provider();
    // A new device that the caller owns.
    virtual VDeviceInterface* create() const = 0;
};

class HOST_API SMDSPDeviceProvider : public Provider {};

// The one symbol a plug-in exports.
using GetProvidersFn = std::vector<std::shared_ptr<Provider>> (*)();
inline constexpr const char* kGetProvidersSymbol = "get_providers";
