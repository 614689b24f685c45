#pragma once
// The site file: what one host process runs. See SiteFileHelp() for every member.
#include <optional>
#include <string>

#include <json/value.h>

#include "core/host_config.h"
#include "core/logger.h"
#include "history/history_config.h"
#include "mqtt/mqtt_config.h"
#include "snmp/snmp_config.h"
#include "tsdb/tsdb_config.h"
#include "web/web_config.h"

// The host's members, and what the program around it and its sinks read.
struct SiteConfig : HostConfig {
    std::string database = "smdhost.db";
    std::string controlSocket;  // empty: no control channel
    std::string controlGroup;   // members may use the control channel; empty: none
    HistoryConfig history;
    WebConfig web;
    std::optional<MqttConfig> mqtt;  // none: nothing goes to a broker
    std::optional<SnmpConfig> snmp;  // none: no SNMP subagent
    std::optional<TsdbConfig> tsdb;  // none: nothing goes to a time-series database
};

// Relative paths in the file are taken from the file's own directory (baseDir for Parse).
// Errors are ConfigError: "<file>: <member>: <what is wrong>".
SiteConfig LoadSiteConfig(const std::string& path);
SiteConfig ParseSiteConfig(const Json::Value& root, const std::string& name,
                           const std::string& baseDir);

// The control socket alone (resolved, empty when none): a control client needs no other member.
std::string LoadControlSocket(const std::string& path);

// The --help text on the site file's members.
const char* SiteFileHelp();
