#pragma once
// One configured device while the host runs it: the plug-in's device object, its port (or a
// simulated line), its driver, the signal map its records are decoded with, its counters and
// its health. Set-up, reloads and health run on one thread at a time (start-up, then the loop's
// thread); the counters may be read from any thread.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include <json/value.h>

#include "core/host_config.h"
#include "core/limits.h"
#include "core/logger.h"
#include "core/signal_map.h"
#include "core/sink.h"
#include "host/observer.h"

class PMBusProtocol;
class PluginLoader;
class SerialPort;
class DeviceDriver;
class VDeviceInterface;

// A line that stands in for a real port (the built-in simulator): it lives as long as the
// device's session.
class SimulatedLine {
  public:
    virtual ~SimulatedLine() = default;
    virtual std::string Path() const = 0;
};
// Opens a simulated line for a device; throws std::runtime_error naming what failed.
using SimulatedLineFactory = std::function<std::unique_ptr<SimulatedLine>(const DeviceConfig&)>;

// What the host shares with every session.
struct SessionContext {
    Logger* log = nullptr;
    const std::atomic<Priority>* roundPriority = nullptr;
    const std::vector<Sink*>* sinks = nullptr;
    Recall* recall = nullptr;
    int cacheMaxAgeSeconds = 300;
    const std::map<int, std::string>* levelNames = nullptr;  // alarm level -> the site's name
    SimulatedLineFactory simulate;
};

class DeviceSession : public HostObserver {
  public:
    DeviceSession(const DeviceConfig& config, SessionContext context);
    ~DeviceSession() override;
    DeviceSession(const DeviceSession&) = delete;
    DeviceSession& operator=(const DeviceSession&) = delete;

    // Creates the device, sets it up in its work directory, opens its port, restores its
    // standing alarms and its last record, and makes its driver. Throws (HostError and the
    // like) when the device cannot run; Close() then undoes what was done.
    void Start(PluginLoader& plugins);
    void Close();
    // Between rounds: new settings, host-side limits and signal map. Refused settings leave
    // the previous ones in place (said in the log).
    void Apply(DeviceConfig& current, const DeviceConfig& next,
               std::shared_ptr<const SignalMap> map);
    // After a round ended or the port opened or closed: hands the health on when it changed.
    void AfterService(bool roundEnded);
    DeviceHealth Health() const;
    // Communication and plug-in failures by kind, since start.
    std::map<std::string, uint64_t> Errors() const;

    const DeviceConfig& config;
    bool running = false;
    std::unique_ptr<VDeviceInterface> device;
    PMBusProtocol* protocol = nullptr;
    std::shared_ptr<const SignalMap> signals = std::make_shared<const SignalMap>();
    std::unique_ptr<SerialPort> port;
    std::unique_ptr<DeviceDriver> driver;
    std::chrono::steady_clock::time_point nextPoll{};

    // Counters: written on the loop's thread, read after the loop (or roughly, by the tests).
    std::atomic<uint64_t> rounds{0};
    std::atomic<uint64_t> published{0};  // records published, the restored one included
    std::atomic<uint64_t> completed{0};  // rounds that published a record
    std::atomic<uint64_t> raised{0};
    std::atomic<uint64_t> cleared{0};

    std::string Tag() const { return "[" + std::to_string(config.dataId) + "] "; }
    LogFields Fields(const std::string& alarmId = {}) const { return {config.dataId, alarmId}; }

  private:
    void CheckModelFile(const DeviceConfig& c);
    void Restore();
    // An alarm's threshold and level name, from the device's limits and the site's names.
    void Complete(Alarm& a) const;
    void SetReports(const DeviceConfig& before, const DeviceConfig& after);
    void Say(const std::string& line, Priority p, const LogFields& f) const;

    void OnSendSP(int type, const unsigned char* data, unsigned int len, bool) override;
    void OnSaveDeviceHistory(const unsigned char* data, unsigned int len) override;
    void OnAlarm(const AlarmEvent& e) override;
    void OnAnalogReport(const std::string& signalId, float value,
                        const boost::posix_time::ptime&) override;

    SessionContext ctx_;
    std::unique_ptr<SimulatedLine> line_;
    Json::Value* doc_ = nullptr;  // the device's signal-value document (control code 803)
    Json::Value values_;          // signal values of the record last published
    Limits limits_;               // as last handed to the device
    Thresholds thresholds_;
    int typeId_ = 0;
    bool restoring_ = false;  // the cached record is no round
    std::atomic<uint64_t> restoreFailed_{0};
    // Health, on the loop's thread.
    bool portOpen_ = false;
    bool lastRoundGood_ = true;
    uint64_t completedBefore_ = 0;
    std::optional<std::chrono::system_clock::time_point> lastGood_;
};
