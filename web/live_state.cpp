#include "web/live_state.h"

#include <algorithm>

LiveState::LiveState(std::vector<LiveDeviceSpec> devices) {
    devices_.reserve(devices.size());
    for (auto& spec : devices) {
        LiveDevice d;
        d.health.dataId = spec.dataId;
        d.health.model = spec.model;
        d.health.port = spec.port;
        for (auto& s : spec.signals) d.values.push_back(LiveValue{s.name, s.unit, std::nullopt});
        index_[spec.dataId] = devices_.size();
        devices_.push_back(std::move(d));
    }
}

LiveDevice* LiveState::Find(unsigned int dataId) {
    const auto it = index_.find(dataId);
    return it == index_.end() ? nullptr : &devices_[it->second];
}

void LiveState::OnRecord(const RecordOut& r) {
    if (r.values == nullptr) return;
    std::lock_guard<std::mutex> lock(mu_);
    LiveDevice* d = Find(r.dataId);
    if (d == nullptr) return;
    d->valuesAt = r.at;
    for (LiveValue& v : d->values)
        if (const Json::Value* found = r.values->find(v.name.data(), v.name.data() + v.name.size());
            found != nullptr && found->isNumeric())
            v.value = found->asDouble();
}

void LiveState::OnAlarm(const AlarmOut& a) {
    LiveAlarm alarm{a.at, a.level, a.alarmId, a.name, a.value, a.text, a.raised};
    std::lock_guard<std::mutex> lock(mu_);
    LiveDevice* d = Find(a.dataId);
    if (d == nullptr) return;
    auto it = std::find_if(d->active.begin(), d->active.end(),
                           [&](const LiveAlarm& x) { return x.alarmId == a.alarmId; });
    if (a.raised) {
        if (it == d->active.end())
            d->active.push_back(alarm);
        else
            *it = alarm;
    } else if (it != d->active.end()) {
        d->active.erase(it);
    }
    // A restored alarm is standing state, not something that happened now.
    if (a.restored) return;
    if (d->events.size() == kEvents) d->events.pop_front();
    d->events.push_back(std::move(alarm));
}

void LiveState::OnHealth(const DeviceHealth& h) {
    std::lock_guard<std::mutex> lock(mu_);
    if (LiveDevice* d = Find(h.dataId)) d->health = h;
}

std::vector<LiveDevice> LiveState::Devices() const {
    std::lock_guard<std::mutex> lock(mu_);
    return devices_;
}

std::optional<LiveDevice> LiveState::Device(unsigned int dataId) const {
    std::lock_guard<std::mutex> lock(mu_);
    const auto it = index_.find(dataId);
    if (it == index_.end()) return std::nullopt;
    return devices_[it->second];
}
