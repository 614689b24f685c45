#pragma once
// Alarm levels' names as the site file gives them, for every sink that shows a level.
#include <map>
#include <string>

#include <json/value.h>

#include "core/json_check.h"

// The member "levelNames" of `object` ({ "1": "critical", ... }), whose own path is `parent`
// ("" at the top); empty when absent. Fails through `file`, naming the member.
std::map<int, std::string> ParseLevelNames(const JsonFile& file, const Json::Value& object,
                                           const std::string& parent);
