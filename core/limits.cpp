#include "core/limits.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <utility>

#include <json/value.h>

namespace {

// In settings mode 1 the device asks the host to check each analog value against the host's own
// limits, by alarm id. The host takes them from the same "thresholdSetting" rules the device
// reads in mode 5: "ID" is the alarm id, "UpValue" and "LowValue" the limits.
Limits LimitsFromSettings(const Json::Value& settings) {
    Limits out;
    const Json::Value& rules = settings["thresholdSetting"];
    if (!rules.isObject()) return out;
    auto number = [](const Json::Value& v, float fallback) {
        if (!v.isString() && !v.isNumeric()) return fallback;
        const std::string s = v.asString();
        return s.empty() ? fallback : static_cast<float>(std::strtod(s.c_str(), nullptr));
    };
    for (const auto& name : rules.getMemberNames()) {
        const Json::Value& r = rules[name];
        if (!r.isObject() || !(r["ID"].isString() || r["ID"].isNumeric())) continue;
        const std::string id = r["ID"].asString();
        if (id.empty() || (r["UpValue"].isNull() && r["LowValue"].isNull())) continue;
        out[id] =
            ThresholdLimitConfig{number(r["LowValue"], -std::numeric_limits<float>::infinity()),
                                 number(r["UpValue"], std::numeric_limits<float>::infinity())};
    }
    return out;
}

}  // namespace

Limits AllLimits(const DeviceConfig& c) {
    Limits out = LimitsFromSettings(c.settings);
    for (const auto& [id, l] : c.limits) out[id] = l;
    return out;
}

std::map<std::string, SignalLimits> LimitsBySignal(const DeviceConfig& c) {
    std::map<std::string, SignalLimits> out;
    const Json::Value& rules = c.settings["thresholdSetting"];
    if (!rules.isObject()) return out;
    const Limits site = c.limits;
    for (const Json::Value& r : rules) {
        if (!r.isObject() || !r["SignalName"].isString()) continue;
        SignalLimits& signal = out[r["SignalName"].asString()];
        std::vector<double>& lines = signal.thresholds;
        for (const char* key : {"UpValue", "Up2Value", "LowValue", "Low2Value"}) {
            const Json::Value& v = r[key];
            if (!v.isString() && !v.isNumeric()) continue;
            const std::string text = v.asString();
            char* end = nullptr;
            const double x = std::strtod(text.c_str(), &end);
            if (!text.empty() && *end == '\0' && std::isfinite(x)) lines.push_back(x);
        }
        if (r["ID"].isString() || r["ID"].isNumeric()) {
            const std::string id = r["ID"].asString();
            for (const char* suffix : {"", "001", "002", "003", "004"})
                signal.alarmIds.push_back(id + suffix);
            if (const auto it = site.find(id); it != site.end())
                for (const float x : {it->second.lower, it->second.upper})
                    if (std::isfinite(x)) lines.push_back(x);
        }
        std::sort(lines.begin(), lines.end());
        lines.erase(std::unique(lines.begin(), lines.end()), lines.end());
    }
    return out;
}

Thresholds::Thresholds(const DeviceConfig& c) : limits_(AllLimits(c)) {
    // A mode-5 rule's alarm ids are its "ID" with the suffix of each of its four values.
    static constexpr std::pair<const char*, const char*> kValues[] = {
        {"UpValue", "001"}, {"Up2Value", "002"}, {"LowValue", "003"}, {"Low2Value", "004"}};
    const Json::Value& rules = c.settings["thresholdSetting"];
    if (!rules.isObject()) return;
    for (const Json::Value& r : rules) {
        if (!r.isObject() || !(r["ID"].isString() || r["ID"].isNumeric())) continue;
        for (const auto& [key, suffix] : kValues) {
            const Json::Value& v = r[key];
            if (!v.isString() && !v.isNumeric()) continue;
            const std::string text = v.asString();
            if (!text.empty())
                rules_[r["ID"].asString() + suffix] = std::strtof(text.c_str(), nullptr);
        }
    }
}

std::optional<double> Thresholds::Crossed(const std::string& alarmId,
                                          const std::string& value) const {
    if (const auto rule = rules_.find(alarmId); rule != rules_.end()) return rule->second;
    const auto it = limits_.find(alarmId);
    if (it == limits_.end() || value.empty()) return std::nullopt;
    char* end = nullptr;
    // The runtime compares as float; so does this, or a value equal to the limit in float
    // but not in double would name no limit.
    const float v = std::strtof(value.c_str(), &end);
    if (end == value.c_str() || *end != '\0' || std::isnan(v)) return std::nullopt;
    if (v > it->second.upper) return it->second.upper;
    if (v < it->second.lower) return it->second.lower;
    return std::nullopt;
}
