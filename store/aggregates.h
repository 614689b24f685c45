#pragma once
// Per-signal aggregates kept for years after the records are gone: for each device, step
// (5 min, 1 h) and step start, one row holding every signal's count, minimum, mean and maximum,
// packed. One row a device a step holds all its signals, so an hour of 8 signals costs some
// 130 bytes instead of 720 records.
//
// The writer accumulates steps in memory from the values the core decoded and writes a step
// when the device's next record falls in a later one, or when the host stops (Flush). A row
// that exists already is merged with, so a restart within a step loses nothing it wrote; a
// power cut loses the open steps' aggregates (the records of that time remain).
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <json/value.h>

#include "store/rows.h"

struct sqlite3;

namespace history {

// Steps kept, in seconds.
constexpr int64_t kFineStepS = 300;
constexpr int64_t kCoarseStepS = 3600;

struct SignalAggregate {
    uint64_t count = 0;
    double min = 0, max = 0, sum = 0;
    void Add(double v);
    void Merge(const SignalAggregate& o);
};

// Signal name id (signal_names) to its aggregate.
using AggregateValues = std::map<int64_t, SignalAggregate>;

std::string PackAggregates(const AggregateValues& values);
// Throws StoreError on a blob that is not one.
AggregateValues UnpackAggregates(const unsigned char* blob, std::size_t len);

// A row as the views and the chart read it.
struct AggregateRow {
    int64_t startMs = 0;
    std::map<std::string, SignalAggregate> values;  // by signal name
};

// A device's rows of one step whose start lies in `range`, the newest `limit`, oldest first.
// Empty on a file without aggregates.
std::vector<AggregateRow> ReadAggregates(sqlite3* db, unsigned int dataId, int64_t stepS,
                                         const TimeRange& range, std::size_t limit);

// Used by one thread (the history writer) inside the transactions it opens.
class Aggregator {
  public:
    // Adds a record's decoded values (name to number) to its device's open steps, writing any
    // step it closes.
    void Add(sqlite3* db, unsigned int dataId, WallTime at, const Json::Value& values);
    // Writes every open step and forgets them (a later record of the same step merges).
    void Flush(sqlite3* db);
    bool Empty() const { return open_.empty(); }
    // Deletes at most `step` rows of each step older than its keep time; 0: kept.
    uint64_t Prune(sqlite3* db, int64_t nowMs, int64_t fineKeepMs, int64_t coarseKeepMs,
                   std::size_t step);

  private:
    struct Open {
        int64_t startMs = 0;
        AggregateValues values;
    };
    int64_t NameId(sqlite3* db, const std::string& name);
    void Write(sqlite3* db, unsigned int dataId, int64_t stepS, const Open& open);

    std::map<std::pair<unsigned int, int64_t>, Open> open_;  // by device and step
    std::map<std::string, int64_t> names_;
};

}  // namespace history
