// Loads a device plug-in the way the host does and shows what it provides.
#include <dlfcn.h>

#include <iostream>
#include <memory>

#include <json/json.h>

#include "host/framework.h"

int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : "./rtmk48_pv05.so";
    void* lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) {
        std::cerr << "smdhost: cannot load " << path << ": " << dlerror() << "\n";
        return 1;
    }
    auto getProviders = reinterpret_cast<GetProvidersFn>(dlsym(lib, kGetProvidersSymbol));
    if (getProviders == nullptr) {
        std::cerr << "smdhost: " << path << " exports no " << kGetProvidersSymbol << "\n";
        return 1;
    }
    auto providers = getProviders();
    std::cout << "loaded " << path << ": " << providers.size() << " provider(s)\n";
    for (const auto& provider : providers) {
        std::unique_ptr<VDeviceInterface> device(provider->create());
        Json::Value settings;
        settings["appSetting"]["b_mode"] = 3;
        device->Init({}, 7, Json::Value());
        device->InitSetting(settings);
        std::cout << "device type " << device->DeviceType() << ", data id " << device->DataId()
                  << "\n";
    }
    return 0;
}
