// The plug-in's only exported symbol.
#include <memory>
#include <vector>

#include "plugin/provider.h"

#ifdef __clang__
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"  // the host looks it up undecorated
#endif

extern "C" __attribute__((visibility("default"))) std::vector<std::shared_ptr<Provider>>
get_providers() {
    std::vector<std::shared_ptr<Provider>> providers;
    providers.push_back(std::make_shared<RTMK48_PV05Provider>());
    return providers;
}
