#pragma once
// What the host core runs: its devices and how it drives them. The site file composes this
// with the members of the program and its sinks.
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <json/value.h>

#include "core/logger.h"

inline constexpr const char* kSimulatedPort = "simulated";

struct ThresholdLimitConfig {
    float lower;
    float upper;
};

// An analog signal's report setting: report when the value leaves the band around the last
// reported one (absolute or percent), or when the period has run out. Absent: not checked.
struct AOReportConfig {
    std::optional<float> absolute;
    std::optional<float> percent;
    std::optional<float> periodMinutes;
};

struct DeviceConfig {
    std::string model;
    unsigned int dataId = 0;
    std::string port;  // a tty path, or kSimulatedPort
    int pollIntervalMs = 5000;
    double delayScale = 1.0;  // milliseconds per unit of the device's delay requests
    int replyTimeoutMs = 1000;
    std::string workDir;     // where the device finds ./ini/
    std::string signalMap;   // empty: no signal values are written
    Json::Value simulation;  // scenario of the built-in simulator; null: its defaults
    Json::Value settings;    // handed to InitSetting
    std::map<std::string, ThresholdLimitConfig> limits;   // host-side limits by alarm id
    std::map<std::string, AOReportConfig> analogReports;  // by signal id
};

struct HostConfig {
    std::string file;  // where it was read from, for messages
    std::vector<std::string> plugins;
    int cacheMaxAgeSeconds = 300;
    int rounds = 0;                            // per device; 0: until stopped
    Priority roundPriority = Priority::kInfo;  // of the round and record lines
    std::map<int, std::string> levelNames;     // alarm level -> "critical", ...; may be empty
    std::vector<DeviceConfig> devices;
};
