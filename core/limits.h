#pragma once
// The host-side alarm limits of a device, by alarm id: what the host checks analog values
// against in settings mode 1, and what an alarm reports as the threshold it crossed.
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/host_config.h"
#include "core/sink.h"

using Limits = std::map<std::string, ThresholdLimitConfig>;

// The settings' limits with the site file's own on top.
Limits AllLimits(const DeviceConfig& c);

// Per signal name, the limits its alarms are raised at: the rules' four values by "SignalName",
// and the site file's limits of an alarm id a rule names; with the rules' alarm ids (the "ID"
// in settings mode 1, with each value's suffix in mode 5).
std::map<std::string, SignalLimits> LimitsBySignal(const DeviceConfig& c);

// What an alarm reports as the threshold it crossed: in settings mode 1 the host's limit the
// value lies beyond, in mode 5 the rule's own value for the alarm id the device formed.
class Thresholds {
  public:
    Thresholds() = default;
    explicit Thresholds(const DeviceConfig& c);
    // `value` is the alarm's value as text; none when the alarm id has no threshold.
    std::optional<double> Crossed(const std::string& alarmId, const std::string& value) const;

  private:
    Limits limits_;
    std::map<std::string, double> rules_;  // by alarm id
};
