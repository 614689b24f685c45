// The operator's view: the live state, the JSON API and the metrics, against a host polling the
// simulator over a real loopback server, compared with the history database; and the status
// page in a headless Chromium.
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include <boost/beast/core/detail/base64.hpp>

#include <gtest/gtest.h>

#include "core/host.h"
#include "core/json_check.h"
#include "core/limits.h"
#include "history/history_sink.h"
#include "runner/demo.h"
#include "runner/simulated_line.h"
#include "sim/simulator.h"
#include "store/history_reader.h"
#include "web/alarm_bands.h"
#include "web/utf8.h"
#include "web/web_view.h"
#include "web_client.h"

namespace {

using webtest::Call;
using webtest::WaitFor;

const std::string kMap = std::string(SMD_SOURCE_DIR) + "/ini/rtmk48_pv05.signals.json";

// A fast device on the built-in simulator: a round every 20 ms.
SiteConfig FastSite(const std::string& dir, const std::string& port = kSimulatedPort) {
    SiteConfig site = DemoSite(SMD_PLUGIN_PATH, SMD_SOURCE_DIR);
    site.database = dir + "/h.db";
    site.controlSocket.clear();
    site.rounds = 0;
    site.web.port = 0;
    DeviceConfig& d = site.devices[0];
    d.port = port;
    d.pollIntervalMs = 20;
    d.delayScale = 0.01;
    d.replyTimeoutMs = 300;
    d.signalMap = kMap;
    d.simulation = Json::Value();
    if (port == kSimulatedPort) d.simulation["blocks"] = DemoScenario()["blocks"];
    return site;
}

// A host and its web view in this process, polling until destroyed.
class LiveHost {
  public:
    explicit LiveHost(const SiteConfig& site)
        : view(site.web, site.file, site.database, "", SMD_SOURCE_DIR),
          host(site, log),
          history(site.database, Options(), host.Log()) {
        history.Start();
        host.AddSink(history);
        host.SetRecall(history);
        host.AddSink(view.Live());
        host.SetSimulator(SimulatorLines());
        host.Start();
        view.Serve(host.Sinks());
        port = static_cast<uint16_t>(std::stoi(view.Url().substr(view.Url().rfind(':') + 1)));
        thread = std::thread([this] { host.Run(); });
    }
    static HistoryOptions Options() {
        HistoryOptions o;
        o.commitWindow = std::chrono::milliseconds(50);
        return o;
    }
    ~LiveHost() {
        host.Stop();
        thread.join();
        view.Stop();
    }
    std::ostringstream log;
    WebView view;
    Host host;
    HistorySink history;
    std::thread thread;
    uint16_t port = 0;
};

class WebLive : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/smd-web-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string dir_;
};

// The values a record carries, decoded as the host does, by signal name.
std::map<std::string, double> Decoded(const StoredRecord& r) {
    Json::Value v;
    SignalMap::Load(kMap).Apply(r.bytes.data(), r.bytes.size(), v);
    std::map<std::string, double> out;
    for (const auto& k : v.getMemberNames()) out[k] = v[k].asDouble();
    return out;
}

TEST(WebApi, LiveStateKeepsStandingAlarmsAndABoundedEventList) {
    LiveState live({LiveDeviceSpec{7, "m", "p", {{"v", "V"}}}});
    auto alarm = [&](const std::string& id, bool raised, bool restored = false) {
        Alarm a;
        a.dataId = 7;
        a.alarmId = id;
        a.raised = raised;
        a.restored = restored;
        live.OnAlarm(a);
    };
    alarm("A", true);
    alarm("B", true);
    alarm("A", false);
    alarm("C", true, true);  // standing since before the start: state, not an event
    alarm("X", true);
    alarm("X", true);   // raised again: one standing alarm
    alarm("Y", false);  // a clear never raised here
    const LiveDevice d = *live.Device(7);
    std::string active, events;
    for (const auto& a : d.active) active += a.alarmId;
    for (const auto& e : d.events) events += e.alarmId + (e.raised ? "+" : "-");
    EXPECT_EQ(active, "BCX");
    EXPECT_EQ(events, "A+B+A-X+X+Y-");
    EXPECT_FALSE(live.Device(8).has_value());
    for (int i = 0; i < 60; ++i) alarm("Z", i % 2 == 0);
    EXPECT_EQ(live.Device(7)->events.size(), LiveState::kEvents);
    EXPECT_EQ(live.Device(7, 3)->events.size(), 3u);

    // Texts reach the API's JSON intact, whatever they hold.
    Alarm odd;
    odd.dataId = 7;
    odd.alarmId = "Q";
    odd.text = "quote \" backslash \\ newline \n tab \t 高于阈值";
    odd.raised = true;
    live.OnAlarm(odd);
    const std::vector<Sink*> sinks;
    const WebApi api(live, sinks, nullptr,
                     StaticFiles::Load(std::string(SMD_SOURCE_DIR) + "/web/static", ""), {});
    Json::Value answer;
    ASSERT_TRUE(Json::Reader().parse(api.Answer({"GET", "/api/events?limit=1"}).body, answer));
    EXPECT_EQ(answer["devices"][0]["events"][0]["text"].asString(), odd.text);

    // The map the core hands over replaces the signals: a renamed one shows no value until a
    // record carries it, and the old name is gone rather than frozen; the trend decodes with it.
    RecordOut r;
    r.dataId = 7;
    Json::Value values;
    values["v"] = 1.5;
    r.values = &values;
    live.OnRecord(r);
    ASSERT_EQ(live.Device(7)->values.at(0).value, 1.5);
    auto map = std::make_shared<const SignalMap>(SignalMap::FromJson(
        JsonFile::Parse(
            R"({"signals": {"w": {"block": "analog_40", "offset": 0, "width": 2, "unit": "A"}}})",
            "map.json"),
        "map.json"));
    live.OnDevices(std::vector<DeviceDescription>{
        DeviceDescription{7, "m", "p", true, map, {{"w", {{40.0, 56.0}, {"1"}}}}}});
    const auto after = live.Device(7)->values;
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(after[0].name, "w");
    EXPECT_FALSE(after[0].value.has_value());
    EXPECT_EQ(live.Map(7), map);
    EXPECT_EQ(live.Limits(7, "w").thresholds, (std::vector<double>{40.0, 56.0}));
    EXPECT_TRUE(live.Limits(7, "v").thresholds.empty());
    ASSERT_TRUE(Json::Reader().parse(api.Answer({"GET", "/api/devices"}).body, answer));
    ASSERT_EQ(answer["chart"]["signals"].size(), 1u) << "the first two of the new map's";
    EXPECT_EQ(answer["chart"]["signals"][0].asString(), "w");

    // A device new to the core takes the events an earlier run stored; a known one is not read.
    std::vector<unsigned int> asked;
    live.SetRecall([&](const std::vector<unsigned int>& ids) {
        asked = ids;
        return std::map<unsigned int, std::vector<Alarm>>{{9, {odd}}};
    });
    live.OnDevices(
        {DeviceDescription{7, "m", "p", true, map, {}}, {9, "m", "q", true, nullptr, {}}});
    EXPECT_EQ(asked, std::vector<unsigned int>{9});
    ASSERT_EQ(live.Device(9)->events.size(), 1u);
    EXPECT_EQ(live.Device(9)->events[0].text, odd.text);
}

// The trend's lines: every limit of a signal's rules and the site file's limits of a rule's id.
// Its bands: each raise paired with its clear, cut to the range.
TEST(WebApi, TrendLinesComeFromTheRulesAndBandsFromTheAlarmEvents) {
    DeviceConfig c;
    c.settings = JsonFile::Parse(R"({"thresholdSetting": {
        "a": {"SignalName": "V", "ID": "1", "UpValue": "56", "LowValue": "47", "Up2Value": ""},
        "b": {"SignalName": "V", "ID": "2", "Up2Value": 58, "Low2Value": "x"},
        "c": {"SignalName": "T", "ID": "3", "UpValue": "45"},
        "d": {"ID": "4", "UpValue": "1"}}})",
                                 "s.json");
    c.limits["3"] = {-10.0f, std::numeric_limits<float>::infinity()};
    c.limits["9"] = {0.0f, 1.0f};  // no rule names its signal
    const auto lines = LimitsBySignal(c);
    EXPECT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines.at("V").thresholds, (std::vector<double>{47, 56, 58}));
    EXPECT_EQ(lines.at("T").thresholds, (std::vector<double>{-10, 45}));
    EXPECT_EQ(lines.at("T").alarmIds,
              (std::vector<std::string>{"3", "3001", "3002", "3003", "3004"}));

    const auto event = [](const char* id, const char* signal, int64_t ms, bool raised) {
        Alarm a;
        a.alarmId = id;
        a.name = signal;
        a.at = history::FromMs(ms);
        a.level = raised ? 2 : 0;
        a.raised = raised;
        return a;
    };
    const std::vector<Alarm> events = {
        event("B", "V", 100, false),  // raised before the range
        event("A", "V", 200, true),    event("X", "T", 250, true),
        event("A", "V", 300, false),   event("A", "V", 400, true),
        event("A", "V", 450, true),  // raised again: one band
        event("C", "V", 500, true),    event("C", "V", 600, false),
        event("D1", "V(V)", 700, true)};  // the device's own name: known by its alarm id
    std::string got;
    for (const AlarmBand& b : AlarmBands(events, "V", {"D1"}, 50, 1000))
        got += b.alarmId + ":" + std::to_string(b.fromMs) + "-" + std::to_string(b.toMs) + " ";
    EXPECT_EQ(got, "B:50-100 A:200-300 A:400-1000 C:500-600 D1:700-1000 ");
    EXPECT_EQ(AlarmBands(events, "V", {}, 50, 1000)[1].level, 2);
    EXPECT_TRUE(AlarmBands(events, "W", {}, 50, 1000).empty());
}

TEST_F(WebLive, AnswersMatchTheSimulatorAndTheHistoryDatabaseAndMetricsPassPromtool) {
    LiveHost live(FastSite(dir_));
    HistoryReader store(dir_ + "/h.db");
    ASSERT_TRUE(WaitFor([&] { return store.RecordCount(7) >= 6; })) << live.log.str();

    // Values: what the scenario's blocks hold, with the map's units, as in the stored record.
    const Json::Value values = Call(live.port, "/api/values?device=7").Json()["devices"][0];
    const std::map<std::string, std::pair<double, std::string>> want = {
        {"交流输出电压", {220.0, "V"}}, {"交流输出电流", {12.5, "A"}},
        {"交流输出频率", {50.0, "Hz"}}, {"直流输出电压", {53.5, "V"}},
        {"负载电流", {42.0, "A"}},      {"电池电流", {3.2, "A"}},
        {"电池温度", {25.0, "°C"}},     {"环境温度", {23.5, "°C"}}};
    const auto stored = Decoded(*store.LastRecord(7));
    ASSERT_EQ(values["values"].size(), want.size()) << values;
    for (const auto& v : values["values"]) {
        const std::string name = v["name"].asString();
        EXPECT_NEAR(v["value"].asDouble(), want.at(name).first, 1e-6) << name;
        EXPECT_NEAR(v["value"].asDouble(), stored.at(name), 1e-6) << name;
        EXPECT_EQ(v["unit"].asString(), want.at(name).second) << name;
    }
    const Json::Value dev = Call(live.port, "/api/devices").Json()["devices"][0];
    EXPECT_TRUE(dev["portOpen"].asBool() && !dev["stale"].asBool()) << dev;
    EXPECT_GE(dev["roundsCompleted"].asUInt64(), 6u) << dev;
    EXPECT_LT(dev["lastGoodRoundAgeSeconds"].asDouble(), 5.0) << dev;

    // History: every stored row up to `to`, in buckets of equal time as the answer says.
    const int64_t toMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count() -
                         200;
    const int64_t fromMs = toMs - 600000;
    // One writer in order: a row after `to` means every row up to it is in.
    ASSERT_TRUE(WaitFor([&] { return history::ToMs(store.LastRecord(7)->storedAt) > toMs; }));
    const std::string q =
        "/api/history?device=7&signal=%E7%9B%B4%E6%B5%81%E8%BE%93%E5%87%BA"
        "%E7%94%B5%E5%8E%8B&from=" +
        std::to_string(fromMs / 1000.0) + "&to=" + std::to_string(toMs / 1000.0);
    std::vector<std::pair<int64_t, double>> rows;
    for (const auto& r : store.Records(7, 100000))
        if (history::ToMs(r.storedAt) <= toMs)
            rows.emplace_back(history::ToMs(r.storedAt), Decoded(r).at("直流输出电压"));
    for (const int64_t points : {5000, 2}) {
        const Json::Value got = Call(live.port, q + "&points=" + std::to_string(points)).Json();
        // Buckets span the rows there are.
        const int64_t first = rows.front().first;
        const int64_t width = (rows.back().first - first + points) / points;
        EXPECT_EQ(got["bucketMs"].asInt64(), width);
        std::map<int64_t, std::vector<std::pair<int64_t, double>>> buckets;
        for (const auto& r : rows) buckets[(r.first - first) / width].push_back(r);
        ASSERT_EQ(got["points"].size(), buckets.size()) << got;
        EXPECT_EQ(got["rowsRead"].asUInt64(), rows.size()) << got;
        EXPECT_FALSE(got["sampled"].asBool() || got["partial"].asBool()) << got;
        unsigned i = 0;
        for (const auto& [k, in] : buckets) {
            const Json::Value& p = got["points"][i++];
            double sum = 0, at = 0;
            for (const auto& r : in) sum += r.second, at += static_cast<double>(r.first);
            EXPECT_EQ(p["n"].asUInt64(), in.size()) << k;
            EXPECT_NEAR(p["v"].asDouble(), sum / static_cast<double>(in.size()), 1e-9);
            EXPECT_NEAR(p["t"].asDouble(), at / static_cast<double>(in.size()), 1.0);
        }
        EXPECT_EQ(got["unit"].asString(), "V");
    }

    // Metrics: valid exposition format, with the values in base units and every counter.
    const webtest::Reply m = Call(live.port, "/metrics");
    for (const char* line : {"smdhost_signal_volts{device=\"7\",signal=\"直流输出电压\"} 53.5\n",
                             "smdhost_signal_celsius{device=\"7\",signal=\"电池温度\"} 25\n",
                             "smdhost_port_open{device=\"7\"} 1\n",
                             "smdhost_reply_errors_total{device=\"7\",kind=\"reply time-out\"} 0\n",
                             "# TYPE smdhost_history_rows_stored_total counter\n",
                             "smdhost_rounds_completed_total{device=\"7\"} "})
        EXPECT_NE(m.body.find(line), std::string::npos) << line << m.body;
    // Names: counters and only counters end in _total; no unit as a label; every family has
    // its series.
    std::istringstream lines(m.body);
    std::string family, type;
    bool sampled = true;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("# TYPE ", 0) == 0) {
            EXPECT_TRUE(sampled) << family;
            std::istringstream(line.substr(7)) >> family >> type;
            sampled = false;
            const bool total = family.size() > 6 && family.substr(family.size() - 6) == "_total";
            EXPECT_EQ(total, type == "counter") << line;
            EXPECT_EQ(family.find_first_not_of("abcdefghijklmnopqrstuvwxyz_"), std::string::npos);
        } else if (line[0] != '#') {
            EXPECT_EQ(line.rfind(family, 0), 0u) << line;
            EXPECT_EQ(line.find("unit="), std::string::npos) << line;
            sampled = true;
        }
    }
    // The page shows the sinks' own figures.
    std::string shown;
    const Json::Value sinks = Call(live.port, "/api/sinks").Json()["sinks"];
    for (const auto& s : sinks)
        for (const auto& f : s["figures"])
            shown += s["name"].asString() + "." + f["name"].asString() + " ";
    EXPECT_NE(shown.find("history.queue_depth history.queue_limit"), std::string::npos) << shown;
    if (::access("/usr/bin/promtool", X_OK) != 0) GTEST_SKIP() << "promtool not installed";
    std::ofstream(dir_ + "/metrics.txt") << m.body;
    FILE* p =
        ::popen(("/usr/bin/promtool check metrics < " + dir_ + "/metrics.txt 2>&1").c_str(), "r");
    std::string promtool;
    for (char buf[512]; std::fgets(buf, sizeof buf, p);) promtool += buf;
    EXPECT_EQ(::pclose(p), 0) << promtool << m.body;
}

TEST_F(WebLive, BadRequestsGetA4xxWithAJsonErrorAndTheServerGoesOn) {
    LiveHost live(FastSite(dir_));
    ASSERT_TRUE(WaitFor([&] {
        return Call(live.port, "/api/devices").Json()["devices"][0]["roundsCompleted"].asInt() >= 2;
    }));
    const std::string sig =
        "/api/history?device=7&signal=%E7%9B%B4%E6%B5%81%E8%BE%93%E5%87%BA"
        "%E7%94%B5%E5%8E%8B";
    const struct {
        std::string method, target;
        int status;
        std::string error;
        std::map<std::string, std::string> headers = {};
    } cases[] = {
        {"GET", "/api/devices/99", 404, "no device with data id 99"},
        {"GET", "/api/values?device=x7", 404, "no device with data id x7"},
        {"GET", "/api/alarms?device=99999999999", 404, "no device"},
        {"GET", sig + "&from=100&to=50", 400, "from must lie before to"},
        {"GET", sig + "&from=yesterday", 400, "from and to are Unix seconds"},
        {"GET", sig + "&to=1e300", 400, "from and to are Unix seconds"},
        {"GET", sig + "&points=0", 400, "points must be a whole number"},
        {"GET", sig + "&points=2.5", 400, "points must be a whole number"},
        {"GET", "/api/history?device=7&signal=nope", 404, "device 7 has no signal nope"},
        {"GET", "/api/history?device=7", 400, "give device and signal"},
        {"GET", "/api/events?device=%zz", 400, "malformed query string"},
        {"GET", "/api/events?limit=0", 400, "limit must be a whole number"},
        {"GET", "/api/everything", 404, "no such API"},
        {"GET", "/secret.txt", 404, "no such page"},
        {"GET", "/api/devices?q=" + std::string(3000, 'a'), 414, "request target longer"},
        {"POST", "/api/devices", 405, "method POST not allowed"},
        {"DELETE", "/", 405, "method DELETE not allowed"},
        // Bytes that are not UTF-8 in any parameter, never echoed into the JSON.
        {"GET", "/api/values?device=%FF", 400, "not UTF-8"},
        {"GET", "/api/events?limit=%C0%AF", 400, "not UTF-8"},
        {"GET", sig + "&from=%ED%A0%80", 400, "not UTF-8"},
        {"GET", sig + "&to=1%FE", 400, "not UTF-8"},
        {"GET", sig + "&points=%F8%88%80%80%80", 400, "not UTF-8"},
        {"GET", "/api/history?device=7&signal=%E7%9B", 400, "not UTF-8"},
        {"GET", "/api/history?%FF=1", 400, "not UTF-8"},
        {"GET", "/\xff\xfe", 400, "request path is not UTF-8"},
        // Times the answer's four-digit years cannot hold.
        {"GET", sig + "&from=-1e11", 400, "from 1970 to 9999"},
        {"GET", sig + "&from=-1&to=253402300800", 400, "from 1970 to 9999"},
        {"GET", sig + "&from=-1e300", 400, "from 1970 to 9999"},
        {"GET",
         "/api/devices",
         421,
         "host evil.example is not served here",
         {{"Host", "evil.example"}}},
    };
    for (const auto& c : cases) {
        const webtest::Reply r = Call(live.port, c.target, c.method, c.headers);
        EXPECT_EQ(r.status, c.status) << c.method << " " << c.target.substr(0, 80);
        EXPECT_NE(r.Json()["error"].asString().find(c.error), std::string::npos)
            << c.target.substr(0, 80) << ": " << r.body;
        EXPECT_TRUE(IsUtf8(r.body)) << c.target.substr(0, 80);
    }
    EXPECT_EQ(Call(live.port, "/api/devices", "POST").headers["Allow"], "GET, HEAD");
    const webtest::Reply big =
        Call(live.port, "/api/devices", "GET", {{"X-Filler", std::string(10000, 'x')}});
    EXPECT_EQ(big.status, 431) << big.body;
    EXPECT_EQ(webtest::Raw(live.port, "NONSENSE\r\n\r\n").rfind("HTTP/1.1 400", 0), 0u);
    // The chart library is JavaScript, whatever its file is called.
    if (::access("/usr/share/javascript/chart.js/chart.min.js", R_OK) == 0) {
        EXPECT_EQ(Call(live.port, "/chart.js").headers["Content-Type"],
                  "text/javascript; charset=utf-8");
    }
    const webtest::Reply head = Call(live.port, "/metrics", "HEAD");
    EXPECT_EQ(head.status, 200);
    EXPECT_TRUE(head.body.empty());
    EXPECT_EQ(Call(live.port, "/api/devices").status, 200);
}

TEST_F(WebLive, SmdhostServesThePageAndPrintsItsAddress) {
    Json::Value site;
    site["database"] = dir_ + "/h.db";
    site["plugins"].append(SMD_PLUGIN_PATH);
    site["web"]["port"] = 0;
    site["web"]["root"] = SMD_SOURCE_DIR "/web/static";  // smdhost knows no source tree
    Json::Value& d = site["devices"][0];
    d["model"] = "rtmk48_pv05";
    d["dataId"] = 7;
    d["port"] = "simulated";
    d["pollIntervalMs"] = 50;
    d["delayScale"] = 0.01;
    d["workDir"] = SMD_SOURCE_DIR;
    d["signalMap"] = kMap;
    std::ofstream(dir_ + "/site.json") << site.toStyledString();

    std::vector<std::string> words;
#ifdef SMD_EMULATOR
    std::istringstream emulator(SMD_EMULATOR);
    for (std::string w; emulator >> w;) words.push_back(w);
#endif
    words.insert(words.end(), {SMDHOST_PATH, "--site", dir_ + "/site.json"});
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    const std::string out = dir_ + "/out.txt";
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&fa);
    const auto text = [&] {
        std::ifstream in(out);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    };
    std::string printed;
    uint16_t port = 0;
    const bool up = WaitFor([&] {
        printed = text();
        return (port = webtest::PortAfter(printed, "status page on http://127.0.0.1:")) != 0;
    });
    if (up) {
        const webtest::Reply page = Call(port, "/");
        EXPECT_EQ(page.status, 200);
        EXPECT_NE(page.body.find("<canvas id=\"chart\""), std::string::npos);
        EXPECT_NE(page.headers.at("Content-Type").find("text/html"), std::string::npos);
        EXPECT_EQ(Call(port, "/app.js").status, 200);
        EXPECT_GT(Call(port, "/chart.js").body.size(), 10000u);
    }
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(up) << printed;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << text();
}

TEST_F(WebLive, ThePageShowsValuesAndAlarmsComingAndGoingAndDrawsTheChartInChromium) {
#ifdef SMD_EMULATOR
    GTEST_SKIP() << "Chromium runs on the build machine only, not under the emulator";
#endif
    if (webtest::Browser::Find().empty()) GTEST_SKIP() << "chromium not installed";
    rtmk48sim::Simulator sim;
    std::string error;
    ASSERT_TRUE(sim.Open(&error)) << error;
    Json::Value scenario;
    scenario["blocks"] = DemoScenario()["blocks"];
    sim.WithUnit([&](rtmk48sim::UnitModel& u) { ASSERT_TRUE(u.LoadScenario(scenario, &error)); });
    sim.Start();
    SiteConfig site = FastSite(dir_, sim.SlavePath());
    site.devices[0].pollIntervalMs = 100;
    LiveHost live(site);
    HistoryReader store(dir_ + "/h.db");
    ASSERT_TRUE(WaitFor([&] { return store.RecordCount(7) >= 3; })) << live.log.str();

    webtest::Browser browser(dir_);
    const uint16_t devtools = browser.DevToolsPort();
    ASSERT_NE(devtools, 0) << browser.Log();
    webtest::DevTools page(devtools);
    for (const char* domain : {"Runtime.enable", "Log.enable", "Page.enable"}) page.Send(domain);
    Json::Value nav;
    nav["url"] = "http://127.0.0.1:" + std::to_string(live.port) + "/?refresh=300";
    page.Send("Page.navigate", nav);
    const auto shows = [&](const std::string& js, const Json::Value& want) {
        Json::Value last;
        if (WaitFor([&] { return (last = page.Eval(js)) == want; })) return;
        ADD_FAILURE() << js << "\n  shows " << last.toStyledString() << "  wanted " << want;
    };

    shows(
        "document.querySelector('#device-7 tr[data-signal=\"直流输出电压\"] "
        "td.num')?.textContent",
        "53.50");
    shows("document.querySelector('#device-7 .badge')?.textContent", "OK");

    // The breaker opens: its alarm stands on the page; it closes: the alarm goes, an event stays.
    const std::string breaker =
        "!!document.querySelector('#device-7 tr.alarm[data-alarm-id="
        "\"0418001001\"]')";
    sim.WithUnit([](rtmk48sim::UnitModel& u) { u.SetBreaker(1); });
    shows(breaker, true);
    sim.WithUnit([](rtmk48sim::UnitModel& u) { u.SetBreaker(0); });
    shows(breaker, false);
    shows(
        "[...document.querySelectorAll('#device-7 tr.event')].map(r => "
        "r.cells[1].textContent).join()",
        "cleared,raised");

    // The chart: its points are stored rows, and its canvas is drawn on.
    ASSERT_TRUE(WaitFor([&] {
        return page.Eval("Chart.getChart('chart')?.data.datasets[0].data.length || 0").asInt() > 0;
    }));
    const Json::Value points = page.Eval(
        "Chart.getChart('chart').data.datasets.find(d => d.label.startsWith("
        "'直流输出电压')).data");
    std::map<int64_t, double> rows;
    for (const auto& r : store.Records(7, 100000))
        rows[std::chrono::duration_cast<std::chrono::milliseconds>(r.storedAt.time_since_epoch())
                 .count()] = Decoded(r).at("直流输出电压");
    ASSERT_GT(points.size(), 0u);
    // Each point a bucket's mean: within the stored rows' times and values.
    double low = rows.begin()->second, high = low;
    for (const auto& [t, v] : rows) low = std::min(low, v), high = std::max(high, v);
    for (const auto& p : points) {
        EXPECT_GE(p["x"].asInt64(), rows.begin()->first) << p;
        EXPECT_LE(p["x"].asInt64(), rows.rbegin()->first) << p;
        EXPECT_GE(p["y"].asDouble(), low - 1e-9) << p;
        EXPECT_LE(p["y"].asDouble(), high + 1e-9) << p;
    }
    const int drawn =
        page.Eval(
                "(() => { const c = document.getElementById('chart');"
                "  const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;"
                "  let n = 0; for (let i = 3; i < d.length; i += 4) if (d[i]) ++n; return n; })()")
            .asInt();
    EXPECT_GT(drawn, 2000) << "chart canvas pixels drawn";

    std::string errors;
    for (const auto& e : page.Errors()) errors += e + "\n";
    EXPECT_EQ(errors, "");
    sim.Close();
}

}  // namespace

namespace {

// A screenshot of the page at `width` px, full height, into `file`; its path is printed.
void Screenshot(webtest::DevTools& page, int width, const std::string& file) {
    Json::Value m;
    m["width"] = width;
    m["height"] = 900;
    m["deviceScaleFactor"] = 1;
    m["mobile"] = width < 600;
    page.Send("Emulation.setDeviceMetricsOverride", m);
    // Let the layout and the chart's resize settle.
    page.Eval("new Promise(r => setTimeout(r, 500))");
    Json::Value c;
    c["format"] = "png";
    c["captureBeyondViewport"] = true;
    const std::string data = page.Send("Page.captureScreenshot", c)["result"]["data"].asString();
    std::string png(boost::beast::detail::base64::decoded_size(data.size()), '\0');
    png.resize(boost::beast::detail::base64::decode(png.data(), data.data(), data.size()).first);
    std::ofstream(file, std::ios::binary) << png;
    std::cout << "screenshot: " << file << " (" << png.size() << " bytes)\n";
}

TEST_F(WebLive, SixtyFourUnitsAtAGlanceOnWideAndNarrowScreensAndStaleWhenTheHostStops) {
#ifdef SMD_EMULATOR
    GTEST_SKIP() << "Chromium runs on the build machine only, not under the emulator";
#endif
    if (webtest::Browser::Find().empty()) GTEST_SKIP() << "chromium not installed";
    SiteConfig site = FastSite(dir_);
    site.web.siteName = "Site 42";
    site.levelNames = site.web.levelNames = {{1, "critical"}, {2, "major"}, {3, "minor"}};
    const DeviceConfig unit = site.devices[0];
    site.devices.clear();
    for (unsigned int id = 1; id <= 64; ++id) {
        DeviceConfig d = unit;
        d.dataId = id;
        d.pollIntervalMs = 500;
        if (id == 5) {  // the breaker open, and the DC voltage past its 56 V limit
            d.simulation["rounds"][0] = DemoScenario()["rounds"][2];
            d.simulation["rounds"][0]["breaker"] = 1;
        }
        if (id == 9) d.port = dir_ + "/no-such-tty";  // one unit down
        site.devices.push_back(d);
    }
    LiveHost live(site);
    ASSERT_TRUE(WaitFor([&] {
        return Call(live.port, "/api/alarms?device=5").Json()["devices"][0]["alarms"].size() == 2;
    })) << live.log.str().substr(0, 2000);
    Json::Value hot;
    const Json::Value alarms = Call(live.port, "/api/alarms?device=5").Json();
    for (const auto& a : alarms["devices"][0]["alarms"])
        if (a["id"] == "0416004011") hot = a;
    EXPECT_EQ(hot["threshold"].asDouble(), 56.0) << hot;
    EXPECT_EQ(hot["levelName"], "critical") << hot;

    webtest::Browser browser(dir_);
    webtest::DevTools page(browser.DevToolsPort());
    for (const char* domain : {"Runtime.enable", "Page.enable"}) page.Send(domain);
    Json::Value nav;
    nav["url"] = "http://127.0.0.1:" + std::to_string(live.port) + "/?refresh=500";
    page.Send("Page.navigate", nav);
    const auto shows = [&](const std::string& js, const Json::Value& want) {
        Json::Value last;
        if (WaitFor([&] { return (last = page.Eval(js)) == want; })) return;
        ADD_FAILURE() << js << "\n  shows " << last.toStyledString() << "  wanted " << want;
    };
    const std::string summary = "document.getElementById('summary').textContent";
    shows(summary + ".includes('Site 42') && " + summary + ".includes('64 units')", true);
    shows(summary + ".includes('1 down') && " + summary + ".includes('1 major') && " + summary +
              ".includes('1 critical')",
          true);
    shows("document.querySelectorAll('tr.unit').length", 64);
    // Unit 5's card: the battery's alarm with the limit it crossed. Its trend: the limit as a
    // line and the alarm as a band.
    page.Eval("document.querySelector('tr.unit[data-unit=\"5\"]').click()");
    shows(
        "[...document.querySelectorAll('#device-5 tr.alarm')].some(r => "
        "r.textContent.includes('(limit 56)'))",
        true);
    page.Eval(
        "(() => { const s = document.getElementById('chart-device'); s.value = '5';"
        "  s.dispatchEvent(new Event('change'));"
        "  const b = document.querySelector('#chart-signals input[value=\"直流输出电压\"]');"
        "  b.checked = true; b.dispatchEvent(new Event('change')); })()");
    shows("Chart.getChart('chart')?.data.datasets.some(d => d.threshold && d.data[0].y === 56)",
          true);
    shows("bands.some(b => b.level === 1 && b.to > b.from)", true);
    page.Eval("document.querySelector('tr.unit[data-unit=\"5\"]').click()");
    shows("!!document.getElementById('device-5')", false);
    const std::string dir = std::filesystem::current_path().string();
    for (const int width : {1400, 400}) {
        Screenshot(page, width, dir + "/web-64-units-" + std::to_string(width) + ".png");
        // Nothing wider than the window: wide tables scroll within themselves.
        EXPECT_LE(page.Eval("document.documentElement.scrollWidth").asInt(), width);
        // A wide window holds the summary, the trend and the units in one screen of 900 px:
        // the units table scrolls within itself.
        if (width == 1400) {
            EXPECT_LE(page.Eval("document.documentElement.scrollHeight").asInt(), 960);
        }
    }
    // The host stops: the whole page says it is stale, and since when.
    live.view.Stop();
    shows("document.body.classList.contains('stale-page')", true);
    shows("document.getElementById('updated').textContent.startsWith('NOT UPDATED since')", true);
    for (const int width : {1400, 400})
        Screenshot(page, width, dir + "/web-64-units-stale-" + std::to_string(width) + ".png");
}

}  // namespace
