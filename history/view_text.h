#pragma once
// How the history views write times, numbers and fields, for people and for programs.
#include <ostream>
#include <string>

#include <json/value.h>

#include "core/signal_map.h"
#include "core/sink.h"
#include "store/history_reader.h"

namespace views {

// Local time, "2026-12-08 14:30:15".
std::string Local(WallTime t);
// The shortest text that reads back as the same value; a value the unit sent as a float is
// written as that float (54.6, not 54.599998474121094).
std::string Number(double v);
// A value for a JSON document: the double the shortest text above stands for.
double Exact(double v);
// A CSV field, quoted only when it must be (RFC 4180).
std::string Csv(const std::string& v);
// The document, indented, with every value Exact() gives back in its shortest form.
void WriteJson(const Json::Value& v, std::ostream& out);

// An alarm event as the JSON views write it.
Json::Value AlarmJson(const StoredAlarm& a);
// One record field by field: its signals decoded with `map`, then every block in hex.
void DumpRecord(const StoredRecord& r, const SignalMap& map, std::ostream& out);

}  // namespace views
