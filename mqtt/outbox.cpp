#include "mqtt/outbox.h"

#include <sqlite3.h>

#include <random>
#include <stdexcept>

#include "mqtt/payload.h"
#include "outbox/statement.h"
#include "runtime/falling_rate.h"

namespace {

// AUTOINCREMENT: ids never come back after the table emptied, so the sender's cursor holds.
const char* const kSchema = R"sql(
CREATE TABLE IF NOT EXISTS mqtt_outbox(
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    data_id INTEGER NOT NULL,
    queued_ms INTEGER NOT NULL,
    topic TEXT NOT NULL,
    payload TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS mqtt_stream(epoch TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS mqtt_sequence(
    data_id INTEGER NOT NULL,
    kind TEXT NOT NULL,
    last INTEGER NOT NULL,
    PRIMARY KEY(data_id, kind));
)sql";

constexpr const char* kOwner = "mqtt outbox";

}  // namespace

Outbox::Outbox(std::string topicPrefix, std::string siteId, int64_t maxRows, int64_t maxAgeSeconds,
               bool rawRecord, Say say)
    : prefix_(std::move(topicPrefix)),
      site_(std::move(siteId)),
      maxRows_(maxRows),
      maxAge_(std::chrono::seconds(maxAgeSeconds)),
      raw_(rawRecord),
      say_(std::move(say)) {}

std::string Outbox::CreateTables(sqlite3* db) {
    char* err = nullptr;
    if (sqlite3_exec(db, kSchema, nullptr, nullptr, &err) != SQLITE_OK) {
        const std::string msg = err ? err : "unknown error";
        sqlite3_free(err);
        throw std::runtime_error("mqtt outbox: creating its tables: " + msg);
    }
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
    if (read.Step("reading the stream epoch") != SQLITE_ROW) read.Fail("reading the stream epoch");
    return reinterpret_cast<const char*>(sqlite3_column_text(*read, 0));
}

void Outbox::Prepare(sqlite3* db) {
    epoch_ = CreateTables(db);
}

void Outbox::SetDevices(const std::vector<DeviceDescription>& devices) {
    std::lock_guard<std::mutex> lock(mu_);
    for (const auto& d : devices) signals_[d.dataId] = d.signals;
}

void Outbox::OnStored(sqlite3* db, const HistoryRow& row) {
    using namespace mqtt_payload;
    if (row.record) {
        const RecordOut& r = *row.record;
        std::shared_ptr<const SignalMap> signals;
        {
            std::lock_guard<std::mutex> lock(mu_);
            const auto it = signals_.find(r.dataId);
            if (it != signals_.end()) signals = it->second;
        }
        Queue(db, r.dataId, r.at, "record",
              [&](uint64_t seq) { return Record(site_, epoch_, r, seq, signals.get(), raw_); });
    } else if (row.alarm && !row.alarm->restored) {
        const Alarm& a = *row.alarm;
        Queue(db, a.dataId, a.at, "alarm",
              [&](uint64_t seq) { return AlarmMessage(site_, epoch_, a, seq); });
    } else if (row.report) {
        const ReportOut& r = *row.report;
        Queue(db, r.dataId, r.at, "report",
              [&](uint64_t seq) { return Report(site_, epoch_, r, seq); });
    }
}

void Outbox::Queue(sqlite3* db, unsigned int dataId, WallTime at, const char* kind,
                   const std::function<std::string(uint64_t)>& payload) {
    QueueStatement next(db,
                        "INSERT INTO mqtt_sequence(data_id, kind, last) VALUES(?1, ?2, 1) "
                        "ON CONFLICT(data_id, kind) DO UPDATE SET last = last + 1 RETURNING last",
                        kOwner);
    sqlite3_bind_int64(*next, 1, dataId);
    sqlite3_bind_text(*next, 2, kind, -1, SQLITE_STATIC);
    if (next.Step("numbering a message") != SQLITE_ROW) next.Fail("numbering a message");
    const auto seq = static_cast<uint64_t>(sqlite3_column_int64(*next, 0));

    const std::string topic = mqtt_payload::DeviceTopic(prefix_, site_, dataId, kind);
    const std::string body = payload(seq);
    QueueStatement insert(db,
                          "INSERT INTO mqtt_outbox(data_id, queued_ms, topic, payload) "
                          "VALUES(?1, ?2, ?3, ?4)",
                          kOwner);
    sqlite3_bind_int64(*insert, 1, dataId);
    sqlite3_bind_int64(*insert, 2, mqtt_payload::EpochMs(at));
    sqlite3_bind_text(*insert, 3, topic.data(), static_cast<int>(topic.size()), SQLITE_STATIC);
    sqlite3_bind_text(*insert, 4, body.data(), static_cast<int>(body.size()), SQLITE_STATIC);
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
             {"DELETE FROM mqtt_outbox WHERE id IN (SELECT id FROM mqtt_outbox WHERE topic NOT "
              "LIKE '%/alarm' ORDER BY id LIMIT ?1)",
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
