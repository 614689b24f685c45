#pragma once
// The rows of the history database as the writer and the readers see them, and its schema.
#include <chrono>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/sink.h"

class StoreError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct StoredRecord {
    int64_t id = 0;
    unsigned int dataId = 0;
    int typeId = 0;
    WallTime storedAt;
    std::vector<unsigned char> bytes;
};

// `at` is when it was stored; for a standing alarm, when it was raised.
struct StoredAlarm : Alarm {
    int64_t id = 0;  // 0 for a standing alarm
};

struct StoredAnalogReport {
    int64_t id = 0;
    unsigned int dataId = 0;
    WallTime storedAt;
    std::string signalId;
    double value = 0.0;
};

// Both ends included; milliseconds since the epoch, as stored.
struct TimeRange {
    int64_t sinceMs = std::numeric_limits<int64_t>::min();
    int64_t untilMs = std::numeric_limits<int64_t>::max();
};

namespace history {

int64_t ToMs(WallTime t);
WallTime FromMs(int64_t ms);

}  // namespace history
