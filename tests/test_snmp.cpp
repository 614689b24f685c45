// The SNMP subagent: fixed-point values and the site-file member, then smdhost against Debian's
// snmpd (master agent, on a loopback port with its AgentX socket in a scratch directory) and
// snmptrapd, read with the net-snmp tools and SMDHOST-MIB loaded by name.
#include <signal.h>
#include <sys/wait.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <tuple>

#include <gtest/gtest.h>

#include "core/json_check.h"
#include "runner/demo.h"
#include "sim/simulator.h"
#include "snmp/mib_view.h"
#include "snmp/snmp_config.h"
#include "test_support.h"
#include "web_client.h"

namespace {

using namespace std::chrono_literals;
using webtest::WaitFor;

TEST(SnmpValues, FixedPointFromScaleAndOutOfRangeNeverWraps) {
    const struct {
        std::optional<double> value;
        double scale;
        int32_t fixed;
        int precision;
        SignalStatus status;
    } rows[] = {
        {53.5, 0.01, 5350, 2, SignalStatus::kOk},
        {-12.34, 0.1, -123, 1, SignalStatus::kOk},
        {0.123, 0.05, 12, 2, SignalStatus::kOk},
        {7, 1, 7, 0, SignalStatus::kOk},
        {1e12, 2, 0, 0, SignalStatus::kOutOfRange},
        {21474836.48, 0.01, 0, 2, SignalStatus::kOutOfRange},
        {-21474836.48, 0.01, -2147483648, 2, SignalStatus::kOk},
        {std::nan(""), 0.1, 0, 1, SignalStatus::kOutOfRange},
        {std::nullopt, 0.001, 0, 3, SignalStatus::kNoValue},
    };
    for (const auto& r : rows) {
        const FixedPoint f = ToFixed(r.value, PrecisionOf(r.scale));
        EXPECT_EQ(std::tuple(f.value, f.precision, f.status),
                  std::tuple(r.fixed, r.precision, r.status))
            << r.value.value_or(-1) << " at scale " << r.scale;
    }
}

TEST(SnmpValues, AnAlarmsThresholdKeepsItsPlacesAndSaysWhenItHasNone) {
    // The threshold; its value, places and status (1 ok, 2 out of range, 3 none).
    const std::pair<std::optional<double>, std::tuple<int64_t, int64_t, int64_t>> rows[] = {
        {56, {56, 0, 1}},
        {55.3f, {553, 1, 1}},  // limits are held as float
        {-40.25f, {-4025, 2, 1}},
        {3e9, {0, 0, 2}},
        {std::nullopt, {0, 0, 3}}};
    for (const auto& [threshold, want] : rows) {
        SnmpAlarm a;
        a.threshold = threshold;
        const VarBinds v = AlarmVars({1, 3}, a);  // ... level name, threshold, places, status
        EXPECT_EQ(std::tuple(v.at(8).second.number, v.at(9).second.number, v.at(10).second.number),
                  want)
            << threshold.value_or(-1);
    }
}

TEST(SnmpValues, AUnitThatWasOkIsLostOnceAndBackOnce) {
    const WallTime t0 = WallTime() + std::chrono::hours(500000);
    SnmpSnapshot snap;
    SnmpDevice& d = snap.devices[7];
    d.description = {7, "rtmk48_pv05", "/dev/ttyS0", true, std::make_shared<SignalMap>(), {}};
    d.health = DeviceHealth{};
    d.health->portOpen = true;
    DeviceWatch watch;
    const Oid base = {1, 3, 6};
    const auto looks = [&](WallTime lastGood, bool portOpen, WallTime now) {
        d.health->lastGoodRound = lastGood;
        d.health->portOpen = portOpen;
        std::string said;
        for (const auto& [trap, vars] : watch.Update(snap, base, now, std::chrono::seconds(60)))
            said += std::to_string(trap.back()) + ":" + std::to_string(vars[2].second.number) + " ";
        return said;
    };
    // (notification:status) 3 lost, 4 back; status 1 ok, 2 stale, 3 port closed.
    EXPECT_EQ(looks(t0, true, t0), "");  // first look: state, not news
    EXPECT_EQ(looks(t0, true, t0 + 61s), "3:2 ");
    EXPECT_EQ(looks(t0, false, t0 + 62s), "");  // still lost
    EXPECT_EQ(looks(t0 + 70s, true, t0 + 70s), "4:1 ");
    EXPECT_EQ(looks(t0 + 70s, false, t0 + 71s), "3:3 ");
    EXPECT_EQ(looks(t0 + 80s, true, t0 + 80s), "4:1 ");
}

TEST(SnmpConfig, MemberIsCheckedAndSwitchable) {
    const auto parse = [](const std::string& text) {
        return ParseSnmpConfig(ParseJson(text), "site.json", "/etc/smdhost");
    };
    EXPECT_FALSE(parse("null"));
    EXPECT_FALSE(parse(R"({"enabled": false})"));
    const auto c = parse(R"({"agentxSocket": "agentx", "oidBase": ".1.3.6.1.4.1.99999.1"})");
    ASSERT_TRUE(c);
    EXPECT_EQ(c->agentxSocket, "/etc/smdhost/agentx");
    EXPECT_EQ(c->oidBase, (Oid{1, 3, 6, 1, 4, 1, 99999, 1}));
    EXPECT_EQ(parse("{}")->agentxSocket, "/var/agentx/master");
    for (const char* bad :
         {R"({"oidBase": "1.3..6"})", R"({"oidBase": "3.1"})", R"({"oidBase": "1.4294967296"})",
          R"({"port": 161})", R"({"staleSeconds": 0})", "[]"})
        EXPECT_THROW(parse(bad), ConfigError) << bad;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::size_t Occurrences(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// Runs a tool to its end; what it printed (standard output and error).
std::string Shell(const std::string& command) {
    std::string out;
    FILE* p = ::popen((command + " 2>&1").c_str(), "r");
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    ::pclose(p);
    return out;
}

int FreeUdpPort() {
    return std::stoi(
        Shell("python3 -c 'import socket; s=socket.socket(socket.AF_INET, "
              "socket.SOCK_DGRAM); s.bind((\"127.0.0.1\", 0)); "
              "print(s.getsockname()[1])'"));
}

class SnmpAgent : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* tool : {"/usr/sbin/snmpd", "/usr/sbin/snmptrapd", "/usr/bin/snmpwalk"})
            if (!std::filesystem::exists(tool))
                GTEST_SKIP() << tool << " not installed (scripts/setup installs it)";
        char tmpl[] = "/tmp/smd-snmp-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        port_ = FreeUdpPort();
        trapPort_ = FreeUdpPort();
        std::ofstream(dir_ + "/snmpd.conf")
            << "agentAddress udp:127.0.0.1:" << port_ << "\nmaster agentx\n"
            << "agentXSocket " << dir_ << "/agentx\nagentXPerms 0660 0770\n"
            << "rocommunity public 127.0.0.1\n"
            << "createUser noc SHA \"right-auth-key\" AES \"right-priv-key\"\nrouser noc priv\n"
            << "trap2sink 127.0.0.1:" << trapPort_ << " public\n";
        std::ofstream(dir_ + "/snmptrapd.conf") << "disableAuthorization yes\n";
        Start("trapd", "/usr/sbin/snmptrapd -f -Lf " + dir_ +
                           "/traps.txt -On -Oa -F \"%v\\n\" -C -c " + dir_ +
                           "/snmptrapd.conf udp:127.0.0.1:" + std::to_string(trapPort_));
        mib_ = " -M " + std::string(SMD_SOURCE_DIR) + "/snmp/base-mibs:" + SMD_SOURCE_DIR +
               "/snmp -m SMDHOST-MIB ";
    }
    void TearDown() override {
        for (auto& [name, pid] : pids_) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
        if (!dir_.empty() && !HasFailure()) std::filesystem::remove_all(dir_);
    }
    void Start(const std::string& name, const std::string& command) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            // Not dir_: snmpd would save its state over the test's snmpd.conf.
            ::setenv("SNMP_PERSISTENT_DIR", (dir_ + "/state").c_str(), 1);
            ::execl("/bin/sh", "sh", "-c",
                    ("exec " + command + " >" + dir_ + "/" + name + ".txt 2>&1").c_str(), nullptr);
            ::_exit(127);
        }
        pids_[name] = pid;
    }
    // Its exit status; a death by signal as 128 + the signal.
    int Stop(const std::string& name) {
        int st = 0;
        ::kill(pids_[name], SIGTERM);
        ::waitpid(pids_[name], &st, 0);
        pids_.erase(name);
        return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
    void Snmpd() {
        Start("snmpd",
              "/usr/sbin/snmpd -f -Lo -C -c " + dir_ + "/snmpd.conf -p " + dir_ + "/snmpd.pid");
        ASSERT_TRUE(WaitFor([&] {
            return Walk("sysUpTime").find("Timeticks") != std::string::npos;
        })) << Log("snmpd");
    }
    std::string Walk(const std::string& what, const std::string& tool = "snmpwalk",
                     const std::string& auth = "-v2c -c public") {
        return Shell(tool + " " + auth + mib_ + "-Ov -t 1 -r 0 127.0.0.1:" + std::to_string(port_) +
                     " " + (what == "sysUpTime" ? ".1.3.6.1.2.1.1.3.0" : "SMDHOST-MIB::" + what));
    }
    std::string Log(const std::string& name) { return ReadFile(dir_ + "/" + name + ".txt"); }
    // Two units; 7's breaker opens for two rounds, 8's opens and stays open. Unit 7 answers
    // from the test's own simulator, which can fall silent.
    void Host() {
        std::string error;
        ASSERT_TRUE(sim_.Open(&error)) << error;
        sim_.WithUnit([&](rtmk48sim::UnitModel& u) { u.LoadScenario(DemoScenario(), &error); });
        sim_.Start();
        Json::Value site;
        site["database"] = dir_ + "/site.db";
        site["plugins"].append(SMD_PLUGIN_PATH);
        site["web"]["port"] = 0;
        site["web"]["root"] = SMD_SOURCE_DIR "/web/static";
        site["snmp"]["agentxSocket"] = dir_ + "/agentx";
        site["snmp"]["retryMaxSeconds"] = 2;
        site["snmp"]["staleSeconds"] = 3;
        site["levelNames"] = levelNames_;
        for (unsigned int id : {7u, 8u}) {
            Json::Value d;
            d["model"] = "rtmk48_pv05";
            d["dataId"] = id;
            d["port"] = id == 7 ? sim_.SlavePath() : "simulated";
            d["pollIntervalMs"] = 200;
            d["delayScale"] = 0.01;
            d["workDir"] = SMD_SOURCE_DIR;
            d["signalMap"] = std::string(SMD_SOURCE_DIR) + "/ini/rtmk48_pv05.signals.json";
            d["settings"] = DemoSite("", ".").devices[0].settings;
            if (id == 8) {
                d["simulation"] = DemoScenario();
                for (int r : {4, 5}) d["simulation"]["rounds"][r]["breaker"] = 1;
            }
            site["devices"].append(d);
        }
        std::ofstream(dir_ + "/site.json") << site.toStyledString();
#ifdef SMD_EMULATOR
        const std::string emulator = SMD_EMULATOR " ";  // a cross-built host
#else
        const std::string emulator;
#endif
        Start("smdhost", emulator + SMDHOST_PATH + " --site " + dir_ + "/site.json");
        ASSERT_TRUE(WaitFor([&] {
            return (web_ = webtest::PortAfter(Log("smdhost"), "127.0.0.1:"));
        })) << Log("smdhost");
    }
    Json::Value Api(const std::string& what) {
        return webtest::Call(web_, "/api/" + what).Json();
    }

    rtmk48sim::Simulator sim_;
    const Json::Value levelNames_ = ParseJson(R"({"1": "critical", "2": "major", "3": "minor"})");
    std::string dir_, mib_;
    int port_ = 0, trapPort_ = 0;
    uint16_t web_ = 0;
    std::map<std::string, pid_t> pids_;
};

// Rows of an SMDHOST-MIB table as snmptable prints them: "index|column|column|...".
std::vector<std::string> Rows(const std::string& text) {
    std::vector<std::string> rows;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (std::count(line.begin(), line.end(), '|') >= 2) rows.push_back(line);
    return rows;
}

std::vector<std::string> Fields(const std::string& row) {
    std::vector<std::string> f;
    std::istringstream in(row);
    for (std::string x; std::getline(in, x, '|');) f.push_back(x);
    return f;
}

TEST_F(SnmpAgent, TablesMatchTheHostNotificationsArriveAndAMasterRestartLosesNothing) {
#ifndef SMD_HAVE_NETSNMP
    GTEST_SKIP() << "smdhost is built without net-snmp's agent library";
#endif
    // The master is absent at start: the host polls, the subagent says so and retries.
    Host();
    ASSERT_TRUE(WaitFor([&] { return Log("smdhost").find("(2 attempts)") != std::string::npos; }))
        << Log("smdhost");
    Snmpd();
    ASSERT_TRUE(WaitFor([&] {
        return Log("smdhost").find("snmp: registered with") != std::string::npos;
    })) << Log("smdhost");

    // Queued while the master was away, then sent in order, each with its alarm's row: unit 7's
    // breaker raised and cleared under one index, unit 8's raised.
    const std::string breaker = "0418001001";
    std::vector<std::string> seen;  // "<notification> <device> <index>"
    const auto breakerNotices = [&] {
        seen.clear();
        std::istringstream in(Log("traps"));
        const std::regex re(R"re(48\.0\.(\d).*48\.1\.3\.1\.2\.(\d+) = STRING: "(\d+)".*)re"
                            R"re(48\.1\.3\.1\.3\.\d+ = Gauge32: (\d+))re");
        std::smatch m;
        for (std::string line; std::getline(in, line);)
            if (std::regex_search(line, m, re) && m[3] == breaker)
                seen.push_back(m.str(1) + " " + m.str(4) + " " + m.str(2));
        return seen.size();
    };
    ASSERT_TRUE(WaitFor([&] { return breakerNotices() >= 3; }, 30s)) << Log("traps");
    ASSERT_EQ(seen.size(), 3u) << Log("traps");
    const auto prefixed = [&](const std::string& p) {
        return std::find_if(seen.begin(), seen.end(),
                            [&](const std::string& n) { return n.rfind(p, 0) == 0; });
    };
    ASSERT_NE(prefixed("1 7 "), seen.end()) << Log("traps");
    const std::string index7 = prefixed("1 7 ")->substr(4);
    const auto cleared7 = std::find(seen.begin(), seen.end(), "2 7 " + index7);
    EXPECT_LT(prefixed("1 7 "), cleared7) << Log("traps");
    EXPECT_NE(cleared7, seen.end()) << Log("traps");
    EXPECT_NE(prefixed("1 8 "), seen.end()) << Log("traps");
    // Both units' DC voltage crossed its 56 V limit: raised with the limit and the level's name.
    std::istringstream traps(Log("traps"));
    const std::regex limitRe(R"re(48\.0\.1.*48\.1\.3\.1\.5\.\d+ = INTEGER: (\d+).*)re"
                             R"re(\.9\.\d+ = STRING: "([^"]*)".*\.10\.\d+ = INTEGER: (-?\d+).*)re"
                             R"re(\.11\.\d+ = INTEGER: (\d+).*\.12\.\d+ = INTEGER: 1)re");
    std::vector<std::string> limits;  // "<threshold>|<places>", checking the level's name
    std::smatch m;
    for (std::string line; std::getline(traps, line);)
        if (std::regex_search(line, m, limitRe) && m.str(2) == levelNames_[m.str(1)].asString())
            limits.push_back(m.str(3) + "|" + m.str(4));
    EXPECT_EQ(limits, std::vector<std::string>(2, "56|0")) << Log("traps");

    // The tables against the status page's API, once the scenario has played out.
    const auto table = [&](const std::string& t) {
        return Rows(Walk(t, "snmptable -Cf '|' -Ci -CH"));
    };
    // Six rounds of scenario, then 53.5 V for good; the view is at most a second old.
    ASSERT_TRUE(WaitFor([&] {
        const std::string log = Log("smdhost");
        return log.find("[7] ── round 12 ") != std::string::npos &&
               log.find("[8] ── round 12 ") != std::string::npos;
    })) << Log("smdhost");
    ASSERT_TRUE(WaitFor([&] {
        const std::string t = Walk("smdSignalTable", "snmptable -Cf '|' -Ci -CH");
        return std::regex_search(t, std::regex(R"(7\.7\|[^\n]*\|5350\|2\|)")) &&
               std::regex_search(t, std::regex(R"(8\.7\|[^\n]*\|5350\|2\|)"));
    })) << Walk("smdSignalTable", "snmptable");
    const Json::Value values = Api("values");
    const std::vector<std::string> signals = table("smdSignalTable");
    std::size_t compared = 0;
    for (const Json::Value& d : values["devices"]) {
        const std::string id = d["dataId"].asString();
        for (Json::ArrayIndex i = 0; i < d["values"].size(); ++i) {
            const Json::Value& v = d["values"][i];
            const auto row =
                std::find_if(signals.begin(), signals.end(), [&](const std::string& r) {
                    return r.rfind(id + "." + std::to_string(i + 1) + "|", 0) == 0;
                });
            ASSERT_NE(row, signals.end()) << id << " " << v["name"] << "\n"
                                          << ::testing::PrintToString(signals);
            const std::vector<std::string> f = Fields(*row);  // index id name value precision ...
            ASSERT_EQ(f.size(), 8u) << *row;
            EXPECT_EQ(f[2], v["name"].asString());
            EXPECT_EQ(f[5], v["unit"].asString());
            EXPECT_EQ(f[6], "ok");
            const double scaled = std::stod(f[3]) / std::pow(10.0, std::stoi(f[4]));
            EXPECT_NEAR(scaled, v["value"].asDouble(), 0.5 / std::pow(10.0, std::stoi(f[4])));
            ++compared;
        }
    }
    EXPECT_EQ(compared, signals.size());
    EXPECT_GE(compared, 16u);
    const Json::Value alarms = Api("alarms");
    std::vector<std::string> fromApi;
    for (const Json::Value& d : alarms["devices"])
        for (const Json::Value& a : d["alarms"])
            // A breaker has no limit.
            fromApi.push_back(d["dataId"].asString() + "|" + a["id"].asString() + "|" +
                              a["level"].asString() + "|" + a["text"].asString() + "|" +
                              levelNames_[a["level"].asString()].asString() + "|noValue");
    std::vector<std::string> fromSnmp;
    const std::vector<std::string> alarmRows = table("smdAlarmTable");
    for (const std::string& r : alarmRows) {
        // index id device signal level value text since levelName threshold places status
        const auto f = Fields(r);
        ASSERT_EQ(f.size(), 12u) << r;
        fromSnmp.push_back(f[2] + "|" + f[1] + "|" + f[4] + "|" + f[6] + "|" + f[8] + "|" + f[11]);
    }
    std::sort(fromApi.begin(), fromApi.end());
    std::sort(fromSnmp.begin(), fromSnmp.end());
    EXPECT_EQ(fromSnmp, fromApi);
    EXPECT_FALSE(fromApi.empty());
    const std::vector<std::string> devices = table("smdDeviceTable");
    ASSERT_EQ(devices.size(), 2u) << Walk("smdDeviceTable", "snmptable");
    EXPECT_EQ(Fields(devices[0])[3], "ok");

    // A restarted master gets the subagent back with the same rows.
    const auto withoutTimes = [](std::vector<std::string> rows) {
        for (auto& r : rows) r.erase(r.rfind('|'));  // the value's time moves on
        return rows;
    };
    Stop("snmpd");
    Snmpd();
    ASSERT_TRUE(WaitFor([&] {
        return Log("smdhost").find("snmp: registered again") != std::string::npos;
    })) << Log("smdhost");
    EXPECT_EQ(table("smdAlarmTable"), alarmRows);
    EXPECT_EQ(withoutTimes(table("smdSignalTable")), withoutTimes(signals));
    EXPECT_EQ(table("smdDeviceTable").size(), 2u);

    // With the master there, unit 7's breaker opened and closed again: each notification is at
    // the trap sink within a second of the host's log line for the alarm.
    for (const auto& [state, logged, notice] :
         {std::tuple<uint8_t, std::string, std::string>{1, "[7] ALARM RAISED  level", "1 7 "},
          {0, "[7] alarm cleared level", "2 7 "}}) {
        const auto counts = [&, &logged = logged, &notice = notice] {
            breakerNotices();
            return std::pair(Occurrences(Log("smdhost"), logged),
                             std::count_if(seen.begin(), seen.end(), [&](const std::string& n) {
                                 return n.rfind(notice, 0) == 0;
                             }));
        };
        const auto before = counts();
        sim_.WithUnit([&, state = state](rtmk48sim::UnitModel& u) { u.SetBreaker(state); });
        std::optional<std::chrono::steady_clock::time_point> at[2];
        ASSERT_TRUE(WaitFor(
            [&] {
                const auto now = std::chrono::steady_clock::now();
                const auto c = counts();
                if (!at[0] && c.first > before.first) at[0] = now;
                if (!at[1] && c.second > before.second) at[1] = now;
                return at[0] && at[1];
            },
            30s))
            << logged << Log("traps");
        const auto ms = (*at[1] - *at[0]) / 1ms;  // in the XML report
        RecordProperty((state ? "raised" : "cleared") + std::string("NotificationMs"), ms);
        EXPECT_LT(ms, 1000) << logged;
    }

    // SNMPv3: the right keys read the tables, a wrong one gets nothing.
    const std::string v3 = "-v3 -u noc -l authPriv -a SHA -x AES -X right-priv-key -A ";
    EXPECT_NE(Walk("smdDeviceTable", "snmpwalk", v3 + "right-auth-key").find("rtmk48_pv05"),
              std::string::npos);
    const std::string wrong = Walk("smdDeviceTable", "snmpwalk", v3 + "wrong-auth-key");
    EXPECT_EQ(wrong.find("rtmk48_pv05"), std::string::npos) << wrong;
    EXPECT_NE(wrong.find("Authentication failure"), std::string::npos) << wrong;

    // Unit 7 falls silent: lost once it has had no good round for the stale time, back with
    // its first good round, in that order, each with the unit's row.
    std::vector<std::string> unit7;  // "<notification> <status> <port>"
    std::vector<uint64_t> lastGood;
    const auto unit7Notices = [&](std::size_t n) {
        unit7.clear(), lastGood.clear();
        std::istringstream in(Log("traps"));
        const std::regex re(R"re(48\.0\.([34]).*48\.1\.1\.1\.2\.7 = STRING: "rtmk48_pv05".*)re"
                            R"re(\.3\.7 = STRING: "([^"]*)".*\.4\.7 = INTEGER: (\d).*)re"
                            R"re(\.5\.7 = Gauge32: (\d+))re");
        std::smatch m;
        for (std::string line; std::getline(in, line);)
            if (std::regex_search(line, m, re)) {
                unit7.push_back(m.str(1) + " " + m.str(3) + " " + m.str(2));
                lastGood.push_back(std::stoull(m.str(4)));
            }
        return unit7.size() >= n;
    };
    sim_.Inject({rtmk48sim::Fault::kSilence, 0, -1});
    ASSERT_TRUE(WaitFor([&] { return unit7Notices(1); }, 30s)) << Log("traps");
    sim_.ClearFaults();
    ASSERT_TRUE(WaitFor([&] { return unit7Notices(2); }, 30s)) << Log("traps");
    // Lost as stale (2) or with its port closed (3); back ok (1), with a newer good round.
    const std::string port = " " + sim_.SlavePath();
    EXPECT_TRUE(unit7 == std::vector<std::string>({"3 2" + port, "4 1" + port}) ||
                unit7 == std::vector<std::string>({"3 3" + port, "4 1" + port}))
        << Log("traps");
    EXPECT_TRUE(lastGood.size() == 2 && 0 < lastGood[0] && lastGood[0] < lastGood[1]);

    // The subagent's thread ends with the host, which stops cleanly.
    EXPECT_EQ(Stop("smdhost"), 0) << Log("smdhost");
}

}  // namespace
