#pragma once
// What the host core hands on: each device's records, alarm events, analog reports and health.
// History, the live status and the broker forwarder are sinks; the core knows only this
// interface, as a logging library knows only its sinks.
//
// The core calls every sink on the polling thread, in the order things happened. A sink must
// return at once (queue the work for a thread of its own; never wait for a disk or a network)
// and must not call back into the host. Whatever a sink keeps from an argument it copies.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <json/value.h>

#include "core/signal_map.h"

using WallTime = std::chrono::system_clock::time_point;

// The limits a signal's alarms are raised at, ascending, and the ids those alarms carry.
struct SignalLimits {
    std::vector<double> thresholds;
    std::vector<std::string> alarmIds;
};

// A device the site runs, as every sink should show it: the one signal map the core decodes
// its records with.
struct DeviceDescription {
    unsigned int dataId = 0;
    std::string model;
    std::string port;
    bool started = false;                      // false: it could not be started
    std::shared_ptr<const SignalMap> signals;  // never null; empty when the device has none
    // By signal name, its limits and alarm ids (the trend's threshold lines and alarm bands).
    std::map<std::string, SignalLimits> limits;
};

// A record the device stored (SaveDeviceHistory), with the signal values decoded from it.
struct RecordOut {
    unsigned int dataId = 0;
    int typeId = 0;
    WallTime at;
    const unsigned char* bytes = nullptr;
    std::size_t len = 0;
    // Signal name to value (numbers) from the device's signal map; null when it has none.
    const Json::Value* values = nullptr;
};

// An alarm as every sink sees it: one that changed state, one found standing at start-up, one
// read back from the store or shown on the page.
struct Alarm {
    unsigned int dataId = 0;
    WallTime at;  // when it changed; for a standing alarm, when it was raised
    int level = 0;
    std::string levelName;  // the site's name for the level; empty when it names none
    std::string alarmId;
    std::string name;
    std::string value;
    std::optional<double> threshold;  // the limit an analog value crossed
    std::string text;
    bool raised = false;
    // Raised before this process started and still standing: state, not a new event.
    bool restored = false;
};

struct ReportOut {
    unsigned int dataId = 0;
    WallTime at;
    std::string signalId;
    double value = 0.0;
};

// A device's communication health, handed on after every round and when its port opens or
// closes.
struct DeviceHealth {
    unsigned int dataId = 0;
    std::string model;
    std::string port;
    bool portOpen = false;
    uint64_t roundsStarted = 0;
    uint64_t roundsCompleted = 0;  // records published
    std::optional<WallTime> lastGoodRound;
    std::map<std::string, uint64_t> errors;  // by kind, since start
    std::string lastError;                   // empty when the last round was good
};

// One figure a sink reports about itself (queue depth, rows not stored, connected, ...), for
// the summary, the status page and the metrics. Names are lower_snake_case.
struct SinkFigure {
    std::string name;
    double value = 0.0;
    std::string help;
};

class Sink {
  public:
    virtual ~Sink() = default;

    virtual const char* Name() const = 0;
    // Every device the site runs: at start, before the first record, and after every reload.
    virtual void OnDevices(const std::vector<DeviceDescription>&) {}
    virtual void OnRecord(const RecordOut&) {}
    virtual void OnAlarm(const Alarm&) {}
    virtual void OnReport(const ReportOut&) {}
    virtual void OnHealth(const DeviceHealth&) {}
    // Any thread.
    virtual std::vector<SinkFigure> Figures() const { return {}; }
    // The host stops: finish what was handed over, waiting at most `limit`.
    virtual void Drain(std::chrono::milliseconds /*limit*/) {}
};

struct RecalledRecord {
    int typeId = 0;
    WallTime at;
    std::vector<unsigned char> bytes;
};

// A device's records that reached the store, and its rows (of any kind) given up on.
struct StoreCount {
    uint64_t records = 0;
    uint64_t notStored = 0;
};

class Recall {
  public:
    virtual ~Recall() = default;
    // Called by the host at start, after its control socket and before any device: opens what
    // the sink keeps; throws when it cannot, naming it.
    virtual void Open() {}
    virtual std::optional<RecalledRecord> LastRecord(unsigned int dataId) = 0;
    // What the host reads back at start-up, from whichever sink keeps it (history): the alarms
    // standing when the host stopped, each stamped with when it was raised.
    virtual std::vector<Alarm> StandingAlarms(unsigned int dataId) = 0;
    // For the closing summary, after the sinks drained. Any thread.
    virtual StoreCount Stored(unsigned int /*dataId*/) const { return {}; }
};
