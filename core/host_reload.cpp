// A new version of the host's members: checked on the caller's thread, so a bad file changes
// nothing, then applied by the loop to each device between its rounds.
#include <algorithm>
#include <optional>
#include <sstream>

#include "core/host.h"
#include "runtime/device_driver.h"

// Shared by the reload's tasks: the last one to run tells the sinks and the log.
struct Host::Reloading {
    std::size_t left = 0;
    Priority roundPriority = Priority::kInfo;
};

void Host::Reload(HostConfig next) {
    // Everything that can fail comes first.
    SignalMaps loaded;
    std::vector<std::shared_ptr<const SignalMap>> maps(sessions_.size(), loaded.Get(""));
    for (std::size_t i = 0; i < sessions_.size(); ++i)
        for (const DeviceConfig& d : next.devices)
            if (d.dataId == site_.devices[i].dataId) maps[i] = loaded.Get(d.signalMap);

    auto keep = [&](const std::string& what, const std::string& was, const std::string& is,
                    std::optional<unsigned int> dataId = std::nullopt) {
        if (was == is) return;
        Say((dataId ? "[" + std::to_string(*dataId) + "] " : std::string()) + "reload: " + what +
                " changed from \"" + was + "\" to \"" + is + "\": needs a restart, kept",
            Priority::kWarning, LogFields{dataId, {}});
    };
    auto join = [](const std::vector<std::string>& v) {
        std::string out;
        for (const auto& p : v) out += (out.empty() ? "" : " ") + p;
        return out;
    };
    keep("plugins", join(site_.plugins), join(next.plugins));
    keep("rounds", std::to_string(site_.rounds), std::to_string(next.rounds));
    keep("cacheMaxAgeSeconds", std::to_string(site_.cacheMaxAgeSeconds),
         std::to_string(next.cacheMaxAgeSeconds));
    auto names = [](const std::map<int, std::string>& m) {
        std::string out;
        for (const auto& [level, name] : m)
            out += (out.empty() ? "" : " ") + std::to_string(level) + "=" + name;
        return out;
    };
    keep("levelNames", names(site_.levelNames), names(next.levelNames));
    auto reloading = std::make_shared<Reloading>();
    reloading->roundPriority = next.roundPriority;
    std::vector<LoopTask> tasks;
    for (std::size_t i = 0; i < sessions_.size(); ++i) {
        // Only members that never change after Start are read here; the loop writes the others.
        DeviceSession& s = *sessions_[i];
        const DeviceConfig& was = site_.devices[i];
        const auto is = std::find_if(next.devices.begin(), next.devices.end(),
                                     [&](const DeviceConfig& d) { return d.dataId == was.dataId; });
        if (is == next.devices.end()) {
            Say(s.Tag() + "reload: device " + std::to_string(was.dataId) +
                    " is no longer in the site file: it runs on until a restart",
                Priority::kWarning, s.Fields());
            continue;
        }
        keep("model", was.model, is->model, was.dataId);
        keep("port", was.port, is->port, was.dataId);
        keep("pollIntervalMs", std::to_string(was.pollIntervalMs),
             std::to_string(is->pollIntervalMs), was.dataId);
        keep("replyTimeoutMs", std::to_string(was.replyTimeoutMs),
             std::to_string(is->replyTimeoutMs), was.dataId);
        keep("delayScale", LogNumber(was.delayScale), LogNumber(is->delayScale), was.dataId);
        keep("simulation", was.simulation.toStyledString(), is->simulation.toStyledString(),
             was.dataId);
        if (!s.running) continue;
        LoopTask t;
        t.driver = s.driver.get();
        t.run = [this, i, &s, cfg = *is, map = maps[i], reloading] {
            s.Apply(site_.devices[i], cfg, map);
            if (--reloading->left == 0) {
                roundPriority_ = reloading->roundPriority;
                Describe();
                Say("reload of " + site_.file + " done", Priority::kNotice);
            }
        };
        tasks.push_back(std::move(t));
    }
    for (const DeviceConfig& d : next.devices)
        if (std::none_of(site_.devices.begin(), site_.devices.end(),
                         [&](const DeviceConfig& c) { return c.dataId == d.dataId; }))
            Say("reload: device " + std::to_string(d.dataId) +
                    " is new in the site file: it starts after a restart",
                Priority::kWarning, LogFields{d.dataId, {}});
    reloading->left = tasks.size();
    if (tasks.empty()) {
        LoopTask t;
        t.run = [this, reloading] {
            roundPriority_ = reloading->roundPriority;
            Say("reload of " + site_.file + " done", Priority::kNotice);
        };
        tasks.push_back(std::move(t));
    }
    for (LoopTask& t : tasks) loop_->Post(std::move(t));
}
