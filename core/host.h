#pragma once
// The host core: runs the devices of one site. It loads the plug-ins, starts a DeviceSession
// for every configured device and drives their polling rounds on the runtime's DriverLoop until
// the configured rounds are done or Stop() is called.
//
// Threads, and what each owns:
// - the loop's thread (the one in Run): every device, its port, driver and session, and every
//   call into a sink. Nothing else touches a device.
// - any other thread (control channel clients, the signal waiter, the web server): hands work
//   to the loop as tasks (Control, Reload) or reads counters (Summary); it never takes a
//   device's lock. A task has one deadline that counts its time in the queue.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "core/control_request.h"
#include "core/device_session.h"
#include "core/host_config.h"
#include "core/host_error.h"
#include "core/logger.h"
#include "core/sink.h"

class DriverLoop;
class HostObserver;
class PluginLoader;

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
    // A command (a code that may put a frame on the line) goes out within this of its arrival,
    // or is refused with nothing sent.
    static constexpr std::chrono::seconds kCommandBound{15};

    // `out` receives the host's display lines.
    Host(HostConfig site, std::ostream& out);
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // Loads the plug-ins and signal maps, starts every device it can (with its last record and
    // its standing alarms from the Recall, when there is one). A device that cannot start is
    // reported and left out. Throws HostError when the site cannot run at all (plug-ins, no
    // device started) and ConfigError for a bad signal map or store.
    void Start();
    // Runs the polling loop until every device has done its rounds or Stop() was called; the
    // round in progress is finished first (within 10 s), then every sink drains.
    void Run();
    // Any thread. Queued requests are refused at once, and so is every later one.
    void Stop();
    // Any thread: takes a new version of the host's members. Devices get their new settings
    // (InitSetting again, in their work directory), host-side limits and signal maps between
    // rounds; what needs a restart (port, model, data id, timing, plug-ins, devices added or
    // removed) is reported and kept. Throws ConfigError, leaving everything as it was, for a
    // bad signal map.
    void Reload(HostConfig next);
    // Called on the polling thread every turn of its loop (at least once a second), e.g. to tell
    // a watchdog that the loop is alive. Before Run.
    void SetTurnHook(std::function<void()> hook) { turnHook_ = std::move(hook); }
    // How a device on the "simulated" port gets its line (before Start); none: it cannot start.
    void SetSimulator(SimulatedLineFactory f) { simulate_ = std::move(f); }
    // Replaces kCommandBound (before Start).
    void SetCommandBound(std::chrono::milliseconds bound) { commandBound_ = bound; }

    // A stop came during a plug-in's load, which still runs: the process must end with _exit
    // once the summary is out (see PluginLoader::LeftRunning).
    bool LoadLeftRunning() const;

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

    // Any thread: carries out one control request on the loop, between the device's rounds.
    // Throws ControlError when it was refused, saying whether anything was sent.
    ControlAnswer Control(const ControlRequest& request);

  private:
    struct Reloading;
    // Hands every sink the devices as they run now.
    void Describe();
    void Say(const std::string& line, Priority priority = Priority::kInfo,
             const LogFields& fields = {}) const;

    HostConfig site_;
    mutable Logger log_;
    std::vector<Sink*> sinks_;
    Recall* recall_ = nullptr;
    SimulatedLineFactory simulate_;
    std::unique_ptr<PluginLoader> plugins_;
    std::vector<std::unique_ptr<DeviceSession>> sessions_;  // destroyed before the plug-ins
    std::unique_ptr<DriverLoop> loop_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> started_{false};
    std::function<void()> turnHook_;
    std::chrono::milliseconds commandBound_{kCommandBound};
    std::atomic<Priority> roundPriority_;
};
