#pragma once
// The site file: what one host process runs. See SiteFileHelp() for every member.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <json/value.h>

#include "mqtt/mqtt_config.h"
#include "runner/logger.h"
#include "snmp/snmp_config.h"

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

// How history is written and how long it is kept.
struct HistoryConfig {
    int keepDays = 14;               // records; 0: kept regardless of age
    uint64_t keepRowsPerDevice = 0;  // 0: no row limit
    int commitWindowMs = 10000;
    int queueLimit = 4096;
    int keepEventDays = 3650;       // alarm events and analog reports; 0: regardless of age
    int64_t maxMegabytes = 1800;    // 0: no bound
    int64_t minFreeMegabytes = 64;  // 0: no guard
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

// The status page, JSON API and metrics server; off when the site file has no "web".
struct WebConfig {
    bool enabled = false;
    std::string address = "127.0.0.1";
    int port = 8080;  // 0: any free port (the host prints the one it got)
    int staleSeconds = 60;
    std::string root;  // the page's files; empty: found beside the program
    std::vector<std::string> chartSignals;
    int chartHours = 3;
    std::vector<std::string> hosts;         // Host header names served besides IP literals
    int connections = 64;                   // open at once
    int connectionsPerClient = 16;          // open at once from one address
    std::string siteName;                   // the page's title; empty: the site file's name
    std::map<int, std::string> levelNames;  // alarm level -> "critical", ...; empty: numbers
};

struct SiteConfig {
    std::string file;
    std::string database = "smdhost.db";
    std::vector<std::string> plugins;
    std::string controlSocket;  // empty: no control channel
    std::string controlGroup;   // members may use the control channel; empty: none
    int cacheMaxAgeSeconds = 300;
    int rounds = 0;                            // per device; 0: until stopped
    Priority roundPriority = Priority::kInfo;  // of the round and record lines
    HistoryConfig history;
    std::vector<DeviceConfig> devices;
    WebConfig web;
    std::optional<MqttConfig> mqtt;  // none: nothing goes to a broker
    std::optional<SnmpConfig> snmp;  // none: no SNMP subagent
};

// Relative paths in the file are taken from the file's own directory (baseDir for Parse).
// Errors are ConfigError: "<file>: <member>: <what is wrong>".
SiteConfig LoadSiteConfig(const std::string& path);
SiteConfig ParseSiteConfig(const Json::Value& root, const std::string& name,
                           const std::string& baseDir);

// The --help text on the site file's members.
const char* SiteFileHelp();
