// Crash-safe history: smdhost is killed with SIGKILL at random moments while it stores rounds,
// and started again, many times over. After every kill the database passes integrity_check,
// holds every record the host had reported stored (it says so only after the commit), and on
// every restart the last stored record
// comes back through LoadFromCache: the first row the new process stores is that record,
// byte for byte up to its new time stamp.
//
// By hand, longer: SMD_CRASH_CYCLES=200 SMD_CRASH_SEED=3 ./test_crash_safe
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>

#include "device/record.h"
#include "store/history_reader.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;

constexpr unsigned int kDataId = 7;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// Records the host reported stored: it says so once their transaction committed.
std::size_t Committed(const std::string& text) {
    std::size_t n = 0;
    const std::string mark = "history: stored ";
    for (auto at = text.find(mark); at != std::string::npos; at = text.find(mark, at + 1))
        n += std::strtoul(text.c_str() + at + mark.size(), nullptr, 10);
    return n;
}

// "ok", or what integrity_check found.
std::string IntegrityCheck(const std::string& path) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return "cannot open";
    }
    std::string result;
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &s, nullptr) == SQLITE_OK) {
        while (sqlite3_step(s) == SQLITE_ROW) {
            const auto* t = sqlite3_column_text(s, 0);
            result += (result.empty() ? "" : "; ") +
                      std::string(t ? reinterpret_cast<const char*>(t) : "");
        }
    } else {
        result = sqlite3_errmsg(db);
    }
    sqlite3_finalize(s);
    sqlite3_close(db);
    return result;
}

// A site whose simulated unit stamps each reply to (40 4D) with the run and its round, so
// records of different runs and rounds differ.
void WriteSite(const std::string& path, const std::string& db, int run) {
    Json::Value rounds(Json::arrayValue);
    for (int k = 1; k <= 400; ++k) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "%02X%04X%08X", run & 0xFF, k,
                      static_cast<unsigned>(run * 7919 + k));
        Json::Value patch;
        patch["blocks"]["40 4D"] = hex;
        rounds.append(patch);
    }
    Json::Value device;
    device["model"] = "rtmk48_pv05";
    device["dataId"] = kDataId;
    device["port"] = "simulated";
    device["pollIntervalMs"] = 20;
    device["delayScale"] = 0.01;
    device["replyTimeoutMs"] = 300;
    device["workDir"] = SMD_SOURCE_DIR;
    device["settings"]["appSetting"]["b_mode"] = 1;
    device["simulation"]["rounds"] = rounds;
    device["simulation"]["breaker"] = run % 2;
    Json::Value site;
    site["database"] = db;
    site["plugins"].append(SMD_PLUGIN_PATH);
    site["cacheMaxAgeSeconds"] = 3600;
    // A few rounds per commit, so kills land before, inside and after commits.
    site["history"]["commitWindowMs"] = 50;
    site["devices"].append(device);
    std::ofstream(path) << site.toStyledString();
}

pid_t Spawn(const std::vector<std::string>& args, const std::string& outFile) {
    std::vector<std::string> copy;
#ifdef SMD_EMULATOR
    // A cross-built smdhost runs under the same emulator as this test.
    std::istringstream emulator(SMD_EMULATOR);
    for (std::string w; emulator >> w;) copy.push_back(w);
#endif
    copy.insert(copy.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

bool WaitForText(const std::string& file, const std::string& what,
                 std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
        if (ReadFile(file).find(what) != std::string::npos) return true;
        std::this_thread::sleep_for(5ms);
    }
    return false;
}

class CrashSafe : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/smdcrash.XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string dir_;
};

TEST_F(CrashSafe, KilledWhileStoringLosesNoReportedRecordAndRestoresTheLast) {
    const int cycles = static_cast<int>(std::strtol(
        std::getenv("SMD_CRASH_CYCLES") ? std::getenv("SMD_CRASH_CYCLES") : "20", nullptr, 10));
    const auto seed = static_cast<uint32_t>(std::strtoul(
        std::getenv("SMD_CRASH_SEED") ? std::getenv("SMD_CRASH_SEED") : "20261208", nullptr, 10));
    std::mt19937 rng(seed);
    const std::string db = dir_ + "/history.db";
    const std::string site = dir_ + "/site.json";

    std::size_t rows = 0;
    std::vector<unsigned char> last;  // the newest stored record
    int64_t lastId = 0;
    std::size_t published = 0;
    int restored = 0;
    for (int run = 1; run <= cycles; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        WriteSite(site, db, run);
        const std::string out = dir_ + "/out" + std::to_string(run) + ".txt";
        const pid_t pid = Spawn({SMDHOST_PATH, "--site", site}, out);
        ASSERT_GT(pid, 0);
        // Killed at a random moment once it polls: most rounds are being stored then.
        const bool polling = WaitForText(out, "published record", 20s);
        std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 600));
        ::kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        const std::string text = ReadFile(out);
        ASSERT_TRUE(polling) << text;
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << text;

        ASSERT_EQ(IntegrityCheck(db), "ok");
        HistoryReader store(db);
        const std::size_t now = store.RecordCount(kDataId);
        const std::size_t reported = Count(text, "published record");
        published += reported;
        // Every record the host said it stored is there; those published after its last
        // commit may have died with it.
        EXPECT_GE(now, rows + Committed(text)) << text;
        EXPECT_LE(now, rows + reported);

        if (!last.empty()) {
            EXPECT_NE(text.find("restoring the last record"), std::string::npos) << text;
            const auto mine = store.Records(kDataId, now - rows);
            if (!mine.empty() && mine.front().id > lastId) {
                const StoredRecord& first = mine.front();
                ASSERT_EQ(first.bytes.size(), last.size());
                const auto stamp = offsetof(RTMK48_PV05_Data_t, update_time);
                EXPECT_TRUE(std::equal(last.begin(), last.begin() + stamp, first.bytes.begin()))
                    << "the first record after a restart is the last one before it";
                ++restored;
            }
        }
        rows = now;
        if (const auto r = store.LastRecord(kDataId)) {
            last = r->bytes;
            lastId = r->id;
        }
    }

    // After all that, an orderly run still works on the same database.
    WriteSite(site, db, cycles + 1);
    const std::string out = dir_ + "/final.txt";
    const pid_t pid = Spawn({SMDHOST_PATH, "--site", site, "--rounds", "3"}, out);
    ASSERT_GT(pid, 0);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << ReadFile(out);
    EXPECT_EQ(IntegrityCheck(db), "ok");
    EXPECT_EQ(HistoryReader(db).RecordCount(kDataId), rows + 4)
        << "the restored record and 3 rounds";
    EXPECT_GE(restored, cycles / 2) << "restores checked byte for byte";
    std::printf("crash-safe: %d kills, %zu records reported, %zu stored, %d restores checked\n",
                cycles, published, rows, restored);
}

}  // namespace
