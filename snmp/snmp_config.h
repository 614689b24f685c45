#pragma once
// The site file's "snmp" member: the AgentX subagent that shows the site to an SNMP manager
// through the machine's master agent. Absent, null or "enabled": false: no subagent.
#include <optional>
#include <string>
#include <vector>

#include <json/value.h>

struct SnmpConfig {
    // Where the master agent listens for subagents: a socket path, or "tcp:host:port".
    std::string agentxSocket = "/var/agentx/master";
    // The MIB's root; the placeholder example arc until an enterprise number is registered.
    std::vector<unsigned long> oidBase = {1, 3, 6, 1, 4, 1, 8072, 9999, 9999, 48};
    int staleSeconds = 60;     // a device without a good round for this long is stale (lost)
    int retryMaxSeconds = 60;  // the slowest the subagent retries an absent master
};

// Reads the member `snmp` of the site file `file` (relative socket paths from baseDir);
// nullopt when it is absent, null or switched off. Errors are ConfigError
// "<file>: snmp.<member>: <what>".
std::optional<SnmpConfig> ParseSnmpConfig(const Json::Value& snmp, const std::string& file,
                                          const std::string& baseDir);

// "1.3.6.1..." as numbers; nullopt unless it is at least two numbers joined by dots.
std::optional<std::vector<unsigned long>> ParseOid(const std::string& text);

// The --help text of the member.
const char* SnmpFileHelp();
