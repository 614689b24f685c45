#include "tsdb/tsdb_config.h"

#include <unistd.h>

#include <climits>

#include "core/json_check.h"

namespace {

std::string HostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "site";
    return name;
}

// "http://host[:port][/path][?query]" into host, port and target.
void SplitUrl(const JsonFile& file, TsdbConfig& c) {
    const std::string scheme = "http://";
    if (c.url.compare(0, scheme.size(), scheme) != 0)
        file.Fail("tsdb.url",
                  "expected \"http://host:port/path\" (for https, a local TLS proxy), found \"" +
                      c.url + "\"");
    const std::string rest = c.url.substr(scheme.size());
    const std::size_t slash = rest.find_first_of("/?");
    std::string authority = rest.substr(0, slash);
    c.target = slash == std::string::npos ? "/write" : rest.substr(slash);
    if (c.target.front() == '?') c.target = "/" + c.target;
    if (authority.find('@') != std::string::npos)
        file.Fail("tsdb.url", "user names in the url are not supported");
    c.port = "80";
    // [v6 address]:port or host:port
    const std::size_t close = authority.rfind(']');
    const std::size_t colon = authority.rfind(':');
    if (colon != std::string::npos && (close == std::string::npos || colon > close)) {
        c.port = authority.substr(colon + 1);
        authority.erase(colon);
        if (c.port.empty() || c.port.find_first_not_of("0123456789") != std::string::npos ||
            c.port.size() > 5 || std::stoi(c.port) < 1 || std::stoi(c.port) > 65535)
            file.Fail("tsdb.url", "bad port in \"" + c.url + "\"");
    }
    if (authority.size() > 2 && authority.front() == '[' && authority.back() == ']')
        authority = authority.substr(1, authority.size() - 2);
    if (authority.empty()) file.Fail("tsdb.url", "no host in \"" + c.url + "\"");
    c.host = authority;
    // The lines carry milliseconds; the database must read them so.
    if (c.target.find("precision=") != std::string::npos)
        file.Fail("tsdb.url", "precision is the host's to set (ms); remove it");
    c.target += c.target.find('?') == std::string::npos ? "?precision=ms" : "&precision=ms";
}

}  // namespace

std::optional<TsdbConfig> ParseTsdbConfig(const Json::Value& m, const std::string& name) {
    if (m.isNull()) return std::nullopt;
    const JsonFile file(name);
    const std::string path = "tsdb";
    if (!m.isObject()) file.Fail(path, "expected an object, found " + JsonFile::TypeName(m));
    file.OnlyKnown(m, path,
                   {"enabled", "url", "siteId", "batchLines", "timeoutSeconds", "queueMaxRows",
                    "queueMaxAgeSeconds"});
    TsdbConfig c;
    c.url = file.RequiredString(m, path, "url");
    SplitUrl(file, c);
    c.siteId = file.String(m, path, "siteId", HostName());
    if (c.siteId.empty()) file.Fail("tsdb.siteId", "must not be empty");
    c.batchLines = static_cast<int>(file.Integer(m, path, "batchLines", c.batchLines, 1, 100000));
    c.timeoutSeconds =
        static_cast<int>(file.Integer(m, path, "timeoutSeconds", c.timeoutSeconds, 1, 3600));
    c.queueMaxRows = file.Integer(m, path, "queueMaxRows", c.queueMaxRows, 1, INT64_MAX);
    c.queueMaxAgeSeconds =
        file.Integer(m, path, "queueMaxAgeSeconds", c.queueMaxAgeSeconds, 1, INT64_MAX / 1000);
    if (!file.Bool(m, path, "enabled", true)) return std::nullopt;
    return c;
}

const char* TsdbFileHelp() {
    return R"(  tsdb                 write signals, alarm events and reports to a time-series database
                       over HTTP in the line protocol (default: none), an object with:
    url                its write endpoint, "http://host:port/path" (required), e.g.
                       "http://127.0.0.1:8428/write"; the host adds precision=ms
    enabled            false: written nowhere, the rest kept for later (default true)
    siteId             the site tag of every line (default: the host name)
    batchLines         lines sent in one request at most (default 1000)
    timeoutSeconds     time allowed for a request (default 10)
    queueMaxRows       lines kept for the database at most; beyond, the oldest are dropped
                       and counted, alarm events last (default 100000)
    queueMaxAgeSeconds lines older than this are dropped and counted (default 2592000)
)";
}
