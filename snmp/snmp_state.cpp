#include "snmp/snmp_state.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

SnmpState::SnmpState() {
    if (::pipe2(pipe_, O_NONBLOCK | O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("snmp: cannot make a pipe: ") + std::strerror(errno));
}

SnmpState::~SnmpState() {
    for (int fd : pipe_)
        if (fd >= 0) ::close(fd);
}

void SnmpState::Wake() const {
    const char b = 1;
    // A full pipe already wakes the reader.
    [[maybe_unused]] const ssize_t n = ::write(pipe_[1], &b, 1);
}

void SnmpState::ClearWake() const {
    char buf[64];
    while (::read(pipe_[0], buf, sizeof buf) > 0) {
    }
}

void SnmpState::SetDevices(const std::vector<DeviceDescription>& devices) {
    std::lock_guard<std::mutex> lock(mu_);
    std::map<unsigned int, SnmpDevice> next;
    for (const auto& d : devices) {
        SnmpDevice& n = next[d.dataId];
        // A reloaded device keeps its health; its values only while its signal map is the same.
        const auto old = snap_.devices.find(d.dataId);
        if (old != snap_.devices.end()) {
            n.health = old->second.health;
            if (old->second.description.signals == d.signals) {
                n.values = old->second.values;
                n.valuesAt = old->second.valuesAt;
            }
        }
        n.description = d;
    }
    snap_.devices = std::move(next);
    ++version_;
}

void SnmpState::Record(const RecordOut& r) {
    if (!r.values) return;
    std::lock_guard<std::mutex> lock(mu_);
    const auto it = snap_.devices.find(r.dataId);
    if (it == snap_.devices.end()) return;
    SnmpDevice& d = it->second;
    const auto& fields = d.description.signals->Fields();
    d.values.resize(fields.size());
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const Json::Value& v = (*r.values)[fields[i].name];
        if (v.isNumeric()) d.values[i] = v.asDouble();
    }
    d.valuesAt = r.at;
    ++version_;
}

void SnmpState::Health(const DeviceHealth& h) {
    std::lock_guard<std::mutex> lock(mu_);
    const auto it = snap_.devices.find(h.dataId);
    if (it == snap_.devices.end()) return;
    it->second.health = h;
    ++version_;
}

void SnmpState::OnAlarm(const Alarm& a) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        const auto key = std::make_pair(a.dataId, a.alarmId);
        const auto known = indexOf_.find(key);
        SnmpAlarm row;
        static_cast<Alarm&>(row) = a;
        if (a.raised) {
            row.index = known != indexOf_.end() ? known->second : nextIndex_++;
            if (nextIndex_ == 0) nextIndex_ = 1;  // the index is 1.. in the MIB
            indexOf_[key] = row.index;
            snap_.alarms[row.index] = row;
        } else {
            if (known == indexOf_.end()) return;  // a clearing of an alarm never seen raised
            row.index = known->second;
            row.at = snap_.alarms[row.index].at;
            snap_.alarms.erase(row.index);
            indexOf_.erase(known);
        }
        ++version_;
        // A standing alarm found at start is state for the table, not news.
        if (a.restored) return;
        notices_.push_back({a.raised, row});
        if (notices_.size() > kMaxQueued) {
            notices_.pop_front();
            ++dropped_;
        }
    }
    Wake();
}

std::optional<SnmpSnapshot> SnmpState::Changed(uint64_t& version) const {
    std::lock_guard<std::mutex> lock(mu_);
    if (version == version_) return std::nullopt;
    version = version_;
    return snap_;
}

std::deque<AlarmNotice> SnmpState::TakeNotices() {
    std::lock_guard<std::mutex> lock(mu_);
    return std::exchange(notices_, {});
}

uint64_t SnmpState::DroppedNotices() const {
    std::lock_guard<std::mutex> lock(mu_);
    return dropped_;
}
