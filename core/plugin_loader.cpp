#include "core/plugin_loader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "core/json_check.h"

namespace {

// A plug-in with its debugging symbols is some MiB; this only keeps a wrong file from being
// mapped whole.
constexpr std::size_t kMaxPluginFile = std::size_t{256} << 20;

}  // namespace

PluginLoader::~PluginLoader() {
    // Providers are code of their library: release them before the library goes.
    for (auto it = libs_.rbegin(); it != libs_.rend(); ++it) {
        it->providers.clear();
        if (!leftRunning_) dlclose(it->handle);
    }
}

bool PluginLoader::Load(const std::string& path, const std::function<bool()>& stopped) {
    // Checked as every input file: a FIFO in its place would hold dlopen, and start-up, for
    // ever. dlopen gets the checked file itself, so it cannot be swapped in between.
    int fd = -1;
    try {
        fd = OpenInputFile(path, kMaxPluginFile);
    } catch (const ConfigError& e) {
        throw PluginError(std::string("cannot load plug-in ") + e.what());
    }
    // On a thread of its own, so that a stop request need not wait for it.
    struct Opening {
        std::mutex mu;
        std::condition_variable done;
        bool finished = false;
        void* handle = nullptr;
        std::string error;
    };
    auto opening = std::make_shared<Opening>();
    std::thread([opening, fd] {
        // RTLD_LOCAL: two plug-ins may define the same internal names.
        void* h = dlopen(("/proc/self/fd/" + std::to_string(fd)).c_str(), RTLD_NOW | RTLD_LOCAL);
        const char* why = h == nullptr ? dlerror() : nullptr;
        const std::string error = why != nullptr ? why : "";
        ::close(fd);
        std::lock_guard<std::mutex> lock(opening->mu);
        opening->handle = h;
        opening->error = error;
        opening->finished = true;
        opening->done.notify_all();
    }).detach();
    std::unique_lock<std::mutex> lock(opening->mu);
    while (!opening->done.wait_for(lock, std::chrono::milliseconds(20),
                                   [&] { return opening->finished; }))
        if (stopped && stopped()) {
            leftRunning_ = true;
            return false;
        }
    void* handle = opening->handle;
    if (handle == nullptr) throw PluginError("cannot load plug-in " + path + ": " + opening->error);
    auto fn = reinterpret_cast<GetProvidersFn>(dlsym(handle, kGetProvidersSymbol));
    if (fn == nullptr) {
        dlclose(handle);
        throw PluginError("plug-in " + path + " exports no " + kGetProvidersSymbol);
    }
    Library lib{path, handle, fn(), {}};
    // A provider names its model only through the devices it makes.
    for (const auto& p : lib.providers) {
        std::unique_ptr<VDeviceInterface> probe(p ? p->create() : nullptr);
        lib.models.push_back(probe ? probe->DeviceType() : std::string());
    }
    libs_.push_back(std::move(lib));
    return true;
}

std::unique_ptr<VDeviceInterface> PluginLoader::Create(const std::string& model) const {
    for (const auto& lib : libs_)
        for (std::size_t i = 0; i < lib.providers.size(); ++i)
            if (lib.models[i] == model)
                return std::unique_ptr<VDeviceInterface>(lib.providers[i]->create());
    std::string known;
    for (const auto& m : Models()) known += (known.empty() ? "" : ", ") + m;
    throw PluginError("no loaded plug-in serves the model " + model +
                      (known.empty() ? std::string() : " (served: " + known + ")"));
}

std::vector<std::string> PluginLoader::Models() const {
    std::vector<std::string> out;
    for (const auto& lib : libs_)
        for (const auto& m : lib.models) out.push_back(m);
    return out;
}
