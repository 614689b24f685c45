// The SQLite history and event store: the writing end, the read-only reader and the views.
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <zlib.h>

#include "history/history_sink.h"
#include "history/history_store.h"
#include "history/views.h"
#include "store/history_reader.h"
#include "test_support.h"

namespace {

using std::chrono::seconds;

int64_t ScalarOf(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* s = nullptr;
    int64_t v = -1;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) == SQLITE_OK &&
        sqlite3_step(s) == SQLITE_ROW)
        v = sqlite3_column_int64(s, 0);
    sqlite3_finalize(s);
    sqlite3_close(db);
    return v;
}

class HistoryStoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/smd-history-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        path_ = dir_ + "/h.db";
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    static std::vector<unsigned char> Record(unsigned char fill) {
        std::vector<unsigned char> r(1550, fill);
        r[0] = 0x11;
        r[1549] = 0xEE;
        return r;
    }
    static StoredAlarm MakeAlarm(const std::string& id, bool raised, WallTime at) {
        StoredAlarm a;
        a.dataId = 7;
        a.at = at;
        a.level = 2;
        a.alarmId = id;
        a.name = "交流输出主空开状态";
        a.text = raised ? "交流输出主空开断开" : "";
        a.raised = raised;
        return a;
    }
    static std::string Slurp(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
    // Runs a view; its output, with the exit status in front.
    static std::string View(bool history, std::vector<std::string> args) {
        std::ostringstream out, err;
        const int rc = history ? HistoryCommand(args, out, err) : AlarmsCommand(args, out, err);
        return std::to_string(rc) + "\n" + out.str() + err.str();
    }

    std::string dir_;
    std::string path_;
    const WallTime t0_ = std::chrono::time_point_cast<std::chrono::milliseconds>(
        std::chrono::system_clock::now() - std::chrono::hours(1));
};

TEST_F(HistoryStoreTest, RecordsComeBackByteForBytePerDeviceNewestLastWithinRange) {
    {
        HistoryStore store(path_);
        store.Begin();
        for (unsigned char i = 1; i <= 5; ++i) {
            const auto r = Record(i);
            store.AddRecord(7, 5156, t0_ + seconds(i), r.data(), r.size());
        }
        const auto b = Record(9);
        store.AddRecord(8, 5156, t0_, b.data(), b.size());
        store.Commit();
        EXPECT_EQ(store.LastRecord(7)->bytes, Record(5));
    }
    const HistoryReader reader(path_);
    const auto last = reader.LastRecord(7);
    ASSERT_TRUE(last.has_value());
    EXPECT_EQ(last->bytes, Record(5));
    EXPECT_EQ(last->typeId, 5156);
    EXPECT_EQ(last->storedAt, t0_ + seconds(5));
    EXPECT_EQ(reader.Record(last->id)->bytes, Record(5));
    EXPECT_FALSE(reader.Record(last->id + 100).has_value());
    EXPECT_FALSE(reader.LastRecord(9).has_value());
    EXPECT_EQ(reader.Devices(), (std::vector<unsigned int>{7, 8}));

    struct Case {
        int since, until;
        std::size_t limit;
        std::vector<unsigned char> fills;  // byte 5 of each row, in order
        std::size_t count;
    } cases[] = {
        {-100, 100, 3, {3, 4, 5}, 5},  // the newest, oldest first
        {2, 4, 10, {2, 3, 4}, 3},      // both ends included
        {2, 4, 1, {4}, 3},
        {6, 100, 10, {}, 0},
    };
    for (const auto& c : cases) {
        const TimeRange range{history::ToMs(t0_ + seconds(c.since)),
                              history::ToMs(t0_ + seconds(c.until))};
        std::vector<unsigned char> fills;
        for (const auto& r : reader.Records(7, range, c.limit)) fills.push_back(r.bytes[5]);
        EXPECT_EQ(fills, c.fills) << c.since << ".." << c.until << " limit " << c.limit;
        EXPECT_EQ(reader.RecordCount(7, range), c.count);
    }
}

TEST_F(HistoryStoreTest, StandingAlarmsFollowTheEventsAndSurviveReopening) {
    {
        HistoryStore store(path_);
        store.Begin();
        store.AddAlarm(MakeAlarm("A", true, t0_));
        store.AddAlarm(MakeAlarm("B", true, t0_ + seconds(1)));
        store.AddAlarm(MakeAlarm("A", false, t0_ + seconds(2)));
        store.AddAnalogReport(7, t0_, "0411004001", 53.5);
        store.Commit();
        // A rolled-back transaction leaves neither the event nor the state.
        store.Begin();
        store.AddAlarm(MakeAlarm("C", true, t0_ + seconds(3)));
        store.Rollback();
    }
    HistoryStore store(path_);
    const auto standing = store.StandingAlarms(7);
    ASSERT_EQ(standing.size(), 1u);
    EXPECT_EQ(standing[0].alarmId, "B");
    EXPECT_EQ(standing[0].at, t0_ + seconds(1)) << "since when it stands";
    EXPECT_EQ(standing[0].text, "交流输出主空开断开");
    EXPECT_TRUE(store.StandingAlarms(8).empty());

    const HistoryReader reader(path_);
    EXPECT_EQ(reader.Alarms(7).size(), 3u);
    EXPECT_EQ(reader.ActiveAlarms(std::nullopt).at(0).alarmId, "B");
    EXPECT_DOUBLE_EQ(reader.AnalogReports(7).at(0).value, 53.5);
}

TEST_F(HistoryStoreTest, RetentionPrunesByAgeAndByRowsPerDeviceInSteps) {
    HistoryStore store(path_);
    const auto r = Record(1);
    store.Begin();
    for (int i = 0; i < 30; ++i) {
        const auto own = Record(static_cast<unsigned char>(i));
        store.AddRecord(7, 1, t0_ + seconds(i), own.data(), own.size());
    }
    for (int i = 0; i < 10; ++i) store.AddRecord(8, 1, t0_ + seconds(100 + i), r.data(), r.size());
    store.AddAlarm(MakeAlarm("A", true, t0_));
    store.Commit();
    const HistoryReader reader(path_);

    // Older than 95 s before t0+100 s: device 7's rows 0..4 and the event, 4 at a time.
    RetentionLimits age{95 * 1000, 0, 95 * 1000};
    EXPECT_EQ(store.Prune(age, t0_ + seconds(100), 4), 5u);  // 4 records and the event
    EXPECT_EQ(store.Prune(age, t0_ + seconds(100), 4), 1u);
    EXPECT_EQ(store.Prune(age, t0_ + seconds(100), 4), 0u);
    EXPECT_EQ(reader.RecordCount(7), 25u);
    // The records deflated against a pruned key record read back as they were stored.
    for (const auto& rec : reader.Records(7, 100))
        EXPECT_EQ(rec.bytes, Record(static_cast<unsigned char>(rec.bytes[5]))) << rec.id;
    EXPECT_EQ(reader.Records(7, 100).at(0).bytes[5], 5);
    EXPECT_TRUE(reader.Alarms(7).empty());
    EXPECT_EQ(store.StandingAlarms(7).size(), 1u) << "what stands is never pruned";

    RetentionLimits rows{0, 8};
    while (store.Prune(rows, t0_, 6) > 0) {
    }
    EXPECT_EQ(reader.RecordCount(7), 8u);
    EXPECT_EQ(reader.RecordCount(8), 8u);
    EXPECT_EQ(reader.Records(7, 1).at(0).storedAt, t0_ + seconds(29)) << "the newest stay";

    // Past the size bound the oldest records go whatever their age; events stay.
    store.Begin();
    store.AddAlarm(MakeAlarm("B", true, t0_));
    store.Commit();
    RetentionLimits size{0, 0, 0, 1, 0};
    EXPECT_EQ(store.Prune(size, t0_, 5), 5u);
    EXPECT_EQ(reader.RecordCount(7) + reader.RecordCount(8), 11u);
    EXPECT_EQ(reader.Records(7, 10).at(0).storedAt, t0_ + seconds(27)) << "the oldest went";
    EXPECT_EQ(reader.Alarms(7).size(), 1u);
    // Less free on the file system than the guard asks: the same.
    RetentionLimits room{0, 0, 0, 0, UINT64_MAX};
    EXPECT_EQ(store.Prune(room, t0_, 2), 2u);
    EXPECT_EQ(reader.RecordCount(7) + reader.RecordCount(8), 9u);
    EXPECT_EQ(reader.Alarms(7).size(), 1u);
}

// A clock that ran a year ahead for a while left the lowest ids with times in the future: the
// old rows behind them still go, and the future ones stay.
TEST_F(HistoryStoreTest, ARowFromTheFutureDoesNotStallPruningByAge) {
    HistoryStore store(path_);
    const auto r = Record(1);
    store.Begin();
    for (int i = 0; i < 30; ++i)
        store.AddRecord(7, 1, t0_ + std::chrono::hours(24 * 365), r.data(), r.size());
    for (int i = 0; i < 50; ++i)
        store.AddRecord(7, 1, t0_ - std::chrono::hours(24 * 100), r.data(), r.size());
    store.Commit();
    const RetentionLimits age{30LL * 86400 * 1000, 0};
    uint64_t gone = 0;
    for (int i = 0; i < 10; ++i) gone += store.Prune(age, t0_, 20);
    EXPECT_EQ(gone, 50u);
    EXPECT_EQ(HistoryReader(path_).RecordCount(7), 30u);
}

// Files of earlier versions, migrated in one go with their records readable: one from before
// the schema was stamped and standing alarms were kept (those seeded from each alarm's last
// event), one of version 2, from before the aggregates (its standing alarms kept as they are),
// and one of version 3, whose records were deflated with their key record as the dictionary.
TEST_F(HistoryStoreTest, AnOlderFileIsMigratedWithItsStandingAlarmsSeeded) {
    const std::string at = std::to_string(history::ToMs(t0_));
    const std::string v1 =
        "CREATE TABLE history(id INTEGER PRIMARY KEY, data_id INTEGER NOT NULL, type_id INTEGER "
        "NOT NULL, stored_at_ms INTEGER NOT NULL, record BLOB NOT NULL);"
        "CREATE INDEX history_by_time ON history(data_id, stored_at_ms);"
        "CREATE TABLE alarm_events(id INTEGER PRIMARY KEY, data_id INTEGER NOT NULL, "
        "stored_at_ms INTEGER NOT NULL, level INTEGER NOT NULL, alarm_id TEXT NOT NULL, name TEXT "
        "NOT NULL, value TEXT NOT NULL, text TEXT NOT NULL, raised INTEGER NOT NULL);"
        "CREATE TABLE analog_reports(id INTEGER PRIMARY KEY, data_id INTEGER NOT NULL, "
        "stored_at_ms INTEGER NOT NULL, signal_id TEXT NOT NULL, value REAL NOT NULL);"
        "INSERT INTO history VALUES(1, 7, 5156, " +
        at +
        ", x'11223344');"
        "INSERT INTO alarm_events VALUES(1, 7, " +
        at +
        ", 2, 'A', 'a', '', 'up', 1);"
        "INSERT INTO alarm_events VALUES(2, 7, " +
        at +
        ", 2, 'B', 'b', '', 'up', 1);"
        "INSERT INTO alarm_events VALUES(3, 7, " +
        at + ", 2, 'A', 'a', '', '', 0);";
    const std::vector<unsigned char> key{0x11, 0x22, 0x33, 0x44}, next{0x11, 0x22, 0x33, 0x45};
    // Version 3's second record: deflated with the first as the dictionary.
    std::string v3 = "UPDATE history SET packing = 2, record = x'";
    {
        z_stream z{};
        unsigned char out[64];
        ASSERT_EQ(deflateInit(&z, 3), Z_OK);
        deflateSetDictionary(&z, key.data(), static_cast<uInt>(key.size()));
        z.next_in = const_cast<unsigned char*>(next.data());
        z.avail_in = static_cast<uInt>(next.size());
        z.next_out = out;
        z.avail_out = sizeof out;
        ASSERT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
        for (uLong i = 0; i < z.total_out; ++i)
            v3 += "0123456789abcdef"[out[i] >> 4], v3 += "0123456789abcdef"[out[i] & 15];
        deflateEnd(&z);
    }
    v3 += "' WHERE id = 2; PRAGMA user_version = 3";
    for (const int version : {1, 2, 3}) {
        SCOPED_TRACE("version " + std::to_string(version));
        std::filesystem::remove(path_);
        if (version >= 2) {
            HistoryStore store(path_);
            store.AddRecord(7, 5156, t0_, key.data(), key.size());
            if (version == 3) store.AddRecord(7, 5156, t0_, next.data(), next.size());
            for (const auto& [id, raised] : {std::pair{"A", true}, {"B", true}, {"A", false}})
                store.AddAlarm(MakeAlarm(id, raised, t0_));
        }
        sqlite3* db = nullptr;
        sqlite3_open(path_.c_str(), &db);
        ASSERT_EQ(sqlite3_exec(db,
                               version == 1   ? v1.c_str()
                               : version == 2 ? "DROP TABLE aggregates; DROP TABLE signal_names; "
                                                "PRAGMA user_version = 2"
                                              : v3.c_str(),
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(db);
        for (int open = 0; open < 2; ++open) {
            HistoryStore store(path_);
            const auto standing = store.StandingAlarms(7);
            ASSERT_EQ(standing.size(), 1u) << "open " << open;
            EXPECT_EQ(standing[0].alarmId, "B");
            EXPECT_EQ(store.LastRecord(7)->bytes, version == 3 ? next : key);
        }
        EXPECT_EQ(ScalarOf(path_, "PRAGMA user_version"), 4);
        EXPECT_EQ(ScalarOf(path_, "PRAGMA application_id"), 0x534D4448);
        EXPECT_EQ(ScalarOf(path_, "SELECT count(*) FROM alarm_events"), 3) << "no new events";
        EXPECT_EQ(ScalarOf(path_, "SELECT count(*) FROM aggregates"), 0) << "no aggregates table";
        EXPECT_EQ(HistoryReader(path_).Records(7, 1).at(0).bytes, version == 3 ? next : key);
    }
}

TEST_F(HistoryStoreTest, BadFilesAreErrorsNamingThemAndReadingChangesNothing) {
    const std::string missingDir = dir_ + "/no/such/dir/h.db";
    const std::string empty = dir_ + "/empty.db";
    const std::string text = dir_ + "/notes.txt";
    std::ofstream(empty).flush();
    std::ofstream(text) << "not a database, just some words to fill a page of text\n";
    // Another program's files, one with a history table of its own, and one of ours from a
    // newer version: refused before anything in them changes (journal mode included).
    const std::string foreign = dir_ + "/foreign.db", lookalike = dir_ + "/lookalike.db",
                      newer = dir_ + "/newer.db";
    for (const auto& [file, sql] : {
             std::pair{foreign, "CREATE TABLE notes(t TEXT)"},
             std::pair{lookalike, "CREATE TABLE history(when_ TEXT, what TEXT)"},
             std::pair{newer,
                       "PRAGMA application_id = 1397572680; PRAGMA user_version = 99; "
                       "CREATE TABLE history(x)"},
         }) {
        sqlite3* db = nullptr;
        sqlite3_open(file.c_str(), &db);
        sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
        sqlite3_close(db);
    }
    struct Case {
        std::string path;
        bool writer;
        std::string says;
    } cases[] = {
        {missingDir, true, "cannot open database " + missingDir},
        {text, true, text + " is not a history database of this program"},
        {foreign, true, foreign + " is not a history database of this program"},
        {lookalike, true, lookalike + " is not a history database of this program"},
        {newer, true, newer + " was written by a newer version (schema 99; this one knows up to"},
        {missingDir, false, "no database " + missingDir},
        {empty, false, empty + " holds no history"},
        {text, false, text},
    };
    for (const auto& c : cases) {
        const std::string before = Slurp(c.path);
        try {
            if (c.writer)
                HistoryStore{c.path};
            else
                HistoryReader{c.path};
            ADD_FAILURE() << "opened " << c.path;
        } catch (const StoreRefused& e) {
            EXPECT_TRUE(c.writer) << e.what();
            EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
        } catch (const StoreError& e) {
            EXPECT_FALSE(c.writer) << "waiting cannot help, yet not refused: " << e.what();
            EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
        }
        EXPECT_EQ(Slurp(c.path), before) << c.path << " changed";
        EXPECT_FALSE(std::filesystem::exists(c.path + "-wal")) << c.path;
    }
    EXPECT_EQ(std::filesystem::file_size(empty), 0u) << "the reader wrote into an empty file";
    EXPECT_EQ(View(true, {"--db", empty, "--device", "7"}).substr(0, 2), "1\n");
}

// The views on a read-only copy of a database: decoded values, ranges, formats; the file is
// the same byte for byte afterwards.
TEST_F(HistoryStoreTest, ViewsDecodeSelectAndFormatAReadOnlyCopyWithoutChangingIt) {
    {
        HistoryStore store(path_);
        store.Begin();
        for (int i = 0; i < 3; ++i) {
            std::vector<unsigned char> r(1550, 0);  // never stamped
            r[1267] = 0x01;  // analog_42: 直流输出电压, 0x0100 + i at 0.01 V
            r[1268] = static_cast<unsigned char>(i);
            store.AddRecord(7, 5156, t0_ + seconds(60 * i), r.data(), r.size());
        }
        store.AddAlarm(MakeAlarm("0418001001", true, t0_ + seconds(30)));
        store.AddAnalogReport(7, t0_, "0411004001", 53.5);
        store.AddAnalogReport(7, t0_ + seconds(1), "0411004002", 54.6f);  // as the unit sends it
        history::Aggregator steps;  // one 5-minute and one hourly step
        for (const double v : {1.0, 2.0, 3.0}) {
            Json::Value values;
            values["直流输出电压"] = v;
            steps.Add(store.Db(), 7, t0_, values);
        }
        steps.Flush(store.Db());
        store.Commit();
    }
    const std::string copyDir = dir_ + "/copy";
    std::filesystem::create_directory(copyDir);
    const std::string copy = copyDir + "/h.db";
    std::filesystem::copy_file(path_, copy);
    ::chmod(copy.c_str(), 0444);
    ::chmod(copyDir.c_str(), 0555);
    const std::string before = Slurp(copy);
    const std::string map = std::string(SMD_SOURCE_DIR) + "/ini/rtmk48_pv05.signals.json";
    const std::vector<std::string> base{"--db", copy, "--device", "7", "--signal-map", map};
    auto with = [&](std::vector<std::string> more) {
        more.insert(more.begin(), base.begin(), base.end());
        return more;
    };

    const std::string json = View(true, with({"--format", "json", "--limit", "2"}));
    ASSERT_EQ(json.substr(0, 2), "0\n") << json;
    const Json::Value doc = ParseJson(json.substr(2));
    ASSERT_EQ(doc["records"].size(), 2u);
    EXPECT_DOUBLE_EQ(doc["records"][1]["values"]["直流输出电压"].asDouble(), 2.58);
    EXPECT_EQ(doc["units"]["直流输出电压"].asString(), "V");
    EXPECT_EQ(doc["recordCount"].asInt(), 3);
    EXPECT_EQ(doc["alarms"][0]["event"].asString(), "raised");
    EXPECT_DOUBLE_EQ(doc["reports"][0]["value"].asDouble(), 53.5);
    EXPECT_NE(json.find("\"value\" : 54.6\n"), std::string::npos) << "shortest form: " << json;
    const std::string reports = View(true, with({"--only", "reports"}));
    EXPECT_NE(reports.find("0411004002 = 54.6\n"), std::string::npos) << reports;
    EXPECT_NE(reports.find("直流输出电压 (dc_output_voltage, V) = 53.5\n"), std::string::npos)
        << "a report is named by the map's signalId: " << reports;

    const std::string since = std::to_string(
        std::chrono::duration_cast<seconds>(std::chrono::system_clock::now() - t0_).count() - 90);
    EXPECT_EQ(
        View(true, with({"--format", "csv", "--signal", "直流输出电压", "--since", since + "s"})),
        "0\nrow,time,stamped,type,直流输出电压 (V)\n3," + doc["records"][1]["time"].asString() +
            ",-,5156,2.58\n");
    for (const std::string step : {"5m", "1h"}) {
        const std::string text = View(true, with({"--step", step, "--signal", "直流输出电压"}));
        EXPECT_EQ(text.substr(0, 26), "0\ndevice 7: 1 steps of " + step + "\n") << text;
        EXPECT_NE(text.find(" 直流输出电压 1/2/3 V (3)\n  (min/mean/max per signal, and the values "
                            "counted)\n"),
                  std::string::npos)
            << text;
    }
    const std::string table = View(true, with({"--only", "alarms"}));
    EXPECT_NE(table.find("raised    level 2  0418001001"), std::string::npos) << table;
    const std::string active = View(false, {"--db", copy, "--active", "--format", "csv"});
    EXPECT_NE(active.find(",7,standing,2,0418001001,"), std::string::npos) << active;

    for (const auto& bad : std::vector<std::vector<std::string>>{with({"--format", "xml"}),
                                                                 with({"--signal", "no such"}),
                                                                 with({"--since", "yesterday"}),
                                                                 {"--db", copy}}) {
        const std::string r = View(true, bad);
        EXPECT_EQ(r.substr(0, 2), "2\n") << r;
    }
    EXPECT_EQ(Slurp(copy), before);
    ::chmod(copyDir.c_str(), 0755);
}

TEST(HistoryViews, TimesFromTheCommandLine) {
    const WallTime now = std::chrono::system_clock::from_time_t(1765200000);
    std::tm tm{};
    tm.tm_year = 126;
    tm.tm_mon = 11;
    tm.tm_mday = 8;
    tm.tm_hour = 14;
    tm.tm_min = 30;
    tm.tm_isdst = -1;
    const WallTime local = std::chrono::system_clock::from_time_t(std::mktime(&tm));
    struct Case {
        const char* text;
        std::optional<WallTime> want;
    } cases[] = {
        {"now", now},
        {"90s", now - seconds(90)},
        {"2h", now - std::chrono::hours(2)},
        {"7d", now - std::chrono::hours(168)},
        {"2026-12-08 14:30", local},
        {"2026-12-08T14:30:15", local + seconds(15)},
        {"2026-12-08", local - std::chrono::minutes(14 * 60 + 30)},
        {"5w", std::nullopt},
        {"2026-13-01", std::nullopt},
        {"2026-12-08 14:30:15x", std::nullopt},
        {"yesterday", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(ParseWhen(c.text, now), c.want) << c.text;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The history sink: its writer thread, group commit, retries and what it counts.

// Writes each row's id into a table of its own in the writer's transaction; fails once on demand.
class Outbox : public HistoryCompanion {
  public:
    void Prepare(sqlite3* db) override {
        sqlite3_exec(db, "CREATE TABLE IF NOT EXISTS outbox(row INTEGER, kind TEXT, v REAL)",
                     nullptr, nullptr, nullptr);
    }
    void OnStored(sqlite3* db, const HistoryRow& row) override {
        if (failNext) {
            failNext = false;
            throw std::runtime_error("outbox refused");
        }
        const std::string kind = row.record ? "record" : row.alarm ? "alarm" : "report";
        const double v = row.record && row.record->values ? (*row.record->values)["v"].asDouble()
                         : row.report                     ? row.report->value
                                                          : 0.0;
        const std::string sql = "INSERT INTO outbox VALUES(" + std::to_string(row.rowId) + ", '" +
                                kind + "', " + std::to_string(v) + ")";
        if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
            throw std::runtime_error(sqlite3_errmsg(db));
    }
    void OnCommitted() override { ++committed; }
    bool failNext = false;
    int committed = 0;
};

class HistorySinkTest : public HistoryStoreTest {
  protected:
    void Feed(HistorySink& sink, unsigned int dataId, int n) {
        const auto bytes = Record(static_cast<unsigned char>(dataId));
        Json::Value values;
        values["v"] = 1.5;
        for (int i = 0; i < n; ++i) {
            RecordOut r;
            r.dataId = dataId;
            r.typeId = 5156;
            r.at = std::chrono::system_clock::now();
            r.bytes = bytes.data();
            r.len = bytes.size();
            r.values = &values;
            sink.OnRecord(r);
        }
    }
    static double Figure(const Sink& sink, const std::string& name) {
        for (const auto& f : sink.Figures())
            if (f.name == name) return f.value;
        ADD_FAILURE() << "no figure " << name;
        return -1;
    }
    static int64_t Scalar(const std::string& path, const std::string& sql) {
        return ScalarOf(path, sql);
    }
    // Another process's write lock on the file, held until Release.
    struct Locker {
        explicit Locker(const std::string& path) {
            sqlite3_open(path.c_str(), &db);
            locked = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
        }
        void Release() { sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr); }
        ~Locker() { sqlite3_close(db); }
        sqlite3* db = nullptr;
        bool locked = false;
    };

    std::ostringstream logText_;
    Logger log_{logText_};
};

TEST_F(HistorySinkTest, AWindowsRowsOfEveryDeviceGoInOneCommitWithTheCompanionsRows) {
    Outbox outbox;
    HistoryOptions o;
    o.commitWindow = std::chrono::seconds(30);  // only Drain ends the window here
    HistorySink sink(path_, o, log_);
    sink.AddCompanion(outbox);
    sink.Start();
    outbox.failNext = true;  // the first attempt rolls back, the retry stores everything once
    for (unsigned int id = 1; id <= 16; ++id) Feed(sink, id, 1);
    sink.OnReport(ReportOut{3, std::chrono::system_clock::now(), "0411004001", 53.5});
    // Last: an alarm event ends the window at once, with everything queued before it.
    Alarm alarm;
    alarm.dataId = 3;
    alarm.at = std::chrono::system_clock::now();
    alarm.alarmId = "0418001001";
    alarm.raised = true;
    sink.OnAlarm(alarm);
    alarm.restored = true;  // state already kept: not stored again
    sink.OnAlarm(alarm);
    sink.Drain(std::chrono::seconds(20));

    EXPECT_EQ(Figure(sink, "commits"), 1);
    EXPECT_EQ(Figure(sink, "failed_attempts"), 1);
    EXPECT_EQ(Figure(sink, "rows_stored"), 18);
    EXPECT_EQ(Figure(sink, "queue_depth"), 0);
    EXPECT_EQ(outbox.committed, 1);
    EXPECT_EQ(sink.Stored(3).records, 1u);
    EXPECT_EQ(Scalar(path_, "SELECT count(*) FROM history"), 16);
    EXPECT_EQ(Scalar(path_, "SELECT count(*) FROM alarm_events"), 1);
    EXPECT_EQ(Scalar(path_, "SELECT count(*) FROM outbox"), 18);
    EXPECT_EQ(Scalar(path_, "SELECT count(*) FROM outbox WHERE kind = 'record' AND v = 1.5"), 16);
    EXPECT_EQ(Scalar(path_, "SELECT max(row) FROM outbox WHERE kind = 'record'"),
              Scalar(path_, "SELECT max(id) FROM history"));
    EXPECT_EQ(sink.StandingAlarms(3).at(0).alarmId, "0418001001");
    EXPECT_NE(logText_.str().find("history: stored 16 records, 1 alarm event, 1 analog report in "
                                  "one commit"),
              std::string::npos)
        << logText_.str();

    // Device 3 left the site file: its alarm ends as any event does, the companion's row too.
    Outbox after;
    HistorySink next(path_, o, log_);
    next.AddCompanion(after);
    next.SiteDevices({1});
    next.Start();
    next.Drain(std::chrono::seconds(20));
    EXPECT_TRUE(next.StandingAlarms(3).empty());
    const auto ended = HistoryReader(path_).Alarms(3).back();
    EXPECT_EQ(ended.alarmId, "0418001001");
    EXPECT_FALSE(ended.raised);
    EXPECT_EQ(ended.text, "device left the site file");
    EXPECT_EQ(Scalar(path_, "SELECT count(*) FROM outbox WHERE kind = 'alarm'"), 2);
}

// A window that ends with few rows waiting grows to three times its length (a small site shares
// a commit's flush among more rows); one that ends with enough does not.
TEST_F(HistorySinkTest, TheCommitWindowGrowsOnlyWhenFewRowsWait) {
    using std::chrono::milliseconds;
    HistoryOptions o;
    o.commitWindow = milliseconds(500);
    const struct {
        int rows;
        milliseconds from, to;
    } cases[] = {{1, milliseconds(1500), milliseconds(10000)},
                 {16, milliseconds(500), milliseconds(1500)}};
    for (const auto& c : cases) {
        HistorySink sink(path_, o, log_);
        sink.Start();
        const auto t0 = std::chrono::steady_clock::now();
        Feed(sink, 7, c.rows);
        while (Figure(sink, "commits") < 1 && std::chrono::steady_clock::now() - t0 < c.to)
            std::this_thread::sleep_for(milliseconds(5));
        const auto took = std::chrono::steady_clock::now() - t0;
        EXPECT_EQ(Figure(sink, "rows_stored"), c.rows);
        EXPECT_TRUE(took >= c.from && took < c.to)
            << c.rows << " rows stored after "
            << std::chrono::duration_cast<milliseconds>(took).count() << " ms";
    }
}

TEST_F(HistorySinkTest, ALockedDatabaseIsRetriedWhileTheCallerGoesOn) {
    HistoryOptions o;
    o.commitWindow = std::chrono::milliseconds(0);
    o.busyTimeoutMs = 20;
    o.retryFirst = std::chrono::milliseconds(10);
    o.retryMax = std::chrono::milliseconds(50);
    HistorySink sink(path_, o, log_);
    sink.Start();
    Locker other(path_);
    ASSERT_TRUE(other.locked);
    const auto t0 = std::chrono::steady_clock::now();
    Feed(sink, 7, 50);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2))
        << "handing rows over waits for nothing";
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (Figure(sink, "failed_attempts") < 3 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    other.Release();
    sink.Drain(std::chrono::seconds(20));
    EXPECT_EQ(Scalar(path_, "SELECT count(*) FROM history"), 50);
    EXPECT_EQ(Figure(sink, "rows_not_stored"), 0);
    EXPECT_GE(Figure(sink, "failed_attempts"), 3);
    const std::string log = logText_.str();
    EXPECT_NE(log.find("database is locked"), std::string::npos) << log;
    EXPECT_NE(log.find("history: stored again after"), std::string::npos) << log;
}

// At start: a locked or a damaged file lets the host go on (rows wait, the file is not
// touched); a foreign one is refused.
TEST_F(HistorySinkTest, ALockedOrDamagedStoreAtStartStopsNothing) {
    HistoryOptions o;
    o.commitWindow = std::chrono::milliseconds(0);
    o.busyTimeoutMs = 20;
    o.retryFirst = std::chrono::milliseconds(10);
    o.retryMax = std::chrono::milliseconds(50);
    {
        // A new file another process holds: the host cannot set it up yet.
        Locker other(path_);
        ASSERT_TRUE(other.locked);
        HistorySink sink(path_, o, log_);
        sink.Start();
        EXPECT_EQ(Figure(sink, "store_open"), 0);
        Feed(sink, 7, 3);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        other.Release();
        sink.Drain(std::chrono::seconds(20));
        EXPECT_EQ(Figure(sink, "store_open"), 1);
        EXPECT_EQ(Scalar(path_, "SELECT count(*) FROM history"), 3);
        EXPECT_NE(logText_.str().find("history: storing nothing yet; rows wait and are retried: "),
                  std::string::npos)
            << logText_.str();
    }
    // The schema page overwritten past the header: damaged, not foreign.
    const std::string damaged = dir_ + "/damaged.db";
    std::filesystem::copy_file(path_, damaged);
    {
        std::fstream f(damaged, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(100);
        const std::string junk(3000, '\x5A');
        f.write(junk.data(), static_cast<std::streamsize>(junk.size()));
    }
    const std::string before = Slurp(damaged);
    {
        HistorySink sink(damaged, o, log_);
        sink.Start();
        Feed(sink, 7, 2);
        sink.Drain(std::chrono::milliseconds(300));
        EXPECT_EQ(Figure(sink, "rows_not_stored"), 2);
    }
    EXPECT_EQ(Slurp(damaged), before);
    const std::string foreign = dir_ + "/foreign.db";
    std::ofstream(foreign) << "a file of another program, not a database at all\n";
    HistorySink refused(foreign, o, log_);
    EXPECT_THROW(refused.Start(), StoreRefused);
}

// Stands in for a full card: the writer's connection may not grow the file, and each row needs
// more room than is free (records alone are deflated to a few bytes here).
class NoRoom : public HistoryCompanion {
  public:
    void Prepare(sqlite3* db) override {
        sqlite3_exec(db, "CREATE TABLE IF NOT EXISTS room(b BLOB); PRAGMA max_page_count = 1",
                     nullptr, nullptr, nullptr);
    }
    void OnStored(sqlite3* db, const HistoryRow&) override {
        if (sqlite3_exec(db, "INSERT INTO room VALUES(zeroblob(65536))", nullptr, nullptr,
                         nullptr) != SQLITE_OK)
            throw StoreFailure(sqlite3_errmsg(db), sqlite3_errcode(db));
    }
};

// A locked or a full database while the queue fills and the host stops: every row is counted,
// and the log says why and how many.
TEST_F(HistorySinkTest, RowsBeyondTheQueueOrLeftWhenTheHostStopsAreCountedAsNotStored) {
    for (const bool full : {false, true}) {
        SCOPED_TRACE(full ? "full" : "locked");
        std::filesystem::remove(path_);
        logText_.str("");
        HistoryOptions o;
        o.commitWindow = std::chrono::seconds(30);
        o.queueLimit = 3;
        o.busyTimeoutMs = 20;
        o.retryFirst = std::chrono::milliseconds(10);
        NoRoom noRoom;
        HistorySink sink(path_, o, log_);
        if (full) sink.AddCompanion(noRoom);
        sink.Start();
        Locker other(full ? dir_ + "/other.db" : path_);
        ASSERT_TRUE(other.locked);
        Feed(sink, 7, 4);
        Feed(sink, 8, 1);
        EXPECT_EQ(sink.Stored(8).notStored, 1u) << "beyond the queue's limit";
        sink.Drain(std::chrono::milliseconds(300));
        EXPECT_EQ(sink.Stored(7).notStored, 4u);
        EXPECT_EQ(sink.Stored(7).records, 0u);
        EXPECT_EQ(Figure(sink, "rows_not_stored"), 5);
        const std::string log = logText_.str();
        EXPECT_NE(log.find("history: 3 rows not stored (3 of device 7): "), std::string::npos)
            << log;
        EXPECT_NE(log.find(full ? "database or disk is full" : "database is locked"),
                  std::string::npos)
            << log;
        EXPECT_NE(log.find("a row of device 7 not stored (1 so far)"), std::string::npos) << log;
    }
}

// Another user reads the history while the writer has it open (its WAL and shared memory
// belong to the host's user).
TEST_F(HistorySinkTest, AnotherUserReadsTheHistoryWhileTheHostWrites) {
    HistorySink sink(path_, HistoryOptions{}, log_);
    sink.Start();
    Feed(sink, 7, 3);
    sink.Drain(std::chrono::seconds(20));
    ASSERT_TRUE(std::filesystem::exists(path_ + "-wal"));
    ::chmod(dir_.c_str(), 0755);
    const pid_t child = ::fork();
    if (child == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(3);
        std::ostringstream out, err;
        const int rc =
            HistoryCommand({"--db", path_, "--device", "7", "--format", "csv"}, out, err);
        const std::string text = out.str();
        ::_exit(rc == 0 && std::count(text.begin(), text.end(), '\n') == 4 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// A copy made with its write-ahead log, read by a user who cannot make its shared memory: every
// row is read, those still in the log too (here all of them, the tables included).
TEST_F(HistorySinkTest, ACopyWithItsLogIsReadWhole) {
    HistoryStore store(path_);
    store.Begin();
    const auto r = Record(7);
    for (int i = 0; i < 5; ++i) store.AddRecord(7, 5156, t0_ + seconds(i), r.data(), r.size());
    store.Commit();
    const std::string copyDir = dir_ + "/copy";
    std::filesystem::create_directory(copyDir);
    std::filesystem::copy_file(path_, copyDir + "/h.db");
    std::filesystem::copy_file(path_ + "-wal", copyDir + "/h.db-wal");
    ::chmod(dir_.c_str(), 0755);
    const pid_t child = ::fork();
    if (child == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(3);
        std::ostringstream out, err;
        const int rc = HistoryCommand(
            {"--db", copyDir + "/h.db", "--device", "7", "--format", "csv"}, out, err);
        const std::string text = out.str();
        ::_exit(rc == 0 && std::count(text.begin(), text.end(), '\n') == 6 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_FALSE(std::filesystem::exists(copyDir + "/h.db-shm"));
}

// Many rows through a small limit: the row count and the file's size level off.
TEST_F(HistorySinkTest, RetentionHoldsTheRowCountAndTheFileSizeFlat) {
    HistoryOptions o;
    o.commitWindow = std::chrono::milliseconds(0);
    o.retention = RetentionLimits{0, 40};
    o.pruneInterval = std::chrono::milliseconds(0);
    o.pruneStep = 100;
    o.looseFreePages = 8;
    HistorySink sink(path_, o, log_);
    sink.Start();
    std::vector<uintmax_t> sizes;
    for (int lap = 0; lap < 8; ++lap) {
        for (int i = 0; i < 10; ++i) {
            Feed(sink, 7, 10);
            sink.Drain(std::chrono::seconds(20));
        }
        EXPECT_EQ(Scalar(path_, "SELECT count(*) FROM history"), 40) << "lap " << lap;
        // The pages as the checkpoint writes them back; until then they are in the WAL.
        sqlite3* db = nullptr;
        sqlite3_open(path_.c_str(), &db);
        sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
        sqlite3_close(db);
        sizes.push_back(std::filesystem::file_size(path_));
    }
    EXPECT_EQ(Scalar(path_, "PRAGMA auto_vacuum"), 2) << "incremental";
    // After the first lap the file grows no more (800 rows of 1.5 KiB went through it).
    for (std::size_t i = 1; i < sizes.size(); ++i) EXPECT_LE(sizes[i], sizes[1]) << i;
    EXPECT_LT(sizes.back(), 40u * 1550 * 3);
}
