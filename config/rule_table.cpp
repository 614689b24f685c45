// The four threshold rule tables of settings mode 5.
#include "config/rule_table.h"

#include <climits>
#include <cstdlib>

namespace {

struct TableKeys {
    const char* value;
    const char* recovery;
    const char* level;
    const char* suffix;  // appended to the rule's "ID" to form the alarm id
};

// In the order the tables are filled and evaluated: up, up2, low, low2.
constexpr TableKeys kTableKeys[] = {
    {"UpValue", "UpReconverValue", "UpAlarmLevel", "001"},
    {"Up2Value", "Up2ReconverValue", "Up2AlarmLevel", "002"},
    {"LowValue", "LowReconverValue", "LowAlarmLevel", "003"},
    {"Low2Value", "Low2ReconverValue", "Low2AlarmLevel", "004"},
};

// Text of a required member, or "" when it is absent or null. An object or array has no text
// form and makes the JSON library throw.
std::string RequiredText(const Json::Value& object, const char* key) {
    const Json::Value& v = object[key];
    return v.isNull() ? std::string() : v.asString();
}

}  // namespace

int SettingInt(const std::string& text) {
    const long v = std::strtol(text.c_str(), nullptr, 10);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

float SettingFloat(const std::string& text) {
    return static_cast<float>(std::strtod(text.c_str(), nullptr));
}

void AddThresholdRule(const Json::Value& rule, const std::string& name, const std::string& id,
                      const char* valueKey, const char* recoveryKey, const char* levelKey,
                      const char* suffix, SignalThresholdMap* table) {
    if (!rule.isObject()) return;
    const Json::Value& v = rule[valueKey];
    const Json::Value& r = rule[recoveryKey];
    const Json::Value& l = rule[levelKey];
    if (v.isNull() || r.isNull() || l.isNull()) return;
    const std::string value = v.asString();
    const std::string recovery = r.asString();
    const std::string level = l.asString();
    if (value.empty() || recovery.empty() || level.empty()) return;
    // Replacing the whole tuple also clears the alarm-active flag of an existing rule.
    (*table)[name] = std::make_tuple(id + suffix, SettingFloat(value), SettingFloat(recovery),
                                     false, SettingInt(level));
}

void BuildRuleTables(const Json::Value& settings, SignalThresholdMap& up, SignalThresholdMap& up2,
                     SignalThresholdMap& low, SignalThresholdMap& low2) {
    SignalThresholdMap* const tables[] = {&up, &up2, &low, &low2};
    for (SignalThresholdMap* t : tables) t->clear();
    if (!settings.isObject()) return;
    const Json::Value& rules = settings["thresholdSetting"];
    if (!rules.isObject()) return;
    // Member order is ascending by name, so a later rule for the same signal wins per table.
    for (const Json::Value& rule : rules) {
        if (!rule.isObject()) continue;
        const std::string id = RequiredText(rule, "ID");
        if (id.empty()) continue;
        const std::string name = RequiredText(rule, "SignalName");
        if (name.empty()) continue;
        for (int i = 0; i < 4; ++i) {
            const TableKeys& k = kTableKeys[i];
            AddThresholdRule(rule, name, id, k.value, k.recovery, k.level, k.suffix, tables[i]);
        }
    }
}
