// Analog-output reports: a reading goes to the host when it left its band around the last
// reported value or when the report period has run out.
#include "alarm/ao_report.h"

#include <ctime>
#include <utility>

#include "device/rtmk48_pv05.h"

bool AOReportDue(const SMDVDevice::BAOSetting& s, float v, std::time_t now) {
    const float last = s.lastValue;
    if (s.absEnable && (v > last + s.absDelta || v < last - s.absDelta)) return true;
    if (s.pctEnable) {
        // Product first, then the division, in single precision.
        float upper = (100.0f + s.pctDelta) * last / 100.0f;
        float lower = (100.0f - s.pctDelta) * last / 100.0f;
        // Below zero the scaled limits trade places; measure the band from the magnitude so a
        // negative last value does not report every reading.
        if (last < 0.0f) std::swap(upper, lower);
        if (v > upper || v < lower) return true;
    }
    // In double: a float holds present-day epoch seconds only in steps of 128.
    return s.periodEnable &&
           static_cast<double>(now) >
               static_cast<double>(s.lastTime) + static_cast<double>(s.periodMinutes) * 60.0;
}

template <class Record, class Base, int TypeId>
bool UniDataDevice<Record, Base, TypeId>::CheckAOReport(const std::string& fallbackId,
                                                        const std::string& signalId, float value) {
    auto& settings = this->aoSettingMap_;
    if (settings.empty()) return false;
    auto it = settings.find(signalId);
    if (it == settings.end()) {
        // The signal takes a copy of the fallback's setting once and keeps its own from then on.
        const auto fallback = settings.find(fallbackId);
        if (fallback == settings.end()) return false;
        it = settings.emplace(signalId, fallback->second).first;
    }
    SMDVDevice::BAOSetting& s = it->second;
    if (!AOReportDue(s, value, std::time(nullptr))) return false;
    s.lastValue = value;
    s.lastTime = static_cast<uint32_t>(std::time(nullptr));
    this->SMDVDevice::CheckAOReport(signalId, value);
    return true;
}

template bool RTMK48_PV05_Base::CheckAOReport(const std::string&, const std::string&, float);
