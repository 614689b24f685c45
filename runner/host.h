#pragma once
// The host core: runs the devices of one site. It loads the plug-ins, sets every device up
// (Init, InitSetting, the signal-value document, the cached record), opens its port or starts
// the built-in simulator for it, and drives polling rounds on every port from one thread until
// the configured rounds are done or Stop() is called. Control requests arrive on the control
// channel and go to the device between rounds, under the device's port lock.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "runner/control_channel.h"
#include "runner/logger.h"
#include "runner/sink.h"
#include "runner/site_config.h"

class HostObserver;
class PluginLoader;
struct DeviceSlot;

class HostError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// What a run did, per device and in all.
struct DeviceSummary {
    unsigned int dataId = 0;
    bool started = false;
    uint64_t rounds = 0;     // rounds started
    uint64_t published = 0;  // records published (rounds completed, and a restored record)
    uint64_t stored = 0;     // records stored (by the Recall, once the sinks drained)
    uint64_t raised = 0;
    uint64_t cleared = 0;
    std::map<std::string, uint64_t> errors;  // by kind
};

class Host {
  public:
    // `out` receives the host's display lines.
    Host(SiteConfig site, std::ostream& out);
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // Loads the plug-ins and signal maps, starts every device it can (with its last record and
    // its standing alarms from the Recall, when there is one). A device that cannot start is
    // reported and left out. Throws HostError when the site cannot run at all (plug-ins,
    // control socket, no device started) and ConfigError for a bad signal map.
    void Start();
    // Runs the polling loop until every device has done its rounds or Stop() was called; the
    // round in progress is finished first, then every sink drains.
    void Run();
    // Any thread.
    void Stop();
    // Any thread: takes a new version of the site file. Devices get their new settings (InitSetting
    // again, in their work directory) and host-side limits between rounds; what needs a restart
    // (port, model, data id, timing, store, plug-ins, socket, devices added or removed) is
    // reported and kept as it was. Throws ConfigError, leaving everything as it was, for a bad
    // signal map.
    void Reload(SiteConfig next);
    // Called on the polling thread every turn of its loop (at least once a second), e.g. to tell
    // a watchdog that the loop is alive. Before Run.
    void SetTurnHook(std::function<void()> hook) { turnHook_ = std::move(hook); }

    std::vector<DeviceSummary> Summary() const;
    // Prints the closing summary.
    void PrintSummary() const;

    // Adds a sink of records, alarm events, reports and device health (before Start). The sink
    // must outlive the host's run.
    void AddSink(Sink& sink) { sinks_.push_back(&sink); }
    const std::vector<Sink*>& Sinks() const { return sinks_; }
    // Where the last records and standing alarms come back from at start (before Start).
    void SetRecall(Recall& recall) { recall_ = &recall; }
    Logger& Log() { return log_; }

    // Adds an observer of a started device's framework calls (after Start, before Run); false
    // when no device with that data id runs. Its callbacks run on the polling thread.
    bool Observe(unsigned int dataId, HostObserver& observer);

    // The control channel's handler; public for the tests.
    ControlAnswer Control(const ControlRequest& request);

  private:
    void StartDevice(DeviceSlot& slot);
    void CheckModelFile(DeviceSlot& slot, const DeviceConfig& config);
    void ApplyReload(DeviceSlot& slot, DeviceConfig& current);
    bool Idle(DeviceSlot& slot) const;
    // Hands every sink the devices as they run now.
    void Describe();
    DeviceHealth Health(const DeviceSlot& slot) const;
    void Wake();
    void Say(const std::string& line, Priority priority = Priority::kInfo,
             const LogFields& fields = {}) const;

    SiteConfig site_;
    mutable Logger log_;
    std::vector<Sink*> sinks_;
    Recall* recall_ = nullptr;
    std::unique_ptr<PluginLoader> plugins_;
    std::vector<std::unique_ptr<DeviceSlot>> slots_;  // destroyed before the plug-ins
    std::unique_ptr<ControlServer> control_;
    int wakeFd_ = -1;
    // The thread in Run(): it recomputes its deadlines every turn, so its own sends need no wake.
    std::atomic<std::thread::id> loopThread_{};
    std::atomic<bool> stopping_{false};
    std::atomic<bool> started_{false};
    mutable std::mutex idleMu_;
    std::condition_variable idleCv_;
    std::function<void()> turnHook_;
    std::atomic<Priority> roundPriority_;
    // A reload waiting for the devices' next pause between rounds.
    struct PendingReload;
    std::mutex reloadMu_;
    std::unique_ptr<PendingReload> reload_;
    std::atomic<bool> reloadPending_{false};
};
