#pragma once
// The writing end of the history database: one connection, used by one thread at a time (the
// history sink's writer). Rows go in inside transactions the caller opens and commits, so a
// whole commit window costs one flush.
#include <atomic>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "store/rows.h"

struct sqlite3;
struct sqlite3_stmt;

// What the database said when a statement failed: the kind decides whether to retry.
class StoreFailure : public StoreError {
  public:
    StoreFailure(const std::string& what, int code) : StoreError(what), code_(code) {}
    int Code() const { return code_; }  // SQLite's primary result code
    // Busy or locked by another connection: waiting helps.
    bool Busy() const;

  private:
    int code_;
};

// A file the host must not write and waiting will not change: a path that cannot be a
// database, another program's file, one of a newer version. Nothing in it was changed.
class StoreRefused : public StoreError {
  public:
    using StoreError::StoreError;
};

struct RetentionLimits {
    int64_t maxAgeMs = 0;           // records; 0: no age limit
    uint64_t maxRowsPerDevice = 0;  // 0: no row limit
    int64_t eventMaxAgeMs = 0;      // alarm events and reports; 0: no age limit
    // The file's pages in use at most, and the file system's free bytes at least: past either,
    // the oldest records go whatever their age (events and aggregates stay).
    uint64_t maxBytes = 0;
    uint64_t minFreeBytes = 0;
    int64_t fineMaxAgeMs = 0;    // 5-minute aggregates; 0: no age limit
    int64_t coarseMaxAgeMs = 0;  // hourly aggregates; 0: no age limit
};

class HistoryStore {
  public:
    // Opens or creates the database for writing, judging the file before changing anything.
    // Throws StoreRefused for a path that cannot be ours (missing directory, read-only, another
    // program's file, a newer version) and StoreFailure for what may pass (locked, full,
    // damaged, an I/O error). A statement waits for another connection's lock up to
    // `busyTimeoutMs`, and no longer once `*stop` is set (a stop request must not wait on it).
    explicit HistoryStore(const std::string& path, int busyTimeoutMs = 5000,
                          const std::atomic<bool>* stop = nullptr);
    ~HistoryStore();
    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;

    sqlite3* Db() const { return db_; }
    const std::string& Path() const { return path_; }

    void Begin();
    void Commit();
    void Rollback() noexcept;

    int64_t AddRecord(unsigned int dataId, int typeId, WallTime at, const unsigned char* bytes,
                      std::size_t len);
    // Also raises or clears the alarm in the table of standing alarms.
    int64_t AddAlarm(const StoredAlarm& alarm);
    int64_t AddAnalogReport(unsigned int dataId, WallTime at, const std::string& signalId,
                            double value);

    // The cleared events that end the standing alarms of every device not in `site`, to be
    // stored as any event (so the companions see them too).
    std::vector<Alarm> EndsOfOthers(const std::set<unsigned int>& site, WallTime now) const;

    std::optional<StoredRecord> LastRecord(unsigned int dataId) const;
    std::vector<StoredAlarm> StandingAlarms(unsigned int dataId) const;

    // Deletes at most `step` rows of each table that lie beyond the limits, oldest first;
    // returns how many went. Inside the caller's transaction.
    uint64_t Prune(const RetentionLimits& limits, WallTime now, std::size_t step);
    // Bytes in the pages in use, and free on the file system that holds the file.
    uint64_t UsedBytes() const;
    uint64_t FreeDiskBytes() const;
    // Gives free pages back to the file system once more than `freePages` are free.
    void ShrinkIfLoose(int64_t freePages);

  private:
    // A device's key record: the one its next records are deflated against.
    struct Key {
        int64_t rowId = 0;
        int since = 0;  // records stored with it, itself included
        std::vector<unsigned char> bytes;
    };

    // The record's own bytes from columns col (blob), col + 1 (packing), col + 2 (base).
    std::vector<unsigned char> Unpacked(sqlite3_stmt* s, int col) const;
    // A pruned key record is nobody's base any more.
    void ForgetKey(int64_t rowId);
    // Before key record `keyId` of `dataId` goes: the records deflated against it that stay
    // (not in `going`) get the first of them as their key.
    void Rekey(unsigned int dataId, int64_t keyId, const std::set<int64_t>& going);
    int64_t Pragma(sqlite3_stmt* s) const;  // a one-number PRAGMA
    void Exec(const char* sql, const char* what);
    sqlite3_stmt* Prepare(const char* sql);
    [[noreturn]] void Fail(const std::string& what) const;
    void Close();

    std::string path_;
    sqlite3* db_ = nullptr;
    std::vector<sqlite3_stmt*> statements_;
    sqlite3_stmt* insertRecord_ = nullptr;
    sqlite3_stmt* insertAlarm_ = nullptr;
    sqlite3_stmt* insertReport_ = nullptr;
    sqlite3_stmt* raise_ = nullptr;
    sqlite3_stmt* clear_ = nullptr;
    sqlite3_stmt* lastRecord_ = nullptr;
    sqlite3_stmt* standing_ = nullptr;
    sqlite3_stmt* freePages_ = nullptr;
    sqlite3_stmt* pageCount_ = nullptr;
    sqlite3_stmt* keyRecord_ = nullptr;
    std::map<unsigned int, Key> keys_;         // committed
    std::map<unsigned int, Key> pendingKeys_;  // within the open transaction
    int64_t pageSize_ = 4096;
    std::pair<int, const std::atomic<bool>*> busy_;  // the wait's limit in ms, the stop request
};
