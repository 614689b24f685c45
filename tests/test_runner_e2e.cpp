// smdhost end to end: the real program, the real plug-in and the unit simulator on ptys.
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>
#include <sqlite3.h>

#include "core/json_check.h"
#include "runner/demo.h"
#include "sim/simulator.h"
#include "store/history_reader.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;

bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 20s) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// One smdhost process with its output in a file.
class Smdhost {
  public:
    Smdhost(const std::vector<std::string>& args, const std::string& outFile) : out_(outFile) {
        std::vector<std::string> words;
#ifdef SMD_EMULATOR
        std::istringstream emulator(SMD_EMULATOR);
        for (std::string w; emulator >> w;) words.push_back(w);
#endif
        words.push_back(SMDHOST_PATH);
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_adddup2(&fa, 1, 2);
        if (posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
    }
    ~Smdhost() {
        if (pid_ > 0 && status_ < 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    // The exit status, or -1 when it did not end in time.
    int Wait(std::chrono::milliseconds timeout = 60s) {
        WaitFor(
            [&] {
                int st = 0;
                if (::waitpid(pid_, &st, WNOHANG) != pid_) return false;
                status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
                return true;
            },
            timeout);
        return status_;
    }
    void Signal(int sig) {
        ::kill(pid_, sig);
    }
    std::string Output() const {
        return ReadFile(out_);
    }

  private:
    std::string out_;
    pid_t pid_ = -1;
    int status_ = -1;
};

class RunnerE2E : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/smd-e2e-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        db_ = dir_ + "/h.db";
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // Records of a device in the database, 0 before the host made it.
    std::size_t Stored(unsigned int dataId) const {
        try {
            return HistoryReader(db_).RecordCount(dataId);
        } catch (const StoreError&) {
            return 0;
        }
    }

    // A fast device: delays of 5 ms, a round every 20 ms.
    Json::Value Device(unsigned int dataId, const std::string& port, int mode = 1) {
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
        d["settings"]["thresholdSetting"] =
            DemoSite("", ".").devices[0].settings["thresholdSetting"];
        return d;
    }

    std::string WriteSite(const Json::Value& devices, int rounds,
                          const std::string& name = "site.json",
                          Json::Value extra = Json::Value(Json::objectValue)) {
        Json::Value site = extra;
        if (!site.isMember("database")) site["database"] = db_;
        // Rows reach the file within a second, not the default window, for the waits below.
        if (!site["history"].isMember("commitWindowMs")) site["history"]["commitWindowMs"] = 1000;
        site["plugins"].append(SMD_PLUGIN_PATH);
        site["rounds"] = rounds;
        site["devices"] = devices;
        const std::string path = dir_ + "/" + name;
        std::ofstream(path) << site.toStyledString();
        return path;
    }

    int Run(const std::vector<std::string>& args, std::string* out = nullptr) {
        Smdhost host(args, dir_ + "/out.txt");
        const int rc = host.Wait();
        if (out) *out = host.Output();
        return rc;
    }

    std::string dir_;
    std::string db_;
};

TEST_F(RunnerE2E, NRoundsGiveNHistoryRowsWithTheSimulatorsBytes) {
    Json::Value devices;
    devices.append(Device(7, "simulated"));
    std::string out;
    ASSERT_EQ(Run({"--site", WriteSite(devices, 3)}, &out), 0) << out;

    HistoryReader store(db_);
    const auto rows = store.Records(7, 100);
    ASSERT_EQ(rows.size(), 3u) << out;
    const std::vector<uint8_t> unit = rtmk48sim::UnitModel().RecordBlocks();
    for (const auto& r : rows) {
        ASSERT_EQ(r.bytes.size(), 1550u);
        EXPECT_EQ(r.typeId, 5156);
        EXPECT_EQ(r.bytes[0], 7);
        EXPECT_TRUE(std::equal(unit.begin(), unit.end(), r.bytes.begin() + 4));
    }
    EXPECT_NE(out.find("summary: 3 rounds, 3 records published, 3 records stored"),
              std::string::npos)
        << out;
}

TEST_F(RunnerE2E, AlarmsRaiseAndClearAsValuesCrossThresholdsInModes1And5) {
    Json::Value devices;
    for (const auto& [id, mode] : {std::pair<unsigned, int>{7, 1}, {8, 5}}) {
        Json::Value d = Device(id, "simulated", mode);
        d["simulation"] = DemoScenario();
        devices.append(d);
    }
    std::string out;
    ASSERT_EQ(Run({"--site", WriteSite(devices, 6)}, &out), 0) << out;

    HistoryReader store(db_);
    auto events = [&](unsigned id) {
        std::vector<std::string> v;
        for (const auto& a : store.Alarms(id))
            v.push_back(a.alarmId + (a.raised ? " raised " : " cleared ") + a.value);
        return v;
    };
    // Mode 1: the host's limit of 56 V on the signal's alarm id, and the breaker's alarm.
    EXPECT_EQ(events(7), (std::vector<std::string>{
                             "0418001001 raised 交流输出主空开状态",
                             "0416004011 raised 57.2000008",
                             "0418001001 cleared 交流输出主空开状态",
                             "0416004011 cleared 53.5999985",
                         }))
        << out;
    // Mode 5: the rule table with hysteresis (raise at 56, clear at 55); no breaker alarm.
    EXPECT_EQ(events(8), (std::vector<std::string>{
                             "0416004011001 raised 57.2000008",
                             "0416004011001 cleared 53.5999985",
                         }))
        << out;
    const auto alarms = store.Alarms(8);
    ASSERT_FALSE(alarms.empty());
    EXPECT_EQ(alarms[0].text, "当前值57.2000008高于阈值:56");
    EXPECT_EQ(store.RecordCount(7), 6u);
    EXPECT_EQ(store.RecordCount(8), 6u);

    // `smdhost history` lists the rows and shows the events; --record dumps one by field.
    ASSERT_EQ(Run({"history", "--db", db_, "--device", "7", "--limit", "2"}, &out), 0) << out;
    EXPECT_NE(out.find("device 7: 6 records in " + db_), std::string::npos) << out;
    EXPECT_NE(out.find("alarm events of device 7: 2 (the newest; --limit for more)"),
              std::string::npos)
        << out;
    const std::string last = std::to_string(store.LastRecord(7)->id);
    ASSERT_EQ(Run({"history", "--db", db_, "--record", last}, &out), 0) << out;
    EXPECT_NE(out.find("record " + last + " of device 7, type 5156, 1550 bytes"), std::string::npos)
        << out;
    // analog_40 holds the scenario's 220.0 V (0x0898) at its start, record offset 139 (0x8B).
    EXPECT_NE(out.find("analog_40    @ 139  24 bytes"), std::string::npos) << out;
    EXPECT_NE(out.find("    008B  08 98"), std::string::npos) << out;
    ASSERT_EQ(Run({"alarms", "--db", db_, "--device", "8"}, &out), 0) << out;
    EXPECT_NE(out.find("当前值57.2000008高于阈值:56"), std::string::npos) << out;
    EXPECT_EQ(Run({"history", "--db", db_, "--record", "999"}, &out), 1);
    EXPECT_NE(out.find("no record 999"), std::string::npos) << out;
}

TEST_F(RunnerE2E, ARestartRestoresTheLastRecordOnlyWhileItIsRecent) {
    Json::Value devices;
    devices.append(Device(7, "simulated"));
    // A loaded machine may delay a reply past a short time-out; this test is about the cache.
    devices[0]["replyTimeoutMs"] = 5000;
    std::string out;
    ASSERT_EQ(Run({"--site", WriteSite(devices, 2)}, &out), 0) << out;
    HistoryReader store(db_);
    const auto before = store.LastRecord(7);
    ASSERT_TRUE(before.has_value());
    const std::size_t first = store.RecordCount(7);

    // The unit's content changes while the host is down: the first row after the restart is
    // the cached record, the next one the new poll.
    devices[0]["simulation"]["blocks"]["40 42 FF"] = std::string(48, '5');
    ASSERT_EQ(Run({"--site", WriteSite(devices, 1)}, &out), 0) << out;
    EXPECT_NE(out.find("[7] restoring the last record"), std::string::npos) << out;
    const auto rows = store.Records(7, 2);
    ASSERT_EQ(rows.size(), 2u);
    ASSERT_EQ(store.RecordCount(7), first + 2);
    // Same blocks, re-stamped on restore.
    EXPECT_TRUE(
        std::equal(before->bytes.begin(), before->bytes.begin() + 1543, rows[0].bytes.begin()));
    EXPECT_EQ(rows[1].bytes[139], 0x55);

    // Too old: not handed back.
    Json::Value extra;
    extra["cacheMaxAgeSeconds"] = 0;
    ASSERT_EQ(Run({"--site", WriteSite(devices, 1, "site.json", extra)}, &out), 0) << out;
    EXPECT_NE(out.find("not restored (limit 0 s)"), std::string::npos) << out;
    EXPECT_EQ(store.RecordCount(7), first + 3);
}

TEST_F(RunnerE2E, AControlRequestReachesTheUnitAndTheResultReadsOneAfterwards) {
    rtmk48sim::Simulator sim;
    std::string error;
    ASSERT_TRUE(sim.Open(&error)) << error;
    sim.Start();
    Json::Value devices;
    devices.append(Device(7, sim.SlavePath()));
    Json::Value extra;
    const std::string socket = dir_ + "/ctl.sock";
    extra["controlSocket"] = socket;
    Smdhost host({"--site", WriteSite(devices, 0, "site.json", extra)}, dir_ + "/host.txt");
    ASSERT_TRUE(WaitFor([&] { return Stored(7) >= 1; })) << host.Output();

    std::string out;
    ASSERT_EQ(
        Run({"control", "--socket", socket, "--device", "7", "--code", "106", "--value", "4660"},
            &out),
        0)
        << out;
    EXPECT_NE(out.find("\"value\" : -1"), std::string::npos) << out;
    uint16_t param = 0;
    sim.WithUnit([&](rtmk48sim::UnitModel& u) { param = u.Param(0x80); });
    EXPECT_EQ(param, 0x1234);

    // An unhandled code reads the control result: the unit answered.
    ASSERT_EQ(Run({"control", "--socket", socket, "--device", "7", "--code", "0", "--out-len", "4"},
                  &out),
              0)
        << out;
    EXPECT_NE(out.find("\"value\" : 1"), std::string::npos) << out;

    ASSERT_EQ(Run({"control", "--socket", socket, "--device", "7", "--code", "320", "--request",
                   "D41001"},
                  &out),
              0)
        << out;
    std::vector<uint8_t> remote;
    sim.WithUnit([&](rtmk48sim::UnitModel& u) { remote = u.RemoteCommands(); });
    EXPECT_EQ(remote, std::vector<uint8_t>{0x10});

    // The document carries the signal values the host wrote from the record.
    ASSERT_EQ(Run({"control", "--socket", socket, "--device", "7", "--code", "801"}, &out), 0)
        << out;
    Json::Value answer, doc;
    ASSERT_TRUE(Json::Reader().parse(out, answer)) << out;
    ASSERT_TRUE(Json::Reader().parse(answer["output"].asString(), doc)) << out;
    EXPECT_TRUE(doc["更新时间"].isString()) << out;
    EXPECT_TRUE(doc["直流输出电压"].isNumeric()) << out;

    EXPECT_EQ(Run({"control", "--socket", socket, "--device", "9", "--code", "801"}, &out), 1);
    EXPECT_NE(out.find("no running device with data id 9"), std::string::npos) << out;

    // The exit status says whether the request was carried out.
    const struct {
        std::vector<std::string> args;
        int status;
        const char* says;
    } exits[] = {
        {{"--code", "106", "--value", "77", "--wait", "20"}, 0, "\"unitResult\" : 1"},
        {{"--code", "310", "--request", R"({"signal_id":"D48001","SetValue":"x"})"},
         1,
         "refused the request (result -1)"},
        {{"--code", "320", "--request", "D49999"}, 1, "nothing was sent"},
        {{"--code", "803"}, 1, "not served here"},
    };
    for (const auto& e : exits) {
        std::vector<std::string> args = {"control", "--socket", socket, "--device", "7"};
        args.insert(args.end(), e.args.begin(), e.args.end());
        EXPECT_EQ(Run(args, &out), e.status) << e.args[1] << ": " << out;
        EXPECT_NE(out.find(e.says), std::string::npos) << e.args[1] << ": " << out;
    }

    // A second host on this site is turned away before it touches a database or a device.
    Json::Value other = extra;
    other["database"] = dir_ + "/second.db";
    Json::Value again = devices;
    again[0]["port"] = "simulated";
    std::ofstream(dir_ + "/second.json") << [&] {
        Json::Value site = other;
        site["plugins"].append(SMD_PLUGIN_PATH);
        site["devices"] = again;
        return site.toStyledString();
    }();
    EXPECT_EQ(Run({"--site", dir_ + "/second.json"}, &out), 1);
    EXPECT_NE(out.find("in use by another host"), std::string::npos) << out;
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/second.db"));

    host.Signal(SIGTERM);
    EXPECT_EQ(host.Wait(), 0) << host.Output();
    EXPECT_NE(host.Output().find("summary: "), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(socket));
    sim.Close();
}

// The service manager's end of the notify protocol: a datagram socket named by NOTIFY_SOCKET,
// drained all the time as the manager does (a full queue would block the host's notifications).
class NotifySocket {
  public:
    explicit NotifySocket(const std::string& path) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        path.copy(a.sun_path, sizeof a.sun_path - 1);
        ok_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        reader_ = std::thread([this] {
            char buf[512];
            while (!stop_) {
                const ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
                if (n <= 0) {
                    std::this_thread::sleep_for(2ms);
                    continue;
                }
                std::lock_guard<std::mutex> lock(mu_);
                seen_ += std::string(buf, static_cast<std::size_t>(n)) + "|";
            }
        });
    }
    ~NotifySocket() {
        stop_ = true;
        reader_.join();
        if (fd_ >= 0) ::close(fd_);
    }
    bool Ok() const { return ok_; }
    // Waits until the messages so far hold `part`.
    bool WaitFor(const std::string& part) {
        return ::WaitFor([&] { return Seen().find(part) != std::string::npos; });
    }
    std::string Seen() const {
        std::lock_guard<std::mutex> lock(mu_);
        return seen_;
    }

  private:
    int fd_ = -1;
    bool ok_ = false;
    std::atomic<bool> stop_{false};
    mutable std::mutex mu_;
    std::string seen_;
    std::thread reader_;
};

TEST_F(RunnerE2E, SighupReloadsTheSiteFileAndABrokenOneKeepsTheRunningConfiguration) {
    Json::Value devices;
    devices.append(Device(7, "simulated"));
    const std::string site = WriteSite(devices, 0);
    // As systemd runs it: readiness, reloading, stopping and a watchdog of 200 ms to feed.
    NotifySocket notify(dir_ + "/notify");
    ASSERT_TRUE(notify.Ok());
    ::setenv("NOTIFY_SOCKET", (dir_ + "/notify").c_str(), 1);
    ::setenv("WATCHDOG_USEC", "200000", 1);
    Smdhost host({"--site", site}, dir_ + "/host.txt");
    ::unsetenv("NOTIFY_SOCKET");
    ::unsetenv("WATCHDOG_USEC");
    ASSERT_TRUE(notify.WaitFor("READY=1\nSTATUS=running " + site)) << notify.Seen();
    ASSERT_TRUE(notify.WaitFor("WATCHDOG=1|WATCHDOG=1|")) << notify.Seen();
    ASSERT_TRUE(WaitFor([&] { return Stored(7) >= 1; })) << host.Output();

    std::ofstream(site) << "{ \"plugins\": [";
    host.Signal(SIGHUP);
    ASSERT_TRUE(WaitFor([&] {
        return host.Output().find("reload failed, the running configuration stays: " + site) !=
               std::string::npos;
    })) << host.Output();
    const std::size_t before = Stored(7);
    ASSERT_TRUE(WaitFor([&] { return Stored(7) > before; })) << "polling stopped";

    // The sinks' members cannot change while the host runs: each change is said.
    Json::Value extra;
    extra["history"]["keepDays"] = 30;
    extra["web"]["port"] = 0;
    extra["tsdb"]["url"] = "http://127.0.0.1:1/write";
    WriteSite(devices, 0, "site.json", extra);
    host.Signal(SIGHUP);
    ASSERT_TRUE(WaitFor([&] {
        return host.Output().find("reload of " + site + " done") != std::string::npos;
    })) << host.Output();
    for (const char* member : {"history", "web", "tsdb"})
        EXPECT_NE(host.Output().find(std::string("reload: ") + member +
                                     " changed: needs a restart, kept"),
                  std::string::npos)
            << member;
    EXPECT_TRUE(notify.WaitFor("RELOADING=1|")) << notify.Seen();
    host.Signal(SIGTERM);
    EXPECT_EQ(host.Wait(), 0) << host.Output();
    EXPECT_NE(host.Output().find("summary: "), std::string::npos);
    EXPECT_TRUE(notify.WaitFor("STOPPING=1|")) << notify.Seen();
}

TEST_F(RunnerE2E, TwoDevicesOnTwoPortsPollIndependentlyAndSigintStopsCleanly) {
    // Device 8's unit never answers; device 7's rounds go on regardless.
    rtmk48sim::Simulator silent;
    std::string error;
    ASSERT_TRUE(silent.Open(&error)) << error;
    silent.Inject({rtmk48sim::Fault::kSilence, 0, -1});
    silent.Start();
    Json::Value devices;
    devices.append(Device(7, "simulated"));
    devices.append(Device(8, silent.SlavePath()));
    Smdhost host({"--site", WriteSite(devices, 0)}, dir_ + "/host.txt");
    ASSERT_TRUE(WaitFor([&] { return Stored(7) >= 5 && silent.Commands() >= 2; })) << host.Output();
    host.Signal(SIGINT);
    ASSERT_EQ(host.Wait(), 0) << host.Output();
    EXPECT_EQ(Stored(8), 0u);
    const std::string out = host.Output();
    EXPECT_NE(out.find("device 8: "), std::string::npos) << out;
    EXPECT_NE(out.find("time-out"), std::string::npos) << out;
    silent.Close();
}

TEST_F(RunnerE2E, ABadSiteFileFailsWithStatus2AndAClearMessage) {
    Json::Value devices;
    devices.append(Device(7, "simulated"));
    devices[0]["dataId"] = "7";
    std::string site = WriteSite(devices, 1);
    std::string out;
    EXPECT_EQ(Run({"--site", site}, &out), 2);
    EXPECT_EQ(
        out, "smdhost: " + site + ": devices[0].dataId: expected a whole number, found a string\n");

    devices[0]["dataId"] = 7;
    devices[0]["signalMap"] = dir_ + "/map.json";
    std::ofstream(dir_ + "/map.json") << R"({"signals": {"x": {"block": "nope", "offset": 0}}})";
    EXPECT_EQ(Run({"--site", WriteSite(devices, 1)}, &out), 2);
    EXPECT_NE(out.find(dir_ + "/map.json: signals.x.block: no record field nope"),
              std::string::npos)
        << out;

    // What an installation gets wrong: each names the file and stops with status 2.
    const std::string missing = dir_ + "/missing.json";
    EXPECT_EQ(Run({"--site", missing}, &out), 2);
    EXPECT_NE(out.find(missing), std::string::npos) << out;
    Json::Value extra;
    extra["plugins"].append("no_such_plugin.so");
    site = WriteSite(devices, 1, "site.json", extra);
    EXPECT_EQ(Run({"--site", site}, &out), 2);
    EXPECT_NE(out.find(site + ": plugins[0]: no plug-in "), std::string::npos) << out;
    EXPECT_NE(out.find("/no_such_plugin.so"), std::string::npos) << out;
    const std::string fifo = dir_ + "/plugin.so";  // dlopen would wait for a writer for ever
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    extra["plugins"][0] = fifo;
    EXPECT_NE(Run({"--site", WriteSite(devices, 1, "site.json", extra)}, &out), 0);
    EXPECT_NE(out.find(fifo + ": is not a regular file"), std::string::npos) << out;
    extra = Json::Value(Json::objectValue);
    extra["database"] = dir_ + "/no/such/dir/h.db";
    site = WriteSite(devices, 1, "site.json", extra);
    EXPECT_EQ(Run({"--site", site}, &out), 2);
    EXPECT_NE(out.find(site + ": database: cannot open database " + dir_ + "/no/such/dir/h.db"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("setting up"), std::string::npos) << "no device started: " << out;
    // So is a control socket that cannot be: in no directory, or a path too long.
    for (const std::string& socket :
         {dir_ + "/no/such/dir/c.sock", dir_ + "/" + std::string(120, 'x')}) {
        extra = Json::Value(Json::objectValue);
        extra["controlSocket"] = socket;
        devices[0].removeMember("signalMap");
        site = WriteSite(devices, 1, "site.json", extra);
        EXPECT_EQ(Run({"--site", site}, &out), 2);
        EXPECT_NE(out.find(site + ": controlSocket: "), std::string::npos) << out;
        EXPECT_EQ(out.find("setting up"), std::string::npos) << "no device started: " << out;
    }
    // A web port in use is found before any device starts, too.
    const int taken = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t atLen = sizeof at;
    ASSERT_EQ(::bind(taken, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    ASSERT_EQ(::listen(taken, 1), 0);
    ASSERT_EQ(::getsockname(taken, reinterpret_cast<sockaddr*>(&at), &atLen), 0);
    extra = Json::Value(Json::objectValue);
    extra["web"]["port"] = ntohs(at.sin_port);
    extra["web"]["root"] = SMD_SOURCE_DIR "/web/static";
    devices[0].removeMember("signalMap");
    site = WriteSite(devices, 1, "site.json", extra);
    EXPECT_EQ(Run({"--site", site}, &out), 2);
    ::close(taken);
    EXPECT_NE(out.find(site + ": web.port: "), std::string::npos) << out;
    EXPECT_EQ(out.find("setting up"), std::string::npos) << "no device started: " << out;
    // A subcommand reads only the members it uses: a sink's member it never needs (a broker
    // password out of reach, say) stops the host and --check, not the views or the control
    // client.
    std::ofstream(dir_ + "/secret") << "pw\n";
    ::chmod((dir_ + "/secret").c_str(), 0644);
    for (const auto& [member, text] : std::vector<std::pair<std::string, std::string>>{
             {"mqtt", R"({"host": "127.0.0.1", "username": "smd", "passwordFile": "secret"})"},
             {"web", R"({"address": "nowhere"})"},
             {"snmp", R"({"oidBase": "x"})"},
             {"history", R"({"keepDays": -1})"}}) {
        extra = Json::Value(Json::objectValue);
        extra[member] = JsonFile::Parse(text, member);
        extra["controlSocket"] = dir_ + "/none.sock";
        site = WriteSite(devices, 1, "site.json", extra);
        EXPECT_EQ(Run({"--site", site, "--check"}, &out), 2) << member;
        EXPECT_NE(out.find(": " + member + "."), std::string::npos) << out;
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{"history", "--site", site, "--device", "7"},
              {"alarms", "--site", site, "--device", "7"},
              {"control", "--site", site, "--device", "7", "--code", "0"}}) {
            EXPECT_NE(Run(args, &out), 2) << args[0] << ", bad " << member << ": " << out;
            EXPECT_EQ(out.find(member + "."), std::string::npos) << args[0] << ": " << out;
        }
    }

    // Its priority in the journal is checked under a real systemd by tests/check_boot.sh,
    // which needs the parser's reason on the same line. --check (the unit's reload) only loads.
    std::ofstream(dir_ + "/broken.json") << "{\n";
    EXPECT_EQ(Run({"--site", dir_ + "/broken.json", "--check"}, &out), 2);
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
    EXPECT_NE(out.find("not valid JSON: * Line 2, Column 1 "), std::string::npos) << out;
    devices[0]["signalMap"] = dir_ + "/map.json";
    EXPECT_EQ(Run({"--site", WriteSite(devices, 1), "--check"}, &out), 2);
    EXPECT_NE(out.find("map.json: signals.x.block: no record field nope"), std::string::npos);
    devices[0].removeMember("signalMap");
    EXPECT_EQ(Run({"--site", WriteSite(devices, 1), "--check"}, &out), 0);
    EXPECT_EQ(out, "");

    EXPECT_EQ(Run({"--rounds", "2"}, &out), 2);
    EXPECT_EQ(Run({"--version"}, &out), 0);
    EXPECT_EQ(out, "smdhost " SMD_VERSION "\n");
    EXPECT_EQ(Run({"--help"}, &out), 0);
    EXPECT_NE(out.find("cacheMaxAgeSeconds"), std::string::npos);
}

// A store locked by another process at start: the host polls, says why it stores nothing, and
// stores every record once the lock goes. Another program's file stops the start instead.
TEST_F(RunnerE2E, ALockedStoreAtStartStopsNoPollingAndAForeignOneStopsTheStart) {
    NotifySocket notify(dir_ + "/notify");
    ASSERT_TRUE(notify.Ok());
    sqlite3* other = nullptr;
    sqlite3_open(db_.c_str(), &other);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    // The lock goes once the host has said it stores nothing: under emulation its start alone
    // can outlast any fixed time.
    std::thread release([&notify, other] {
        notify.WaitFor("history not stored");
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    });
    Json::Value devices;
    devices.append(Device(7, "simulated"));
    std::string out;
    ::setenv("NOTIFY_SOCKET", (dir_ + "/notify").c_str(), 1);
    const std::string locked = WriteSite(devices, 5);
    const int rc = Run({"--site", locked}, &out);
    ::unsetenv("NOTIFY_SOCKET");
    release.join();
    sqlite3_close(other);
    EXPECT_EQ(rc, 0) << out;
    EXPECT_NE(out.find("history: storing nothing yet; rows wait and are retried: "),
              std::string::npos)
        << out;
    // The service's status says why while nothing is stored, and only "running" once it is.
    const std::string seen = notify.Seen();
    EXPECT_NE(seen.find("STATUS=running " + locked + "; history not stored: database "),
              std::string::npos)
        << seen;
    EXPECT_NE(seen.find("STATUS=running " + locked + "|", seen.rfind("history not stored")),
              std::string::npos)
        << seen;
    EXPECT_NE(out.find("summary: 5 rounds, 5 records published, 5 records stored"),
              std::string::npos)
        << out;

    const std::string foreign = dir_ + "/foreign.db";
    std::ofstream(foreign) << "notes of another program\n";
    Json::Value extra;
    extra["database"] = foreign;
    const std::string site = WriteSite(devices, 1, "foreign.json", extra);
    EXPECT_EQ(Run({"--site", site}, &out), 2);
    EXPECT_NE(out.find(site + ": database: " + foreign +
                       " is not a history database of this program: left as it is"),
              std::string::npos)
        << out;
}

// A stop request at each step of start-up that can wait ends the run within a second, with its
// summary; a step that cannot succeed fails at once with its reason.
TEST_F(RunnerE2E, AStopAtEveryStepOfStartUpEndsTheRunWithinASecond) {
    // What a row holds while the host starts (a lock, a socket), let go at the row's end.
    using Hold = std::shared_ptr<void>;
    const auto listening = [](const std::string& path, int backlog) {
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        path.copy(a.sun_path, sizeof a.sun_path - 1);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        EXPECT_EQ(::listen(fd, backlog), 0);
        // A client nobody accepts: a queue of one is full.
        const int client = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ::connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a);
        return Hold(nullptr, [fd, client](void*) {
            ::close(fd);
            ::close(client);
        });
    };
    const struct {
        const char* step;
        std::function<Hold(const std::string& base, Json::Value& site)> prepare;
        const char* waitFor;  // the host is in the step once it said this; none: no signal
        int status;
        const char* says;
    } rows[] = {
        {"the store's open on a database another connection holds",
         [](const std::string& base, Json::Value&) {
             sqlite3* other = nullptr;
             sqlite3_open((base + ".db").c_str(), &other);
             EXPECT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr),
                       SQLITE_OK);
             return Hold(other, [](void* db) { sqlite3_close(static_cast<sqlite3*>(db)); });
         },
         "control channel on", 0, "summary: 0 rounds"},
        {"a plug-in that takes seconds to load",
         [](const std::string&, Json::Value& site) {
             site["plugins"].append(SMD_SLOW_PLUGIN);
             return Hold();
         },
         "control channel on", 0, "summary: 0 rounds"},
        {"a control socket whose host accepts no one",
         [&](const std::string& base, Json::Value& site) {
             site["controlSocket"] = base + ".busy";
             return listening(base + ".busy", 0);
         },
         nullptr, 1, "is in use by another host"},
#ifdef SMD_HAVE_NETSNMP
        {"the SNMP subagent's set-up with a master that never answers",
         [&](const std::string& base, Json::Value& site) {
             site["snmp"]["agentxSocket"] = base + ".agentx";
             return listening(base + ".agentx", 4);
         },
         "published record", 0, "summary: "},
#endif
    };
    int n = 0;
    for (const auto& row : rows) {
        const std::string base = dir_ + "/" + std::to_string(++n);
        Json::Value site, devices;
        site["controlSocket"] = base + ".sock";
        site["database"] = base + ".db";
        devices.append(Device(7, "simulated"));
        const Hold held = row.prepare(base, site);
        Smdhost host({"--site", WriteSite(devices, 0, "stop.json", site)}, base + ".txt");
        if (row.waitFor != nullptr) {
            ASSERT_TRUE(WaitFor([&] {
                return host.Output().find(row.waitFor) != std::string::npos;
            })) << row.step
                << ": " << host.Output();
            host.Signal(SIGTERM);
        }
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(host.Wait(5s), row.status) << row.step << ": " << host.Output();
        EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - t0)
                      .count(),
                  1000)
            << row.step;
        EXPECT_NE(host.Output().find(row.says), std::string::npos)
            << row.step << ": " << host.Output();
    }
}

// A port not there at start (a USB adapter found late): the other unit polls from the start,
// the late one once its path appears, retried as a port lost at run time is.
TEST_F(RunnerE2E, APortNotThereAtStartIsRetriedWhileTheOtherUnitPolls) {
    rtmk48sim::Simulator early, late;
    std::string error;
    ASSERT_TRUE(early.Open(&error) && late.Open(&error)) << error;
    early.Start();
    late.Start();
    const std::string path = dir_ + "/ttyUSB-late";
    Json::Value devices;
    devices.append(Device(7, early.SlavePath()));
    devices.append(Device(8, path));
    Json::Value extra;
    extra["history"]["commitWindowMs"] = 50;
    Smdhost host({"--site", WriteSite(devices, 0, "site.json", extra)}, dir_ + "/host.txt");
    ASSERT_TRUE(WaitFor([&] { return Stored(7) >= 10; })) << host.Output();
    EXPECT_EQ(Stored(8), 0u);
    EXPECT_NE(host.Output().find("[8] cannot open " + path + ": No such file or directory"),
              std::string::npos)
        << host.Output();
    ASSERT_EQ(::symlink(late.SlavePath().c_str(), path.c_str()), 0);
    ASSERT_TRUE(WaitFor([&] { return Stored(8) >= 2; })) << host.Output();
    host.Signal(SIGTERM);
    EXPECT_EQ(host.Wait(), 0) << host.Output();
    early.Close();
    late.Close();
}

TEST_F(RunnerE2E, ADeviceWhoseSettingsThrowIsLeftOutAndTheOthersRun) {
    // Device 8 reads a broken model file, device 9 gets a mode of a JSON type without text.
    const std::string broken = dir_ + "/broken";
    std::filesystem::create_directories(broken + "/ini");
    std::ofstream(broken + "/ini/rtmk48_pv05.ini") << "[AI\n";
    Json::Value devices;
    devices.append(Device(7, "simulated"));
    devices.append(Device(8, "simulated"));
    devices[1]["workDir"] = broken;
    devices.append(Device(9, "simulated"));
    devices[2]["settings"]["appSetting"]["b_mode"] = Json::Value(Json::objectValue);
    // Device 10's model file is a FIFO: reading it would block start-up for good.
    const std::string fifo = dir_ + "/fifo";
    std::filesystem::create_directories(fifo + "/ini");
    ASSERT_EQ(::mkfifo((fifo + "/ini/10.ini").c_str(), 0600), 0);
    devices.append(Device(10, "simulated"));
    devices[3]["workDir"] = fifo;
    // Device 11 has no model file at all: it runs, and the host says what that costs.
    devices.append(Device(11, "simulated"));
    devices[4]["workDir"] = dir_;
    std::string out;
    ASSERT_EQ(Run({"--site", WriteSite(devices, 2)}, &out), 0) << out;
    EXPECT_NE(out.find("[10] device 10 not started: model file " + fifo +
                       "/ini/10.ini is not a regular file"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("[11] no model file"), std::string::npos) << out;
    EXPECT_NE(out.find("every alarm check off"), std::string::npos) << out;
    EXPECT_NE(out.find("[8] device 8 not started: InitSetting failed: "), std::string::npos) << out;
    EXPECT_NE(out.find("[9] device 9 not started: InitSetting failed: "), std::string::npos) << out;
    EXPECT_NE(out.find("device 8 (not started)"), std::string::npos) << out;
    HistoryReader store(db_);
    EXPECT_EQ(store.RecordCount(7), 2u);
    EXPECT_EQ(store.RecordCount(8), 0u);
    EXPECT_EQ(store.RecordCount(9), 0u);
}

}  // namespace
