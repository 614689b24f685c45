#include "mqtt/mqtt_config.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>

#include "core/json_check.h"

namespace {

std::string Resolve(const std::string& baseDir, const std::string& p) {
    if (p.empty() || p.front() == '/' || baseDir.empty()) return p;
    return (std::filesystem::path(baseDir) / p).lexically_normal().string();
}

std::string HostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "site";
    return name;
}

// A file the site file names, checked as the site file is: "<path>: <why>" when it cannot
// be used, "" when it can. Opening it cannot block, so a FIFO there does not hang the load.
std::string FileProblem(const std::string& path) {
    try {
        ::close(OpenInputFile(path));
        return "";
    } catch (const ConfigError& e) {
        return e.what();
    }
}

// A password others can read is no secret: refuse it, as ssh refuses a readable key.
std::string ReadPassword(const JsonFile& file, const std::string& path) {
    const std::string member = "mqtt.passwordFile";
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        file.Fail(member, "cannot read " + path + ": " + std::strerror(errno));
    if (st.st_mode & S_IROTH)
        file.Fail(member, path + " is readable by everyone; make it private (chmod o-rwx)");
    std::string text;
    try {
        text = ReadInputFile(path);
    } catch (const ConfigError& e) {
        file.Fail(member, e.what());
    }
    std::string line = text.substr(0, text.find('\n'));
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (line.empty()) file.Fail(member, path + " holds an empty password");
    return line;
}

}  // namespace

std::optional<MqttConfig> ParseMqttConfig(const Json::Value& m, const std::string& name,
                                          const std::string& baseDir) {
    if (m.isNull()) return std::nullopt;
    const JsonFile file(name);
    const std::string path = "mqtt";
    if (!m.isObject()) file.Fail(path, "expected an object, found " + JsonFile::TypeName(m));
    file.OnlyKnown(
        m, path,
        {"host", "port", "siteId", "clientId", "topicPrefix", "keepAliveSeconds", "tls", "username",
         "passwordFile", "rawRecord", "outboxMaxRows", "outboxMaxAgeSeconds"});
    MqttConfig c;
    c.host = file.RequiredString(m, path, "host");
    c.siteId = file.String(m, path, "siteId", HostName());
    if (c.siteId.empty() || c.siteId.find_first_of("/+#") != std::string::npos)
        file.Fail("mqtt.siteId", "must be a non-empty name without '/', '+' or '#'");
    c.clientId = file.String(m, path, "clientId", "smdhost-" + c.siteId);
    if (c.clientId.empty()) file.Fail("mqtt.clientId", "must not be empty");
    c.topicPrefix = file.String(m, path, "topicPrefix", c.topicPrefix);
    if (c.topicPrefix.find_first_of("+#") != std::string::npos)
        file.Fail("mqtt.topicPrefix", "must not hold '+' or '#'");
    c.keepAliveSeconds =
        static_cast<int>(file.Integer(m, path, "keepAliveSeconds", c.keepAliveSeconds, 5, 65535));

    const Json::Value& tls = file.Object(m, path, "tls");
    if (!tls.isNull()) {
        const std::string tp = "mqtt.tls";
        file.OnlyKnown(tls, tp, {"caFile", "certFile", "keyFile"});
        c.caFile = Resolve(baseDir, file.RequiredString(tls, tp, "caFile"));
        c.certFile = Resolve(baseDir, file.String(tls, tp, "certFile", ""));
        c.keyFile = Resolve(baseDir, file.String(tls, tp, "keyFile", ""));
        if (c.certFile.empty() != c.keyFile.empty())
            file.Fail(tp, "certFile and keyFile go together");
        for (const auto* f : {&c.caFile, &c.certFile, &c.keyFile}) {
            const std::string problem = f->empty() ? "" : FileProblem(*f);
            if (!problem.empty()) file.Fail(tp, problem);
        }
        // A key others can read is no secret, as for the password file.
        struct stat st {};
        if (!c.keyFile.empty() && ::stat(c.keyFile.c_str(), &st) == 0 && (st.st_mode & S_IROTH))
            file.Fail("mqtt.tls.keyFile",
                      c.keyFile + " is readable by everyone; make it private (chmod o-rwx)");
        c.port = 8883;
    }
    c.port = static_cast<int>(file.Integer(m, path, "port", c.port, 1, 65535));

    c.username = file.String(m, path, "username", "");
    const std::string pw = Resolve(baseDir, file.String(m, path, "passwordFile", ""));
    if (!pw.empty()) {
        if (c.username.empty()) file.Fail("mqtt.passwordFile", "needs a username");
        c.password = ReadPassword(file, pw);
    }
    c.rawRecord = file.Bool(m, path, "rawRecord", false);
    c.outboxMaxRows = file.Integer(m, path, "outboxMaxRows", c.outboxMaxRows, 1, INT64_MAX);
    c.outboxMaxAgeSeconds =
        file.Integer(m, path, "outboxMaxAgeSeconds", c.outboxMaxAgeSeconds, 1, INT64_MAX / 1000);
    return c;
}

std::string MqttConfigChange(const std::optional<MqttConfig>& was,
                             const std::optional<MqttConfig>& now, bool showNow) {
    const auto text = [](const std::optional<MqttConfig>& c) -> std::string {
        if (!c) return "none";
        return c->host + ":" + std::to_string(c->port) + " site " + c->siteId + " client " +
               c->clientId + " prefix " + c->topicPrefix + " keep-alive " +
               std::to_string(c->keepAliveSeconds) + " s, tls " +
               (c->caFile.empty() ? "off" : c->caFile + " " + c->certFile + " " + c->keyFile) +
               ", user " + (c->username.empty() ? "none" : c->username) + ", raw " +
               (c->rawRecord ? "on" : "off") + ", outbox " + std::to_string(c->outboxMaxRows) +
               " messages " + std::to_string(c->outboxMaxAgeSeconds) + " s";
    };
    std::string out = text(showNow ? now : was);
    if (showNow && was && now && text(was) == out && was->password != now->password)
        out += " (new password)";
    return out;
}

const char* MqttFileHelp() {
    return R"(  mqtt                 forward records, alarm events, reports and status to an MQTT broker
                       (default: none), an object with:
    host               broker host name or address (required)
    port               broker port (default 1883, 8883 with tls)
    siteId             this site's name in topics and payloads (default: the host name)
    clientId           MQTT client id, fixed so the broker keeps the session
                       (default "smdhost-<siteId>")
    topicPrefix        first topic level (default "smd")
    keepAliveSeconds   MQTT keep-alive (default 60)
    tls                { "caFile": <CA file>, "certFile": <client certificate>,
                         "keyFile": <its key> }; certFile and keyFile are optional;
                       the key must not be readable by everyone
    username           user name (default: none)
    passwordFile       file whose first line is the password; must not be readable by
                       everyone (default: none)
    rawRecord          true: each record message holds the whole record in hex too
                       (default false)
    outboxMaxRows      messages kept for the broker at most; beyond, the oldest are dropped
                       and counted (default 100000)
    outboxMaxAgeSeconds  messages older than this are dropped and counted (default 2592000)
)";
}
