// PLACEHOLDER: the host's alarm handling; the alarm work completes it.
#include "host/smd_vdevice.h"
#include "runtime/vdevice_runtime.h"

void SMDVDevice::CheckThreshold(const std::string& alarmId, const std::string& name,
                                const float& value, int level) {
    vrt_->Notify([&](HostObserver& o) { o.OnCheckThreshold(alarmId, name, value, level); });
}

void SMDVDevice::CheckThresholdBool(int level, const std::string& name, const std::string& alarmId,
                                    const std::string& value, const std::string& text, bool state,
                                    unsigned short sequence) {
    vrt_->Notify([&](HostObserver& o) {
        o.OnCheckThresholdBool(level, name, alarmId, value, text, state, sequence);
    });
}

void SMDVDevice::CheckAOReport(const std::string& signalId, float value) {
    vrt_->Notify([&](HostObserver& o) { o.OnCheckAOReport(signalId, value); });
}

bool SMDVDevice::DoBatchCheckThreshold(const std::vector<rule_value>& rules) {
    vrt_->Notify([&](HostObserver& o) { o.OnDoBatchCheckThreshold(rules); });
    return false;
}

void SMDVDevice::SetThresholdLimit(const std::string& alarmId, float lower, float upper) {
    vrt_->limits[alarmId] = ThresholdLimit{lower, upper};
}

bool SMDVDevice::AlarmActive(const std::string& alarmId) const {
    const auto it = vrt_->alarmState.find(alarmId);
    return it != vrt_->alarmState.end() && it->second;
}
