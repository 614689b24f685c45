#pragma once
// Signals, alarm events and reports as lines of the time-series line protocol (one point a
// line: "measurement,tag=v,... field=v,... <time in ms>"), which the common time-series databases
// take on their HTTP write endpoint. Pure functions; the README's "Fleet" section documents the
// lines.
#include <string>
#include <string_view>

#include "core/sink.h"

namespace line_protocol {

// Escaping, by where the text goes. A line break would end the line, so it becomes a space
// everywhere.
// Measurement: commas and spaces.
std::string Measurement(std::string_view s);
// Tag keys, tag values and field keys: commas, equals signs and spaces.
std::string Key(std::string_view s);
// A string field value, in its double quotes: quotes and backslashes.
std::string Quoted(std::string_view s);
// A float field value: the shortest decimal that reads back the same (a value read from a 32-bit
// float as such: 57.2, not 57.2000008); "" for NaN and infinities, which the protocol lacks.
std::string Number(double v);

// "smd,site=<site>,device=<data id> <signal id>=<value>,... <ms>": every signal of `signals`
// the record has a value for, by id (by name for a signal without one); "" when none.
std::string RecordLine(const std::string& site, const RecordOut& r, const SignalMap* signals);
// "smd_alarm,site=..,device=..,alarm=<alarm id> level=..,raised=1|0,value=<number>,
// name="..",text=".." <ms>"; a value that is no number goes as value_text="..".
std::string AlarmLine(const std::string& site, const Alarm& a);
// "smd_report,site=..,device=..,signal=<signal id> value=<value> <ms>".
std::string ReportLine(const std::string& site, const ReportOut& r);

}  // namespace line_protocol
