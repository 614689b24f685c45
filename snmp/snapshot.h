#pragma once
// What the SNMP subagent shows: the site's devices, their last values and health, and the
// standing alarms. The polling thread updates it; the agent thread copies it to answer from.
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/sink.h"

struct SnmpDevice {
    DeviceDescription description;
    std::optional<DeviceHealth> health;         // none until its first round or port event
    std::vector<std::optional<double>> values;  // by place in the signal map
    std::optional<WallTime> valuesAt;
};

// `at` is when it was raised.
struct SnmpAlarm : Alarm {
    uint32_t index = 0;  // given when raised, kept until cleared
};

struct SnmpSnapshot {
    std::map<unsigned int, SnmpDevice> devices;
    std::map<uint32_t, SnmpAlarm> alarms;
};

// An alarm raised or cleared, in the order the core reported them.
struct AlarmNotice {
    bool raised = false;
    SnmpAlarm alarm;
};
