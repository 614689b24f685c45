#pragma once
// The site file's "tsdb" member: a time-series database the host writes its signals, alarm
// events and reports to over HTTP, in the line protocol. Absent or "enabled": false: none.
#include <cstdint>
#include <optional>
#include <string>

#include <json/value.h>

struct TsdbConfig {
    std::string url;     // as written, for messages
    std::string host;    // from the url
    std::string port;    // from the url; "80" when it names none
    std::string target;  // path and query, with precision=ms added
    std::string siteId;  // the site tag of every line
    int batchLines = 1000;
    int timeoutSeconds = 10;
    int64_t queueMaxRows = 100000;
    int64_t queueMaxAgeSeconds = 30 * 86400;
};

// Reads the member `tsdb` of the site file `file`; nullopt when absent, null or disabled.
// Errors are ConfigError "<file>: tsdb.<member>: <what>".
std::optional<TsdbConfig> ParseTsdbConfig(const Json::Value& tsdb, const std::string& file);

// The --help text of the member.
const char* TsdbFileHelp();
