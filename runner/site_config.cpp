#include "runner/site_config.h"

#include <grp.h>

#include <filesystem>
#include <set>

#include "core/json_check.h"
#include "core/level_names.h"
#include "history/history_config.h"
#include "runner/install_dirs.h"

namespace {

std::string DirOf(const std::string& file) {
    const auto dir = std::filesystem::path(file).parent_path();
    return dir.empty() ? std::string(".") : dir.string();
}

DeviceConfig ParseDevice(const JsonFile& file, const Json::Value& d, const std::string& path,
                         const std::string& baseDir) {
    if (!d.isObject()) file.Fail(path, "expected an object, found " + JsonFile::TypeName(d));
    file.OnlyKnown(d, path,
                   {"model", "dataId", "port", "pollIntervalMs", "delayScale", "replyTimeoutMs",
                    "workDir", "signalMap", "simulation", "settings", "limits", "analogReports"});
    DeviceConfig dev;
    dev.model = file.RequiredString(d, path, "model");
    dev.dataId = static_cast<unsigned int>(file.RequiredInteger(d, path, "dataId", 0, UINT32_MAX));
    dev.port = file.RequiredString(d, path, "port");
    if (dev.port != kSimulatedPort) dev.port = ResolvePath(baseDir, dev.port);
    dev.pollIntervalMs =
        static_cast<int>(file.Integer(d, path, "pollIntervalMs", dev.pollIntervalMs, 0, 86400000));
    dev.delayScale = file.Number(d, path, "delayScale", dev.delayScale, 0.0);
    dev.replyTimeoutMs =
        static_cast<int>(file.Integer(d, path, "replyTimeoutMs", dev.replyTimeoutMs, 1, 600000));
    const std::string workDir = file.String(d, path, "workDir", "");
    dev.workDir = workDir.empty() ? DataDir() : ResolvePath(baseDir, workDir);
    dev.signalMap = ResolvePath(baseDir, file.String(d, path, "signalMap", ""));

    const Json::Value& sim = d["simulation"];
    if (sim.isString()) {
        if (dev.port != kSimulatedPort)
            file.Fail(JsonFile::Join(path, "simulation"), "only for the port \"simulated\"");
        dev.simulation = JsonFile::Load(ResolvePath(baseDir, sim.asString()));
    } else if (sim.isObject()) {
        if (dev.port != kSimulatedPort)
            file.Fail(JsonFile::Join(path, "simulation"), "only for the port \"simulated\"");
        dev.simulation = sim;
    } else if (!sim.isNull()) {
        file.Fail(JsonFile::Join(path, "simulation"),
                  "expected a file name or an object, found " + JsonFile::TypeName(sim));
    }

    dev.settings = file.Object(d, path, "settings");
    if (dev.settings.isNull()) dev.settings = Json::Value(Json::objectValue);

    const Json::Value& limits = file.Object(d, path, "limits");
    const std::string limitsPath = JsonFile::Join(path, "limits");
    for (const auto& id : limits.getMemberNames()) {
        const std::string lp = JsonFile::Join(limitsPath, id);
        const Json::Value& l = limits[id];
        if (!l.isObject()) file.Fail(lp, "expected an object, found " + JsonFile::TypeName(l));
        file.OnlyKnown(l, lp, {"lower", "upper"});
        ThresholdLimitConfig c;
        c.lower = static_cast<float>(file.Number(l, lp, "lower", -3.0e38, -3.0e38));
        c.upper = static_cast<float>(file.Number(l, lp, "upper", 3.0e38, -3.0e38));
        if (c.lower > c.upper) file.Fail(lp, "lower lies above upper");
        dev.limits[id] = c;
    }

    const Json::Value& reports = file.Object(d, path, "analogReports");
    const std::string reportsPath = JsonFile::Join(path, "analogReports");
    for (const auto& id : reports.getMemberNames()) {
        const std::string rp = JsonFile::Join(reportsPath, id);
        const Json::Value& r = reports[id];
        if (!r.isObject()) file.Fail(rp, "expected an object, found " + JsonFile::TypeName(r));
        file.OnlyKnown(r, rp, {"absolute", "percent", "periodMinutes"});
        AOReportConfig c;
        for (const auto& [key, to] :
             {std::pair<const char*, std::optional<float>*>{"absolute", &c.absolute},
              {"percent", &c.percent},
              {"periodMinutes", &c.periodMinutes}})
            if (!r[key].isNull()) *to = static_cast<float>(file.Number(r, rp, key, 0.0, 0.0));
        if (!c.absolute && !c.percent && !c.periodMinutes)
            file.Fail(rp, "give at least one of absolute, percent and periodMinutes");
        dev.analogReports[id] = c;
    }
    return dev;
}

}  // namespace

SiteConfig LoadSiteConfig(const std::string& path) {
    return ParseSiteConfig(JsonFile::Load(path), path, DirOf(path));
}

std::string LoadControlSocket(const std::string& path) {
    const Json::Value root = JsonFile::Load(path);
    const JsonFile file(path);
    if (!root.isObject()) file.Fail("", "expected an object, found " + JsonFile::TypeName(root));
    return ResolvePath(DirOf(path), file.String(root, "", "controlSocket", ""));
}

SiteConfig ParseSiteConfig(const Json::Value& root, const std::string& name,
                           const std::string& baseDir) {
    const JsonFile file(name);
    file.OnlyKnown(
        root, "",
        {"database", "plugins", "controlSocket", "controlGroup", "cacheMaxAgeSeconds", "rounds",
         "roundPriority", "levelNames", "history", "devices", "web", "mqtt", "snmp", "tsdb"});
    SiteConfig site;
    site.file = name;
    site.database = ResolvePath(baseDir, file.String(root, "", "database", site.database));
    site.controlSocket = ResolvePath(baseDir, file.String(root, "", "controlSocket", ""));
    site.controlGroup = file.String(root, "", "controlGroup", "");
    if (!site.controlGroup.empty() && site.controlSocket.empty())
        file.Fail("controlGroup", "needs a controlSocket");
    if (!site.controlGroup.empty() && ::getgrnam(site.controlGroup.c_str()) == nullptr)
        file.Fail("controlGroup", "no group named " + site.controlGroup);
    site.cacheMaxAgeSeconds = static_cast<int>(
        file.Integer(root, "", "cacheMaxAgeSeconds", site.cacheMaxAgeSeconds, 0, 365 * 86400));
    site.rounds = static_cast<int>(file.Integer(root, "", "rounds", 0, 0, 1000000000));
    site.web = ParseWebConfig(file, root["web"], baseDir);
    // Every sink names levels alike; "web.levelNames" is the older place for them.
    site.levelNames = ParseLevelNames(file, root, "");
    if (site.levelNames.empty()) site.levelNames = site.web.levelNames;
    site.web.levelNames = site.levelNames;
    const std::string roundPriority = file.String(root, "", "roundPriority", "info");
    if (roundPriority == "debug")
        site.roundPriority = Priority::kDebug;
    else if (roundPriority != "info")
        file.Fail("roundPriority",
                  "expected \"info\" or \"debug\", found \"" + roundPriority + "\"");

    site.history = ParseHistory(file, file.Object(root, "", "history"));

    const Json::Value& plugins = root["plugins"];
    if (plugins.isNull()) file.Fail("plugins", "missing (an array of plug-in files is required)");
    if (!plugins.isArray())
        file.Fail("plugins",
                  "expected an array of file names, found " + JsonFile::TypeName(plugins));
    if (plugins.empty()) file.Fail("plugins", "must name at least one plug-in file");
    for (unsigned int i = 0; i < plugins.size(); ++i) {
        if (!plugins[i].isString() || plugins[i].asString().empty())
            file.Fail(JsonFile::Index("plugins", i),
                      "expected a file name, found " + JsonFile::TypeName(plugins[i]));
        // A bare file name is a packaged plug-in, so one site file serves every architecture.
        const std::string name = plugins[i].asString();
        site.plugins.push_back(name.find('/') == std::string::npos ? PluginDir() + "/" + name
                                                                   : ResolvePath(baseDir, name));
    }

    site.mqtt = ParseMqttConfig(root["mqtt"], name, baseDir);
    site.snmp = ParseSnmpConfig(root["snmp"], name, baseDir);
    site.tsdb = ParseTsdbConfig(root["tsdb"], name);

    const Json::Value& devices = root["devices"];
    if (devices.isNull()) file.Fail("devices", "missing (an array of devices is required)");
    if (!devices.isArray())
        file.Fail("devices", "expected an array of devices, found " + JsonFile::TypeName(devices));
    if (devices.empty()) file.Fail("devices", "must list at least one device");
    std::set<unsigned int> ids;
    std::set<std::string> ports;
    for (unsigned int i = 0; i < devices.size(); ++i) {
        const std::string path = JsonFile::Index("devices", i);
        DeviceConfig dev = ParseDevice(file, devices[i], path, baseDir);
        if (!ids.insert(dev.dataId).second)
            file.Fail(JsonFile::Join(path, "dataId"),
                      "data id " + std::to_string(dev.dataId) + " is used by an earlier device");
        if (dev.port != kSimulatedPort && !ports.insert(dev.port).second)
            file.Fail(JsonFile::Join(path, "port"),
                      "port " + dev.port + " is used by an earlier device");
        site.devices.push_back(std::move(dev));
    }
    return site;
}

const char* SiteFileHelp() {
    return R"(Site file (JSON). Relative paths are taken from the site file's directory.
  database             SQLite file for history and events (default "smdhost.db")
  plugins              array of plug-in files to load (required): a bare file name such as
                       "rtmk48_pv05.so" is taken from the package's plug-in directory
                       (/usr/lib/<triplet>/smdhost, or $SMDHOST_PLUGIN_DIR), a path
                       from the site file's directory
  controlSocket        Unix socket of the control channel (default: none); made mode 0660,
                       served to root and the host's own user only
  controlGroup         group whose members may use the control channel too; the socket is
                       given to this group (default: none)
  cacheMaxAgeSeconds   a device's last stored record is handed back at start-up only when
                       younger than this (default 300)
  rounds               polling rounds per device before the host stops (default 0: until
                       SIGINT or SIGTERM)
  roundPriority        journal priority of the lines of every round: "info" (default) or
                       "debug" (alarms are warning and notice, failures err)
  history              how history is written and kept (every member optional):
    keepDays           records older than this many days are removed, a few at a time
                       (default 14; 0 keeps them regardless of age)
    keepEventDays      the same for alarm events and analog reports (default 3650)
    keepFiveMinuteDays
                       per-signal aggregates of 5 minutes (minimum, mean, maximum, count) are
                       kept this many days (default 35; 0: regardless of age)
    keepHourDays       and those of an hour this many (default 1100)
    keepRowsPerDevice  at most this many rows of each kind per device (default 0: no limit)
    maxMegabytes       pages in use at most; past it the oldest records go whatever their
                       age, events stay (default 1800; 0: no bound)
    minFreeMegabytes   free space kept on the file system that holds the database; below it
                       the oldest records go (default 64; 0: no guard)
    commitWindowMs     records arriving within this time share one transaction and one flush
                       to disk, which is what a power cut can lose; with fewer than 16 rows by
                       its end it grows, to three times this at most; an alarm event ends the
                       window at once (default 20000)
    queueLimit         rows that may wait for a slow, failing or unopened database; beyond it
                       a row is counted and reported as not stored (default 4096)
  devices              array of devices (required), each an object with:
    model              device type a plug-in serves, e.g. "rtmk48_pv05" (required)
    dataId             the device's data id, unique in the site (required)
    port               serial tty path, or "simulated" for the built-in unit simulator on a
                       pty (required)
    pollIntervalMs     time from the start of one round to the start of the next (default 5000)
    delayScale         milliseconds per unit of the device's delay requests (default 1)
    replyTimeoutMs     time allowed for a reply (default 1000)
    workDir            directory in which the device finds its ./ini/ model files
                       (default: the package's /usr/share/smdhost, or $SMDHOST_DATA_DIR)
    signalMap          signal map file: where each signal's value sits in the record
                       (default: none, no signal values are written)
    simulation         "simulated" port only: scenario file name or inline scenario object
    settings           object handed to the device's InitSetting (default {})
    limits             host-side limits of analog checks by alarm id:
                       { "<alarm id>": { "lower": <number>, "upper": <number> } }
    analogReports      report settings of analog signals in settings mode 1, by signal id:
                       { "<signal id>": { "absolute": <band>, "percent": <band in %>,
                       "periodMinutes": <minutes> } }; a signal reports when its value leaves
                       a band around the value last reported, or when the period ran out;
                       reports are stored with the history (default: none)
  levelNames           names of alarm levels, for the page, the broker and SNMP:
                       { "1": "critical", "2": "major" } (default: levels as numbers)
  web                  the read-only status page, JSON API (/api/) and metrics (/metrics);
                       off when absent. An object with:
    address            IP address to listen on (default "127.0.0.1": this machine only)
    port               TCP port (default 8080; 0: any free port, printed at start)
    staleSeconds       a device without a good round for longer shows as stale (default 60)
    root               directory of the page's files (default: the installed ones)
    chartSignals       names of the signals the page's chart shows first (default: the
                       first two of the first device)
    chartHours         how far back the chart reaches (default 3)
    hosts              host names the page is reached by, besides IP addresses, "localhost"
                       and this machine's name; requests naming another host are refused
    connections        connections open at once (default 64); past it, the one idle longest
                       is closed, or the newcomer gets 503 when none is idle
    connectionsPerClient  the same, from one address (default 16)
    siteName           the page's title (default: the site file's name)
    levelNames         the same as the top-level member, read when that one is absent
)";
}
