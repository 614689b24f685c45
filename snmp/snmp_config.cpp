#include "snmp/snmp_config.h"

#include <filesystem>

#include "core/json_check.h"

std::optional<std::vector<unsigned long>> ParseOid(const std::string& text) {
    std::vector<unsigned long> oid;
    std::size_t at = text.size() > 0 && text[0] == '.' ? 1 : 0;
    while (at <= text.size()) {
        const std::size_t dot = std::min(text.find('.', at), text.size());
        const std::string part = text.substr(at, dot - at);
        // An arc is an unsigned 32-bit number.
        if (part.empty() || part.size() > 10 ||
            part.find_first_not_of("0123456789") != std::string::npos)
            return std::nullopt;
        const unsigned long long v = std::stoull(part);
        if (v > 0xFFFFFFFFull) return std::nullopt;
        oid.push_back(static_cast<unsigned long>(v));
        at = dot + 1;
    }
    // Leave room below the base for the tables' columns and indexes (at most 128 arcs).
    if (oid.size() < 2 || oid.size() > 100 || oid[0] > 2) return std::nullopt;
    return oid;
}

std::optional<SnmpConfig> ParseSnmpConfig(const Json::Value& m, const std::string& name,
                                          const std::string& baseDir) {
    if (m.isNull()) return std::nullopt;
    const JsonFile file(name);
    const std::string path = "snmp";
    if (!m.isObject()) file.Fail(path, "expected an object, found " + JsonFile::TypeName(m));
    file.OnlyKnown(m, path,
                   {"enabled", "agentxSocket", "oidBase", "staleSeconds", "retryMaxSeconds"});
    if (!file.Bool(m, path, "enabled", true)) return std::nullopt;
    SnmpConfig c;
    c.agentxSocket = file.String(m, path, "agentxSocket", c.agentxSocket);
    if (c.agentxSocket.empty()) file.Fail("snmp.agentxSocket", "must not be empty");
    // A relative socket path is the site file's, as every other path in it; "tcp:..." and
    // "udp:..." are net-snmp transport addresses.
    if (c.agentxSocket.front() != '/' && c.agentxSocket.find(':') == std::string::npos &&
        !baseDir.empty())
        c.agentxSocket = (std::filesystem::path(baseDir) / c.agentxSocket).lexically_normal();
    const std::string base = file.String(m, path, "oidBase", "");
    if (!base.empty()) {
        const auto oid = ParseOid(base);
        if (!oid)
            file.Fail("snmp.oidBase", "expected an OID such as 1.3.6.1.4.1.8072.9999.9999.48");
        c.oidBase = *oid;
    }
    c.staleSeconds =
        static_cast<int>(file.Integer(m, path, "staleSeconds", c.staleSeconds, 1, 86400));
    c.retryMaxSeconds =
        static_cast<int>(file.Integer(m, path, "retryMaxSeconds", c.retryMaxSeconds, 1, 3600));
    return c;
}

const char* SnmpFileHelp() {
    return R"(  snmp                 show the units, values and alarms to SNMP managers through the
                       machine's snmpd as an AgentX subagent (default: none), an object with:
    enabled            false switches it off (default true)
    agentxSocket       the master agent's AgentX socket (default "/var/agentx/master")
    oidBase            the MIB's root (default "1.3.6.1.4.1.8072.9999.9999.48", net-snmp's
                       example arc, a placeholder until an enterprise number is registered)
    staleSeconds       a unit without a good round for this long is stale and reported lost
                       (default 60)
    retryMaxSeconds    an absent master agent is retried after 1, 2, 4, ... seconds, at most
                       this far apart (default 60)
)";
}
