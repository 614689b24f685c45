#pragma once
// The live state behind the status page, the JSON API and the metrics: every device's health,
// its latest signal values, its standing alarms and its recent alarm events. The host core
// feeds it as a sink on the polling thread; the web server's thread reads copies of it. One
// mutex, held only to copy, so neither side ever waits for the other's work.
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/sink.h"

struct LiveSignal {
    std::string name;
    std::string unit;
};

// What the state knows of a device before its first round.
struct LiveDeviceSpec {
    unsigned int dataId = 0;
    std::string model;
    std::string port;
    std::vector<LiveSignal> signals;  // in the order shown
};

struct LiveValue {
    std::string name;
    std::string unit;
    std::optional<double> value;  // none until a record carried it
};

struct LiveDevice {
    DeviceHealth health;  // dataId, model and port set from the site file until the first round
    std::optional<WallTime> valuesAt;
    std::vector<LiveValue> values;
    std::vector<Alarm> active;  // by alarm id
    std::deque<Alarm> events;   // oldest first, at most kEvents
};

class LiveState : public Sink {
  public:
    static constexpr std::size_t kEvents = 50;

    explicit LiveState(std::vector<LiveDeviceSpec> devices = {});

    const char* Name() const override { return "live"; }
    // The core's devices and the one map each is decoded with: a changed map replaces the
    // device's signals, whose values start again from the next record.
    void OnDevices(const std::vector<DeviceDescription>& devices) override;
    void OnRecord(const RecordOut& r) override;
    void OnAlarm(const Alarm& a) override;
    void OnHealth(const DeviceHealth& h) override;
    // Before the host starts: where the events an earlier run stored come from (oldest first),
    // read for each device as the core first describes it, so the page's recent events survive
    // a restart.
    using EventRecall =
        std::function<std::map<unsigned int, std::vector<Alarm>>(const std::vector<unsigned int>&)>;
    void SetRecall(EventRecall recall) { recall_ = std::move(recall); }

    // Any thread: copies, each with at most its newest `events` events.
    std::vector<LiveDevice> Devices(std::size_t events = kEvents) const;
    std::optional<LiveDevice> Device(unsigned int dataId, std::size_t events = kEvents) const;
    // Any thread: the names of the first `n` signals of the first device that has any.
    std::vector<std::string> FirstSignals(std::size_t n) const;
    // Any thread: the map the device's values are decoded with (null before the core said).
    std::shared_ptr<const SignalMap> Map(unsigned int dataId) const;
    // Any thread: the limits the signal's alarms are raised at and their alarm ids.
    SignalLimits Limits(unsigned int dataId, const std::string& signal) const;

  private:
    LiveDevice* Find(unsigned int dataId);

    mutable std::mutex mu_;
    std::vector<LiveDevice> devices_;  // in site order
    std::map<unsigned int, std::size_t> index_;
    std::map<unsigned int, std::shared_ptr<const SignalMap>> maps_;
    EventRecall recall_;
    std::map<unsigned int, std::map<std::string, SignalLimits>> limits_;
};
