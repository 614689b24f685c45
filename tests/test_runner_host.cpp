// The host core in-process: failures out of a round, and a stop in the middle of polling.
#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/host.h"
#include "core/json_check.h"
#include "history/history_sink.h"
#include "host/observer.h"
#include "runner/demo.h"
#include "runner/simulated_line.h"
#include "runner/site_config.h"
#include "sim/simulator.h"
#include "store/history_reader.h"

namespace {

class HostCoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/smd-host-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // `more`: members added to the device, e.g. R"(, "simulation": {"breaker": 1})".
    SiteConfig Site(int rounds, double delayScale = 0.01, const std::string& more = "") {
        const std::string text = R"({"database": "h.db", "plugins": [")" +
                                 std::string(SMD_PLUGIN_PATH) + R"("], "rounds": )" +
                                 std::to_string(rounds) + R"(,
            "devices": [{"model": "rtmk48_pv05", "dataId": 7, "port": "simulated",
                         "pollIntervalMs": 20, "delayScale": )" +
                                 std::to_string(delayScale) + R"(, "replyTimeoutMs": 300,
                         "workDir": ")" +
                                 std::string(SMD_SOURCE_DIR) + R"(")" + more + "}]}";
        return ParseSiteConfig(JsonFile::Parse(text, "site.json"), "site.json", dir_);
    }

    std::string dir_;
};

// Stands in for a failure of the device's own (its clock, its settings) on the way out of a
// round: the exception leaves RoundDone after publishing, before the record is stored.
class FailOnce : public HostObserver {
  public:
    explicit FailOnce(int at) : at_(at) {}
    void OnSendSP(int, const unsigned char*, unsigned int, bool) override {
        if (++published == at_) throw std::runtime_error("could not convert calendar time");
    }
    std::atomic<int> published{0};

  private:
    int at_;
};

TEST_F(HostCoreTest, AnExceptionOutOfARoundIsReportedAndTheNextRoundRuns) {
    std::ostringstream out;
    FailOnce fail(2);
    {
        Host host(Site(3), out);
        host.SetSimulator(SimulatorLines());
        HistorySink history(dir_ + "/h.db", HistoryOptions{}, host.Log());
        history.Start();
        host.AddSink(history);
        host.SetRecall(history);
        host.Start();
        ASSERT_TRUE(host.Observe(7, fail));
        EXPECT_FALSE(host.Observe(8, fail));
        host.Run();
        const auto s = host.Summary();
        ASSERT_EQ(s.size(), 1u);
        EXPECT_EQ(s[0].rounds, 3u);
        EXPECT_EQ(s[0].published, 3u);
        EXPECT_EQ(s[0].stored, 2u);  // the failed round stored nothing
        EXPECT_EQ(s[0].errors.at("plug-in exception"), 1u);
    }
    EXPECT_NE(out.str().find("[7] round failed: could not convert calendar time"),
              std::string::npos)
        << out.str();
}

TEST_F(HostCoreTest, StopEndsTheRoundInProgressAndRunReturns) {
    std::ostringstream out;
    FailOnce never(-1);
    Host host(Site(0), out);
    host.SetSimulator(SimulatorLines());
    HistorySink history(dir_ + "/h.db", HistoryOptions{}, host.Log());
    history.Start();
    host.AddSink(history);
    host.SetRecall(history);
    host.Start();
    host.Observe(7, never);
    std::thread run([&] { host.Run(); });
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (never.published < 2 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    host.Stop();
    run.join();
    const auto s = host.Summary();
    ASSERT_GE(s[0].published, 2u);
    // Every round started was completed and stored.
    EXPECT_EQ(s[0].rounds, s[0].published);
    EXPECT_EQ(s[0].stored, s[0].published);
    EXPECT_TRUE(s[0].errors.empty()) << out.str();
}

// Control requests in a burst while rounds run back to back: a command goes out only between
// rounds, never between a round's request and its first command, so no reply is lost.
TEST_F(HostCoreTest, ABurstOfControlCommandsNeverTakesAPollReplysPlace) {
    std::ostringstream out;
    Host host(Site(40), out);
    host.SetSimulator(SimulatorLines());
    host.Start();
    std::atomic<bool> done{false};
    std::thread run([&] {
        host.Run();
        done = true;
    });
    ControlRequest r;
    r.dataId = 7;
    r.code = 106;
    r.in = {0x34, 0x12};
    int sent = 0;
    while (!done) {
        try {
            host.Control(r);
            ++sent;
        } catch (const ControlError&) {
        }
    }
    run.join();
    const auto s = host.Summary().at(0);
    EXPECT_GT(sent, 5);
    EXPECT_EQ(s.errors.count("CID1 not echoed"), 0u) << out.str();
    EXPECT_EQ(s.errors.count("unsolicited frame"), 0u) << out.str();
}

// 801 only reads the document: it is answered while a slow round is in progress.
TEST_F(HostCoreTest, TheDocumentIsReadWithoutWaitingForTheRound) {
    std::ostringstream out;
    Host host(Site(1, 0.3), out);  // 150 ms between commands: a round of about 3 s
    host.SetSimulator(SimulatorLines());
    host.Start();
    std::thread run([&] { host.Run(); });
    ControlRequest r;
    r.dataId = 7;
    r.code = 801;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (host.Summary().at(0).rounds == 0 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    const auto asked = std::chrono::steady_clock::now();
    const ControlAnswer a = host.Control(r);
    const auto took = std::chrono::steady_clock::now() - asked;
    const bool roundOpen = host.Summary().at(0).published == 0;
    host.Stop();
    run.join();
    EXPECT_EQ(a.result, 0);
    EXPECT_GT(a.retLen, 0);
    EXPECT_TRUE(roundOpen) << "the round ended before the answer: the test proves nothing";
    EXPECT_LT(took, std::chrono::milliseconds(1000));
}

// Counts the set-parameter commands (106) that went to the unit.
class SetParameters : public HostObserver {
  public:
    void OnWritePmbusCmd(uint8_t cid1, uint8_t cid2, const uint8_t*, int) override {
        if (cid1 == 0xD4 && cid2 == 0x49) ++written;
    }
    std::atomic<int> written{0};
};

// Commands queued behind a long round: each is refused within its one deadline, queue time
// counted, with nothing sent; a stop refuses a waiting one at once; nothing reaches the unit
// later, not even as the loop ends.
TEST_F(HostCoreTest, QueuedCommandsAreRefusedWithinOneDeadlineAndNeverSentLate) {
    using std::chrono::milliseconds;
    using Clock = std::chrono::steady_clock;
    std::ostringstream out;
    Host host(Site(2, 0.3), out);  // rounds of about 3 s
    host.SetSimulator(SimulatorLines());
    host.SetCommandBound(milliseconds(500));
    host.Start();
    SetParameters sets;
    ASSERT_TRUE(host.Observe(7, sets));
    std::thread run([&] { host.Run(); });
    const auto until = Clock::now() + std::chrono::seconds(5);
    while (host.Summary().at(0).rounds == 0 && Clock::now() < until)
        std::this_thread::sleep_for(milliseconds(2));
    ControlRequest r;
    r.dataId = 7;
    r.code = 106;
    r.in = {0x34, 0x12};
    struct Outcome {
        std::string said = "answered";
        Clock::duration took{};
    };
    auto ask = [&](Outcome& o) {
        const auto asked = Clock::now();
        try {
            host.Control(r);
        } catch (const ControlError& e) {
            o.said = e.what();
        }
        o.took = Clock::now() - asked;
    };
    std::vector<Outcome> burst(5);
    std::vector<std::thread> clients;
    for (Outcome& o : burst) clients.emplace_back(ask, std::ref(o));
    for (auto& c : clients) c.join();
    const bool roundOpen = host.Summary().at(0).published == 0;
    Outcome stopped;
    std::thread last(ask, std::ref(stopped));
    std::this_thread::sleep_for(milliseconds(100));
    const auto stopAt = Clock::now();
    host.Stop();
    last.join();
    const auto refusedAfter = Clock::now() - stopAt;
    run.join();
    EXPECT_TRUE(roundOpen) << "the round ended before the commands' deadline: proves nothing";
    for (const Outcome& o : burst) {
        EXPECT_NE(o.said.find("nothing sent"), std::string::npos) << o.said;
        EXPECT_LT(o.took, milliseconds(800)) << o.said;
    }
    EXPECT_EQ(stopped.said, "the host is stopping: nothing sent");
    EXPECT_LT(refusedAfter, milliseconds(100));
    EXPECT_EQ(sets.written, 0) << out.str();
}

// The host's lines as the journal would get them.
class Lines {
  public:
    struct Line {
        Priority priority;
        std::string text;
        LogFields fields;
    };
    void Attach(Host& host) {
        host.Log().SetBackend([this](Priority p, const std::string& t, const LogFields& f) {
            std::lock_guard<std::mutex> lock(mu_);
            lines_.push_back({p, t, f});
        });
    }
    std::vector<Line> With(const std::string& part) const {
        std::lock_guard<std::mutex> lock(mu_);
        std::vector<Line> out;
        for (const auto& l : lines_)
            if (l.text.find(part) != std::string::npos) out.push_back(l);
        return out;
    }
    bool WaitFor(const std::string& part, std::size_t n = 1) const {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (With(part).size() < n)
            if (std::chrono::steady_clock::now() > until)
                return false;
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return true;
    }

  private:
    mutable std::mutex mu_;
    std::vector<Line> lines_;
};

SiteConfig SiteOf(const Json::Value& devices, const std::string& dir, int rounds,
                  const std::string& extra = "") {
    Json::Value site;
    site["database"] = "h.db";
    site["plugins"].append(SMD_PLUGIN_PATH);
    site["rounds"] = rounds;
    site["devices"] = devices;
    if (!extra.empty()) site["roundPriority"] = extra;
    return ParseSiteConfig(site, "site.json", dir);
}

Json::Value FastDevice(unsigned int dataId, const std::string& port, int mode) {
    Json::Value d;
    d["model"] = "rtmk48_pv05";
    d["dataId"] = dataId;
    d["port"] = port;
    d["pollIntervalMs"] = 20;
    d["delayScale"] = 0.01;
    d["replyTimeoutMs"] = 300;
    d["workDir"] = SMD_SOURCE_DIR;
    d["signalMap"] = std::string(SMD_SOURCE_DIR) + "/ini/rtmk48_pv05.signals.json";
    d["settings"]["appSetting"]["b_mode"] = mode;
    return d;
}

TEST_F(HostCoreTest, LinesCarryThePriorityAndTheDeviceAndAlarmTheyConcern) {
    // Device 7 raises and clears the demo's alarms; device 8's unit never answers.
    rtmk48sim::Simulator silent;
    std::string error;
    ASSERT_TRUE(silent.Open(&error)) << error;
    silent.Inject({rtmk48sim::Fault::kSilence, 0, -1});
    silent.Start();
    Json::Value devices;
    devices.append(FastDevice(7, "simulated", 1));
    devices[0]["simulation"] = DemoScenario();
    devices[0]["settings"]["thresholdSetting"] =
        DemoSite("", ".").devices[0].settings["thresholdSetting"];
    devices.append(FastDevice(8, silent.SlavePath(), 1));
    devices[1]["replyTimeoutMs"] = 5;
    std::ostringstream out;
    Lines lines;
    {
        Host host(SiteOf(devices, dir_, 6, "debug"), out);
        host.SetSimulator(SimulatorLines());
        lines.Attach(host);
        host.Start();
        host.Run();
        host.PrintSummary();
    }
    silent.Close();
    const struct {
        std::string text;
        Priority priority;
        std::optional<unsigned int> dataId;
        std::string alarmId;
    } rows[] = {
        {"[7] ALARM RAISED  level 1  id 0416004011", Priority::kWarning, 7, "0416004011"},
        {"[7] alarm cleared level 1  id 0416004011", Priority::kNotice, 7, "0416004011"},
        {"[7] ── round 1 ", Priority::kDebug, 7, ""},
        {"[7] published record", Priority::kDebug, 7, ""},
        {"[8] communication error: reply time-out (1 in a row", Priority::kErr, 8, ""},
        {"summary: ", Priority::kInfo, std::nullopt, ""},
    };
    for (const auto& r : rows) {
        const auto found = lines.With(r.text);
        ASSERT_FALSE(found.empty()) << r.text;
        EXPECT_EQ(found[0].priority, r.priority) << r.text;
        EXPECT_EQ(found[0].fields.dataId, r.dataId) << r.text;
        EXPECT_EQ(found[0].fields.alarmId, r.alarmId) << r.text;
    }
    EXPECT_TRUE(out.str().empty()) << "lines went to the stream besides the backend";
}

TEST_F(HostCoreTest, AReloadAppliesNewThresholdsKeepsAlarmStateAndReportsWhatNeedsARestart) {
    // A steady 53.5 V against a mode-5 rule whose upper limit the reloads move.
    auto site = [&](const std::string& up, const std::string& port) {
        Json::Value d = FastDevice(7, port, 5);
        if (port == "simulated") {
            d["simulation"] = DemoScenario();
            d["simulation"].removeMember("rounds");
        }
        Json::Value rule;
        rule["SignalName"] = "直流输出电压";
        rule["ID"] = "0416004011";
        rule["UpValue"] = up;
        rule["UpReconverValue"] = std::to_string(std::stoi(up) - 1);
        rule["UpAlarmLevel"] = "2";
        d["settings"]["thresholdSetting"]["dc_voltage"] = rule;
        Json::Value devices;
        devices.append(d);
        SiteConfig s = SiteOf(devices, dir_, 0);
        s.levelNames = {{2, "major"}};
        return s;
    };
    // What every sink is told of a raised alarm: the limit it crossed and its level's name.
    struct Raised : Sink {
        const char* Name() const override { return "raised"; }
        void OnAlarm(const Alarm& a) override {
            if (a.raised) seen += std::to_string(a.threshold.value_or(-1)) + " " + a.levelName;
        }
        std::string seen;
    } raised;
    std::ostringstream out;
    Lines lines;
    Host host(site("60", "simulated"), out);
    host.SetSimulator(SimulatorLines());
    host.AddSink(raised);
    lines.Attach(host);
    HistorySink history(dir_ + "/h.db", HistoryOptions{}, host.Log());
    host.AddSink(history);
    host.SetRecall(history);
    host.Start();
    std::thread run([&] { host.Run(); });
    struct Join {
        Host& host;
        std::thread& run;
        ~Join() {
            host.Stop();
            if (run.joinable()) run.join();
        }
    } join{host, run};
    ASSERT_TRUE(lines.WaitFor("published record", 2));
    EXPECT_TRUE(lines.With("ALARM RAISED").empty());

    // The port cannot change while running: reported, kept; the new limit applies.
    host.Reload(site("50", "/dev/ttyS9"));
    EXPECT_TRUE(lines.WaitFor("ALARM RAISED")) << "the new upper limit of 50 V raised nothing";
    const auto port = lines.With("reload: port changed from \"simulated\" to \"/dev/ttyS9\"");
    ASSERT_EQ(port.size(), 1u);
    EXPECT_EQ(port[0].priority, Priority::kWarning);
    EXPECT_EQ(lines.With("[7] reload: new settings applied").size(), 1u);
    EXPECT_NE(lines.With("ALARM RAISED")[0].text.find("高于阈值:50"), std::string::npos);

    // Still above the next limit: the raised alarm stays raised, no second event.
    host.Reload(site("52", "simulated"));
    ASSERT_TRUE(lines.WaitFor("reload of site.json done", 2));
    const std::size_t seen = lines.With("published record").size();
    ASSERT_TRUE(lines.WaitFor("published record", seen + 3));
    EXPECT_EQ(lines.With("ALARM RAISED").size(), 1u);
    EXPECT_TRUE(lines.With("alarm cleared").empty());

    // A signal map that does not load changes nothing.
    SiteConfig bad = site("40", "simulated");
    bad.devices[0].signalMap = dir_ + "/missing.json";
    EXPECT_THROW(host.Reload(bad), ConfigError);
    host.Stop();
    run.join();
    EXPECT_EQ(lines.With("reload of site.json done").size(), 2u);
    EXPECT_EQ(host.Summary()[0].raised, 1u);
    EXPECT_EQ(raised.seen, "50.000000 major");
    EXPECT_EQ(host.Summary()[0].published, host.Summary()[0].stored) << "history was lost";
}

// A signal during start-up: what has not started yet does not start, and Run returns at once.
TEST_F(HostCoreTest, AStopDuringStartUpStartsNothingMore) {
    std::ostringstream out;
    Host host(Site(0), out);
    host.SetSimulator(SimulatorLines());
    host.Stop();  // as the signal thread does, here before the first device
    const auto begun = std::chrono::steady_clock::now();
    ASSERT_NO_THROW(host.Start()) << out.str();
    host.Run();
    EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(1));
    const auto s = host.Summary();
    ASSERT_EQ(s.size(), 1u);
    EXPECT_FALSE(s[0].started);
    EXPECT_EQ(s[0].rounds, 0u);
    EXPECT_EQ(out.str().find("setting up"), std::string::npos) << out.str();
}

// A command to a port that is not open is reported as not sent, with the reason, never as done.
TEST_F(HostCoreTest, ACommandToAnAbsentPortIsNotSent) {
    std::ostringstream out;
    SiteConfig site = Site(0);
    site.devices[0].port = dir_ + "/no-such-tty";
    Host host(site, out);
    host.SetSimulator(SimulatorLines());
    host.Start();
    std::thread run([&] { host.Run(); });
    ControlRequest r;
    r.dataId = 7;
    r.code = 100;
    std::string error;
    try {
        host.Control(r);
    } catch (const ControlError& e) {
        error = e.what();
    }
    host.Stop();
    run.join();
    EXPECT_NE(error.find("command not sent: the port is not open"), std::string::npos) << error;
    EXPECT_NE(error.find("No such file or directory"), std::string::npos) << error;
    EXPECT_EQ(host.Summary().at(0).errors.count("reply time-out"), 0u);
}

// The host's alarm state survives restarts: a breaker left open over three restarts is raised
// once, handed to the sinks as standing at each start, and cleared once when it closed while the
// host was down.
TEST_F(HostCoreTest, AnAlarmStandingAcrossRestartsIsRaisedOnceAndClearedOnce) {
    struct Recorder : Sink {
        const char* Name() const override { return "recorder"; }
        void OnAlarm(const Alarm& a) override {
            if (a.alarmId == "0418001001")  // the breaker (ini/rtmk48_pv05.ini)
                seen += a.restored ? "standing " : a.raised ? "raised " : "cleared ";
        }
        // The restored record is no round.
        void OnHealth(const DeviceHealth& h) override {
            if (h.roundsCompleted > h.roundsStarted) seen += "overcounted ";
        }
        std::string seen;
    };
    auto run = [&](int breaker) {
        std::ostringstream out;
        Recorder rec;
        Host host(Site(2, 0.01, R"(, "simulation": {"breaker": )" + std::to_string(breaker) + "}"),
                  out);
        host.SetSimulator(SimulatorLines());
        HistorySink history(dir_ + "/h.db", HistoryOptions{}, host.Log());
        history.Start();
        host.AddSink(history);
        host.AddSink(rec);
        host.SetRecall(history);
        host.Start();
        host.Run();
        return rec.seen;
    };
    EXPECT_EQ(run(1), "raised ");
    for (int restart = 0; restart < 3; ++restart) EXPECT_EQ(run(1), "standing ") << restart;
    EXPECT_EQ(run(0), "standing cleared ");
    EXPECT_EQ(run(0), "");
    const auto events = HistoryReader(dir_ + "/h.db").Alarms(7);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_TRUE(events[0].raised);
    EXPECT_FALSE(events[1].raised);
}

// Report settings from the site file reach round completion in settings mode 1, by signal id
// or through the fallback of the signal's alarm id; reports are stored with the history.
TEST_F(HostCoreTest, AnalogReportSettingsFromTheSiteFileReportAndAreStored) {
    std::ostringstream out;
    {
        Host host(Site(3, 0.01,
                       R"(, "signalMap": ")" + std::string(SMD_SOURCE_DIR) +
                           R"(/ini/rtmk48_pv05.signals.json",
                "settings": {"appSetting": {"b_mode": 1}},
                "analogReports": {"0411001001": {"absolute": 0.5},
                                  "0416002011": {"periodMinutes": 60}})"),
                  out);
        host.SetSimulator(SimulatorLines());
        HistorySink history(dir_ + "/h.db", HistoryOptions{}, host.Log());
        history.Start();
        host.AddSink(history);
        host.SetRecall(history);
        host.Start();
        host.Run();
    }
    std::map<std::string, std::vector<double>> reports;
    for (const auto& r : HistoryReader(dir_ + "/h.db").AnalogReports(7))
        reports[r.signalId].push_back(r.value);
    // The simulator's steady values: each reports once, in the first round (nothing was
    // reported before); no other signal has a setting.
    ASSERT_EQ(reports.size(), 2u) << out.str();
    ASSERT_EQ(reports["0411001001"].size(), 1u);
    ASSERT_EQ(reports["0411002001"].size(), 1u);
    EXPECT_NEAR(reports["0411001001"][0], 230.0, 0.01);
    EXPECT_NEAR(reports["0411002001"][0], 5.2, 0.01);
}

}  // namespace
