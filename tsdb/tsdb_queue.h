#pragma once
// The time-series forwarder's queue: every record, alarm event and report becomes a line in the
// history database, in the transaction that stores its history row, so a line is queued if and
// only if its row is stored. The sender deletes lines once the database accepted them.
//
// A queue of its own rather than the broker's outbox: the two are acknowledged apart (one may be
// down for days while the other takes everything), and each deletes what it sent without
// asking the other. The queue is bounded in rows and age: past a bound the oldest lines are
// dropped, counted and logged; past the row bound, records and reports before alarm events.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "core/logger.h"
#include "outbox/companion.h"

class TsdbQueue : public HistoryCompanion {
  public:
    using Say = std::function<void(const std::string&, Priority)>;

    // `committed` runs after a transaction that queued lines committed (the writer's thread).
    TsdbQueue(std::string siteId, int64_t maxRows, int64_t maxAgeSeconds, Say say,
              std::function<void()> committed);

    // The signal maps records are written with; any thread.
    void SetDevices(const std::vector<DeviceDescription>& devices);

    void Prepare(sqlite3* db) override { CreateTable(db); }
    void OnStored(sqlite3* db, const HistoryRow& row) override;
    void OnCommitted() override;

    // Lines dropped by the bounds since start (committed transactions only).
    uint64_t Dropped() const { return dropped_.load(std::memory_order_relaxed); }

    // Creates the queue's table when missing, for any connection.
    static void CreateTable(sqlite3* db);

  private:
    void Bound(sqlite3* db, int64_t newId);

    const std::string site_;
    const int64_t maxRows_;
    const std::chrono::milliseconds maxAge_;
    const Say say_;
    const std::function<void()> committed_;
    std::mutex mu_;
    std::map<unsigned int, std::shared_ptr<const SignalMap>> signals_;
    // Writer's thread only.
    bool queued_ = false;
    uint64_t pendingDropped_ = 0;
    std::chrono::steady_clock::time_point nextAgeCheck_{};
    std::atomic<uint64_t> dropped_{0};
};
