#include "snmp/mib_view.h"

#include <cmath>
#include <limits>

namespace {

// Under the base: 0 notifications, 1 objects; under objects, one arc per table. Column
// numbers as in SMDHOST-MIB.
enum Table : unsigned long { kDevices = 1, kSignals = 2, kAlarms = 3 };
enum DeviceColumn : unsigned long {
    kModel = 2,
    kPort = 3,
    kStatus = 4,
    kLastGood = 5,
    kRounds = 6,
    kErrors = 7
};
enum SignalColumn : unsigned long {
    kSignalId = 2,
    kName = 3,
    kValue = 4,
    kPrecision = 5,
    kUnit = 6,
    kSignalStatus = 7,
    kTime = 8
};
enum AlarmColumn : unsigned long {
    kAlarmId = 2,
    kDevice = 3,
    kSignal = 4,
    kLevel = 5,
    kAlarmValue = 6,
    kText = 7,
    kSince = 8,
    kLevelName = 9,
    kThreshold = 10,
    kThresholdPrecision = 11,
    kThresholdStatus = 12
};

Oid Column(const Oid& base, Table t, unsigned long column,
           std::initializer_list<unsigned long> index) {
    Oid o = base;
    o.insert(o.end(), {1, t, 1, column});
    o.insert(o.end(), index);
    return o;
}

// DisplayString and SnmpAdminString hold 255 octets; cut at a character's start.
MibValue Text(const std::string& s) {
    std::size_t n = std::min<std::size_t>(s.size(), 255);
    while (n < s.size() && n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
    return {MibValue::kString, 0, s.substr(0, n)};
}
MibValue Int(int64_t v) {
    return {MibValue::kInteger, v, {}};
}
MibValue Unsigned(uint64_t v) {
    return {MibValue::kUnsigned, static_cast<int64_t>(v & 0xFFFFFFFFu), {}};
}
// Counter32 wraps by definition; managers take differences.
MibValue Counter(uint64_t v) {
    return {MibValue::kCounter, static_cast<int64_t>(v & 0xFFFFFFFFu), {}};
}
MibValue Seconds(const std::optional<WallTime>& t) {
    if (!t) return Unsigned(0);
    const auto s = std::chrono::duration_cast<std::chrono::seconds>(t->time_since_epoch()).count();
    return Unsigned(s > 0 ? static_cast<uint64_t>(s) : 0);
}

uint64_t Errors(const SnmpDevice& d) {
    uint64_t n = 0;
    if (d.health)
        for (const auto& [kind, count] : d.health->errors) n += count;
    return n;
}

void AddDevice(MibView& v, const Oid& base, const SnmpDevice& d, DeviceStatus status) {
    const unsigned long id = d.description.dataId;
    v[Column(base, kDevices, kModel, {id})] = Text(d.description.model);
    v[Column(base, kDevices, kPort, {id})] = Text(d.description.port);
    v[Column(base, kDevices, kStatus, {id})] = Int(static_cast<int>(status));
    v[Column(base, kDevices, kLastGood, {id})] =
        Seconds(d.health ? d.health->lastGoodRound : std::nullopt);
    v[Column(base, kDevices, kRounds, {id})] = Counter(d.health ? d.health->roundsCompleted : 0);
    v[Column(base, kDevices, kErrors, {id})] = Counter(Errors(d));
}

void AddSignals(MibView& v, const Oid& base, const SnmpDevice& d) {
    const unsigned long id = d.description.dataId;
    const auto& fields = d.description.signals->Fields();
    for (std::size_t i = 0; i < fields.size() && i < 65535; ++i) {
        const SignalField& f = fields[i];
        const unsigned long n = i + 1;
        const FixedPoint fp =
            ToFixed(i < d.values.size() ? d.values[i] : std::nullopt, PrecisionOf(f.scale));
        v[Column(base, kSignals, kSignalId, {id, n})] = Text(f.id);
        v[Column(base, kSignals, kName, {id, n})] = Text(f.name);
        v[Column(base, kSignals, kValue, {id, n})] = Int(fp.value);
        v[Column(base, kSignals, kPrecision, {id, n})] = Int(fp.precision);
        v[Column(base, kSignals, kUnit, {id, n})] = Text(f.unit);
        v[Column(base, kSignals, kSignalStatus, {id, n})] = Int(static_cast<int>(fp.status));
        v[Column(base, kSignals, kTime, {id, n})] =
            Seconds(fp.status == SignalStatus::kNoValue ? std::nullopt : d.valuesAt);
    }
}

}  // namespace

DeviceStatus StatusOf(const SnmpDevice& d, WallTime now, std::chrono::seconds stale) {
    if (!d.description.started) return DeviceStatus::kNotStarted;
    if (!d.health || !d.health->portOpen) return DeviceStatus::kPortClosed;
    if (!d.health->lastGoodRound || now - *d.health->lastGoodRound > stale)
        return DeviceStatus::kStale;
    return DeviceStatus::kOk;
}

int PrecisionOf(double scale) {
    if (!(scale > 0) || scale >= 1) return 0;
    // 0.05 needs two places, as 0.01 does; the epsilon keeps 0.1 at one.
    const int p = static_cast<int>(std::ceil(-std::log10(scale) - 1e-9));
    return std::min(p, 9);
}

int DecimalsOf(double v) {
    // Limits are held as float: the fewest places that give the same float back (55.3, not
    // 55.29999923706055).
    for (int p = 0; p < 9; ++p) {
        const double k = std::pow(10.0, p);
        if (static_cast<float>(std::round(v * k) / k) == static_cast<float>(v)) return p;
    }
    return 9;
}

FixedPoint ToFixed(const std::optional<double>& v, int precision) {
    FixedPoint f;
    f.precision = precision;
    if (!v) return f;
    const double scaled = std::round(*v * std::pow(10.0, precision));
    if (!std::isfinite(scaled) || scaled > std::numeric_limits<int32_t>::max() ||
        scaled < std::numeric_limits<int32_t>::min()) {
        f.status = SignalStatus::kOutOfRange;
        return f;
    }
    f.value = static_cast<int32_t>(scaled);
    f.status = SignalStatus::kOk;
    return f;
}

MibView BuildView(const SnmpSnapshot& s, const Oid& base, WallTime now,
                  std::chrono::seconds stale) {
    MibView v;
    for (const auto& [id, d] : s.devices) {
        AddDevice(v, base, d, StatusOf(d, now, stale));
        AddSignals(v, base, d);
    }
    for (const auto& [index, a] : s.alarms)
        for (auto& [oid, value] : AlarmVars(base, a)) v[oid] = std::move(value);
    return v;
}

Oid NotificationOid(const Oid& base, Notification n) {
    Oid o = base;
    o.insert(o.end(), {0, static_cast<unsigned long>(n)});
    return o;
}

VarBinds AlarmVars(const Oid& base, const SnmpAlarm& a) {
    const unsigned long i = a.index;
    const FixedPoint limit = ToFixed(
        a.threshold, a.threshold && std::isfinite(*a.threshold) ? DecimalsOf(*a.threshold) : 0);
    return {{Column(base, kAlarms, kAlarmId, {i}), Text(a.alarmId)},
            {Column(base, kAlarms, kDevice, {i}), Unsigned(a.dataId)},
            {Column(base, kAlarms, kSignal, {i}), Text(a.name)},
            {Column(base, kAlarms, kLevel, {i}), Int(a.level)},
            {Column(base, kAlarms, kAlarmValue, {i}), Text(a.value)},
            {Column(base, kAlarms, kText, {i}), Text(a.text)},
            {Column(base, kAlarms, kSince, {i}), Seconds(a.at)},
            {Column(base, kAlarms, kLevelName, {i}), Text(a.levelName)},
            {Column(base, kAlarms, kThreshold, {i}), Int(limit.value)},
            {Column(base, kAlarms, kThresholdPrecision, {i}), Int(limit.precision)},
            {Column(base, kAlarms, kThresholdStatus, {i}), Int(static_cast<int>(limit.status))}};
}

VarBinds DeviceVars(const Oid& base, const SnmpDevice& d, DeviceStatus status) {
    MibView v;
    AddDevice(v, base, d, status);
    VarBinds out;
    for (unsigned long c : {kModel, kPort, kStatus, kLastGood})
        out.emplace_back(*v.find(Column(base, kDevices, c, {d.description.dataId})));
    return out;
}

std::vector<std::pair<Oid, VarBinds>> DeviceWatch::Update(const SnmpSnapshot& snap, const Oid& base,
                                                          WallTime now,
                                                          std::chrono::seconds stale) {
    std::vector<std::pair<Oid, VarBinds>> out;
    changed_ = false;
    for (const auto& [id, d] : snap.devices) {
        const DeviceStatus s = StatusOf(d, now, stale);
        const auto prev = status_.find(id);
        if (prev != status_.end() && prev->second != s) {
            changed_ = true;
            const bool down = s == DeviceStatus::kStale || s == DeviceStatus::kPortClosed;
            if (prev->second == DeviceStatus::kOk && down && lost_.insert(id).second)
                out.emplace_back(NotificationOid(base, Notification::kDeviceLost),
                                 DeviceVars(base, d, s));
            if (s == DeviceStatus::kOk && lost_.erase(id))
                out.emplace_back(NotificationOid(base, Notification::kDeviceBack),
                                 DeviceVars(base, d, s));
        }
        status_[id] = s;
    }
    return out;
}
