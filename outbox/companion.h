#pragma once
// Something that keeps rows of its own in the history database, written in the same transaction
// as the history rows they belong to (the forwarders' queues, for the broker and for a time-series
// database: a message is queued if and only if its row is stored).
#include <cstdint>

#include "core/sink.h"

struct sqlite3;

// A history row just inserted; exactly one of the pointers is set. They point at the writer's
// own copies and are valid during the call only.
struct HistoryRow {
    int64_t rowId = 0;  // in its own table (history, alarm_events or analog_reports)
    const RecordOut* record = nullptr;
    const Alarm* alarm = nullptr;
    const ReportOut* report = nullptr;
};

class HistoryCompanion {
  public:
    virtual ~HistoryCompanion() = default;
    // Once, on the writer's connection, before any row: create its tables.
    virtual void Prepare(sqlite3* db) = 0;
    // On the writer's thread inside its open transaction, right after the row was inserted.
    // Throwing rolls the whole transaction back; the writer retries it as any failed write.
    virtual void OnStored(sqlite3* db, const HistoryRow& row) = 0;
    // After a transaction committed: what it wrote is durable.
    virtual void OnCommitted() {}
};
