#include "tsdb/tsdb_queue.h"

#include <sqlite3.h>

#include <stdexcept>

#include "outbox/statement.h"
#include "tsdb/line_protocol.h"

namespace {

constexpr const char* kOwner = "tsdb queue";

int BitLength(uint64_t n) {
    int b = 0;
    for (; n; n >>= 1) ++b;
    return b;
}

int64_t EpochMs(WallTime t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

}  // namespace

TsdbQueue::TsdbQueue(std::string siteId, int64_t maxRows, int64_t maxAgeSeconds, Say say,
                     std::function<void()> committed)
    : site_(std::move(siteId)),
      maxRows_(maxRows),
      maxAge_(std::chrono::seconds(maxAgeSeconds)),
      say_(std::move(say)),
      committed_(std::move(committed)) {}

void TsdbQueue::CreateTable(sqlite3* db) {
    // AUTOINCREMENT: ids never come back after a table emptied, so order holds across runs.
    // Parked: lines the database refused alone, with its answer, for an operator to look at
    // (and to queue again should the fault have been the database's).
    const char* const schema =
        "CREATE TABLE IF NOT EXISTS tsdb_queue(id INTEGER PRIMARY KEY AUTOINCREMENT, "
        "queued_ms INTEGER NOT NULL, alarm INTEGER NOT NULL, line TEXT NOT NULL);"
        "CREATE TABLE IF NOT EXISTS tsdb_parked(id INTEGER PRIMARY KEY AUTOINCREMENT, "
        "queued_ms INTEGER NOT NULL, alarm INTEGER NOT NULL, line TEXT NOT NULL, "
        "answer TEXT NOT NULL)";
    char* err = nullptr;
    if (sqlite3_exec(db, schema, nullptr, nullptr, &err) != SQLITE_OK) {
        const std::string msg = err ? err : "unknown error";
        sqlite3_free(err);
        throw std::runtime_error(std::string(kOwner) + ": creating its table: " + msg);
    }
}

void TsdbQueue::SetDevices(const std::vector<DeviceDescription>& devices) {
    std::lock_guard<std::mutex> lock(mu_);
    for (const auto& d : devices) signals_[d.dataId] = d.signals;
}

void TsdbQueue::OnStored(sqlite3* db, const HistoryRow& row) {
    std::string line;
    WallTime at;
    if (row.record) {
        std::shared_ptr<const SignalMap> signals;
        {
            std::lock_guard<std::mutex> lock(mu_);
            const auto it = signals_.find(row.record->dataId);
            if (it != signals_.end()) signals = it->second;
        }
        line = line_protocol::RecordLine(site_, *row.record, signals.get());
        at = row.record->at;
    } else if (row.alarm && !row.alarm->restored) {
        line = line_protocol::AlarmLine(site_, *row.alarm);
        at = row.alarm->at;
    } else if (row.report) {
        line = line_protocol::ReportLine(site_, *row.report);
        at = row.report->at;
    }
    if (line.empty()) return;  // nothing a database could store
    QueueStatement insert(db, "INSERT INTO tsdb_queue(queued_ms, alarm, line) VALUES(?1, ?2, ?3)",
                          kOwner);
    sqlite3_bind_int64(*insert, 1, EpochMs(at));
    sqlite3_bind_int(*insert, 2, row.alarm ? 1 : 0);
    sqlite3_bind_text(*insert, 3, line.data(), static_cast<int>(line.size()), SQLITE_STATIC);
    insert.Step("queueing a line");
    queued_ = true;
    Bound(db, sqlite3_last_insert_rowid(db));
}

void TsdbQueue::Bound(sqlite3* db, int64_t newId) {
    const uint64_t droppedBefore = pendingDropped_;
    // Ids only grow, so the ids from the oldest row's on bound the count; only past that bound
    // are the rows counted. Routine lines go first: alarms are what a back office must see.
    QueueStatement first(db, "SELECT min(id) FROM tsdb_queue", kOwner);
    first.Step("bounding the queue");
    if (newId - sqlite3_column_int64(*first, 0) + 1 > maxRows_) {
        QueueStatement count(db, "SELECT count(*) FROM tsdb_queue", kOwner);
        count.Step("counting the queue");
        const int64_t excess = sqlite3_column_int64(*count, 0) - maxRows_;
        for (const char* sql : {"DELETE FROM tsdb_queue WHERE id IN (SELECT id FROM tsdb_queue "
                                "WHERE alarm = 0 ORDER BY id LIMIT ?1)",
                                "DELETE FROM tsdb_queue WHERE id IN (SELECT id FROM tsdb_queue "
                                "ORDER BY id LIMIT ?1)"}) {
            const int64_t left = excess - static_cast<int64_t>(pendingDropped_ - droppedBefore);
            if (left <= 0) break;
            QueueStatement drop(db, sql, kOwner);
            sqlite3_bind_int64(*drop, 1, left);
            drop.Step("dropping the oldest lines");
            pendingDropped_ += static_cast<uint64_t>(sqlite3_changes(db));
        }
    }
    // The age bound once a second, on the oldest few rows: bounded work per row.
    const auto now = std::chrono::steady_clock::now();
    if (now < nextAgeCheck_) return;
    nextAgeCheck_ = now + std::chrono::seconds(1);
    QueueStatement old(db,
                       "DELETE FROM tsdb_queue WHERE id IN "
                       "(SELECT id FROM tsdb_queue ORDER BY id LIMIT 256) AND queued_ms < ?1",
                       kOwner);
    sqlite3_bind_int64(*old, 1, EpochMs(std::chrono::system_clock::now() - maxAge_));
    old.Step("dropping old lines");
    pendingDropped_ += static_cast<uint64_t>(sqlite3_changes(db));
}

void TsdbQueue::OnCommitted() {
    if (queued_ && committed_) committed_();
    queued_ = false;
    if (pendingDropped_ == 0) return;
    const uint64_t before = dropped_.fetch_add(pendingDropped_, std::memory_order_relaxed);
    const uint64_t after = before + pendingDropped_;
    pendingDropped_ = 0;
    // At a falling rate: whenever the total passes a power of two.
    if (BitLength(after) > BitLength(before) && say_)
        say_("tsdb: queue bound reached (" + std::to_string(maxRows_) + " lines, " +
                 std::to_string(maxAge_.count() / 1000) + " s): dropped the oldest, " +
                 std::to_string(after) + " dropped so far",
             Priority::kWarning);
}
