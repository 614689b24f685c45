#pragma once
// The history view of per-signal aggregates (`smdhost history --step 5m|1h`), and how a
// report's signal is named.
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "core/signal_map.h"
#include "store/history_reader.h"

namespace views {

// The device's rows of one step in `range`, the newest `limit`, oldest first: per signal in
// `fields` (every signal stored when empty) its minimum, mean, maximum and count. `format` is
// table, json or csv.
void StepRows(const HistoryReader& reader, unsigned int dataId, int64_t stepS,
              const TimeRange& range, std::size_t limit, const std::vector<SignalField>& fields,
              const std::string& format, std::ostream& out);

// A report's signal as people read it: "name (id, unit)" when the map knows the id or name.
std::string SignalLabel(const std::string& signalId, const SignalMap& map);

}  // namespace views
