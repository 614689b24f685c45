#pragma once
// The site file's "history" member.
#include <json/value.h>

#include "core/json_check.h"
#include "runner/site_config.h"

// Fails through `file`, naming the member, on anything out of range or unknown.
HistoryConfig ParseHistory(const JsonFile& file, const Json::Value& history);
