#include "runner/history_store.h"

#include <sqlite3.h>

namespace {

const char* const kSchema = R"sql(
CREATE TABLE IF NOT EXISTS history(
    id INTEGER PRIMARY KEY,
    data_id INTEGER NOT NULL,
    type_id INTEGER NOT NULL,
    stored_at_ms INTEGER NOT NULL,
    record BLOB NOT NULL);
CREATE INDEX IF NOT EXISTS history_by_device ON history(data_id, id);
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
)sql";

int64_t ToMs(WallTime t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

WallTime FromMs(int64_t ms) {
    return WallTime(std::chrono::duration_cast<WallTime::duration>(std::chrono::milliseconds(ms)));
}

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

StoredRecord ReadRecord(sqlite3_stmt* s) {
    StoredRecord r;
    r.id = sqlite3_column_int64(s, 0);
    r.dataId = static_cast<unsigned int>(sqlite3_column_int64(s, 1));
    r.typeId = sqlite3_column_int(s, 2);
    r.storedAt = FromMs(sqlite3_column_int64(s, 3));
    const auto* blob = static_cast<const unsigned char*>(sqlite3_column_blob(s, 4));
    r.bytes.assign(blob, blob + sqlite3_column_bytes(s, 4));
    return r;
}

}  // namespace

HistoryStore::HistoryStore(const std::string& path) : path_(path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
        const std::string msg = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw StoreError("cannot open database " + path + ": " + msg);
    }
    sqlite3_busy_timeout(db_, 5000);
    char* err = nullptr;
    // WAL lets `smdhost history` read while a host writes; FULL makes every row survive power loss.
    const std::string setup =
        std::string("PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;") + kSchema;
    if (sqlite3_exec(db_, setup.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
        const std::string msg = err ? err : "unknown error";
        sqlite3_free(err);
        sqlite3_close(db_);
        db_ = nullptr;
        throw StoreError("cannot set up database " + path + ": " + msg);
    }
    try {
        PrepareAll();
    } catch (...) {
        Close();
        throw;
    }
}

void HistoryStore::PrepareAll() {
    insertRecord_ = Prepare(
        "INSERT INTO history(data_id, type_id, stored_at_ms, record) VALUES(?1, ?2, ?3, ?4)");
    insertAlarm_ = Prepare(
        "INSERT INTO alarm_events(data_id, stored_at_ms, level, alarm_id, name, value, text, "
        "raised) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)");
    insertReport_ = Prepare(
        "INSERT INTO analog_reports(data_id, stored_at_ms, signal_id, value) "
        "VALUES(?1, ?2, ?3, ?4)");
    lastRecord_ = Prepare(
        "SELECT id, data_id, type_id, stored_at_ms, record FROM history WHERE data_id = ?1 "
        "ORDER BY id DESC LIMIT 1");
    recordById_ =
        Prepare("SELECT id, data_id, type_id, stored_at_ms, record FROM history WHERE id = ?1");
    records_ = Prepare(
        "SELECT * FROM (SELECT id, data_id, type_id, stored_at_ms, record FROM history "
        "WHERE data_id = ?1 ORDER BY id DESC LIMIT ?2) ORDER BY id");
    recordCount_ = Prepare("SELECT count(*) FROM history WHERE data_id = ?1");
    alarms_ = Prepare(
        "SELECT id, data_id, stored_at_ms, level, alarm_id, name, value, text, raised "
        "FROM alarm_events WHERE data_id = ?1 ORDER BY id");
    reports_ = Prepare(
        "SELECT id, data_id, stored_at_ms, signal_id, value FROM analog_reports "
        "WHERE data_id = ?1 ORDER BY id");
}

HistoryStore::~HistoryStore() {
    Close();
}

void HistoryStore::Close() {
    for (sqlite3_stmt* s : {insertRecord_, insertAlarm_, insertReport_, lastRecord_, recordById_,
                            records_, recordCount_, alarms_, reports_})
        sqlite3_finalize(s);
    sqlite3_close(db_);
    db_ = nullptr;
}

sqlite3_stmt* HistoryStore::Prepare(const char* sql) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &s, nullptr) != SQLITE_OK) Fail("prepare");
    return s;
}

void HistoryStore::Fail(const std::string& what) const {
    throw StoreError("database " + path_ + ": " + what + ": " + sqlite3_errmsg(db_));
}

int64_t HistoryStore::AddRecord(unsigned int dataId, int typeId, WallTime at,
                                const unsigned char* bytes, std::size_t len) {
    std::lock_guard<std::mutex> lock(mu_);
    Use s(insertRecord_);
    sqlite3_bind_int64(*s, 1, dataId);
    sqlite3_bind_int(*s, 2, typeId);
    sqlite3_bind_int64(*s, 3, ToMs(at));
    sqlite3_bind_blob(*s, 4, bytes, static_cast<int>(len), SQLITE_TRANSIENT);
    if (sqlite3_step(*s) != SQLITE_DONE) Fail("storing a record");
    return sqlite3_last_insert_rowid(db_);
}

int64_t HistoryStore::AddAlarm(const StoredAlarm& a) {
    std::lock_guard<std::mutex> lock(mu_);
    Use s(insertAlarm_);
    sqlite3_bind_int64(*s, 1, a.dataId);
    sqlite3_bind_int64(*s, 2, ToMs(a.storedAt));
    sqlite3_bind_int(*s, 3, a.level);
    sqlite3_bind_text(*s, 4, a.alarmId.data(), static_cast<int>(a.alarmId.size()),
                      SQLITE_TRANSIENT);
    sqlite3_bind_text(*s, 5, a.name.data(), static_cast<int>(a.name.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(*s, 6, a.value.data(), static_cast<int>(a.value.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(*s, 7, a.text.data(), static_cast<int>(a.text.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int(*s, 8, a.raised ? 1 : 0);
    if (sqlite3_step(*s) != SQLITE_DONE) Fail("storing an alarm event");
    return sqlite3_last_insert_rowid(db_);
}

int64_t HistoryStore::AddAnalogReport(unsigned int dataId, WallTime at, const std::string& signalId,
                                      double value) {
    std::lock_guard<std::mutex> lock(mu_);
    Use s(insertReport_);
    sqlite3_bind_int64(*s, 1, dataId);
    sqlite3_bind_int64(*s, 2, ToMs(at));
    sqlite3_bind_text(*s, 3, signalId.data(), static_cast<int>(signalId.size()), SQLITE_TRANSIENT);
    sqlite3_bind_double(*s, 4, value);
    if (sqlite3_step(*s) != SQLITE_DONE) Fail("storing an analog report");
    return sqlite3_last_insert_rowid(db_);
}

std::optional<StoredRecord> HistoryStore::LastRecord(unsigned int dataId) const {
    std::lock_guard<std::mutex> lock(mu_);
    Use s(lastRecord_);
    sqlite3_bind_int64(*s, 1, dataId);
    const int rc = sqlite3_step(*s);
    if (rc == SQLITE_ROW) return ReadRecord(*s);
    if (rc != SQLITE_DONE) Fail("reading the last record");
    return std::nullopt;
}

std::optional<StoredRecord> HistoryStore::Record(int64_t id) const {
    std::lock_guard<std::mutex> lock(mu_);
    Use s(recordById_);
    sqlite3_bind_int64(*s, 1, id);
    const int rc = sqlite3_step(*s);
    if (rc == SQLITE_ROW) return ReadRecord(*s);
    if (rc != SQLITE_DONE) Fail("reading a record");
    return std::nullopt;
}

std::vector<StoredRecord> HistoryStore::Records(unsigned int dataId, std::size_t limit) const {
    std::lock_guard<std::mutex> lock(mu_);
    Use s(records_);
    sqlite3_bind_int64(*s, 1, dataId);
    sqlite3_bind_int64(*s, 2, static_cast<int64_t>(limit));
    std::vector<StoredRecord> out;
    int rc;
    while ((rc = sqlite3_step(*s)) == SQLITE_ROW) out.push_back(ReadRecord(*s));
    if (rc != SQLITE_DONE) Fail("listing records");
    return out;
}

std::size_t HistoryStore::RecordCount(unsigned int dataId) const {
    std::lock_guard<std::mutex> lock(mu_);
    Use s(recordCount_);
    sqlite3_bind_int64(*s, 1, dataId);
    if (sqlite3_step(*s) != SQLITE_ROW) Fail("counting records");
    return static_cast<std::size_t>(sqlite3_column_int64(*s, 0));
}

std::vector<StoredAlarm> HistoryStore::Alarms(unsigned int dataId) const {
    std::lock_guard<std::mutex> lock(mu_);
    Use s(alarms_);
    sqlite3_bind_int64(*s, 1, dataId);
    std::vector<StoredAlarm> out;
    int rc;
    while ((rc = sqlite3_step(*s)) == SQLITE_ROW) {
        StoredAlarm a;
        a.id = sqlite3_column_int64(*s, 0);
        a.dataId = static_cast<unsigned int>(sqlite3_column_int64(*s, 1));
        a.storedAt = FromMs(sqlite3_column_int64(*s, 2));
        a.level = sqlite3_column_int(*s, 3);
        a.alarmId = Text(*s, 4);
        a.name = Text(*s, 5);
        a.value = Text(*s, 6);
        a.text = Text(*s, 7);
        a.raised = sqlite3_column_int(*s, 8) != 0;
        out.push_back(std::move(a));
    }
    if (rc != SQLITE_DONE) Fail("listing alarm events");
    return out;
}

std::vector<StoredAnalogReport> HistoryStore::AnalogReports(unsigned int dataId) const {
    std::lock_guard<std::mutex> lock(mu_);
    Use s(reports_);
    sqlite3_bind_int64(*s, 1, dataId);
    std::vector<StoredAnalogReport> out;
    int rc;
    while ((rc = sqlite3_step(*s)) == SQLITE_ROW) {
        StoredAnalogReport r;
        r.id = sqlite3_column_int64(*s, 0);
        r.dataId = static_cast<unsigned int>(sqlite3_column_int64(*s, 1));
        r.storedAt = FromMs(sqlite3_column_int64(*s, 2));
        r.signalId = Text(*s, 3);
        r.value = sqlite3_column_double(*s, 4);
        out.push_back(std::move(r));
    }
    if (rc != SQLITE_DONE) Fail("listing analog reports");
    return out;
}
