#pragma once
// A signal's values over a time range, read back from the history database and decoded with
// the device's signal map, thinned to at most a requested number of points for a chart.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/signal_map.h"
#include "core/sink.h"

class HistoryReader;

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

// Thins `in` (oldest first, one sample each) to at most `points`: consecutive runs of about the
// same length become one point each. Fewer samples than points come back as they are.
std::vector<HistoryPoint> Downsample(const std::vector<HistoryPoint>& in, std::size_t points);

class SignalHistory {
  public:
    // Opens the database read-only on first use, so a host that has stored nothing yet serves
    // the rest of its pages.
    explicit SignalHistory(std::string databasePath);
    ~SignalHistory();
    SignalHistory(const SignalHistory&) = delete;
    SignalHistory& operator=(const SignalHistory&) = delete;

    // Any thread; throws HistoryQueryError when the database cannot be read.
    std::vector<HistoryPoint> Query(unsigned int dataId, const SignalField& signal, WallTime from,
                                    WallTime to, std::size_t points);

  private:
    std::string path_;
    std::mutex mu_;
    std::unique_ptr<HistoryReader> reader_;
};
