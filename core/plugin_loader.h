#pragma once
// Loads device plug-ins the way the host does: dlopen each file, ask it for its providers, and
// build devices by model. The libraries stay loaded for the life of the loader.
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/provider.h"

class PluginError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class PluginLoader {
  public:
    PluginLoader() = default;
    ~PluginLoader();
    PluginLoader(const PluginLoader&) = delete;
    PluginLoader& operator=(const PluginLoader&) = delete;

    // Throws PluginError naming the file when it cannot be loaded or exports no providers.
    // False when `stopped` turned true first: a slow load (a large library on slow storage, a
    // library's own set-up) is left running, as nothing can cut it short.
    bool Load(const std::string& path, const std::function<bool()>& stopped = {});
    // A load was left running: it holds the dynamic loader's lock, so neither unloading nor the
    // process's normal exit could finish before it does. The process must end with _exit.
    bool LeftRunning() const { return leftRunning_; }

    // A new device of the model, from the first provider whose device is of that type;
    // throws PluginError when no loaded plug-in serves the model.
    std::unique_ptr<VDeviceInterface> Create(const std::string& model) const;

    // The device types the loaded plug-ins serve, for messages.
    std::vector<std::string> Models() const;

  private:
    struct Library {
        std::string path;
        void* handle;
        std::vector<std::shared_ptr<Provider>> providers;
        std::vector<std::string> models;  // one per provider
    };
    std::vector<Library> libs_;
    bool leftRunning_ = false;
};
