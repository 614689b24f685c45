#pragma once
// The site file's "history" member.
#include <cstdint>

#include <json/value.h>

#include "core/json_check.h"

// How history is written and how long it is kept.
struct HistoryConfig {
    int keepDays = 14;               // records; 0: kept regardless of age
    uint64_t keepRowsPerDevice = 0;  // 0: no row limit
    int commitWindowMs = 20000;
    int queueLimit = 4096;
    int keepEventDays = 3650;       // alarm events and analog reports; 0: regardless of age
    int keepFiveMinuteDays = 35;    // 5-minute aggregates; 0: regardless of age
    int keepHourDays = 1100;        // hourly aggregates; 0: regardless of age
    int64_t maxMegabytes = 1800;    // 0: no bound
    int64_t minFreeMegabytes = 64;  // 0: no guard
};

// Fails through `file`, naming the member, on anything out of range or unknown.
HistoryConfig ParseHistory(const JsonFile& file, const Json::Value& history);
