#pragma once
// The site file's "mqtt" member: where and how the host forwards its records, alarm events,
// reports and status to a broker. Absent: no forwarding.
#include <cstdint>
#include <optional>
#include <string>

#include <json/value.h>

struct MqttConfig {
    std::string host;
    int port = 1883;  // 8883 with TLS
    std::string siteId;
    std::string clientId;  // fixed, so the broker keeps the session across reconnects
    std::string topicPrefix = "smd";
    int keepAliveSeconds = 60;
    // TLS when caFile is set; certFile and keyFile together for a client certificate.
    std::string caFile;
    std::string certFile;
    std::string keyFile;
    std::string username;
    std::string password;    // read from the password file
    bool rawRecord = false;  // the whole record, in hex, in each record message
    int64_t outboxMaxRows = 100000;
    int64_t outboxMaxAgeSeconds = 30 * 86400;
};

// Reads the member `mqtt` of the site file `file` (relative paths from baseDir); nullopt when
// the member is absent or null. Errors are ConfigError "<file>: mqtt.<member>: <what>".
std::optional<MqttConfig> ParseMqttConfig(const Json::Value& mqtt, const std::string& file,
                                          const std::string& baseDir);

// The member as a reload reports a change of it: every setting but the password, which shows as
// "(new password)" on `now` when only it differs. "none" when absent.
std::string MqttConfigChange(const std::optional<MqttConfig>& was,
                             const std::optional<MqttConfig>& now, bool showNow);

// The --help text of the member.
const char* MqttFileHelp();
