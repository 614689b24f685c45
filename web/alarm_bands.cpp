#include "web/alarm_bands.h"

#include <algorithm>
#include <chrono>
#include <map>

std::vector<AlarmBand> AlarmBands(const std::vector<Alarm>& events, const std::string& signal,
                                  const std::vector<std::string>& alarmIds, int64_t fromMs,
                                  int64_t toMs) {
    std::vector<AlarmBand> out;
    std::map<std::string, AlarmBand> open;  // by alarm id
    for (const Alarm& a : events) {
        if (a.name != signal &&
            std::find(alarmIds.begin(), alarmIds.end(), a.alarmId) == alarmIds.end())
            continue;
        const int64_t at = std::clamp(
            std::chrono::duration_cast<std::chrono::milliseconds>(a.at.time_since_epoch()).count(),
            fromMs, toMs);
        const auto it = open.find(a.alarmId);
        if (a.raised) {
            if (it == open.end()) open[a.alarmId] = AlarmBand{at, toMs, a.level, a.alarmId};
            continue;
        }
        if (it != open.end()) {
            it->second.toMs = at;
            out.push_back(it->second);
            open.erase(it);
        } else {
            out.push_back(AlarmBand{fromMs, at, a.level, a.alarmId});
        }
    }
    for (auto& [id, band] : open) out.push_back(band);
    std::sort(out.begin(), out.end(),
              [](const AlarmBand& a, const AlarmBand& b) { return a.fromMs < b.fromMs; });
    return out;
}
