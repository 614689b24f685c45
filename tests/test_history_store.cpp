// The SQLite history and event store.
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "runner/history_store.h"

namespace {

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

    std::string dir_;
    std::string path_;
};

TEST_F(HistoryStoreTest, RecordsComeBackByteForBytePerDevice) {
    const WallTime t0 =
        std::chrono::time_point_cast<std::chrono::milliseconds>(std::chrono::system_clock::now());
    HistoryStore store(path_);
    const auto a1 = Record(1), a2 = Record(2), b1 = Record(3);
    store.AddRecord(7, 5156, t0, a1.data(), a1.size());
    store.AddRecord(8, 5156, t0, b1.data(), b1.size());
    const int64_t id = store.AddRecord(7, 5156, t0 + std::chrono::seconds(1), a2.data(), a2.size());

    const auto last = store.LastRecord(7);
    ASSERT_TRUE(last.has_value());
    EXPECT_EQ(last->id, id);
    EXPECT_EQ(last->bytes, a2);
    EXPECT_EQ(last->typeId, 5156);
    EXPECT_EQ(last->dataId, 7u);
    EXPECT_EQ(std::chrono::duration_cast<std::chrono::milliseconds>(last->storedAt - t0).count(),
              1000);
    EXPECT_EQ(store.LastRecord(8)->bytes, b1);
    EXPECT_FALSE(store.LastRecord(9).has_value());
    EXPECT_EQ(store.RecordCount(7), 2u);
    EXPECT_EQ(store.Record(id)->bytes, a2);
    EXPECT_FALSE(store.Record(id + 100).has_value());
}

TEST_F(HistoryStoreTest, ListingGivesTheNewestRecordsOldestFirst) {
    HistoryStore store(path_);
    const auto now = std::chrono::system_clock::now();
    for (unsigned char i = 1; i <= 5; ++i) {
        const auto r = Record(i);
        store.AddRecord(7, 5156, now, r.data(), r.size());
    }
    const auto list = store.Records(7, 3);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].bytes[5], 3);
    EXPECT_EQ(list[2].bytes[5], 5);
    EXPECT_LT(list[0].id, list[1].id);
}

TEST_F(HistoryStoreTest, RowsSurviveReopeningAndTheJournalIsWal) {
    const auto r = Record(9);
    {
        HistoryStore store(path_);
        store.AddRecord(7, 5156, std::chrono::system_clock::now(), r.data(), r.size());
        StoredAlarm a;
        a.dataId = 7;
        a.storedAt = std::chrono::system_clock::now();
        a.level = 2;
        a.alarmId = "0418001001";
        a.name = "交流输出主空开状态";
        a.text = "交流输出主空开断开";
        a.raised = true;
        store.AddAlarm(a);
        store.AddAnalogReport(7, a.storedAt, "0411004001", 53.5);
    }
    HistoryStore store(path_);
    EXPECT_EQ(store.LastRecord(7)->bytes, r);
    const auto alarms = store.Alarms(7);
    ASSERT_EQ(alarms.size(), 1u);
    EXPECT_EQ(alarms[0].name, "交流输出主空开状态");
    EXPECT_EQ(alarms[0].text, "交流输出主空开断开");
    EXPECT_EQ(alarms[0].level, 2);
    EXPECT_TRUE(alarms[0].raised);
    const auto reports = store.AnalogReports(7);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_DOUBLE_EQ(reports[0].value, 53.5);
    EXPECT_TRUE(store.Alarms(8).empty());

    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* s = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA journal_mode", -1, &s, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)), "wal");
    sqlite3_finalize(s);
    sqlite3_close(db);
}

TEST_F(HistoryStoreTest, AnUnusableFileIsAnErrorNamingIt) {
    const std::string bad = dir_ + "/no/such/dir/h.db";
    try {
        HistoryStore store(bad);
        FAIL() << "opened " << bad;
    } catch (const StoreError& e) {
        EXPECT_NE(std::string(e.what()).find(bad), std::string::npos) << e.what();
    }
}

}  // namespace
