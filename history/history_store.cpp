#include "history/history_store.h"

#include <sys/statvfs.h>

#include <filesystem>

#include <sqlite3.h>

#include "history/schema.h"
#include "store/packing.h"
#include "store/row_columns.h"

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

// SQLite's own busy wait cannot be cut short: this one looks at the stop request between
// sleeps of 10 ms.
int WaitWhileBusy(void* store, int count) {
    const auto [limitMs, stop] = *static_cast<std::pair<int, const std::atomic<bool>*>*>(store);
    if (count * 10 >= limitMs || (stop != nullptr && stop->load())) return 0;
    sqlite3_sleep(10);
    return 1;
}

}  // namespace

bool StoreFailure::Busy() const {
    return code_ == SQLITE_BUSY || code_ == SQLITE_LOCKED;
}

HistoryStore::HistoryStore(const std::string& path, int busyTimeoutMs,
                           const std::atomic<bool>* stop)
    : path_(path), busy_(busyTimeoutMs, stop) {
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
        throw StoreRefused("cannot open database " + path + ": " + msg);
    }
    try {
        sqlite3_extended_result_codes(db_, 0);
        sqlite3_busy_handler(db_, WaitWhileBusy, &busy_);
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
        // Small pages for new files: a commit writes every page it touched, and a round's rows
        // touch one leaf of the table and of each index per device.
        if (judged.kind == history::FileKind::kNew) {
            Exec("PRAGMA page_size=1024", "setting up");
            Exec("PRAGMA auto_vacuum=INCREMENTAL", "setting up");
        }
        Exec("PRAGMA journal_mode=WAL", "setting up");
        Exec("PRAGMA synchronous=FULL", "setting up");
        Exec("PRAGMA journal_size_limit=4194304", "setting up");
        // A checkpoint once about 4 MiB of pages are in the WAL, whatever the page size: a page
        // changed by many commits in between is written back once.
        Exec("PRAGMA wal_autocheckpoint=4000", "setting up");
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
            "INSERT INTO history(data_id, type_id, stored_at_ms, record, packing, base) "
            "VALUES(?1, ?2, ?3, ?4, ?5, ?6)");
        keyRecord_ = Prepare("SELECT record, packing FROM history WHERE id = ?1");
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
            "SELECT id, data_id, type_id, stored_at_ms, record, packing, base FROM history "
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
    pendingKeys_ = keys_;
}

void HistoryStore::Commit() {
    Exec("COMMIT", "committing");
    // Key records count only once they are durable; a rolled-back one must never be a base.
    keys_ = std::move(pendingKeys_);
    pendingKeys_.clear();
}

void HistoryStore::Rollback() noexcept {
    if (sqlite3_get_autocommit(db_) == 0) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    pendingKeys_.clear();
}

void HistoryStore::ForgetKey(int64_t rowId) {
    for (auto* m : {&keys_, &pendingKeys_})
        for (auto it = m->begin(); it != m->end();)
            it = it->second.rowId == rowId ? m->erase(it) : std::next(it);
}

std::vector<unsigned char> HistoryStore::Unpacked(sqlite3_stmt* s, int col) const {
    if (!history::NeedsKey(sqlite3_column_int(s, col + 1))) return history::RecordBytes(s, col);
    std::vector<unsigned char> key;
    {
        Use k(keyRecord_);
        sqlite3_bind_int64(*k, 1, sqlite3_column_int64(s, col + 2));
        if (sqlite3_step(*k) != SQLITE_ROW) throw StoreError("a record's key record is missing");
        key = Unpacked(*k, 0);
    }
    return history::RecordBytes(s, col, &key);
}

int64_t HistoryStore::AddRecord(unsigned int dataId, int typeId, WallTime at,
                                const unsigned char* bytes, std::size_t len) {
    // Transactions are used by one thread (see the class), so pendingKeys_ is the writer's own.
    if (sqlite3_get_autocommit(db_) != 0) pendingKeys_ = keys_;
    Key* key = nullptr;
    if (auto it = pendingKeys_.find(dataId); it != pendingKeys_.end() &&
                                             it->second.since < history::kRecordsPerKey &&
                                             it->second.bytes.size() == len)
        key = &it->second;
    history::Packing packing = history::kRaw;
    const std::vector<unsigned char> blob =
        history::Pack(bytes, len, key ? &key->bytes : nullptr, packing);
    Use s(insertRecord_);
    sqlite3_bind_int64(*s, 1, dataId);
    sqlite3_bind_int(*s, 2, typeId);
    sqlite3_bind_int64(*s, 3, ToMs(at));
    sqlite3_bind_blob(*s, 4, blob.data(), static_cast<int>(blob.size()), SQLITE_STATIC);
    sqlite3_bind_int(*s, 5, packing);
    if (key) sqlite3_bind_int64(*s, 6, key->rowId);
    if (sqlite3_step(*s) != SQLITE_DONE) Fail("storing a record");
    const int64_t id = sqlite3_last_insert_rowid(db_);
    if (key)
        ++key->since;
    else
        pendingKeys_[dataId] = Key{id, 1, std::vector<unsigned char>(bytes, bytes + len)};
    if (sqlite3_get_autocommit(db_) != 0) keys_ = pendingKeys_;
    return id;
}

int64_t HistoryStore::AddAlarm(const StoredAlarm& a) {
    int64_t id = 0;
    {
        Use s(insertAlarm_);
        sqlite3_bind_int64(*s, 1, a.dataId);
        sqlite3_bind_int64(*s, 2, ToMs(a.at));
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
        sqlite3_bind_int64(*s, 3, ToMs(a.at));
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

std::vector<Alarm> HistoryStore::EndsOfOthers(const std::set<unsigned int>& site,
                                              WallTime now) const {
    std::vector<Alarm> gone;
    {
        sqlite3_stmt* q = nullptr;
        if (sqlite3_prepare_v2(db_,
                               "SELECT data_id, level, alarm_id, name, value FROM alarm_state "
                               "ORDER BY data_id, since_ms",
                               -1, &q, nullptr) != SQLITE_OK)
            Fail("prepare");
        int rc;
        while ((rc = sqlite3_step(q)) == SQLITE_ROW) {
            Alarm a;
            a.dataId = static_cast<unsigned int>(sqlite3_column_int64(q, 0));
            if (site.count(a.dataId)) continue;
            a.at = now;
            a.level = sqlite3_column_int(q, 1);
            a.alarmId = Text(q, 2);
            a.name = Text(q, 3);
            a.value = Text(q, 4);
            a.text = "device left the site file";
            gone.push_back(std::move(a));
        }
        sqlite3_finalize(q);
        if (rc != SQLITE_DONE) Fail("reading the standing alarms");
    }
    return gone;
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
    r.bytes = Unpacked(*s, 4);
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
        a.at = FromMs(sqlite3_column_int64(*s, 0));
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
