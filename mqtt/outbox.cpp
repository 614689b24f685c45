#include "mqtt/outbox.h"

#include <sqlite3.h>

#include <random>
#include <stdexcept>

#include "mqtt/outbox_message.h"
#include "mqtt/payload.h"
#include "outbox/statement.h"
#include "runtime/falling_rate.h"

namespace {

// AUTOINCREMENT: ids never come back after the table emptied, so the sender's cursor holds.
// A message refers to its history row by kind and row id (outbox_message.h); topic and payload
// are '' then (as small as NULL, and the form files from before have, NOT NULL and all).
const char* const kSchema = R"sql(
CREATE TABLE IF NOT EXISTS mqtt_outbox(
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    data_id INTEGER NOT NULL,
    queued_ms INTEGER NOT NULL,
    topic TEXT NOT NULL,
    payload TEXT NOT NULL,
    kind INTEGER NOT NULL DEFAULT 0,
    row_id INTEGER,
    seq INTEGER,
    level_name TEXT,
    threshold REAL);
CREATE TABLE IF NOT EXISTS mqtt_stream(epoch TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS mqtt_sequence(
    data_id INTEGER NOT NULL,
    kind TEXT NOT NULL,
    last INTEGER NOT NULL,
    PRIMARY KEY(data_id, kind));
)sql";

// An outbox from before references gains their columns; its rows stay messages as they are sent.
const char* const kAddReferences = R"sql(
ALTER TABLE mqtt_outbox ADD COLUMN kind INTEGER NOT NULL DEFAULT 0;
ALTER TABLE mqtt_outbox ADD COLUMN row_id INTEGER;
ALTER TABLE mqtt_outbox ADD COLUMN seq INTEGER;
ALTER TABLE mqtt_outbox ADD COLUMN level_name TEXT;
ALTER TABLE mqtt_outbox ADD COLUMN threshold REAL;
)sql";

constexpr const char* kOwner = "mqtt outbox";
static_assert(outbox_message::kAlarm == 2, "the row bound's statement names alarms by number");

void Exec(sqlite3* db, const char* sql, const char* what) {
    char* err = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &err) != SQLITE_OK) {
        const std::string msg = err ? err : "unknown error";
        sqlite3_free(err);
        throw std::runtime_error(std::string(kOwner) + ": " + what + ": " + msg);
    }
}

}  // namespace

Outbox::Outbox(int64_t maxRows, int64_t maxAgeSeconds, Say say)
    : maxRows_(maxRows), maxAge_(std::chrono::seconds(maxAgeSeconds)), say_(std::move(say)) {}

std::string Outbox::CreateTables(sqlite3* db) {
    // The writer and the sender both call this at start: one migrates, the other waits.
    const bool ownTransaction = sqlite3_get_autocommit(db) != 0;
    if (ownTransaction) Exec(db, "BEGIN IMMEDIATE", "creating its tables");
    std::string epoch;
    try {
        Exec(db, kSchema, "creating its tables");
        QueueStatement current(
            db, "SELECT 1 FROM pragma_table_info('mqtt_outbox') WHERE name = 'kind'", kOwner);
        if (current.Step("reading its columns") != SQLITE_ROW)
            Exec(db, kAddReferences, "adding reference columns");
        // Random rather than a clock: a unit whose clock is not set yet makes new stores too.
        std::random_device rd;
        char fresh[17];
        std::snprintf(fresh, sizeof fresh, "%08x%08x", rd(), rd());
        QueueStatement make(
            db, "INSERT INTO mqtt_stream SELECT ?1 WHERE NOT EXISTS (SELECT 1 FROM mqtt_stream)",
            kOwner);
        sqlite3_bind_text(*make, 1, fresh, -1, SQLITE_STATIC);
        make.Step("starting a stream");
        QueueStatement read(db, "SELECT epoch FROM mqtt_stream LIMIT 1", kOwner);
        if (read.Step("reading the stream epoch") != SQLITE_ROW)
            read.Fail("reading the stream epoch");
        epoch = reinterpret_cast<const char*>(sqlite3_column_text(*read, 0));
    } catch (...) {
        if (ownTransaction) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    if (ownTransaction) Exec(db, "COMMIT", "creating its tables");
    return epoch;
}

void Outbox::Prepare(sqlite3* db) {
    CreateTables(db);
}

void Outbox::OnStored(sqlite3* db, const HistoryRow& row) {
    if (row.record)
        Queue(db, row, row.record->dataId, row.record->at, nullptr);
    else if (row.alarm && !row.alarm->restored)
        Queue(db, row, row.alarm->dataId, row.alarm->at, row.alarm);
    else if (row.report)
        Queue(db, row, row.report->dataId, row.report->at, nullptr);
}

void Outbox::Queue(sqlite3* db, const HistoryRow& row, unsigned int dataId, WallTime at,
                   const Alarm* alarm) {
    using namespace outbox_message;
    const Kind kind = row.record ? kRecord : alarm ? kAlarm : kReport;
    QueueStatement next(db,
                        "INSERT INTO mqtt_sequence(data_id, kind, last) VALUES(?1, ?2, 1) "
                        "ON CONFLICT(data_id, kind) DO UPDATE SET last = last + 1 RETURNING last",
                        kOwner);
    sqlite3_bind_int64(*next, 1, dataId);
    sqlite3_bind_text(*next, 2, KindName(kind), -1, SQLITE_STATIC);
    if (next.Step("numbering a message") != SQLITE_ROW) next.Fail("numbering a message");
    const int64_t seq = sqlite3_column_int64(*next, 0);

    QueueStatement insert(db,
                          "INSERT INTO mqtt_outbox(data_id, queued_ms, topic, payload, kind, "
                          "row_id, seq, level_name, threshold) VALUES(?1, ?2, '', '', ?3, ?4, ?5, "
                          "?6, ?7)",
                          kOwner);
    sqlite3_bind_int64(*insert, 1, dataId);
    sqlite3_bind_int64(*insert, 2, mqtt_payload::EpochMs(at));
    sqlite3_bind_int(*insert, 3, kind);
    sqlite3_bind_int64(*insert, 4, row.rowId);
    sqlite3_bind_int64(*insert, 5, seq);
    if (alarm && !alarm->levelName.empty())
        sqlite3_bind_text(*insert, 6, alarm->levelName.data(),
                          static_cast<int>(alarm->levelName.size()), SQLITE_STATIC);
    if (alarm && alarm->threshold) sqlite3_bind_double(*insert, 7, *alarm->threshold);
    insert.Step("queueing a message");
    Bound(db, sqlite3_last_insert_rowid(db));
}

void Outbox::Bound(sqlite3* db, int64_t newId) {
    const uint64_t droppedBefore = pendingDropped_;
    // Ids only grow, so the ids from the oldest row's on bound the count; only past that bound
    // are the rows counted. Routine messages go first: alarms are what a back office must see.
    QueueStatement first(db, "SELECT min(id) FROM mqtt_outbox", kOwner);
    first.Step("bounding the outbox");
    if (newId - sqlite3_column_int64(*first, 0) + 1 > maxRows_) {
        QueueStatement count(db, "SELECT count(*) FROM mqtt_outbox", kOwner);
        count.Step("counting the outbox");
        const int64_t excess = sqlite3_column_int64(*count, 0) - maxRows_;
        for (const char* sql :
             {"DELETE FROM mqtt_outbox WHERE id IN (SELECT id FROM mqtt_outbox WHERE kind != 2 "
              "AND topic NOT LIKE '%/alarm' ORDER BY id LIMIT ?1)",
              "DELETE FROM mqtt_outbox WHERE id IN (SELECT id FROM mqtt_outbox ORDER BY id "
              "LIMIT ?1)"}) {
            const int64_t left = excess - static_cast<int64_t>(pendingDropped_ - droppedBefore);
            if (left <= 0) break;
            QueueStatement drop(db, sql, kOwner);
            sqlite3_bind_int64(*drop, 1, left);
            drop.Step("dropping the oldest messages");
            pendingDropped_ += static_cast<uint64_t>(sqlite3_changes(db));
        }
    }
    // The age bound once a second, on the oldest few rows: bounded work per row.
    const auto now = std::chrono::steady_clock::now();
    if (now < nextAgeCheck_) return;
    nextAgeCheck_ = now + std::chrono::seconds(1);
    QueueStatement old(db,
                       "DELETE FROM mqtt_outbox WHERE id IN "
                       "(SELECT id FROM mqtt_outbox ORDER BY id LIMIT 256) AND queued_ms < ?1",
                       kOwner);
    const auto cutoff = std::chrono::system_clock::now() - maxAge_;
    sqlite3_bind_int64(*old, 1, mqtt_payload::EpochMs(cutoff));
    old.Step("dropping old messages");
    pendingDropped_ += static_cast<uint64_t>(sqlite3_changes(db));
}

void Outbox::OnCommitted() {
    if (pendingDropped_ == 0) return;
    const uint64_t before = dropped_.fetch_add(pendingDropped_, std::memory_order_relaxed);
    const uint64_t after = before + pendingDropped_;
    pendingDropped_ = 0;
    // At a falling rate: whenever the total passes a power of two.
    if (FallingRate::LogDue(before, after) && say_)
        say_("mqtt: outbox bound reached (" + std::to_string(maxRows_) + " messages, " +
                 std::to_string(maxAge_.count() / 1000) + " s): dropped the oldest, " +
                 std::to_string(after) + " dropped so far",
             Priority::kWarning);
}
