#pragma once
// Threshold rule tables built from the host's "thresholdSetting".
#include <map>
#include <string>
#include <tuple>

#include <json/value.h>

// Signal name -> (alarm id, threshold, recovery value, alarm active, alarm level).
using SignalThresholdMap = std::map<std::string, std::tuple<std::string, float, float, bool, int>>;

// Adds (or replaces) the rule of one table for one signal when the rule object carries all three
// of its keys with non-empty texts; otherwise leaves the table as it is.
void AddThresholdRule(const Json::Value& rule, const std::string& name, const std::string& id,
                      const char* valueKey, const char* recoveryKey, const char* levelKey,
                      const char* suffix, SignalThresholdMap* table);

// Empties the four tables and refills them from settings["thresholdSetting"].
void BuildRuleTables(const Json::Value& settings, SignalThresholdMap& up, SignalThresholdMap& up2,
                     SignalThresholdMap& low, SignalThresholdMap& low2);

// Setting texts read as numbers: leading blanks skipped, reading stops at the first character
// that does not fit, no number gives 0. Integers saturate at the int range as on a 32-bit long.
int SettingInt(const std::string& text);
float SettingFloat(const std::string& text);
