// The broker forwarder's figures: what queueing a message costs the history writer, and how fast
// a full outbox drains to a broker on this machine, with the host's CPU per message. The outbox
// holds the messages of N units (one record each per polling cycle, a transaction per cycle);
// the broker is Debian's mosquitto on a loopback port of its own, without a subscriber.
//
// Also the bytes a record costs: on the wire (topic and payload) and in the outbox (its pages
// in the database file; a message refers to its history row, which history pays for anyway).
// --raw adds the whole record in hex to each message, as the site file's mqtt.rawRecord does.
//
// Usage: smd_mqtt_drain [--units N] [--messages M] [--raw]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <json/value.h>

#include "core/signal_map.h"
#include "history/history_store.h"
#include "mqtt/forwarder.h"
#include "mqtt/outbox.h"
#include "mqtt/outbox_message.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
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

bool WaitListening(int port) {
    for (auto until = Clock::now() + std::chrono::seconds(10); Clock::now() < until;
         std::this_thread::sleep_for(std::chrono::milliseconds(5)))
        if (Listening(port)) return true;
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    int units = 1;
    int messages = 20000;
    bool raw = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--raw") == 0) raw = true;
        if (i + 1 < argc && std::strcmp(argv[i], "--units") == 0) units = std::atoi(argv[++i]);
        if (i + 1 < argc && std::strcmp(argv[i], "--messages") == 0)
            messages = std::atoi(argv[++i]);
    }
    if (units < 1 || messages < units) {
        std::fprintf(stderr, "usage: smd_mqtt_drain [--units N] [--messages M >= N] [--raw]\n");
        return 2;
    }
    char tmpl[] = "/tmp/smd-mqtt-bench-XXXXXX";
    if (!::mkdtemp(tmpl)) return 1;
    const std::string dir = tmpl;
    const std::string db = dir + "/h.db";

    // Fill: a polling cycle's records in one transaction, as the history writer commits them,
    // each with its history row. The record is the simulator's, so its values are real ones.
    const auto signals = std::make_shared<SignalMap>(
        SignalMap::Load(std::string(SMD_SOURCE_DIR) + "/ini/rtmk48_pv05.signals.json"));
    std::vector<unsigned char> record(1550, 0);
    for (const SignalField& f : signals->Fields())
        for (int b = 0; b < f.width; ++b)
            record[f.offset + b] = static_cast<unsigned char>(17 * b + 3);
    std::vector<DeviceDescription> devices;
    for (int u = 0; u < units; ++u) {
        DeviceDescription d;
        d.dataId = static_cast<unsigned int>(u + 1);
        d.signals = signals;
        devices.push_back(d);
    }
    // The writer's CPU for history alone and with the outbox: the difference is the outbox's.
    auto fill = [&](const std::string& path, bool queue) {
        HistoryStore history(path);
        Outbox outbox(int64_t(messages) * 2, 86400, nullptr);
        if (queue) outbox.Prepare(history.Db());
        Json::Value values;
        signals->Apply(record.data(), record.size(), values);
        RecordOut r;
        r.typeId = 5156;
        r.bytes = record.data();
        r.len = record.size();
        r.values = &values;
        HistoryRow row;
        row.record = &r;
        const double cpu0 = CpuSeconds();
        for (int i = 0; i < messages;) {
            history.Begin();
            for (int u = 0; u < units && i < messages; ++u, ++i) {
                r.dataId = static_cast<unsigned int>(u + 1);
                r.at = std::chrono::system_clock::now();
                row.rowId = history.AddRecord(r.dataId, r.typeId, r.at, r.bytes, r.len);
                if (queue) outbox.OnStored(history.Db(), row);
            }
            history.Commit();
        }
        return CpuSeconds() - cpu0;
    };
    const double fillCpu = fill(db, true) - fill(dir + "/alone.db", false);
    sqlite3* h = nullptr;
    sqlite3_open(db.c_str(), &h);
    sqlite3_exec(h, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
    sqlite3_stmt* q = nullptr;
    sqlite3_prepare_v2(h, "SELECT sum(pgsize) FROM dbstat WHERE name = 'mqtt_outbox'", -1, &q,
                       nullptr);
    const double file = sqlite3_step(q) == SQLITE_ROW ? sqlite3_column_double(q, 0) / messages : 0;
    sqlite3_finalize(q);
    // What a subscriber receives, built from the rows as the sender builds it.
    double wire = 0;
    {
        outbox_message::Context context{"smd", "bench", Outbox::CreateTables(h), raw, {}};
        for (const auto& d : devices) context.signals[d.dataId] = d.signals;
        outbox_message::Builder builder(h);
        sqlite3_prepare_v2(
            h, (std::string("SELECT ") + outbox_message::kColumns + " FROM mqtt_outbox").c_str(),
            -1, &q, nullptr);
        while (sqlite3_step(q) == SQLITE_ROW)
            if (const auto m = builder.Build(outbox_message::Read(q), context))
                wire += static_cast<double>(m->topic.size() + m->payload.size());
        sqlite3_finalize(q);
        wire /= messages;
    }
    sqlite3_close(h);

    const int port = FreePort();
    std::ofstream(dir + "/broker.conf")
        << "listener " << port << " 127.0.0.1\nallow_anonymous true\nuser root\n"
        << "max_queued_messages 0\n";
    const std::string conf = dir + "/broker.conf";
    const char* args[] = {"/usr/sbin/mosquitto", "-c", conf.c_str(), nullptr};
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
    pid_t broker = -1;
    const int spawned =
        posix_spawn(&broker, args[0], &quiet, nullptr, const_cast<char**>(args), environ);
    posix_spawn_file_actions_destroy(&quiet);
    if (spawned != 0) {
        std::fprintf(stderr, "cannot start %s\n", args[0]);
        return 1;
    }
    if (!WaitListening(port)) {
        std::fprintf(stderr, "the broker does not listen on %d\n", port);
        ::kill(broker, SIGKILL);
        return 1;
    }

    std::ostringstream lines;
    Logger log(lines);
    MqttConfig c;
    c.host = "127.0.0.1";
    c.port = port;
    c.siteId = "bench";
    c.clientId = "smd-bench";
    c.outboxMaxRows = int64_t(messages) * 2;
    c.rawRecord = raw;
    double sent = 0;
    double seconds = 0;
    double cpu = 0;
    {
        MqttForwarder forwarder(c, db, log);
        forwarder.OnDevices(devices);
        const double cpu0 = CpuSeconds();
        const auto t0 = Clock::now();
        forwarder.Start();
        const auto until = t0 + std::chrono::seconds(300);
        for (; Clock::now() < until; std::this_thread::sleep_for(std::chrono::milliseconds(2))) {
            for (const auto& f : forwarder.Figures())
                if (f.name == "mqtt_messages_sent") sent = f.value;
            if (sent >= messages) break;
        }
        seconds = std::chrono::duration<double>(Clock::now() - t0).count();
        cpu = CpuSeconds() - cpu0;
        forwarder.Drain(std::chrono::seconds(2));
    }
    ::kill(broker, SIGTERM);
    ::waitpid(broker, nullptr, 0);
    std::filesystem::remove_all(dir);
    if (sent < messages) {
        std::fprintf(stderr, "only %.0f of %d messages acknowledged\n%s", sent, messages,
                     lines.str().c_str());
        return 1;
    }
    // units, messages, enqueue us/message, drain messages/s, drain CPU us/message, wire
    // bytes/message, database bytes/message
    std::printf("%d,%d,%.1f,%.0f,%.1f,%.0f,%.0f\n", units, messages, fillCpu / messages * 1e6,
                messages / seconds, cpu / messages * 1e6, wire, file);
    return 0;
}
