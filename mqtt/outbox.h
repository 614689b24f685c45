#pragma once
// The forwarder's outbox: every record, alarm event and report becomes a message row in the
// history database, in the transaction that stores its history row, so a message is queued if
// and only if its row is stored. The sender deletes a row once the broker acknowledged it.
// A message refers to its history row (kind, row id, seq and what the row does not hold) rather
// than copying it: the sender builds topic and payload from the row (outbox_message.h), so a
// record costs the outbox some tens of bytes instead of some hundreds. Rows from before hold
// topic and payload as they are sent, and are sent as they are.
//
// Each device's messages of one kind carry a sequence number without gaps (kept in the database,
// so it goes on after a restart) and the stream's epoch, made with the outbox: a consumer drops
// the duplicates a resend after a crash brings, and tells a new store (numbers from 1 again under
// a new epoch) from a resend.
// The outbox is bounded in rows and age: past a bound the oldest messages are dropped, counted
// and logged; past the row bound, records and reports before alarms.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "core/logger.h"
#include "outbox/companion.h"

class Outbox : public HistoryCompanion {
  public:
    using Say = std::function<void(const std::string&, Priority)>;

    Outbox(int64_t maxRows, int64_t maxAgeSeconds, Say say);

    void Prepare(sqlite3* db) override;
    void OnStored(sqlite3* db, const HistoryRow& row) override;
    void OnCommitted() override;

    // Messages dropped by the bounds since start (committed transactions only).
    uint64_t Dropped() const { return dropped_.load(std::memory_order_relaxed); }

    // Creates the outbox tables when missing, for any connection; returns the stream's epoch.
    static std::string CreateTables(sqlite3* db);

  private:
    void Queue(sqlite3* db, const HistoryRow& row, unsigned int dataId, WallTime at,
               const Alarm* alarm);
    void Bound(sqlite3* db, int64_t newId);

    const int64_t maxRows_;
    const std::chrono::milliseconds maxAge_;
    const Say say_;
    // Writer's thread only.
    uint64_t pendingDropped_ = 0;
    std::chrono::steady_clock::time_point nextAgeCheck_{};
    std::atomic<uint64_t> dropped_{0};
};
