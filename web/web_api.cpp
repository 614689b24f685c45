#include "web/web_api.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <optional>

#include <json/writer.h>

#include "web/metrics.h"

namespace {

std::string Iso(WallTime t) {
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
    const std::time_t s = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    gmtime_r(&s, &tm);
    char buf[80];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(ms % 1000));
    return buf;
}

Json::Value Time(const std::optional<WallTime>& t) {
    return t ? Json::Value(Iso(*t)) : Json::Value();
}

double Seconds(WallTime::duration d) {
    return std::chrono::duration<double>(d).count();
}

WebResponse Ok(const Json::Value& v) {
    Json::StreamWriterBuilder w;
    w["indentation"] = "";
    w["emitUTF8"] = true;
    w["precision"] = 10;
    WebResponse r;
    r.body = Json::writeString(w, v) + "\n";
    r.headers["Cache-Control"] = "no-store";
    return r;
}

int FromHex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Percent-decoding, '+' as a space; false on a broken escape.
bool Unescape(const std::string& in, std::string& out) {
    out.clear();
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (in[i] == '+') {
            out += ' ';
        } else if (in[i] == '%') {
            const int hi = i + 1 < in.size() ? FromHex(in[i + 1]) : -1;
            const int lo = i + 2 < in.size() ? FromHex(in[i + 2]) : -1;
            if (hi < 0 || lo < 0) return false;
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else {
            out += in[i];
        }
    }
    return true;
}

bool ParseQuery(const std::string& q, std::map<std::string, std::string>& out) {
    std::size_t at = 0;
    while (at < q.size()) {
        std::size_t end = q.find('&', at);
        if (end == std::string::npos) end = q.size();
        const std::string pair = q.substr(at, end - at);
        const std::size_t eq = pair.find('=');
        std::string k, v;
        if (!Unescape(pair.substr(0, eq), k) ||
            !Unescape(eq == std::string::npos ? "" : pair.substr(eq + 1), v))
            return false;
        if (!k.empty()) out[k] = v;
        at = end + 1;
    }
    return true;
}

std::optional<double> Number(const std::string& s) {
    if (s.empty()) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(s.c_str(), &end);
    if (errno != 0 || end != s.c_str() + s.size() || !std::isfinite(v)) return std::nullopt;
    return v;
}

std::optional<unsigned int> DataId(const std::string& s) {
    if (s.empty() || s.size() > 10 || s.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const unsigned long long v = std::strtoull(s.c_str(), nullptr, 10);
    if (v > 0xFFFFFFFFull) return std::nullopt;
    return static_cast<unsigned int>(v);
}

Json::Value AlarmJson(const LiveAlarm& a, const char* timeKey) {
    Json::Value v;
    v[timeKey] = Iso(a.at);
    v["level"] = a.level;
    v["id"] = a.alarmId;
    v["name"] = a.name;
    v["value"] = a.value;
    v["text"] = a.text;
    return v;
}

Json::Value HealthJson(const LiveDevice& d, WallTime now, int staleSeconds) {
    const DeviceHealth& h = d.health;
    Json::Value v;
    v["dataId"] = h.dataId;
    v["model"] = h.model;
    v["port"] = h.port;
    v["portOpen"] = h.portOpen;
    v["roundsStarted"] = Json::UInt64(h.roundsStarted);
    v["roundsCompleted"] = Json::UInt64(h.roundsCompleted);
    v["lastGoodRound"] = Time(h.lastGoodRound);
    const std::optional<double> age =
        h.lastGoodRound ? std::optional<double>(Seconds(now - *h.lastGoodRound)) : std::nullopt;
    v["lastGoodRoundAgeSeconds"] = age ? Json::Value(*age) : Json::Value();
    v["stale"] = !age || *age > staleSeconds;
    v["errors"] = Json::Value(Json::objectValue);
    for (const auto& [kind, n] : h.errors) v["errors"][kind] = Json::UInt64(n);
    v["lastError"] = h.lastError;
    v["activeAlarms"] = static_cast<Json::UInt>(d.active.size());
    return v;
}

Json::Value ValuesJson(const LiveDevice& d) {
    Json::Value v;
    v["dataId"] = d.health.dataId;
    v["at"] = Time(d.valuesAt);
    v["values"] = Json::Value(Json::arrayValue);
    for (const auto& s : d.values) {
        Json::Value x;
        x["name"] = s.name;
        x["unit"] = s.unit;
        x["value"] = s.value ? Json::Value(*s.value) : Json::Value();
        v["values"].append(x);
    }
    return v;
}

Json::Value AlarmsJson(const LiveDevice& d) {
    Json::Value v;
    v["dataId"] = d.health.dataId;
    v["alarms"] = Json::Value(Json::arrayValue);
    for (const auto& a : d.active) v["alarms"].append(AlarmJson(a, "since"));
    return v;
}

Json::Value EventsJson(const LiveDevice& d) {
    Json::Value v;
    v["dataId"] = d.health.dataId;
    v["events"] = Json::Value(Json::arrayValue);
    for (auto it = d.events.rbegin(); it != d.events.rend(); ++it) {
        Json::Value e = AlarmJson(*it, "at");
        e["raised"] = it->raised;
        v["events"].append(e);
    }
    return v;
}

}  // namespace

WebApi::WebApi(const LiveState& live, const std::vector<Sink*>& sinks,
               std::map<unsigned int, SignalMap> maps, SignalHistory* history, StaticFiles files,
               WebApiOptions options)
    : live_(live),
      sinks_(sinks),
      maps_(std::move(maps)),
      history_(history),
      files_(std::move(files)),
      options_(std::move(options)) {}

WebResponse WebApi::Answer(const WebRequest& request) const {
    if (request.target.size() > kMaxTarget)
        return JsonError(414,
                         "request target longer than " + std::to_string(kMaxTarget) + " bytes");
    if (request.method != "GET" && request.method != "HEAD") {
        WebResponse r = JsonError(405, "method " + request.method + " not allowed: read-only");
        r.headers["Allow"] = "GET, HEAD";
        return r;
    }
    const std::size_t q = request.target.find('?');
    const std::string path = request.target.substr(0, q);
    std::map<std::string, std::string> query;
    if (q != std::string::npos && !ParseQuery(request.target.substr(q + 1), query))
        return JsonError(400, "malformed query string");
    return Route(path, query, std::chrono::system_clock::now());
}

WebResponse WebApi::Route(const std::string& path, const std::map<std::string, std::string>& query,
                          WallTime now) const {
    const auto param = [&](const char* k) {
        const auto it = query.find(k);
        return it == query.end() ? std::optional<std::string>() : it->second;
    };

    if (path == "/metrics") {
        WebResponse r;
        r.contentType = "text/plain; version=0.0.4; charset=utf-8";
        r.body = PrometheusText(live_.Devices(), sinks_, now, options_.staleSeconds);
        r.headers["Cache-Control"] = "no-store";
        return r;
    }
    if (path.rfind("/api/", 0) != 0) {
        if (const StaticFile* f = files_.Find(path)) {
            WebResponse r;
            r.contentType = f->contentType;
            r.body = f->body;
            r.headers["Cache-Control"] = "no-cache";
            return r;
        }
        return JsonError(404, "no such page: " + path);
    }
    if (path == "/api/history") return History(query, now);

    // One device, or all: /api/devices/ID, or ?device=ID on the lists.
    std::vector<LiveDevice> devices;
    std::string what = path.substr(5);
    std::optional<std::string> id = param("device");
    if (what.rfind("devices/", 0) == 0) {
        id = what.substr(8);
        what = "device";
    }
    if (id) {
        const auto dataId = DataId(*id);
        std::optional<LiveDevice> d = dataId ? live_.Device(*dataId) : std::nullopt;
        if (!d) return JsonError(404, "no device with data id " + *id);
        devices.push_back(std::move(*d));
    } else {
        devices = live_.Devices();
    }

    Json::Value out;
    out["now"] = Iso(now);
    if (what == "device") {
        const LiveDevice& d = devices.front();
        out = HealthJson(d, now, options_.staleSeconds);
        out["now"] = Iso(now);
        out["at"] = Time(d.valuesAt);
        out["values"] = ValuesJson(d)["values"];
        out["alarms"] = AlarmsJson(d)["alarms"];
        out["events"] = EventsJson(d)["events"];
        return Ok(out);
    }
    Json::Value (*each)(const LiveDevice&) = nullptr;
    if (what == "values") each = ValuesJson;
    if (what == "alarms") each = AlarmsJson;
    if (what == "events") each = EventsJson;
    if (what != "devices" && each == nullptr) return JsonError(404, "no such API: " + path);
    out["devices"] = Json::Value(Json::arrayValue);
    for (const auto& d : devices)
        out["devices"].append(each ? each(d) : HealthJson(d, now, options_.staleSeconds));
    if (what == "devices") {
        out["staleSeconds"] = options_.staleSeconds;
        out["chart"]["hours"] = options_.chartHours;
        out["chart"]["signals"] = Json::Value(Json::arrayValue);
        for (const auto& s : options_.chartSignals) out["chart"]["signals"].append(s);
    }
    return Ok(out);
}

WebResponse WebApi::History(const std::map<std::string, std::string>& query, WallTime now) const {
    const auto get = [&](const char* k) {
        const auto it = query.find(k);
        return it == query.end() ? std::string() : it->second;
    };
    const std::string id = get("device");
    const std::string name = get("signal");
    if (id.empty() || name.empty()) return JsonError(400, "give device and signal");
    const auto dataId = DataId(id);
    if (!dataId || !live_.Device(*dataId)) return JsonError(404, "no device with data id " + id);
    const auto map = maps_.find(*dataId);
    const SignalField* field = nullptr;
    if (map != maps_.end())
        for (const auto& f : map->second.Fields())
            if (f.name == name) field = &f;
    if (field == nullptr) return JsonError(404, "device " + id + " has no signal " + name);

    // Unix seconds; zero or less counts back from now ("from=-3600": the last hour).
    const auto when = [&](const char* k, double fallback) -> std::optional<WallTime> {
        const std::string s = get(k);
        const auto v = s.empty() ? std::optional<double>(fallback) : Number(s);
        if (!v || std::fabs(*v) > 1e11) return std::nullopt;
        const auto d =
            std::chrono::duration_cast<WallTime::duration>(std::chrono::duration<double>(*v));
        return *v <= 0 ? now + d : WallTime(d);
    };
    const auto from = when("from", -3600.0 * options_.chartHours);
    const auto to = when("to", 0);
    if (!from || !to)
        return JsonError(400,
                         "from and to are Unix seconds, or seconds back from "
                         "now when zero or less");
    if (*from >= *to) return JsonError(400, "from must lie before to");
    const std::string p = get("points");
    const auto points = p.empty() ? std::optional<double>(300) : Number(p);
    if (!points || *points < 1 || *points > kMaxPoints || *points != std::floor(*points))
        return JsonError(400,
                         "points must be a whole number from 1 to " + std::to_string(kMaxPoints));
    if (history_ == nullptr) return JsonError(503, "no history database");

    std::vector<HistoryPoint> rows;
    try {
        rows = history_->Query(*dataId, *field, *from, *to, static_cast<std::size_t>(*points));
    } catch (const HistoryQueryError& e) {
        return JsonError(503, e.what());
    }
    Json::Value out;
    out["dataId"] = *dataId;
    out["signal"] = name;
    out["unit"] = field->unit;
    out["from"] = Iso(*from);
    out["to"] = Iso(*to);
    out["points"] = Json::Value(Json::arrayValue);
    for (const auto& r : rows) {
        Json::Value x;
        x["t"] = Json::Int64(r.atMs);
        x["v"] = r.value;
        x["min"] = r.min;
        x["max"] = r.max;
        x["n"] = static_cast<Json::UInt>(r.samples);
        out["points"].append(x);
    }
    return Ok(out);
}
