#include "history/history_store.h"

#include <sys/statvfs.h>

#include <filesystem>

#include <sqlite3.h>

#include "history/packing.h"
#include "history/schema.h"

namespace history {

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
        const std::string msg = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw StoreRefused("cannot open database " + path + ": " + msg);
    }
    try {
        sqlite3_extended_result_codes(db_, 0);
        sqlite3_busy_timeout(db_, busyTimeoutMs);
        // SQLite falls back to reading a file it may not write; the host must write it.
        if (sqlite3_db_readonly(db_, "main") == 1)
            throw StoreRefused("cannot open database " + path + " for writing: it is read-only");
        // Judged before anything changes: a foreign or newer file keeps its journal mode too.
        const history::Judgement judged = history::Judge(db_, path);
        if (judged.kind == history::FileKind::kForeign || judged.kind == history::FileKind::kNewer)
            throw StoreRefused(history::Refusal(judged, path));
        // Pages freed by pruning can go back to the file system (new files only); WAL lets
        // readers run beside the writer; FULL makes each commit survive power loss; the WAL
        // shrinks back after a checkpoint instead of staying at its largest.
        if (judged.kind == history::FileKind::kNew)
            Exec("PRAGMA auto_vacuum=INCREMENTAL", "setting up");
        Exec("PRAGMA journal_mode=WAL", "setting up");
        Exec("PRAGMA synchronous=FULL", "setting up");
        Exec("PRAGMA journal_size_limit=4194304", "setting up");
        if (judged.kind != history::FileKind::kOurs) {
            // One transaction: an upgrade is whole or not at all.
            Exec("BEGIN IMMEDIATE", "setting up");
            try {
                history::SetUp(db_, judged, path);
                Exec("COMMIT", "setting up");
            } catch (...) {
                Rollback();
                throw;
            }
        }
        pageSize_ = 0;
        insertRecord_ = Prepare(
            "INSERT INTO history(data_id, type_id, stored_at_ms, record, packing) "
            "VALUES(?1, ?2, ?3, ?4, ?5)");
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
            "SELECT id, data_id, type_id, stored_at_ms, record, packing FROM history "
            "WHERE data_id = ?1 "
            "ORDER BY id DESC LIMIT 1");
        standing_ = Prepare(
            "SELECT since_ms, level, alarm_id, name, value, text FROM alarm_state "
            "WHERE data_id = ?1 ORDER BY since_ms, alarm_id");
        freePages_ = Prepare("PRAGMA freelist_count");
        pageCount_ = Prepare("PRAGMA page_count");
        sqlite3_stmt* size = Prepare("PRAGMA page_size");
        if (sqlite3_step(size) == SQLITE_ROW) pageSize_ = sqlite3_column_int64(size, 0);
        sqlite3_reset(size);
        if (pageSize_ <= 0) pageSize_ = 4096;
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
    history::Packing packing = history::kRaw;
    const std::vector<unsigned char> blob = history::Pack(bytes, len, packing);
    Use s(insertRecord_);
    sqlite3_bind_int64(*s, 1, dataId);
    sqlite3_bind_int(*s, 2, typeId);
    sqlite3_bind_int64(*s, 3, ToMs(at));
    sqlite3_bind_blob(*s, 4, blob.data(), static_cast<int>(blob.size()), SQLITE_STATIC);
    sqlite3_bind_int(*s, 5, packing);
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
    r.bytes = history::Unpack(blob, static_cast<std::size_t>(sqlite3_column_bytes(*s, 4)),
                              sqlite3_column_int(*s, 5));
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
    // Oldest first by time through the age index: ids say nothing once a clock was wrong.
    auto byAge = [&](const std::string& t, int64_t beforeMs, std::size_t n) {
        Statement del;
        prepare(del, "DELETE FROM " + t + " WHERE id IN (SELECT id FROM " + t +
                         " WHERE stored_at_ms < ?1 ORDER BY stored_at_ms LIMIT ?2)");
        sqlite3_bind_int64(del.s, 1, beforeMs);
        sqlite3_bind_int64(del.s, 2, static_cast<int64_t>(n));
        return run(del.s);
    };
    uint64_t gone = 0;
    // Past the size bound or the free-space guard, records go first whatever their age.
    const bool overBudget = (limits.maxBytes > 0 && UsedBytes() > limits.maxBytes) ||
                            (limits.minFreeBytes > 0 && FreeDiskBytes() < limits.minFreeBytes);
    if (overBudget) gone += byAge("history", INT64_MAX, step);
    for (const std::string t : kTables) {
        const int64_t maxAge = t == "history" ? limits.maxAgeMs : limits.eventMaxAgeMs;
        if (maxAge > 0) gone += byAge(t, ToMs(now) - maxAge, step);
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

uint64_t HistoryStore::UsedBytes() const {
    auto one = [&](sqlite3_stmt* st) {
        Use s(st);
        if (sqlite3_step(*s) != SQLITE_ROW) Fail("counting pages");
        return sqlite3_column_int64(*s, 0);
    };
    const int64_t used = one(pageCount_) - one(freePages_);
    return used > 0 ? static_cast<uint64_t>(used * pageSize_) : 0;
}

uint64_t HistoryStore::FreeDiskBytes() const {
    const std::filesystem::path dir = std::filesystem::absolute(path_).parent_path();
    struct statvfs fs {};
    if (::statvfs(dir.c_str(), &fs) != 0) return UINT64_MAX;  // unknown: no guard
    return static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
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
