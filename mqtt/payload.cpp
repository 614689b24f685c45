#include "mqtt/payload.h"

#include <charconv>
#include <cstdlib>
#include <ctime>

#include <json/writer.h>

#include "core/alarm_value.h"

namespace mqtt_payload {

namespace {

std::string Compact(const Json::Value& v) {
    static const Json::StreamWriterBuilder w = [] {
        Json::StreamWriterBuilder b;
        b["indentation"] = "";
        b["emitUTF8"] = true;
        // Fifteen digits: a scaled reading (5721 * 0.01) shows as 57.21, not with binary noise.
        b["precision"] = 15;
        return b;
    }();
    return Json::writeString(w, v);
}

std::string Hex(const unsigned char* p, std::size_t n) {
    static const char d[] = "0123456789ABCDEF";
    std::string s(2 * n, '0');
    for (std::size_t i = 0; i < n; ++i) {
        s[2 * i] = d[p[i] >> 4];
        s[2 * i + 1] = d[p[i] & 15];
    }
    return s;
}

Json::Value Head(const std::string& site, const std::string& epoch, unsigned int dataId,
                 uint64_t seq, WallTime at) {
    Json::Value v;
    v["schema"] = kSchema;
    v["site"] = site;
    v["device"] = dataId;
    v["epoch"] = epoch;
    v["seq"] = Json::UInt64(seq);
    v["time"] = IsoTime(at);
    v["ts"] = Json::Int64(EpochMs(at));
    return v;
}

}  // namespace

std::string DeviceTopic(const std::string& prefix, const std::string& site, unsigned int dataId,
                        const char* kind) {
    return (prefix.empty() ? "" : prefix + "/") + site + "/" + std::to_string(dataId) + "/" + kind;
}

std::string StatusTopic(const std::string& prefix, const std::string& site) {
    return (prefix.empty() ? "" : prefix + "/") + site + "/status";
}

int64_t EpochMs(WallTime t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

std::string IsoTime(WallTime t) {
    const int64_t ms = EpochMs(t);
    const std::time_t s = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    gmtime_r(&s, &tm);
    char buf[40];
    const std::size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    std::snprintf(buf + n, sizeof buf - n, ".%03dZ", static_cast<int>(ms % 1000));
    return buf;
}

double Shortest(double v) {
    const float f = static_cast<float>(v);
    if (static_cast<double>(f) != v) return v;
    char buf[32];
    const auto end = std::to_chars(buf, buf + sizeof buf - 1, f).ptr;
    *end = '\0';
    return std::strtod(buf, nullptr);
}

std::string Description(const std::string& site, const std::string& epoch,
                        const DeviceDescription& d) {
    Json::Value v;
    v["schema"] = kSchema;
    v["site"] = site;
    v["device"] = d.dataId;
    v["epoch"] = epoch;
    v["model"] = d.model;
    v["port"] = d.port;
    v["started"] = d.started;
    Json::Value& list = v["signals"] = Json::Value(Json::arrayValue);
    for (const SignalField& f : d.signals->Fields()) {
        Json::Value s;
        s["id"] = f.id.empty() ? f.name : f.id;
        s["name"] = f.name;
        s["en"] = f.en;
        s["unit"] = f.unit;
        list.append(s);
    }
    return Compact(v);
}

std::string Record(const std::string& site, const std::string& epoch, const RecordOut& r,
                   uint64_t seq, const SignalMap* signals, bool raw) {
    Json::Value v = Head(site, epoch, r.dataId, seq, r.at);
    v["type"] = r.typeId;
    Json::Value& values = v["values"] = Json::Value(Json::objectValue);
    if (r.values && signals) {
        for (const SignalField& f : signals->Fields())
            if (const Json::Value* x = r.values->find(f.name.data(), f.name.data() + f.name.size()))
                values[f.id.empty() ? f.name : f.id] = Shortest(x->asDouble());
    } else if (r.values) {
        values = *r.values;
    }
    if (raw) v["hex"] = Hex(r.bytes, r.len);
    return Compact(v);
}

std::string AlarmMessage(const std::string& site, const std::string& epoch, const Alarm& a,
                         uint64_t seq) {
    Json::Value v = Head(site, epoch, a.dataId, seq, a.at);
    v["event"] = a.raised ? "raised" : "cleared";
    v["level"] = a.level;
    if (!a.levelName.empty()) v["levelName"] = a.levelName;
    v["signal"] = a.alarmId;
    // A digital alarm has no name but its id.
    v["name"] = a.name == a.alarmId ? "" : a.name;
    const auto x = AlarmNumber(a.value);
    v["value"] = x ? Json::Value(Shortest(*x)) : Json::Value(a.value);
    if (a.threshold) v["threshold"] = Shortest(*a.threshold);
    v["text"] = a.text;
    return Compact(v);
}

std::string Report(const std::string& site, const std::string& epoch, const ReportOut& r,
                   uint64_t seq) {
    Json::Value v = Head(site, epoch, r.dataId, seq, r.at);
    v["signal"] = r.signalId;
    v["value"] = Shortest(r.value);
    return Compact(v);
}

std::string Online(const std::string& site, const std::string& epoch, WallTime now,
                   const std::map<unsigned int, DeviceHealth>& devices, const Json::Value& outbox) {
    Json::Value v;
    v["schema"] = kSchema;
    v["site"] = site;
    v["epoch"] = epoch;
    v["state"] = "online";
    v["time"] = IsoTime(now);
    v["ts"] = Json::Int64(EpochMs(now));
    Json::Value& list = v["devices"] = Json::Value(Json::arrayValue);
    for (const auto& [id, h] : devices) {
        Json::Value d;
        d["device"] = id;
        d["model"] = h.model;
        d["portOpen"] = h.portOpen;
        d["rounds"] = Json::UInt64(h.roundsStarted);
        d["completed"] = Json::UInt64(h.roundsCompleted);
        d["lastGoodRound"] =
            h.lastGoodRound ? Json::Value(IsoTime(*h.lastGoodRound)) : Json::Value();
        d["lastError"] = h.lastError;
        Json::Value& e = d["errors"] = Json::Value(Json::objectValue);
        for (const auto& [kind, n] : h.errors) e[kind] = Json::UInt64(n);
        list.append(d);
    }
    v["outbox"] = outbox;
    return Compact(v);
}

std::string Offline(const std::string& site, const std::string& epoch, WallTime at) {
    Json::Value v;
    v["schema"] = kSchema;
    v["site"] = site;
    v["epoch"] = epoch;
    v["state"] = "offline";
    v["time"] = IsoTime(at);
    v["ts"] = Json::Int64(EpochMs(at));
    return Compact(v);
}

bool SameState(const DeviceHealth& a, const DeviceHealth& b) {
    return a.model == b.model && a.port == b.port && a.portOpen == b.portOpen &&
           a.lastError.empty() == b.lastError.empty();
}

}  // namespace mqtt_payload
