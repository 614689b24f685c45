#include "history/history_store.h"

#include <sys/statvfs.h>

#include <filesystem>

#include <sqlite3.h>

namespace history {

const char* const kSchema = R"sql(
CREATE TABLE IF NOT EXISTS history(
    id INTEGER PRIMARY KEY,
    data_id INTEGER NOT NULL,
    type_id INTEGER NOT NULL,
    stored_at_ms INTEGER NOT NULL,
    record BLOB NOT NULL);
CREATE INDEX IF NOT EXISTS history_by_device ON history(data_id, id);
CREATE INDEX IF NOT EXISTS history_by_time ON history(data_id, stored_at_ms);
CREATE TABLE IF NOT EXISTS alarm_events(
    id INTEGER PRIMARY KEY,
    data_id INTEGER NOT NULL,
    stored_at_ms INTEGER NOT NULL,
    level INTEGER NOT NULL,
    alarm_id TEXT NOT NULL,
    name TEXT NOT NULL,
    value TEXT NOT NULL,
    text TEXT NOT NULL,
    raised INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS alarm_events_by_device ON alarm_events(data_id, id);
CREATE TABLE IF NOT EXISTS analog_reports(
    id INTEGER PRIMARY KEY,
    data_id INTEGER NOT NULL,
    stored_at_ms INTEGER NOT NULL,
    signal_id TEXT NOT NULL,
    value REAL NOT NULL);
CREATE INDEX IF NOT EXISTS analog_reports_by_device ON analog_reports(data_id, id);
CREATE TABLE IF NOT EXISTS alarm_state(
    data_id INTEGER NOT NULL,
    alarm_id TEXT NOT NULL,
    since_ms INTEGER NOT NULL,
    level INTEGER NOT NULL,
    name TEXT NOT NULL,
    value TEXT NOT NULL,
    text TEXT NOT NULL,
    PRIMARY KEY(data_id, alarm_id));
)sql";

int64_t ToMs(WallTime t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

WallTime FromMs(int64_t ms) {
    return WallTime(std::chrono::duration_cast<WallTime::duration>(std::chrono::milliseconds(ms)));
}

}  // namespace history

using history::FromMs;
using history::ToMs;

namespace {

// Leaves a shared prepared statement ready for its next use, whatever happened.
class Use {
  public:
    explicit Use(sqlite3_stmt* s) : s_(s) {}
    ~Use() {
        sqlite3_reset(s_);
        sqlite3_clear_bindings(s_);
    }
    sqlite3_stmt* operator*() const { return s_; }

  private:
    sqlite3_stmt* s_;
};

std::string Text(sqlite3_stmt* s, int col) {
    const auto* p = sqlite3_column_text(s, col);
    return p ? std::string(reinterpret_cast<const char*>(p), sqlite3_column_bytes(s, col))
             : std::string();
}

void BindText(sqlite3_stmt* s, int at, const std::string& v) {
    sqlite3_bind_text(s, at, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
}

const char* const kTables[] = {"history", "alarm_events", "analog_reports"};

}  // namespace

bool StoreFailure::Busy() const {
    return code_ == SQLITE_BUSY || code_ == SQLITE_LOCKED;
}

HistoryStore::HistoryStore(const std::string& path, int busyTimeoutMs) : path_(path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
        std::string msg = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        // A service's sandbox makes all but its state directory read-only; say so.
        struct statvfs fs {};
        const std::string dir = std::filesystem::path(path).parent_path().string();
        if (::statvfs(dir.empty() ? "." : dir.c_str(), &fs) == 0 && (fs.f_flag & ST_RDONLY))
            msg += ": its directory is read-only here (under systemd: ReadWritePaths=)";
        throw StoreError("cannot open database " + path + ": " + msg);
    }
    try {
        sqlite3_extended_result_codes(db_, 0);
        sqlite3_busy_timeout(db_, busyTimeoutMs);
        // SQLite falls back to reading a file it may not write; the host must write it.
        if (sqlite3_db_readonly(db_, "main") == 1)
            throw StoreError("cannot open database " + path + " for writing: it is read-only");
        // Pages freed by pruning can go back to the file system (new files only); WAL lets
        // readers run beside the writer; FULL makes each commit survive power loss; the WAL
        // shrinks back after a checkpoint instead of staying at its largest.
        Exec("PRAGMA auto_vacuum=INCREMENTAL", "setting up");
        Exec("PRAGMA journal_mode=WAL", "setting up");
        Exec("PRAGMA synchronous=FULL", "setting up");
        Exec("PRAGMA journal_size_limit=4194304", "setting up");
        Exec("BEGIN IMMEDIATE", "setting up");
        Exec(history::kSchema, "creating tables");
        Exec("COMMIT", "creating tables");
        insertRecord_ = Prepare(
            "INSERT INTO history(data_id, type_id, stored_at_ms, record) VALUES(?1, ?2, ?3, ?4)");
        insertAlarm_ = Prepare(
            "INSERT INTO alarm_events(data_id, stored_at_ms, level, alarm_id, name, value, text, "
            "raised) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)");
        insertReport_ = Prepare(
            "INSERT INTO analog_reports(data_id, stored_at_ms, signal_id, value) "
            "VALUES(?1, ?2, ?3, ?4)");
        raise_ = Prepare(
            "INSERT OR REPLACE INTO alarm_state(data_id, alarm_id, since_ms, level, name, value, "
            "text) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)");
        clear_ = Prepare("DELETE FROM alarm_state WHERE data_id = ?1 AND alarm_id = ?2");
        lastRecord_ = Prepare(
            "SELECT id, data_id, type_id, stored_at_ms, record FROM history WHERE data_id = ?1 "
            "ORDER BY id DESC LIMIT 1");
        standing_ = Prepare(
            "SELECT since_ms, level, alarm_id, name, value, text FROM alarm_state "
            "WHERE data_id = ?1 ORDER BY since_ms, alarm_id");
        freePages_ = Prepare("PRAGMA freelist_count");
    } catch (...) {
        Close();
        throw;
    }
}

HistoryStore::~HistoryStore() {
    Close();
}

void HistoryStore::Close() {
    for (sqlite3_stmt* s : statements_) sqlite3_finalize(s);
    statements_.clear();
    sqlite3_close(db_);
    db_ = nullptr;
}

void HistoryStore::Exec(const char* sql, const char* what) {
    char* err = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &err) != SQLITE_OK) {
        sqlite3_free(err);
        Fail(what);
    }
}

sqlite3_stmt* HistoryStore::Prepare(const char* sql) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &s, nullptr) != SQLITE_OK) Fail("prepare");
    statements_.push_back(s);
    return s;
}

void HistoryStore::Fail(const std::string& what) const {
    throw StoreFailure("database " + path_ + ": " + what + ": " + sqlite3_errmsg(db_),
                       sqlite3_errcode(db_) & 0xFF);
}

void HistoryStore::Begin() {
    // IMMEDIATE: a lock held by another process shows here, before any row is bound.
    Exec("BEGIN IMMEDIATE", "starting a transaction");
}

void HistoryStore::Commit() {
    Exec("COMMIT", "committing");
}

void HistoryStore::Rollback() noexcept {
    if (sqlite3_get_autocommit(db_) == 0) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

int64_t HistoryStore::AddRecord(unsigned int dataId, int typeId, WallTime at,
                                const unsigned char* bytes, std::size_t len) {
    Use s(insertRecord_);
    sqlite3_bind_int64(*s, 1, dataId);
    sqlite3_bind_int(*s, 2, typeId);
    sqlite3_bind_int64(*s, 3, ToMs(at));
    sqlite3_bind_blob(*s, 4, bytes, static_cast<int>(len), SQLITE_STATIC);
    if (sqlite3_step(*s) != SQLITE_DONE) Fail("storing a record");
    return sqlite3_last_insert_rowid(db_);
}

int64_t HistoryStore::AddAlarm(const StoredAlarm& a) {
    int64_t id = 0;
    {
        Use s(insertAlarm_);
        sqlite3_bind_int64(*s, 1, a.dataId);
        sqlite3_bind_int64(*s, 2, ToMs(a.storedAt));
        sqlite3_bind_int(*s, 3, a.level);
        BindText(*s, 4, a.alarmId);
        BindText(*s, 5, a.name);
        BindText(*s, 6, a.value);
        BindText(*s, 7, a.text);
        sqlite3_bind_int(*s, 8, a.raised ? 1 : 0);
        if (sqlite3_step(*s) != SQLITE_DONE) Fail("storing an alarm event");
        id = sqlite3_last_insert_rowid(db_);
    }
    Use s(a.raised ? raise_ : clear_);
    sqlite3_bind_int64(*s, 1, a.dataId);
    BindText(*s, 2, a.alarmId);
    if (a.raised) {
        sqlite3_bind_int64(*s, 3, ToMs(a.storedAt));
        sqlite3_bind_int(*s, 4, a.level);
        BindText(*s, 5, a.name);
        BindText(*s, 6, a.value);
        BindText(*s, 7, a.text);
    }
    if (sqlite3_step(*s) != SQLITE_DONE) Fail("keeping the standing alarms");
    return id;
}

int64_t HistoryStore::AddAnalogReport(unsigned int dataId, WallTime at, const std::string& signalId,
                                      double value) {
    Use s(insertReport_);
    sqlite3_bind_int64(*s, 1, dataId);
    sqlite3_bind_int64(*s, 2, ToMs(at));
    BindText(*s, 3, signalId);
    sqlite3_bind_double(*s, 4, value);
    if (sqlite3_step(*s) != SQLITE_DONE) Fail("storing an analog report");
    return sqlite3_last_insert_rowid(db_);
}

std::optional<StoredRecord> HistoryStore::LastRecord(unsigned int dataId) const {
    Use s(lastRecord_);
    sqlite3_bind_int64(*s, 1, dataId);
    const int rc = sqlite3_step(*s);
    if (rc == SQLITE_DONE) return std::nullopt;
    if (rc != SQLITE_ROW) Fail("reading the last record");
    StoredRecord r;
    r.id = sqlite3_column_int64(*s, 0);
    r.dataId = static_cast<unsigned int>(sqlite3_column_int64(*s, 1));
    r.typeId = sqlite3_column_int(*s, 2);
    r.storedAt = FromMs(sqlite3_column_int64(*s, 3));
    const auto* blob = static_cast<const unsigned char*>(sqlite3_column_blob(*s, 4));
    r.bytes.assign(blob, blob + sqlite3_column_bytes(*s, 4));
    return r;
}

std::vector<StoredAlarm> HistoryStore::StandingAlarms(unsigned int dataId) const {
    Use s(standing_);
    sqlite3_bind_int64(*s, 1, dataId);
    std::vector<StoredAlarm> out;
    int rc;
    while ((rc = sqlite3_step(*s)) == SQLITE_ROW) {
        StoredAlarm a;
        a.dataId = dataId;
        a.storedAt = FromMs(sqlite3_column_int64(*s, 0));
        a.level = sqlite3_column_int(*s, 1);
        a.alarmId = Text(*s, 2);
        a.name = Text(*s, 3);
        a.value = Text(*s, 4);
        a.text = Text(*s, 5);
        a.raised = true;
        out.push_back(std::move(a));
    }
    if (rc != SQLITE_DONE) Fail("reading the standing alarms");
    return out;
}

uint64_t HistoryStore::Prune(const RetentionLimits& limits, WallTime now, std::size_t step) {
    // Statements prepared per call: pruning runs now and then, not per row.
    struct Statement {
        sqlite3_stmt* s = nullptr;
        ~Statement() { sqlite3_finalize(s); }
    };
    auto prepare = [&](Statement& st, const std::string& sql) {
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st.s, nullptr) != SQLITE_OK) Fail("prepare");
    };
    auto run = [&](sqlite3_stmt* s) {
        if (sqlite3_step(s) != SQLITE_DONE) Fail("pruning");
        const uint64_t n = static_cast<uint64_t>(sqlite3_changes(db_));
        sqlite3_reset(s);
        return n;
    };
    uint64_t gone = 0;
    for (const std::string t : kTables) {
        if (limits.maxAgeMs > 0) {
            // Row ids grow with time, so the oldest rows are the first ones.
            Statement del;
            prepare(del, "DELETE FROM " + t + " WHERE id IN (SELECT id FROM " + t +
                             " ORDER BY id LIMIT ?2) AND stored_at_ms < ?1");
            sqlite3_bind_int64(del.s, 1, ToMs(now) - limits.maxAgeMs);
            sqlite3_bind_int64(del.s, 2, static_cast<int64_t>(step));
            gone += run(del.s);
        }
        if (limits.maxRowsPerDevice > 0) {
            Statement next, cut, del;
            // Devices one by one through the index, without reading every row.
            prepare(next, "SELECT min(data_id) FROM " + t + " WHERE data_id > ?1");
            prepare(cut, "SELECT id FROM " + t +
                             " WHERE data_id = ?1 ORDER BY id DESC LIMIT 1 OFFSET ?2");
            prepare(del, "DELETE FROM " + t + " WHERE id IN (SELECT id FROM " + t +
                             " WHERE data_id = ?1 AND id <= ?2 ORDER BY id LIMIT ?3)");
            int64_t device = -1;
            for (;;) {
                sqlite3_bind_int64(next.s, 1, device);
                const bool found = sqlite3_step(next.s) == SQLITE_ROW &&
                                   sqlite3_column_type(next.s, 0) != SQLITE_NULL;
                if (found) device = sqlite3_column_int64(next.s, 0);
                sqlite3_reset(next.s);
                if (!found) break;
                sqlite3_bind_int64(cut.s, 1, device);
                sqlite3_bind_int64(cut.s, 2, static_cast<int64_t>(limits.maxRowsPerDevice));
                const bool over = sqlite3_step(cut.s) == SQLITE_ROW;
                const int64_t last = over ? sqlite3_column_int64(cut.s, 0) : 0;
                sqlite3_reset(cut.s);
                if (!over) continue;
                sqlite3_bind_int64(del.s, 1, device);
                sqlite3_bind_int64(del.s, 2, last);
                sqlite3_bind_int64(del.s, 3, static_cast<int64_t>(step));
                gone += run(del.s);
            }
        }
    }
    return gone;
}

void HistoryStore::ShrinkIfLoose(int64_t freePages) {
    int64_t free = 0;
    {
        Use s(freePages_);
        if (sqlite3_step(*s) != SQLITE_ROW) Fail("counting free pages");
        free = sqlite3_column_int64(*s, 0);
    }
    if (free <= freePages) return;
    // Keep a few free pages for the next rows instead of growing the file again at once.
    const std::string sql =
        "PRAGMA incremental_vacuum(" + std::to_string(free - freePages / 4) + ")";
    Exec(sql.c_str(), "returning free pages");
}
