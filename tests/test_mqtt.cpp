// Broker forwarding: the outbox inside the history transaction, then smdhost against a real
// mosquitto that the test starts on a loopback port of its own, with a subscriber beside it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>

#include "core/signal_map.h"
#include "history/history_store.h"
#include "mqtt/outbox.h"
#include "mqtt/outbox_message.h"
#include "mqtt/payload.h"
#include "runner/demo.h"
#include "store/history_reader.h"
#include "test_support.h"
#include "tsdb/line_protocol.h"
#include "web_client.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;

bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds limit = 30s) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

int64_t Scalar(sqlite3* db, const std::string& sql) {
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr);
    const int64_t v = sqlite3_step(s) == SQLITE_ROW ? sqlite3_column_int64(s, 0) : -1;
    sqlite3_finalize(s);
    return v;
}

constexpr int64_t kYears = 20 * 365 * 86400;

std::vector<outbox_message::Queued> Queued(sqlite3* db, const std::string& where) {
    std::vector<outbox_message::Queued> out;
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db,
                       (std::string("SELECT ") + outbox_message::kColumns +
                        " FROM mqtt_outbox WHERE " + where + " ORDER BY id")
                           .c_str(),
                       -1, &s, nullptr);
    while (sqlite3_step(s) == SQLITE_ROW) out.push_back(outbox_message::Read(s));
    sqlite3_finalize(s);
    return out;
}

TEST(MqttOutbox, QueuedOnlyWithItsRowNumberedWithoutGapsBoundedAndBuiltFromTheRow) {
    char tmpl[] = "/tmp/smd-outbox-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    auto history = std::make_unique<HistoryStore>(dir + "/h.db");
    sqlite3* db = history->Db();
    std::vector<std::string> said;
    auto outbox = std::make_unique<Outbox>(
        4, kYears, [&](const std::string& l, Priority) { said.push_back(l); });
    outbox->Prepare(db);
    auto signals = std::make_shared<SignalMap>(SignalMap::FromJson(
        ParseJson(R"({"signals": {"v": {"block": "analog_40", "offset": 0, "scale": 0.1},
                     "伏": {"block": "analog_40", "offset": 2, "id": "volts", "scale": 0.1}}})"),
        "map"));
    std::vector<unsigned char> bytes(1550, 0);
    const std::size_t at = signals->Fields()[0].offset;  // 535 and 572, big-endian
    std::copy_n("\x02\x17\x02\x3C", 4, bytes.begin() + static_cast<std::ptrdiff_t>(at));
    Json::Value values;  // as the core decodes a record it hands on
    signals->Apply(bytes.data(), bytes.size(), values);
    const WallTime time{std::chrono::milliseconds(1765230000123)};
    RecordOut r{7, 5156, time, bytes.data(), bytes.size(), &values};
    Alarm a;
    a.dataId = 7;
    a.at = r.at;
    a.alarmId = "0418001001";
    a.raised = true;
    a.threshold = 56.0;
    a.levelName = "critical";
    a.value = "57.2000008";  // a float as the plug-in prints it
    // Stores a row as the history writer does, with its message in the same transaction.
    auto store = [&](const auto& item, bool commit = true) {
        history->Begin();
        HistoryRow row;
        using T = std::decay_t<decltype(item)>;
        if constexpr (std::is_same_v<T, RecordOut>) {
            row.rowId = history->AddRecord(item.dataId, item.typeId, item.at, item.bytes, item.len);
            row.record = &item;
        } else if constexpr (std::is_same_v<T, Alarm>) {
            StoredAlarm s;
            static_cast<Alarm&>(s) = item;
            row.rowId = history->AddAlarm(s);
            row.alarm = &item;
        } else {
            row.rowId = history->AddAnalogReport(item.dataId, item.at, item.signalId, item.value);
            row.report = &item;
        }
        outbox->OnStored(db, row);
        if (!commit) return history->Rollback();
        history->Commit();
        outbox->OnCommitted();
    };
    const std::string epoch = Outbox::CreateTables(db);
    outbox_message::Context context{"fleet", "s1", epoch, true, {{7, signals}}};
    auto builder = std::make_unique<outbox_message::Builder>(db);
    auto queued = [&](const std::string& where) { return Queued(db, where); };

    store(r, false);  // a history row rolled back takes its message and its number with it
    EXPECT_EQ(Scalar(db, "SELECT count(*) FROM mqtt_outbox"), 0);
    for (int i = 0; i < 3; ++i) store(r);
    store(a);
    Alarm standing = a;  // state from before the start, not an event
    standing.restored = true;
    store(standing);
    EXPECT_EQ(Scalar(db, "SELECT count(*) FROM mqtt_outbox"), 4);
    // A reference, not a copy: some tens of bytes a message.
    EXPECT_LT(Scalar(db, "SELECT max(length(topic) + length(payload)) FROM mqtt_outbox"), 1);

    // Built from the row, a message is what the copy used to hold, byte for byte.
    const auto third = builder->Build(queued("kind = 1")[2], context);
    ASSERT_TRUE(third);
    EXPECT_EQ(third->topic, "fleet/s1/7/record");
    EXPECT_EQ(third->payload, mqtt_payload::Record("s1", epoch, r, 3, signals.get(), true));
    const auto rec = ParseJson(third->payload);
    EXPECT_EQ(rec["time"].asString(), "2025-12-08T21:40:00.123Z");
    EXPECT_EQ(rec["values"]["v"].asDouble(), 53.5);
    EXPECT_NE(third->payload.find(R"("volts":57.2})"), std::string::npos) << third->payload;
    EXPECT_EQ(rec["hex"].asString().size(), 3100u);
    const auto alarm = builder->Build(queued("kind = 2")[0], context);
    ASSERT_TRUE(alarm);
    EXPECT_EQ(alarm->payload, mqtt_payload::AlarmMessage("s1", epoch, a, 1));
    EXPECT_NE(alarm->payload.find(R"("value":57.2})"), std::string::npos) << alarm->payload;
    EXPECT_NE(alarm->payload.find(R"("levelName":"critical")"), std::string::npos);

    // Numbers go on after a restart; past 4 rows the oldest go, counted and said once.
    outbox = std::make_unique<Outbox>(4, kYears,
                                      [&](const std::string& l, Priority) { said.push_back(l); });
    outbox->Prepare(db);
    const ReportOut report{7, r.at, "0411001001", 231.5};
    store(report);
    store(r);
    EXPECT_EQ(queued("kind = 1").back().seq, 4u);
    const auto sent = builder->Build(queued("kind = 3")[0], context);
    ASSERT_TRUE(sent);
    EXPECT_EQ(sent->payload, mqtt_payload::Report("s1", epoch, report, 1));
    EXPECT_EQ(Scalar(db, "SELECT count(*) FROM mqtt_outbox"), 4);
    EXPECT_EQ(outbox->Dropped(), 2u);
    sqlite3* replaced = nullptr;  // a new store starts a new stream
    sqlite3_open(":memory:", &replaced);
    EXPECT_NE(Outbox::CreateTables(replaced), epoch);
    sqlite3_close(replaced);
    ASSERT_EQ(said.size(), 2u);  // at a falling rate: the 1st and the 2nd
    EXPECT_NE(said[1].find("2 dropped so far"), std::string::npos) << said[1];
    for (int i = 0; i < 3; ++i) store(r);  // the alarm is now the oldest: records go first
    EXPECT_EQ(queued("kind = 2").size(), 1u);
    EXPECT_EQ(Scalar(db, "SELECT count(*) FROM mqtt_outbox"), 4);

    // History pruned under a queued message: nothing to build, so the sender counts it lost.
    const auto records = queued("kind = 1");
    sqlite3_exec(db, ("DELETE FROM history WHERE id = " + std::to_string(records[0].rowId)).c_str(),
                 nullptr, nullptr, nullptr);
    EXPECT_FALSE(builder->Build(records[0], context));

    // Older than the age bound: dropped at once.
    outbox = std::make_unique<Outbox>(100, 60, nullptr);
    r.at = std::chrono::system_clock::now() - 2min;
    store(r);
    EXPECT_EQ(Scalar(db, "SELECT count(*) FROM mqtt_outbox"), 0);
    EXPECT_EQ(outbox->Dropped(), 5u);
    builder.reset();  // its statements before their connection
    history.reset();
    std::filesystem::remove_all(dir);
}

// An outbox written before messages referred to their rows is sent as it was queued.
TEST(MqttOutbox, CopiedMessagesFromBeforeAreSentAsTheyWere) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
    sqlite3_exec(db,
                 "CREATE TABLE mqtt_outbox(id INTEGER PRIMARY KEY AUTOINCREMENT, data_id INTEGER "
                 "NOT NULL, queued_ms INTEGER NOT NULL, topic TEXT NOT NULL, payload TEXT NOT "
                 "NULL); INSERT INTO mqtt_outbox VALUES(9, 7, 1765230000123, 'smd/s1/7/alarm', "
                 "'{\"seq\":3}')",
                 nullptr, nullptr, nullptr);
    Outbox::CreateTables(db);
    Outbox::CreateTables(db);  // once migrated, left as it is
    const auto old = Queued(db, "1");
    ASSERT_EQ(old.size(), 1u);
    const auto m = outbox_message::Builder(db).Build(old[0], {});
    ASSERT_TRUE(m);
    EXPECT_EQ(m->topic, "smd/s1/7/alarm");
    EXPECT_EQ(m->payload, R"({"seq":3})");
    Outbox bounded(1, kYears, nullptr);  // an old alarm too stays ahead of routine records
    bounded.Prepare(db);
    const ReportOut report{7, std::chrono::system_clock::now(), "0411001001", 1.0};
    HistoryRow row;
    row.rowId = 1;
    row.report = &report;
    bounded.OnStored(db, row);
    EXPECT_EQ(Scalar(db, "SELECT group_concat(id) FROM mqtt_outbox"), 9);
    sqlite3_close(db);
}

pid_t Spawn(std::vector<std::string> args, const std::string& outFile) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

// The exit status, or -1 when it did not end in time.
int Wait(pid_t pid, std::chrono::milliseconds limit = 60s) {
    int st = 0, rc = -1;
    WaitFor([&] { return ::waitpid(pid, &st, WNOHANG) == pid; }, limit) &&
        (rc = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st));
    return rc;
}

int FreePort() {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(s);
    return ntohs(a.sin_port);
}

bool Listening(int port) {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(s);
    return ok;
}

struct Message {
    std::string topic;
    Json::Value body;
};

class MqttBroker : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!std::filesystem::exists("/usr/sbin/mosquitto"))
            GTEST_SKIP() << "no mosquitto broker installed (scripts/setup installs it)";
        char tmpl[] = "/tmp/smd-mqtt-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        port_ = FreePort();
    }
    void TearDown() override {
        for (pid_t p : pids_) {
            ::kill(p, SIGKILL);
            ::waitpid(p, nullptr, 0);
        }
        if (!dir_.empty()) std::filesystem::remove_all(dir_);
    }
    pid_t Start(const std::vector<std::string>& args, const std::string& out) {
        const pid_t pid = Spawn(args, dir_ + "/" + out);
        EXPECT_GT(pid, 0) << args[0];
        pids_.push_back(pid);
        return pid;
    }
    void Stop(pid_t pid, int sig) {
        ::kill(pid, sig);
        EXPECT_GE(Wait(pid), 0);
        pids_.erase(std::find(pids_.begin(), pids_.end(), pid));
    }
    // Keeps its sessions across restarts, so a subscriber misses nothing while it is down.
    pid_t Broker(const std::string& extra = "allow_anonymous true\n") {
        std::ofstream(dir_ + "/broker.conf")
            << "listener " << port_ << " 127.0.0.1\nuser root\npersistence true\n"
            << "persistence_location " << dir_ << "/\n"
            << extra;
        const pid_t pid = Start({"/usr/sbin/mosquitto", "-c", dir_ + "/broker.conf"}, "broker.txt");
        EXPECT_TRUE(WaitFor([&] { return Listening(port_); })) << ReadFile(dir_ + "/broker.txt");
        return pid;
    }
    pid_t Subscriber(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args = {"mosquitto_sub",
                                         "-h",
                                         "127.0.0.1",
                                         "-p",
                                         std::to_string(port_),
                                         "-q",
                                         "1",
                                         "-c",
                                         "-i",
                                         "test-sub",
                                         "-v",
                                         "-t",
                                         "smd/#"};
        args.insert(args.end(), extra.begin(), extra.end());
        const pid_t pid = Start(args, "sub.txt");
        WaitFor(
            [&] { return ReadFile(dir_ + "/broker.txt").find("test-sub") != std::string::npos; });
        return pid;
    }
    std::vector<Message> Received() const {
        std::vector<Message> out;
        std::string text = ReadFile(dir_ + "/sub.txt");
        text.erase(text.rfind('\n') + 1);  // a line still being written waits for next time
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) {
            const auto sp = line.find(' ');
            if (sp != std::string::npos)
                out.push_back({line.substr(0, sp), ParseJson(line.substr(sp + 1))});
        }
        return out;
    }
    // Record sequence numbers received per site and device, in arrival order.
    std::map<std::string, std::vector<uint64_t>> Seqs() const {
        std::map<std::string, std::vector<uint64_t>> m;
        for (const auto& msg : Received())
            if (msg.topic.size() > 7 && msg.topic.compare(msg.topic.size() - 7, 7, "/record") == 0)
                m[msg.body["site"].asString() + "/" + msg.body["device"].asString()].push_back(
                    msg.body["seq"].asUInt64());
        return m;
    }
    Json::Value LastStatus(const std::string& site) const {
        Json::Value last;
        for (const auto& m : Received())
            if (m.topic == "smd/" + site + "/status") last = m.body;
        return last;
    }
    Json::Value Device(unsigned int id) const {
        Json::Value d;
        d["model"] = "rtmk48_pv05";
        d["dataId"] = id;
        d["port"] = "simulated";
        d["pollIntervalMs"] = 20;
        d["delayScale"] = 0.01;
        d["replyTimeoutMs"] = 300;
        d["workDir"] = SMD_SOURCE_DIR;
        d["signalMap"] = std::string(SMD_SOURCE_DIR) + "/ini/rtmk48_pv05.signals.json";
        d["settings"] = DemoSite("", ".").devices[0].settings;
        d["simulation"] = DemoScenario();
        return d;
    }
    // A site of `devices` units (data ids 7, 8, ...) forwarding to the test's broker.
    std::string Site(const std::string& site, int devices, int rounds,
                     const Json::Value& mqtt = Json::Value(Json::objectValue)) {
        Json::Value s;
        s["database"] = dir_ + "/" + site + ".db";
        s["plugins"].append(SMD_PLUGIN_PATH);
        s["rounds"] = rounds;
        for (int i = 0; i < devices; ++i) s["devices"].append(Device(7 + i));
        s["mqtt"] = mqtt;
        if (!mqtt.isMember("host")) s["mqtt"]["host"] = "127.0.0.1";
        if (!mqtt.isMember("port")) s["mqtt"]["port"] = port_;
        s["mqtt"]["siteId"] = site;
        const std::string path = dir_ + "/" + site + ".json";
        std::ofstream(path) << s.toStyledString();
        return path;
    }
    pid_t Host(const std::string& site, const std::string& out) {
        std::vector<std::string> args;
#ifdef SMD_EMULATOR
        std::istringstream emulator(SMD_EMULATOR);
        for (std::string w; emulator >> w;) args.push_back(w);
#endif
        args.insert(args.end(), {SMDHOST_PATH, "--site", site});
        return Start(args, out);
    }
    std::size_t Stored(const std::string& site, unsigned int id) const {
        sqlite3* db = nullptr;
        sqlite3_open_v2((dir_ + "/" + site + ".db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
        const auto n =
            Scalar(db, "SELECT count(*) FROM history WHERE data_id = " + std::to_string(id));
        sqlite3_close(db);
        return n < 0 ? 0 : static_cast<std::size_t>(n);  // no database yet: none
    }

    std::string dir_;
    int port_ = 0;
    std::vector<pid_t> pids_;
};

TEST_F(MqttBroker, ThreeSitesPublishDocumentedPayloadsAndGoOfflineWhenKilled) {
    Broker();
    Subscriber();
    const std::vector<std::string> sites = {"north", "east", "west"};
    std::vector<pid_t> hosts;
    for (const auto& s : sites) hosts.push_back(Host(Site(s, s == "north" ? 2 : 1, 0), s + ".txt"));
    ASSERT_TRUE(WaitFor([&] {
        const auto seqs = Seqs();
        for (const char* k : {"north/7", "north/8", "east/7", "west/7"})
            if (!seqs.count(k) || seqs.at(k).size() < 4) return false;
        return LastStatus("north")["devices"].size() == 2;
    })) << ReadFile(dir_ + "/north.txt");
    for (const auto& [key, seqs] : Seqs())
        for (std::size_t i = 0; i < seqs.size(); ++i) EXPECT_EQ(seqs[i], i + 1) << key;

    bool record = false, alarm = false;
    for (const auto& m : Received()) {
        if (m.topic == "smd/north/7/record" && !record) {
            record = true;
            EXPECT_FALSE(m.body.isMember("hex")) << "only when the site file asks";
            EXPECT_EQ(m.body["type"].asInt(), 5156);
            EXPECT_EQ(m.body["schema"].asInt(), 2);
            EXPECT_TRUE(m.body["values"]["dc_output_voltage"].isDouble()) << m.body;
            EXPECT_EQ(m.body["time"].asString().back(), 'Z');
            EXPECT_GT(m.body["ts"].asInt64(), 1700000000000);
        } else if (m.topic == "smd/north/7/alarm" && !alarm) {
            alarm = true;
            EXPECT_EQ(m.body["event"].asString(), "raised") << m.body;
            EXPECT_FALSE(m.body["signal"].asString().empty());
            EXPECT_FALSE(m.body["text"].asString().empty());
            EXPECT_EQ(m.body["seq"].asUInt(), 1u);
        }
    }
    const Json::Value status = LastStatus("north");
    Json::Value described;
    for (const auto& m : Received())
        if (m.topic == "smd/north/8/description") described = m.body;
    EXPECT_EQ(described["model"].asString(), "rtmk48_pv05") << described;
    bool volts = false;
    for (const auto& s : described["signals"])
        volts |= s["id"] == "dc_output_voltage" && s["unit"] == "V" &&
                 s["name"] == "直流输出电压" && s["en"] == "DC output voltage";
    EXPECT_TRUE(volts) << described;
    EXPECT_EQ(status["state"].asString(), "online");
    EXPECT_TRUE(status["devices"][0]["portOpen"].asBool()) << status;
    EXPECT_TRUE(status["outbox"].isMember("outbox_depth")) << status;
    EXPECT_TRUE(record && alarm);

    for (pid_t h : hosts) Stop(h, SIGKILL);
    EXPECT_TRUE(WaitFor([&] {
        for (const auto& s : sites)
            if (LastStatus(s)["state"] != "offline") return false;
        return true;
    })) << "the last will";
    // A subscriber that comes later hears it at once: it is retained.
    const pid_t latePid = Start({"mosquitto_sub", "-h", "127.0.0.1", "-p", std::to_string(port_),
                                 "-C", "3", "-W", "10", "-t", "smd/+/status"},
                                "late.txt");
    EXPECT_EQ(Wait(latePid), 0);
    std::istringstream late(ReadFile(dir_ + "/late.txt"));
    int offline = 0;
    for (std::string line; std::getline(late, line);)
        offline += ParseJson(line)["state"] == "offline";
    EXPECT_EQ(offline, 3);
}

TEST_F(MqttBroker, NothingStoredIsLostAcrossBrokerOutagesAndAHostCrash) {
    pid_t broker = Broker();
    Subscriber();  // its session waits for it in the broker's store
    Stop(broker, SIGTERM);
    Json::Value mqtt;
    mqtt["keepAliveSeconds"] = 5;
    const std::string site = Site("south", 2, 0, mqtt);
    pid_t host = Host(site, "run1.txt");
    ASSERT_TRUE(WaitFor([&] { return Stored("south", 8) >= 5; })) << "polling without a broker";
    broker = Broker();  // down at start, up later
    ASSERT_TRUE(WaitFor([&] { return Seqs()["south/8"].size() >= 8; }));
    ::kill(broker, SIGSTOP);  // a dead link: only the keep-alive tells
    ASSERT_TRUE(WaitFor([&] {
        return ReadFile(dir_ + "/run1.txt").find("no answer within the keep-alive time (5 s)") !=
               std::string::npos;
    })) << ReadFile(dir_ + "/run1.txt");
    ::kill(broker, SIGCONT);  // stopped in order, so that it keeps what it acknowledged
    Stop(broker, SIGTERM);
    const std::size_t before = Stored("south", 8);
    ASSERT_TRUE(WaitFor([&] { return Stored("south", 8) >= before + 5; }));
    broker = Broker();
    ASSERT_TRUE(WaitFor([&] { return Seqs()["south/8"].size() >= before + 3; }));
    Stop(broker, SIGTERM);
    const std::size_t queued = Stored("south", 8);
    ASSERT_TRUE(WaitFor([&] { return Stored("south", 8) >= queued + 5; }));
    Stop(host, SIGKILL);  // with messages in the outbox
    {
        sqlite3* db = nullptr;
        sqlite3_open((dir_ + "/south.db").c_str(), &db);
        EXPECT_GE(Scalar(db, "SELECT count(*) FROM mqtt_outbox"), 5);  // device 8 alone
        sqlite3_close(db);
    }
    broker = Broker();
    host = Host(site, "run2.txt");
    // Stopped once the restarted host has sent what its outbox held (a stop during its start-up
    // would start no forwarder at all).
    ASSERT_TRUE(WaitFor([&] {
        if (ReadFile(dir_ + "/run2.txt").find("mqtt: connected") == std::string::npos) return false;
        sqlite3* db = nullptr;
        sqlite3_open((dir_ + "/south.db").c_str(), &db);
        const auto depth = Scalar(db, "SELECT count(*) FROM mqtt_outbox");
        sqlite3_close(db);
        return depth == 0;
    })) << ReadFile(dir_ + "/run2.txt");
    Stop(host, SIGTERM);
    const std::string out = ReadFile(dir_ + "/run2.txt");
    EXPECT_NE(out.find("mqtt_outbox_depth 0"), std::string::npos) << out;

    std::size_t duplicates = 0;
    for (unsigned int id : {7u, 8u}) {
        const std::size_t stored = Stored("south", id);
        const std::string key = "south/" + std::to_string(id);
        ASSERT_TRUE(WaitFor([&] {
            const auto s = Seqs()[key];
            return std::set<uint64_t>(s.begin(), s.end()).size() >= stored;
        })) << key
            << ": " << stored << " stored";
        uint64_t next = 1;  // in order, no gaps; a number seen before is a duplicate
        const auto seqs = Seqs()[key];
        for (uint64_t seq : seqs) {
            if (seq < next) {
                ++duplicates;
                continue;
            }
            EXPECT_EQ(seq, next) << key;
            next = seq + 1;
        }
        EXPECT_EQ(next - 1, stored) << key;
    }
    std::printf("outages: %zu duplicates after the crash\n", duplicates);
}

// History pruned under a queued message: the message cannot be built, so it is counted and said
// as lost, and the rest go on around the gap it leaves in seq.
TEST_F(MqttBroker, AMessageWhoseHistoryRowWasPrunedIsCountedLost) {
    const std::string site = Site("pruned", 1, 4);  // no broker yet: all stay queued
    EXPECT_EQ(Wait(Host(site, "run1.txt")), 0) << ReadFile(dir_ + "/run1.txt");
    sqlite3* db = nullptr;
    sqlite3_open((dir_ + "/pruned.db").c_str(), &db);
    // A record deflated against its key, so that the others still read.
    const int64_t lostSeq = Scalar(db,
                                   "SELECT o.seq FROM mqtt_outbox o JOIN history h ON h.id = "
                                   "o.row_id WHERE o.kind = 1 AND h.base IS NOT NULL LIMIT 1");
    const std::string prune =
        "DELETE FROM history WHERE id = (SELECT row_id FROM mqtt_outbox "
        "WHERE kind = 1 AND seq = " +
        std::to_string(lostSeq) + ")";
    ASSERT_EQ(sqlite3_exec(db, prune.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    Broker();
    Subscriber();
    EXPECT_EQ(Wait(Host(site, "run2.txt")), 0);
    const std::string out = ReadFile(dir_ + "/run2.txt");
    EXPECT_NE(out.find("(seq " + std::to_string(lostSeq) +
                       ") was pruned before it was sent: lost, 1 so far"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("mqtt_messages_lost 1\n"), std::string::npos) << out;
    const std::size_t stored = Stored("pruned", 7);  // the pruned one not among them
    ASSERT_TRUE(WaitFor([&] { return Seqs()["pruned/7"].size() >= stored; }));
    const auto seqs = Seqs()["pruned/7"];
    const std::set<uint64_t> got(seqs.begin(), seqs.end());  // 1 to stored + 1 but the lost one
    EXPECT_TRUE(got.size() == stored && *got.rbegin() == stored + 1 && !got.count(lostSeq));
}

// A broker that says no: the message stays in the outbox, counted and said with the reason,
// while the rest flows; once the rule is lifted the held messages arrive, numbered without gaps.
TEST_F(MqttBroker, RefusedPublishesStayQueuedAndGoWhenTheRuleIsLifted) {
    struct Case {
        std::string name, config, refused, reason;
    };
    for (const Case& c :
         {Case{"acl", "acl_file " + dir_ + "/acl\n", "alarm", "Not authorized"},
          Case{"size", "message_size_limit 2000\n", "record", "Packet too large"}}) {
        SCOPED_TRACE(c.name);
        std::ofstream(dir_ + "/acl") << "topic read smd/#\ntopic write smd/+/status\n"
                                        "topic write smd/+/+/record\ntopic write smd/+/+/report\n";
        const pid_t broker = Broker("allow_anonymous true\n" + c.config);
        const pid_t sub = Subscriber();
        Json::Value mqtt;  // records with the raw one in hex exceed the size limit
        mqtt["rawRecord"] = c.name == "size";
        const pid_t host = Host(Site(c.name, 1, 0, mqtt), c.name + ".txt");
        const auto started = std::chrono::steady_clock::now();
        const std::string topic = "smd/" + c.name + "/7/" + c.refused;
        const auto held = [&] {
            sqlite3* db = nullptr;
            sqlite3_open((dir_ + "/" + c.name + ".db").c_str(), &db);
            const auto n =
                Scalar(db, "SELECT count(*) FROM mqtt_outbox WHERE data_id = 7 AND kind = " +
                               std::to_string(c.refused == "alarm" ? outbox_message::kAlarm
                                                                   : outbox_message::kRecord));
            sqlite3_close(db);
            return n;
        };
        ASSERT_TRUE(WaitFor([&] {
            return ReadFile(dir_ + "/" + c.name + ".txt").find("refused a message on " + topic) !=
                       std::string::npos &&
                   Stored(c.name, 7) >= 10;
        })) << ReadFile(dir_ + "/" + c.name + ".txt");
        const std::string out = ReadFile(dir_ + "/" + c.name + ".txt");
        EXPECT_NE(out.find(c.reason), std::string::npos) << out;
        EXPECT_GE(held(), 1);
        std::size_t other = 0;
        for (const auto& m : Received()) {
            EXPECT_NE(m.topic, topic);
            other += m.topic.rfind("smd/" + c.name + "/7/", 0) == 0;
        }
        EXPECT_GE(other, 1u) << "the rest flows";
        if (c.name == "acl") {
            std::ofstream(dir_ + "/acl") << "topic readwrite smd/#\n";
            ::kill(broker, SIGHUP);
            // Retries wait twice as long after each refused pass, so the next one may come as
            // long after the lift as the refusals have lasted (a slow start makes that long).
            const auto refusing = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - started);
            ASSERT_TRUE(WaitFor([&] { return held() == 0; }, 30s + refusing))
                << ReadFile(dir_ + "/broker.txt");
            std::vector<uint64_t> seqs;
            for (const auto& m : Received())
                if (m.topic == topic) seqs.push_back(m.body["seq"].asUInt64());
            std::sort(seqs.begin(), seqs.end());
            ASSERT_FALSE(seqs.empty());
            for (std::size_t i = 0; i < seqs.size(); ++i) EXPECT_EQ(seqs[i], i + 1);
            mqtt["keepAliveSeconds"] = 30;  // a reload does not reconnect: said, not applied
            Site(c.name, 1, 0, mqtt);
            ::kill(host, SIGHUP);
            EXPECT_TRUE(WaitFor([&] {
                const std::string out = ReadFile(dir_ + "/acl.txt");
                return out.find("keep-alive 60 s") != std::string::npos &&
                       out.find("keep-alive 30 s") != std::string::npos &&
                       out.find("needs a restart, kept") != std::string::npos;
            })) << ReadFile(dir_ + "/acl.txt");
        }
        Stop(host, SIGTERM);
        const std::string end = ReadFile(dir_ + "/" + c.name + ".txt");
        const auto at = end.find("mqtt_messages_refused ");
        ASSERT_NE(at, std::string::npos) << end;
        EXPECT_GE(std::strtol(end.c_str() + at + 22, nullptr, 10), 1) << end;
        Stop(sub, SIGTERM);
        Stop(broker, SIGTERM);
        std::filesystem::remove(dir_ + "/sub.txt");
    }
}

TEST_F(MqttBroker, TlsWithCredentialsAndClearRateLimitedErrors) {
    const std::string d = dir_;
    const std::string make =
        "cd " + d +
        " && exec >openssl.txt 2>&1 && printf 'subjectAltName=IP:127.0.0.1' >ext && "
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
        "-subj /CN=test-ca -keyout ca.key -out ca.crt && "
        "for n in server client; do openssl req -newkey ec -pkeyopt "
        "ec_paramgen_curve:prime256v1 -nodes -subj /CN=$n -keyout $n.key -out $n.csr && "
        "openssl x509 -req -in $n.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 "
        "-extfile ext -out $n.crt || exit 1; done && "
        "mosquitto_passwd -b -c pw smd secret";
    ASSERT_EQ(std::system(make.c_str()), 0) << ReadFile(d + "/openssl.txt");
    Broker("allow_anonymous false\npassword_file " + d + "/pw\ncafile " + d + "/ca.crt\n" +
           "certfile " + d + "/server.crt\nkeyfile " + d +
           "/server.key\nrequire_certificate true\n");
    Subscriber({"--cafile", d + "/ca.crt", "--cert", d + "/client.crt", "--key", d + "/client.key",
                "-u", "smd", "-P", "secret"});

    Json::Value tls;
    tls["tls"]["caFile"] = d + "/ca.crt";
    tls["tls"]["certFile"] = d + "/client.crt";
    tls["tls"]["keyFile"] = d + "/client.key";
    tls["port"] = port_;
    tls["username"] = "smd";
    tls["passwordFile"] = d + "/good";
    std::ofstream(d + "/good") << "secret\n";
    std::ofstream(d + "/bad") << "guess\n";
    ::chmod((d + "/good").c_str(), 0600);
    ::chmod((d + "/bad").c_str(), 0600);
    ::chmod((d + "/client.key").c_str(), 0600);
    EXPECT_EQ(Wait(Host(Site("tls", 1, 3, tls), "tls.txt")), 0) << ReadFile(d + "/tls.txt");
    EXPECT_TRUE(WaitFor([&] { return Seqs()["tls/7"].size() >= 3; })) << ReadFile(d + "/tls.txt");

    std::filesystem::copy_file(d + "/client.key", d + "/open.key");
    ::chmod((d + "/open.key").c_str(), 0644);
    Json::Value open = tls;
    open["tls"]["keyFile"] = d + "/open.key";
    EXPECT_NE(Wait(Host(Site("open", 1, 1, open), "open.txt")), 0);
    EXPECT_NE(ReadFile(d + "/open.txt").find("open.key is readable by everyone"), std::string::npos)
        << ReadFile(d + "/open.txt");

    Json::Value bad = tls;
    bad["passwordFile"] = d + "/bad";
    Json::Value away = tls;
    away["port"] = FreePort();
    Json::Value stranger = tls;  // trusts another CA only
    stranger["tls"]["caFile"] = d + "/client.crt";
    Json::Value misnamed = tls;  // the certificate is for 127.0.0.1 only
    misnamed["host"] = "localhost";
    Json::Value anonymous = tls;
    anonymous["tls"].removeMember("certFile");
    anonymous["tls"].removeMember("keyFile");
    for (const auto& [name, mqtt, why] :
         {std::tuple<std::string, Json::Value, std::string>{"bad", bad, "Not authorized"},
          {"away", away, "refused"},
          {"stranger", stranger, "TLS failed: the broker's certificate: "},
          {"misnamed", misnamed,
           "TLS failed: the broker's certificate: host name mismatch: it is not for localhost "
           "(mqtt.host)"},
          {"anonymous", anonymous, "if it asks for a client certificate"}}) {
        // Polling and history go on; failed connections are said at a falling rate.
        EXPECT_EQ(Wait(Host(Site(name, 1, 15, mqtt), name + ".txt")), 0);
        const std::string out = ReadFile(d + "/" + name + ".txt");
        EXPECT_EQ(Stored(name, 7), 15u) << out;
        EXPECT_NE(out.find(why), std::string::npos) << out;
        const auto at = out.find("mqtt_connection_failures ");
        ASSERT_NE(at, std::string::npos) << out;
        const long failures = std::strtol(out.c_str() + at + 25, nullptr, 10);
        long said = 0;
        for (auto p = out.find("mqtt: broker"); p != std::string::npos;
             p = out.find("mqtt: broker", p + 1))
            ++said;
        EXPECT_GE(failures, 3) << out;
        EXPECT_EQ(said, static_cast<long>(std::log2(failures)) + 1) << out;
    }
}

}  // namespace

// The time-series lines: what each place escapes, and the points a record, an alarm and a report
// become, at their own time in milliseconds.
TEST(LineProtocol, EscapesByPlaceAndWritesEachPointAtItsTime) {
    using namespace line_protocol;
    const SignalMap map =
        SignalMap::Load(std::string(SMD_SOURCE_DIR) + "/ini/rtmk48_pv05.signals.json");
    const SignalField& a = map.Fields()[0];
    const SignalField& b = map.Fields()[1];
    Json::Value values;
    values[a.name] = static_cast<double>(57.2f);  // as read from the record
    values[b.name] = 3;
    const WallTime at{std::chrono::milliseconds(1700000000123)};
    RecordOut record;
    record.dataId = 7;
    record.at = at;
    record.values = &values;
    Alarm alarm;
    alarm.dataId = 7;
    alarm.at = at;
    alarm.level = 2;
    alarm.alarmId = "0x01 A=1";
    alarm.name = "整流模块故障";
    alarm.value = "57.2000008";  // a float as the plug-in prints it
    alarm.text = "said \"fault\"\\";
    Alarm textValue = alarm;
    textValue.raised = true;
    textValue.value = "on";
    textValue.threshold = 56.0;
    textValue.levelName = "major";
    ReportOut report{8, at, "dc_output_voltage", 53.5};
    RecordOut empty = record;
    empty.values = nullptr;
    const struct {
        std::string got, want;
    } cases[] = {
        {Measurement("a b,c=d"), R"(a\ b\,c=d)"},
        {Key("a b,c=d"), R"(a\ b\,c\=d)"},
        {Quoted(R"(say "hi" \o/)"), R"("say \"hi\" \\o/")"},
        {Key("two\nlines"), R"(two\ lines)"},
        {Quoted("two\r\nlines"), R"("two  lines")"},
        {Number(static_cast<double>(57.2f)), "57.2"},
        {Number(0.1), "0.1"},
        {Number(-3), "-3"},
        {Number(NAN), ""},
        {Number(-INFINITY), ""},
        {RecordLine("a b", record, &map),
         "smd,site=a\\ b,device=7 " + a.id + "=57.2," + b.id + "=3 1700000000123"},
        {RecordLine("a b", empty, &map), ""},
        {AlarmLine("s", alarm),
         R"(smd_alarm,site=s,device=7,alarm=0x01\ A\=1 level=2,raised=0,value=57.2,name="整流模块故障",text="said \"fault\"\\" 1700000000123)"},
        {AlarmLine("s", textValue),
         R"(smd_alarm,site=s,device=7,alarm=0x01\ A\=1 level=2,raised=1,value_text="on",threshold=56,level_name="major",name="整流模块故障",text="said \"fault\"\\" 1700000000123)"},
        {ReportLine("s", report),
         "smd_report,site=s,device=8,signal=dc_output_voltage value=53.5 1700000000123"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.got, c.want);
}

// A time-series database cut off and brought back: every value stored reaches it once, at the
// time it was stored, whatever the outage held back. Then lines it refuses (400): parked and
// counted.
TEST_F(MqttBroker, TimeSeriesDatabaseGetsEveryValueOnceAtItsTimeAcrossAnOutage) {
    if (!std::filesystem::exists("/usr/bin/victoria-metrics"))
        GTEST_SKIP() << "no victoria-metrics installed (scripts/setup installs it)";
    const int port = FreePort();
    auto database = [&] {
        const pid_t pid =
            Start({"/usr/bin/victoria-metrics", "-httpListenAddr=127.0.0.1:" + std::to_string(port),
                   "-storageDataPath=" + dir_ + "/tsdb", "-retentionPeriod=100y",
                   "-search.latencyOffset=0s"},
                  "tsdb.txt");
        EXPECT_TRUE(WaitFor([&] { return Listening(port); })) << ReadFile(dir_ + "/tsdb.txt");
        return pid;
    };
    auto exported = [&](const std::string& match) {
        std::string encoded;
        for (unsigned char c : match) {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            encoded += std::isalnum(c) || c == '_' ? std::string(1, static_cast<char>(c)) : hex;
        }
        const auto reply = webtest::Call(static_cast<uint16_t>(port),
                                         "/api/v1/export?match%5B%5D=" + encoded +
                                             "&end=" + std::to_string(::time(nullptr) + 3600));
        EXPECT_EQ(reply.status, 200) << reply.body;
        std::vector<Json::Value> series;
        std::istringstream lines(reply.body);
        for (std::string line; std::getline(lines, line);) series.push_back(ParseJson(line));
        return series;
    };
    pid_t tsdb = database();
    const std::string site = Site("east", 2, 0);
    {
        Json::Value s = ParseJson(ReadFile(site));
        s.removeMember("mqtt");
        s["tsdb"]["url"] = "http://127.0.0.1:" + std::to_string(port) + "/write";
        s["tsdb"]["siteId"] = "east";
        s["tsdb"]["batchLines"] = 7;
        std::ofstream(site) << s.toStyledString();
    }
    pid_t host = Host(site, "run1.txt");
    ASSERT_TRUE(WaitFor([&] { return Stored("east", 8) >= 10; }));
    Stop(tsdb, SIGTERM);  // cut off, in order: what it acknowledged stays in its store
    const std::size_t cut = Stored("east", 8);
    ASSERT_TRUE(WaitFor([&] { return Stored("east", 8) >= cut + 20; }));
    tsdb = database();
    const std::size_t back = Stored("east", 8);
    ASSERT_TRUE(WaitFor([&] { return Stored("east", 8) >= back + 10; }));
    Stop(host, SIGTERM);
    std::string out = ReadFile(dir_ + "/run1.txt");
    EXPECT_NE(out.find("tsdb_queue_depth 0"), std::string::npos) << out;
    EXPECT_NE(out.find("; the lines stay queued, retrying"), std::string::npos) << out;
    EXPECT_NE(out.find("tsdb: written to http://127.0.0.1:" + std::to_string(port) +
                       "/write again after"),
              std::string::npos)
        << out;

    sqlite3* db = nullptr;
    sqlite3_open((dir_ + "/east.db").c_str(), &db);
    sqlite3_busy_timeout(db, 5000);
    const int64_t firstRun = Scalar(db, "SELECT max(stored_at_ms) FROM history");
    // A path it does not serve: it answers 400, as to a line it cannot take. Each line is tried
    // alone, then parked and counted; none is tried for ever.
    {
        Json::Value s = ParseJson(ReadFile(site));
        s["tsdb"]["url"] = "http://127.0.0.1:" + std::to_string(port) + "/nowhere";
        std::ofstream(site) << s.toStyledString();
    }
    host = Host(site, "run2.txt");
    ASSERT_TRUE(WaitFor([&] { return Scalar(db, "SELECT count(*) FROM tsdb_parked") >= 20; }));
    Stop(host, SIGTERM);
    out = ReadFile(dir_ + "/run2.txt");
    EXPECT_NE(out.find("/nowhere refused a line (HTTP 400: "), std::string::npos) << out;
    const int64_t parked = Scalar(db, "SELECT count(*) FROM tsdb_parked");
    EXPECT_NE(out.find("tsdb_queue_depth 0, "), std::string::npos) << out;
    EXPECT_NE(out.find("tsdb_lines_sent 0, tsdb_lines_rejected " + std::to_string(parked) + ","),
              std::string::npos)
        << out;
    Stop(tsdb, SIGTERM);  // in order: it writes out what it holds
    tsdb = database();

    // Each signal of each device: the times of the first run's records, each once, with the
    // value the stored record holds, decoded as `smdhost history` decodes it.
    const SignalMap map =
        SignalMap::Load(std::string(SMD_SOURCE_DIR) + "/ini/rtmk48_pv05.signals.json");
    const HistoryReader reader(dir_ + "/east.db");
    for (const char* device : {"7", "8"}) {
        std::multiset<int64_t> stored;
        std::map<std::pair<std::string, int64_t>, double> held;  // by series name and time
        TimeRange first;
        first.untilMs = firstRun;
        for (const StoredRecord& r : reader.Records(static_cast<unsigned int>(std::stoi(device)),
                                                    first, HistoryReader::kAll)) {
            stored.insert(history::ToMs(r.storedAt));
            for (const SignalField& f : map.Fields())
                held[{"smd_" + f.id, history::ToMs(r.storedAt)}] =
                    SignalMap::Decode(f, r.bytes.data());
        }
        const auto series = exported("{__name__=~\"smd_.+\",site=\"east\",device=\"" +
                                     std::string(device) + "\",alarm=\"\",signal=\"\"}");
        EXPECT_EQ(series.size(), 8u) << "device " << device;
        for (const auto& s : series) {
            std::multiset<int64_t> times;
            const std::string name = s["metric"]["__name__"].asString();
            for (Json::ArrayIndex i = 0; i < s["timestamps"].size(); ++i) {
                const int64_t t = s["timestamps"][i].asInt64();
                if (t > firstRun) continue;
                times.insert(t);
                const auto it = held.find({name, t});
                if (it == held.end()) continue;  // a time not stored: counted as extra below
                const double v = s["values"][i].asDouble();
                EXPECT_NEAR(v, it->second, 1e-6 * std::max(1.0, std::fabs(it->second)))
                    << name << " device " << device << " at " << t;
            }
            std::vector<int64_t> missing, extra;
            std::set_difference(stored.begin(), stored.end(), times.begin(), times.end(),
                                std::back_inserter(missing));
            std::set_difference(times.begin(), times.end(), stored.begin(), stored.end(),
                                std::back_inserter(extra));
            EXPECT_TRUE(missing.empty() && extra.empty())
                << s["metric"]["__name__"] << " device " << device << ": " << missing.size()
                << " of " << stored.size() << " missing, " << extra.size() << " more";
        }
    }
    sqlite3_close(db);
}
