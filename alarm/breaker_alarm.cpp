// The AC output main breaker state, reported every round under its configured alarm id.
#include "device/rtmk48_pv05.h"

namespace {
const char kBreakerSignal[] = "交流输出主空开状态";
constexpr int kBreakerAlarmLevel = 2;
}  // namespace

void RTMK48_PV05::RunCheckThreshold() {
    if (b_mode_ != 1 && b_mode_ != 3) return;
    const auto it = alarmSignalIdMap_.find(kBreakerSignal);
    if (it == alarmSignalIdMap_.end() || it->second.empty()) return;
    const std::string alarmId = it->second;
    const bool open = reinterpret_cast<const unsigned char*>(&data_)[kBreakerOffset] != 0;
    const unsigned short sequence = ruleSequence_++;
    CheckThresholdBool(kBreakerAlarmLevel, alarmId, alarmId, kBreakerSignal, kBreakerSignal, open,
                       sequence);
}
