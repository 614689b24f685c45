#pragma once
// Where a signal's alarms stood over a chart's range, for the trend's bands: each raise paired
// with its clear, read from the history database's alarm events.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/sink.h"

struct AlarmBand {
    int64_t fromMs = 0;
    int64_t toMs = 0;
    int level = 0;
    std::string alarmId;
};

// Pure: `events` oldest first. An alarm cleared with no raise in range stood from `fromMs`; one
// raised and not cleared stands to `toMs`. An event is the signal's when its alarm id is one of
// the signal's or it names the signal; others are passed over.
std::vector<AlarmBand> AlarmBands(const std::vector<Alarm>& events, const std::string& signal,
                                  const std::vector<std::string>& alarmIds, int64_t fromMs,
                                  int64_t toMs);

// At most this many alarm events are read for one chart.
constexpr std::size_t kMaxBandEvents = 2000;
