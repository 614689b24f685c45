#pragma once
// `smdhost history` and `smdhost alarms`: the database read back for people and programs.
// Both only read (see HistoryReader). `args` are the words after the subcommand's name.
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "core/sink.h"

int HistoryCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int AlarmsCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// A point in time from the command line: "2026-12-08", "2026-12-08 14:30[:15]" (also with a
// "T"), local time; "now"; or an age such as "90s", "15m", "2h", "7d" (that long before `now`).
std::optional<WallTime> ParseWhen(const std::string& text, WallTime now);
