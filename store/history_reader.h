#pragma once
// Reads the history database without ever changing it: for the history views, the status page
// and anything else that looks back while a host writes. Works on a read-only file or a copy of
// one; an empty or foreign file is an error, never given tables.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "store/aggregates.h"
#include "store/rows.h"

struct sqlite3;
struct sqlite3_stmt;

class HistoryReader {
  public:
    // Throws StoreError naming the path when it is missing or holds no history.
    explicit HistoryReader(const std::string& path);
    ~HistoryReader();
    HistoryReader(const HistoryReader&) = delete;
    HistoryReader& operator=(const HistoryReader&) = delete;

    const std::string& Path() const { return path_; }

    std::optional<StoredRecord> Record(int64_t id) const;
    std::optional<StoredRecord> LastRecord(unsigned int dataId) const;
    // The newest `limit` records of a device within `range`, oldest first.
    std::vector<StoredRecord> Records(unsigned int dataId, const TimeRange& range,
                                      std::size_t limit) const;
    std::vector<StoredRecord> Records(unsigned int dataId, std::size_t limit) const {
        return Records(dataId, TimeRange{}, limit);
    }
    std::size_t RecordCount(unsigned int dataId, const TimeRange& range = {}) const;

    // Of one device, or of all when `dataId` is empty; the newest `limit`, oldest first.
    std::vector<StoredAlarm> Alarms(std::optional<unsigned int> dataId, const TimeRange& range,
                                    std::size_t limit) const;
    std::vector<StoredAnalogReport> AnalogReports(std::optional<unsigned int> dataId,
                                                  const TimeRange& range, std::size_t limit) const;
    std::vector<StoredAlarm> Alarms(unsigned int dataId) const {
        return Alarms(dataId, TimeRange{}, kAll);
    }
    std::vector<StoredAnalogReport> AnalogReports(unsigned int dataId) const {
        return AnalogReports(dataId, TimeRange{}, kAll);
    }
    static constexpr std::size_t kAll = static_cast<std::size_t>(INT64_MAX);
    // What stands now, oldest first.
    std::vector<StoredAlarm> ActiveAlarms(std::optional<unsigned int> dataId) const;
    // A device's per-signal aggregates of one step (store/aggregates.h).
    std::vector<history::AggregateRow> Aggregates(unsigned int dataId, int64_t stepS,
                                                  const TimeRange& range, std::size_t limit) const {
        return history::ReadAggregates(db_, dataId, stepS, range, limit);
    }
    // Data ids with any row, ascending.
    std::vector<unsigned int> Devices() const;

  private:
    int Open(bool immutable);  // an SQLite result code
    int OpenPrivateCopy();
    bool HasTable(const char* name) const;
    [[noreturn]] void Fail(const std::string& what) const;

    std::string path_;
    std::string openPath_;  // path_, or the private copy
    // Removed with the reader, also when its constructor throws.
    struct CopyDir {
        std::string path;
        ~CopyDir();
    } copyDir_;
    sqlite3* db_ = nullptr;
    std::string RecordColumns() const;
    StoredRecord ReadRecord(sqlite3_stmt* s) const;

    bool hasState_ = false;
    bool hasPacking_ = false;
    mutable int64_t keyId_ = 0;
    mutable std::vector<unsigned char> key_;
};
