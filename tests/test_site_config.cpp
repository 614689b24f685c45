// The site file: what is read, and the messages for what is wrong.
#include <string>

#include <gtest/gtest.h>

#include "core/json_check.h"
#include "runner/install_dirs.h"
#include "runner/site_config.h"

namespace {

SiteConfig Parse(const std::string& text) {
    return ParseSiteConfig(JsonFile::Parse(text, "site.json"), "site.json", "/etc/smd");
}

// The message of the ConfigError that parsing `text` raises.
std::string ErrorOf(const std::string& text) {
    try {
        Parse(text);
    } catch (const ConfigError& e) {
        return e.what();
    }
    return "(no error)";
}

TEST(SiteConfig, ReadsEveryMemberAndResolvesPathsFromTheFile) {
    const SiteConfig s = Parse(R"({
      "database": "data/h.db", "plugins": ["rtmk48_pv05.so", "/opt/p.so"],
      "controlSocket": "/run/smd.sock", "cacheMaxAgeSeconds": 60, "rounds": 3,
      "devices": [
        {"model": "rtmk48_pv05", "dataId": 7, "port": "/dev/ttyS1", "pollIntervalMs": 2000,
         "delayScale": 0.5, "replyTimeoutMs": 400, "workDir": "site1",
         "signalMap": "ini/map.json", "settings": {"appSetting": {"b_mode": 5}},
         "limits": {"0416004011": {"lower": 42, "upper": 56}}},
        {"model": "rtmk48_pv05", "dataId": 8, "port": "simulated", "simulation": {"x": 1}}
      ],
      "web": {"address": "0.0.0.0", "port": 0, "staleSeconds": 30, "root": "page",
              "chartSignals": ["a"], "chartHours": 6, "hosts": ["site-7.lan"], "connections": 32,
              "connectionsPerClient": 4, "siteName": "Site 7",
              "levelNames": {"1": "critical", "3": "minor"}}})");
    EXPECT_EQ(s.database, "/etc/smd/data/h.db");
    // A bare name is a packaged plug-in; a path is taken from the site file's directory.
    EXPECT_EQ(s.plugins, (std::vector<std::string>{PluginDir() + "/rtmk48_pv05.so", "/opt/p.so"}));
    EXPECT_EQ(s.controlSocket, "/run/smd.sock");
    EXPECT_EQ(s.cacheMaxAgeSeconds, 60);
    EXPECT_EQ(s.rounds, 3);
    EXPECT_TRUE(s.web.enabled);
    EXPECT_EQ(s.web.address + " " + std::to_string(s.web.port) + " " +
                  std::to_string(s.web.staleSeconds) + " " + s.web.root + " " +
                  s.web.chartSignals.at(0) + " " + std::to_string(s.web.chartHours),
              "0.0.0.0 0 30 /etc/smd/page a 6");
    EXPECT_EQ(s.web.hosts.at(0) + " " + std::to_string(s.web.connections) + " " +
                  std::to_string(s.web.connectionsPerClient) + " " + s.web.siteName + " " +
                  s.web.levelNames.at(1) + " " + s.web.levelNames.at(3),
              "site-7.lan 32 4 Site 7 critical minor");
    ASSERT_EQ(s.devices.size(), 2u);
    const DeviceConfig& d = s.devices[0];
    EXPECT_EQ(d.model, "rtmk48_pv05");
    EXPECT_EQ(d.dataId, 7u);
    EXPECT_EQ(d.port, "/dev/ttyS1");
    EXPECT_EQ(d.pollIntervalMs, 2000);
    EXPECT_DOUBLE_EQ(d.delayScale, 0.5);
    EXPECT_EQ(d.replyTimeoutMs, 400);
    EXPECT_EQ(d.workDir, "/etc/smd/site1");
    EXPECT_EQ(d.signalMap, "/etc/smd/ini/map.json");
    EXPECT_EQ(d.settings["appSetting"]["b_mode"].asInt(), 5);
    ASSERT_EQ(d.limits.count("0416004011"), 1u);
    EXPECT_FLOAT_EQ(d.limits.at("0416004011").lower, 42.0f);
    EXPECT_FLOAT_EQ(d.limits.at("0416004011").upper, 56.0f);

    const DeviceConfig& sim = s.devices[1];
    EXPECT_EQ(sim.port, "simulated");
    EXPECT_EQ(sim.simulation["x"].asInt(), 1);
    // Defaults.
    EXPECT_EQ(sim.pollIntervalMs, 5000);
    EXPECT_DOUBLE_EQ(sim.delayScale, 1.0);
    EXPECT_EQ(sim.workDir, DataDir());
    EXPECT_TRUE(sim.signalMap.empty());
    EXPECT_TRUE(sim.settings.isObject());
    const SiteConfig bare = Parse(R"({"plugins": ["p.so"], "devices": [{"model": "m", "dataId": 1,
                          "port": "simulated"}]})");
    EXPECT_TRUE(bare.controlSocket.empty());
    EXPECT_FALSE(bare.web.enabled);
    EXPECT_EQ(Parse(R"({"plugins": ["p.so"], "web": {}, "devices": [{"model": "m", "dataId": 1,
                          "port": "simulated"}]})")
                  .web.address,
              "127.0.0.1");
    EXPECT_FALSE(bare.mqtt);
    const auto mqtt = Parse(R"({"plugins": ["p.so"], "devices": [{"model": "m", "dataId": 1,
                             "port": "simulated"}], "mqtt": {"host": "b", "siteId": "s"}})")
                          .mqtt;
    ASSERT_TRUE(mqtt);
    EXPECT_EQ(mqtt->port, 1883);
    EXPECT_EQ(mqtt->clientId, "smdhost-s");
    EXPECT_EQ(mqtt->topicPrefix, "smd");
    EXPECT_FALSE(bare.tsdb);
    const auto tsdb = Parse(R"({"plugins": ["p.so"], "devices": [{"model": "m", "dataId": 1,
                             "port": "simulated"}], "tsdb": {"url": "http://[::1]:8428?db=x"}})")
                          .tsdb;
    ASSERT_TRUE(tsdb);
    EXPECT_EQ(tsdb->host + " " + tsdb->port + " " + tsdb->target, "::1 8428 /?db=x&precision=ms");
    EXPECT_FALSE(Parse(R"({"plugins": ["p.so"], "devices": [{"model": "m", "dataId": 1,
                     "port": "simulated"}], "tsdb": {"url": "http://t", "enabled": false}})")
                     .tsdb);
}

TEST(SiteConfig, ErrorsNameTheFileTheMemberAndWhatIsWrong) {
    const std::string dev = R"("model": "rtmk48_pv05", "dataId": 7, "port": "simulated")";
    const std::string top = R"("plugins": ["p.so"], )";
    const struct {
        std::string text;
        std::string message;
    } cases[] = {
        {"{", "site.json: not valid JSON: "},
        {"[]", "site.json: expected a JSON object at the top"},
        {R"({"devices": [{)" + dev + "}]}", "site.json: plugins: missing"},
        {R"({"plugins": "p.so", "devices": []})", "site.json: plugins: expected an array"},
        {R"({"plugins": [3], "devices": []})", "site.json: plugins[0]: expected a file name"},
        {R"({"plugins": ["p.so"]})", "site.json: devices: missing"},
        {"{" + top + R"("roundPriority": "notice", "devices": [{)" + dev + "}]}",
         "site.json: roundPriority: expected \"info\" or \"debug\", found \"notice\""},
        {"{" + top + R"("devices": []})", "site.json: devices: must list at least one device"},
        {"{" + top + R"("devices": [{"dataId": 7, "port": "simulated"}]})",
         "site.json: devices[0].model: missing"},
        {"{" + top + R"("devices": [{"model": "m", "dataId": "7", "port": "simulated"}]})",
         "site.json: devices[0].dataId: expected a whole number, found a string"},
        {"{" + top + R"("devices": [{"model": "m", "dataId": -1, "port": "simulated"}]})",
         "site.json: devices[0].dataId: must lie between 0 and 4294967295, found -1"},
        {"{" + top + R"("devices": [{"model": "m", "dataId": 7}]})",
         "site.json: devices[0].port: missing"},
        {"{" + top + R"("devices": [{)" + dev + R"(, "pollIntervalMs": 1.5}]})",
         "site.json: devices[0].pollIntervalMs: expected a whole number, found 1.5"},
        {"{" + top + R"("devices": [{)" + dev + R"(, "delayScale": -1}]})",
         "site.json: devices[0].delayScale: must be at least 0, found -1"},
        {"{" + top + R"("devices": [{)" + dev + R"(, "settings": []}]})",
         "site.json: devices[0].settings: expected an object, found an array"},
        {"{" + top + R"("devices": [{)" + dev + R"(, "pollInterval": 5}]})",
         "site.json: devices[0].pollInterval: unknown member"},
        {"{" + top + R"("devices": [{)" + dev + "}, {" + dev + "}]}",
         "site.json: devices[1].dataId: data id 7 is used by an earlier device"},
        {"{" + top +
             R"("devices": [{"model": "m", "dataId": 1, "port": "/dev/x", "simulation": {}}]})",
         "site.json: devices[0].simulation: only for the port \"simulated\""},
        {"{" + top + R"("devices": [{)" + dev + R"(, "limits": {"a": {"lower": 5, "upper": 1}}}]})",
         "site.json: devices[0].limits.a: lower lies above upper"},
        {"{" + top + R"("devices": [{)" + dev + R"(}], "rounds": "3"})",
         "site.json: rounds: expected a whole number, found a string"},
        {"{" + top + R"("devices": [{)" + dev + R"(}], "web": {"address": "localhost"}})",
         "site.json: web.address: \"localhost\" is not an IP address"},
        {"{" + top + R"("devices": [{)" + dev + R"(}], "web": {"port": 70000}})",
         "site.json: web.port: must lie between 0 and 65535, found 70000"},
        {"{" + top + R"("devices": [{)" + dev + R"(}], "web": {"chartSignals": "a"}})",
         "site.json: web.chartSignals: expected an array"},
        {"{" + top + R"("devices": [{)" + dev + R"(}], "web": {"stale": 5}})",
         "site.json: web.stale: unknown member"},
        {"{" + top + R"("devices": [{)" + dev + R"(}], "web": {"hosts": [1]}})",
         "site.json: web.hosts[0]: expected a host name, found a number"},
        {"{" + top + R"("devices": [{)" + dev +
             R"(}], "web": {"connections": 8, "connectionsPerClient": 9}})",
         "site.json: web.connectionsPerClient: must lie between 1 and 8, found 9"},
        {"{" + top + R"("devices": [{)" + dev + R"(}], "web": {"levelNames": {"high": "x"}}})",
         "site.json: web.levelNames.high: expected an alarm level"},
        {"{" + top + R"("devices": [{)" + dev + R"(}], "mqtt": {"port": 1883}})",
         "site.json: mqtt.host: missing"},
        {"{" + top + R"("devices": [{)" + dev + R"(}], "mqtt": {"host": "b", "siteId": "a/b"}})",
         "site.json: mqtt.siteId: must be a non-empty name without '/'"},
        {"{" + top + R"("devices": [{)" + dev +
             R"(}], "mqtt": {"host": "b", "tls": {"caFile": "/nonexistent/ca.crt"}}})",
         "site.json: mqtt.tls: /nonexistent/ca.crt: cannot be read"},
        {"{" + top + R"("devices": [{)" + dev +
             R"(}], "mqtt": {"host": "b", "username": "u", "passwordFile": "/etc/passwd"}})",
         "site.json: mqtt.passwordFile: /etc/passwd is readable by everyone"},
        {"{" + top + R"("devices": [{)" + dev + R"(}], "mqtt": {"host": "b", "outboxMaxRows": 0}})",
         "site.json: mqtt.outboxMaxRows: must lie between 1 and"},
        {"{" + top + R"("devices": [{)" + dev + R"(}], "tsdb": {"url": "https://t/write"}})",
         "site.json: tsdb.url: expected \"http://host:port/path\""},
        {"{" + top + R"("devices": [{)" + dev + R"(}], "tsdb": {"url": "http://t:0/write"}})",
         "site.json: tsdb.url: bad port in \"http://t:0/write\""},
        {"{" + top + R"("devices": [{)" + dev + R"(}], "tsdb": {"url": "http://t?precision=s"}})",
         "site.json: tsdb.url: precision is the host's to set (ms)"},
        {"{" + top + R"("devices": [{)" + dev + R"(}], "tsdb": {"url": "http://t", "batch": 1}})",
         "site.json: tsdb.batch: unknown member"},
    };
    for (const auto& c : cases) {
        const std::string got = ErrorOf(c.text);
        EXPECT_EQ(got.rfind(c.message, 0), 0u) << "input: " << c.text << "\n  got: " << got;
    }
}

TEST(SiteConfig, AMissingFileIsNamed) {
    try {
        LoadSiteConfig("/nonexistent/site.json");
        FAIL();
    } catch (const ConfigError& e) {
        EXPECT_STREQ(e.what(), "/nonexistent/site.json: cannot be read: No such file or directory");
    }
}

TEST(SiteConfig, HelpNamesEveryMember) {
    const std::string help = std::string(SiteFileHelp()) + MqttFileHelp() + TsdbFileHelp();
    for (const char* m : {"database",      "plugins",
                          "controlSocket", "cacheMaxAgeSeconds",
                          "rounds",        "devices",
                          "model",         "dataId",
                          "port",          "pollIntervalMs",
                          "delayScale",    "replyTimeoutMs",
                          "workDir",       "signalMap",
                          "simulation",    "settings",
                          "limits",        "web",
                          "address",       "staleSeconds",
                          "root",          "chartSignals",
                          "chartHours",    "controlGroup",
                          "roundPriority"})
        EXPECT_NE(help.find(std::string("  ") + m + " "), std::string::npos) << m;
    for (const char* m :
         {"mqtt", "host", "siteId", "clientId", "topicPrefix", "keepAliveSeconds", "tls",
          "username", "passwordFile", "outboxMaxRows", "outboxMaxAgeSeconds", "tsdb", "url",
          "batchLines", "timeoutSeconds", "queueMaxRows", "queueMaxAgeSeconds"})
        EXPECT_NE(help.find(std::string("  ") + m + " "), std::string::npos) << m;
}

}  // namespace
