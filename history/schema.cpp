#include "history/schema.h"

#include <set>

#include <sqlite3.h>

#include "history/history_store.h"

namespace history {

namespace {

// This version's tables. Age indexes let pruning find the oldest rows by time whatever their ids
// (a clock that ran ahead for a while leaves high ids with early times behind it).
const char* const kTables = R"sql(
CREATE TABLE IF NOT EXISTS history(
    id INTEGER PRIMARY KEY,
    data_id INTEGER NOT NULL,
    type_id INTEGER NOT NULL,
    stored_at_ms INTEGER NOT NULL,
    record BLOB NOT NULL,
    packing INTEGER NOT NULL DEFAULT 0,
    base INTEGER);
CREATE INDEX IF NOT EXISTS history_by_device ON history(data_id, id);
-- The trend reads one device's records by time.
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
CREATE INDEX IF NOT EXISTS history_by_age ON history(stored_at_ms);
CREATE INDEX IF NOT EXISTS alarm_events_by_age ON alarm_events(stored_at_ms);
CREATE INDEX IF NOT EXISTS analog_reports_by_age ON analog_reports(stored_at_ms);
-- One row a device a step holds every signal (store/aggregates.h); pruned device by device
-- through its key, so it needs no index of its own.
CREATE TABLE IF NOT EXISTS signal_names(id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE);
CREATE TABLE IF NOT EXISTS aggregates(
    data_id INTEGER NOT NULL,
    step_s INTEGER NOT NULL,
    start_ms INTEGER NOT NULL,
    packed BLOB NOT NULL,
    PRIMARY KEY(data_id, step_s, start_ms)) WITHOUT ROWID;
)sql";

const char* const kSeedStanding = R"sql(
INSERT INTO alarm_state(data_id, alarm_id, since_ms, level, name, value, text)
SELECT e.data_id, e.alarm_id, e.stored_at_ms, e.level, e.name, e.value, e.text
FROM alarm_events e
WHERE e.raised = 1 AND e.id = (SELECT max(l.id) FROM alarm_events l
                               WHERE l.data_id = e.data_id AND l.alarm_id = e.alarm_id);
)sql";

[[noreturn]] void Fail(sqlite3* db, const std::string& path, const std::string& what) {
    throw StoreFailure("database " + path + ": " + what + ": " + sqlite3_errmsg(db),
                       sqlite3_errcode(db) & 0xFF);
}

void Exec(sqlite3* db, const std::string& path, const char* sql, const char* what) {
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) Fail(db, path, what);
}

int64_t Integer(sqlite3* db, const std::string& path, const char* sql) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) != SQLITE_OK) Fail(db, path, "reading");
    const int rc = sqlite3_step(s);
    const int64_t v = rc == SQLITE_ROW ? sqlite3_column_int64(s, 0) : 0;
    sqlite3_finalize(s);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) Fail(db, path, "reading");
    return v;
}

std::set<std::string> Names(sqlite3* db, const std::string& path, const std::string& sql) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) != SQLITE_OK)
        Fail(db, path, "reading the schema");
    std::set<std::string> out;
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW)
        out.insert(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)));
    sqlite3_finalize(s);
    if (rc != SQLITE_DONE) Fail(db, path, "reading the schema");
    return out;
}

}  // namespace

Judgement Judge(sqlite3* db, const std::string& path) {
    Judgement j;
    std::set<std::string> tables;
    try {
        tables = Names(db, path, "SELECT name FROM sqlite_master WHERE type = 'table'");
    } catch (const StoreFailure& e) {
        // Not an SQLite file at all: another program's.
        if (e.Code() == SQLITE_NOTADB) {
            j.kind = FileKind::kForeign;
            return j;
        }
        throw;
    }
    const int64_t id = Integer(db, path, "PRAGMA application_id");
    j.version = static_cast<int32_t>(Integer(db, path, "PRAGMA user_version"));
    j.hasState = tables.count("alarm_state") > 0;
    if (id == kApplicationId) {
        j.kind = j.version > kSchemaVersion   ? FileKind::kNewer
                 : j.version < kSchemaVersion ? FileKind::kOlder
                                              : FileKind::kOurs;
        return j;
    }
    if (id != 0 || j.version != 0) {
        j.kind = FileKind::kForeign;
        return j;
    }
    // Files from before the id: ours when their history table is ours.
    if (tables.count("history")) {
        const auto columns = Names(db, path, "SELECT name FROM pragma_table_info('history')");
        const bool ours = columns.count("data_id") && columns.count("type_id") &&
                          columns.count("stored_at_ms") && columns.count("record");
        j.kind = ours ? FileKind::kOlder : FileKind::kForeign;
        j.version = 1;
        return j;
    }
    // The broker outbox may have made its tables before history made any.
    for (const std::string& t : tables)
        if (t.rfind("mqtt_", 0) != 0 && t != "sqlite_sequence") {
            j.kind = FileKind::kForeign;
            return j;
        }
    j.kind = FileKind::kNew;
    return j;
}

std::string Refusal(const Judgement& j, const std::string& path) {
    if (j.kind == FileKind::kNewer)
        return path + " was written by a newer version (schema " + std::to_string(j.version) +
               "; this one knows up to " + std::to_string(kSchemaVersion) + "): left as it is";
    return path + " is not a history database of this program: left as it is";
}

void SetUp(sqlite3* db, const Judgement& j, const std::string& path) {
    const bool seed = j.kind == FileKind::kOlder && !j.hasState;
    if (j.kind == FileKind::kOlder && j.version < 2) {
        const auto columns = Names(db, path, "SELECT name FROM pragma_table_info('history')");
        if (!columns.count("packing"))
            Exec(db, path,
                 "ALTER TABLE history ADD COLUMN packing INTEGER NOT NULL DEFAULT 0; "
                 "ALTER TABLE history ADD COLUMN base INTEGER",
                 "migrating");
    }
    Exec(db, path, kTables, "creating tables");
    if (seed) Exec(db, path, kSeedStanding, "seeding the standing alarms");
    const std::string stamp = "PRAGMA application_id = " + std::to_string(kApplicationId) +
                              "; PRAGMA user_version = " + std::to_string(kSchemaVersion);
    Exec(db, path, stamp.c_str(), "stamping the schema version");
}

}  // namespace history
