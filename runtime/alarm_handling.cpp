// The host's alarm handling: every device call is shown to the observers, and an alarm event is
// raised or cleared only when an alarm id changes state. Devices repeat unchanged states every
// round, so state is kept here, by alarm id.
#include <string>
#include <utility>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/lexical_cast.hpp>

#include "host/smd_vdevice.h"
#include "runtime/vdevice_runtime.h"

namespace {

std::string NumberText(float v) {
    return boost::lexical_cast<std::string>(v);
}

AlarmEvent MakeEvent(int level, const std::string& alarmId, const std::string& name,
                     std::string value, const std::string& text, bool raised,
                     boost::posix_time::ptime time) {
    AlarmEvent e;
    e.level = level;
    e.alarmId = alarmId;
    e.name = name;
    e.value = std::move(value);
    e.text = text;
    e.raised = raised;
    e.time = time;
    return e;
}

}  // namespace

boost::posix_time::ptime VDeviceRuntime::LocalNow() {
    return boost::posix_time::second_clock::local_time();
}

bool VDeviceRuntime::UpdateAlarm(const std::string& alarmId, bool active, const std::string& text) {
    std::lock_guard<std::mutex> lock(alarmMutex);
    if (active) {
        alarmText[alarmId] = text;
    } else {
        alarmText.erase(alarmId);
    }
    bool& held = alarmState[alarmId];
    if (held == active) return false;
    held = active;
    return true;
}

void SMDVDevice::CheckThreshold(const std::string& alarmId, const std::string& name,
                                const float& value, int level) {
    vrt_->Notify([&](HostObserver& o) { o.OnCheckThreshold(alarmId, name, value, level); });
    rule_value rule;
    rule.alarmId = alarmId;
    rule.name = name;
    rule.value = value;
    rule.level = level;
    {
        std::lock_guard<std::mutex> lock(vrt_->alarmMutex);
        const auto it = vrt_->limits.find(alarmId);
        if (it != vrt_->limits.end()) {
            // Strict on both sides; NaN lies beyond neither limit.
            const ThresholdLimit& limit = it->second;
            if (value > limit.upper) {
                rule.active = true;
                rule.text = "当前值" + NumberText(value) + "高于阈值:" + NumberText(limit.upper);
            } else if (value < limit.lower) {
                rule.active = true;
                rule.text = "当前值" + NumberText(value) + "低于阈值:" + NumberText(limit.lower);
            }
        }
    }
    pendingRules_.push_back(std::move(rule));
}

void SMDVDevice::CheckThresholdBool(int level, const std::string& name, const std::string& alarmId,
                                    const std::string& value, const std::string& text, bool state,
                                    unsigned short sequence) {
    vrt_->Notify([&](HostObserver& o) {
        o.OnCheckThresholdBool(level, name, alarmId, value, text, state, sequence);
    });
    if (!vrt_->UpdateAlarm(alarmId, state, text)) return;
    alarmChanged_ = true;
    const AlarmEvent e = MakeEvent(level, alarmId, name, value, text, state, vrt_->clock());
    vrt_->Notify([&](HostObserver& o) { o.OnAlarm(e); });
}

void SMDVDevice::CheckAOReport(const std::string& signalId, float value) {
    vrt_->Notify([&](HostObserver& o) { o.OnCheckAOReport(signalId, value); });
    const boost::posix_time::ptime now = vrt_->clock();
    vrt_->Notify([&](HostObserver& o) { o.OnAnalogReport(signalId, value, now); });
}

bool SMDVDevice::DoBatchCheckThreshold(const std::vector<rule_value>& rules) {
    vrt_->Notify([&](HostObserver& o) { o.OnDoBatchCheckThreshold(rules); });
    bool changed = false;
    for (const rule_value& r : rules) {
        if (!vrt_->UpdateAlarm(r.alarmId, r.active, r.text)) continue;
        changed = true;
        const AlarmEvent e = MakeEvent(r.level, r.alarmId, r.name, NumberText(r.value), r.text,
                                       r.active, vrt_->clock());
        vrt_->Notify([&](HostObserver& o) { o.OnAlarm(e); });
    }
    return changed;
}

void SMDVDevice::SetThresholdLimit(const std::string& alarmId, float lower, float upper) {
    std::lock_guard<std::mutex> lock(vrt_->alarmMutex);
    vrt_->limits[alarmId] = ThresholdLimit{lower, upper};
}

bool SMDVDevice::AlarmActive(const std::string& alarmId) const {
    std::lock_guard<std::mutex> lock(vrt_->alarmMutex);
    const auto it = vrt_->alarmState.find(alarmId);
    return it != vrt_->alarmState.end() && it->second;
}

void SMDVDevice::RestoreAlarm(const std::string& alarmId, const std::string& text) {
    std::lock_guard<std::mutex> lock(vrt_->alarmMutex);
    vrt_->alarmState[alarmId] = true;
    vrt_->alarmText[alarmId] = text;
}

void SMDVDevice::SetAOReport(const std::string& signalId, const BAOSetting& setting) {
    aoSettingMap_[signalId] = setting;
}
