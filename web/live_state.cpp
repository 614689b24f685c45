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

void LiveState::OnDevices(const std::vector<DeviceDescription>& devices) {
    // Read before the lock: the web's thread does not wait for the store.
    std::vector<unsigned int> added;
    {
        std::lock_guard<std::mutex> lock(mu_);
        for (const DeviceDescription& desc : devices)
            if (Find(desc.dataId) == nullptr) added.push_back(desc.dataId);
    }
    std::map<unsigned int, std::vector<Alarm>> recalled;
    if (recall_ && !added.empty()) recalled = recall_(added);
    std::lock_guard<std::mutex> lock(mu_);
    for (const DeviceDescription& desc : devices) {
        LiveDevice* d = Find(desc.dataId);
        if (d == nullptr) {
            index_[desc.dataId] = devices_.size();
            devices_.emplace_back();
            d = &devices_.back();
            d->health.dataId = desc.dataId;
            d->health.model = desc.model;
            d->health.port = desc.port;
            const std::vector<Alarm>& events = recalled[desc.dataId];
            const std::size_t n = std::min(events.size(), kEvents);
            d->events.assign(events.end() - static_cast<std::ptrdiff_t>(n), events.end());
        }
        limits_[desc.dataId] = desc.limits;
        std::shared_ptr<const SignalMap>& map = maps_[desc.dataId];
        if (map == desc.signals) continue;
        map = desc.signals;
        d->values.clear();
        d->valuesAt.reset();
        if (map)
            for (const auto& f : map->Fields())
                d->values.push_back(LiveValue{f.name, f.unit, std::nullopt});
    }
}

std::shared_ptr<const SignalMap> LiveState::Map(unsigned int dataId) const {
    std::lock_guard<std::mutex> lock(mu_);
    const auto it = maps_.find(dataId);
    return it == maps_.end() ? nullptr : it->second;
}

std::vector<std::string> LiveState::FirstSignals(std::size_t n) const {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<std::string> out;
    for (const LiveDevice& d : devices_) {
        for (std::size_t i = 0; i < d.values.size() && i < n; ++i) out.push_back(d.values[i].name);
        if (!out.empty()) break;
    }
    return out;
}

SignalLimits LiveState::Limits(unsigned int dataId, const std::string& signal) const {
    std::lock_guard<std::mutex> lock(mu_);
    const auto it = limits_.find(dataId);
    if (it == limits_.end()) return {};
    const auto s = it->second.find(signal);
    return s == it->second.end() ? SignalLimits() : s->second;
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

void LiveState::OnAlarm(const Alarm& a) {
    Alarm alarm = a;
    std::lock_guard<std::mutex> lock(mu_);
    LiveDevice* d = Find(a.dataId);
    if (d == nullptr) return;
    auto it = std::find_if(d->active.begin(), d->active.end(),
                           [&](const Alarm& x) { return x.alarmId == a.alarmId; });
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

namespace {

// The device without its events, then only the newest `events` of them.
LiveDevice Copy(const LiveDevice& d, std::size_t events) {
    LiveDevice out;
    out.health = d.health;
    out.valuesAt = d.valuesAt;
    out.values = d.values;
    out.active = d.active;
    const std::size_t n = std::min(events, d.events.size());
    out.events.assign(d.events.end() - static_cast<std::ptrdiff_t>(n), d.events.end());
    return out;
}

}  // namespace

std::vector<LiveDevice> LiveState::Devices(std::size_t events) const {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<LiveDevice> out;
    out.reserve(devices_.size());
    for (const auto& d : devices_) out.push_back(Copy(d, events));
    return out;
}

std::optional<LiveDevice> LiveState::Device(unsigned int dataId, std::size_t events) const {
    std::lock_guard<std::mutex> lock(mu_);
    const auto it = index_.find(dataId);
    if (it == index_.end()) return std::nullopt;
    return Copy(devices_[it->second], events);
}
