#pragma once
// A signal's values over a time range, read back from the history database and decoded with
// the device's signal map, in at most a requested number of time buckets for a chart. The
// buckets are aggregated by SQLite while it reads, so no request holds more than one bucket's
// worth of rows, and a request stops at a cap on rows read and on time, saying so.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/signal_map.h"
#include "core/sink.h"

struct sqlite3;

class HistoryQueryError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct HistoryPoint {
    int64_t atMs = 0;  // Unix time, ms: the mean of the stored times it stands for
    double value = 0;  // mean
    double min = 0;
    double max = 0;
    std::size_t samples = 0;
};

struct HistoryLimits {
    // No request reads more rows than this: each bucket reads at most its first
    // rowCap / buckets rows, and the answer says when a bucket held more.
    std::size_t rowCap = 50000;
    // Past this the buckets read so far are answered, marked partial.
    std::chrono::milliseconds time{800};
};

struct HistoryAnswer {
    std::vector<HistoryPoint> points;  // oldest first; buckets without rows are left out
    int64_t firstMs = 0;               // buckets start here, at the first row in range,
    int64_t bucketMs = 0;              // and are this long
    std::size_t rowsRead = 0;
    bool sampled = false;  // a bucket reached its share of the cap: not every row was read
    bool partial = false;  // the time ran out: buckets after the last point were not read
    int64_t stepMs = 0;    // 0: read from the records; else from aggregates of this step
};

class SignalHistory {
  public:
    // Opens the database read-only for each query, so a host that has stored nothing yet
    // serves the rest of its pages.
    explicit SignalHistory(std::string databasePath, HistoryLimits limits = {});

    // Any thread, one query at a time; throws HistoryQueryError when the database cannot be
    // read. `from` and `to` are Unix ms, both included.
    HistoryAnswer Query(unsigned int dataId, const SignalField& signal, int64_t fromMs,
                        int64_t toMs, std::size_t buckets);

  private:
    // The buckets from the aggregates of one step, between the first and last step start.
    void FromAggregates(sqlite3* db, unsigned int dataId, const SignalField& signal, int64_t stepS,
                        int64_t firstMs, int64_t lastMs, std::size_t buckets,
                        HistoryAnswer& out) const;

    std::string path_;
    HistoryLimits limits_;
    std::mutex mu_;
};
