#include "web/web_api.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <optional>

#include "store/history_reader.h"
#include "store/rows.h"
#include "web/alarm_bands.h"
#include "web/json_out.h"
#include "web/metrics.h"
#include "web/query_string.h"
#include "web/utf8.h"

namespace {

using LevelNames = std::map<int, std::string>;

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

double Seconds(WallTime::duration d) {
    return std::chrono::duration<double>(d).count();
}

void Time(JsonOut& j, const std::optional<WallTime>& t) {
    if (t)
        j.String(Iso(*t));
    else
        j.Null();
}

WebResponse Ok(std::string body) {
    WebResponse r;
    r.body = std::move(body);
    r.body += '\n';
    r.headers["Cache-Control"] = "no-store";
    return r;
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

// An alarm read back from the store has no level name: the site file's names stand in.
void AlarmJson(JsonOut& j, const Alarm& a, const char* timeKey, const LevelNames& names) {
    j.BeginObject().Key(timeKey).String(Iso(a.at)).Key("level").Int(int64_t{a.level});
    const auto named = names.find(a.level);
    j.Key("levelName")
        .String(!a.levelName.empty()   ? a.levelName
                : named != names.end() ? named->second
                                       : std::string());
    j.Key("id").String(a.alarmId).Key("name").String(a.name).Key("value").String(a.value);
    j.Key("threshold");
    if (a.threshold)
        j.Number(*a.threshold);
    else
        j.Null();
    j.Key("text").String(a.text);
}

// The members of a device's health, into an open object.
void Health(JsonOut& j, const LiveDevice& d, WallTime now, int staleSeconds) {
    const DeviceHealth& h = d.health;
    j.Key("dataId").Int(uint64_t{h.dataId}).Key("model").String(h.model);
    j.Key("port").String(h.port).Key("portOpen").Bool(h.portOpen);
    j.Key("roundsStarted").Int(h.roundsStarted).Key("roundsCompleted").Int(h.roundsCompleted);
    j.Key("lastGoodRound");
    Time(j, h.lastGoodRound);
    j.Key("lastGoodRoundAgeSeconds");
    const std::optional<double> age =
        h.lastGoodRound ? std::optional<double>(Seconds(now - *h.lastGoodRound)) : std::nullopt;
    if (age)
        j.Number(*age);
    else
        j.Null();
    j.Key("stale").Bool(!age || *age > staleSeconds);
    j.Key("errors").BeginObject();
    for (const auto& [kind, n] : h.errors) j.Key(kind).Int(n);
    j.EndObject().Key("lastError").String(h.lastError);
    j.Key("activeAlarms").Int(uint64_t{d.active.size()});
}

void Values(JsonOut& j, const LiveDevice& d, const LevelNames&) {
    j.Key("at");
    Time(j, d.valuesAt);
    j.Key("values").BeginArray();
    for (const auto& v : d.values) {
        j.BeginObject().Key("name").String(v.name).Key("unit").String(v.unit).Key("value");
        if (v.value)
            j.Number(*v.value);
        else
            j.Null();
        j.EndObject();
    }
    j.EndArray();
}

void Alarms(JsonOut& j, const LiveDevice& d, const LevelNames& names) {
    j.Key("alarms").BeginArray();
    for (const auto& a : d.active) {
        AlarmJson(j, a, "since", names);
        j.EndObject();
    }
    j.EndArray();
}

void Events(JsonOut& j, const LiveDevice& d, const LevelNames& names) {
    j.Key("events").BeginArray();
    for (auto it = d.events.rbegin(); it != d.events.rend(); ++it) {
        AlarmJson(j, *it, "at", names);
        j.Key("raised").Bool(it->raised).EndObject();
    }
    j.EndArray();
}

}  // namespace

WebApi::WebApi(const LiveState& live, const std::vector<Sink*>& sinks, SignalHistory* history,
               StaticFiles files, WebApiOptions options)
    : live_(live),
      sinks_(sinks),
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
        return JsonError(400, "malformed query string: broken escape or not UTF-8");
    if (!IsUtf8(path)) return JsonError(400, "request path is not UTF-8");
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
        r.body = PrometheusText(live_.Devices(0), sinks_, now, options_.staleSeconds);
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
    if (path == "/api/sinks") return Sinks(now);

    // Events: the newest `limit` of each device.
    std::size_t events = kDefaultEvents;
    if (const auto l = param("limit")) {
        const auto n = Number(*l);
        if (!n || *n < 1 || *n > LiveState::kEvents || *n != std::floor(*n))
            return JsonError(400, "limit must be a whole number from 1 to " +
                                      std::to_string(LiveState::kEvents));
        events = static_cast<std::size_t>(*n);
    }

    // One device, or all: /api/devices/ID, or ?device=ID on the lists.
    std::vector<LiveDevice> devices;
    std::string what = path.substr(5);
    std::optional<std::string> id = param("device");
    if (what.rfind("devices/", 0) == 0) {
        id = what.substr(8);
        what = "device";
    }
    void (*part)(JsonOut&, const LiveDevice&, const LevelNames&) = nullptr;
    if (what == "values") part = Values;
    if (what == "alarms") part = Alarms;
    if (what == "events") part = Events;
    if (what != "devices" && what != "device" && part == nullptr)
        return JsonError(404, "no such API: " + path);
    if (id) {
        const auto dataId = DataId(*id);
        std::optional<LiveDevice> d = dataId ? live_.Device(*dataId, events) : std::nullopt;
        if (!d) return JsonError(404, "no device with data id " + *id);
        devices.push_back(std::move(*d));
    } else {
        devices = live_.Devices(what == "events" ? events : 0);
    }

    std::string body;
    body.reserve(256 + devices.size() * (what == "events" ? 200 * events : 800));
    JsonOut j(body);
    j.BeginObject().Key("now").String(Iso(now));
    if (what == "device") {
        const LiveDevice& d = devices.front();
        Health(j, d, now, options_.staleSeconds);
        Values(j, d, options_.levelNames);
        Alarms(j, d, options_.levelNames);
        Events(j, d, options_.levelNames);
        j.EndObject();
        return Ok(std::move(body));
    }
    j.Key("devices").BeginArray();
    for (const auto& d : devices) {
        j.BeginObject();
        if (part == nullptr)
            Health(j, d, now, options_.staleSeconds);
        else
            part(j.Key("dataId").Int(uint64_t{d.health.dataId}), d, options_.levelNames);
        j.EndObject();
    }
    j.EndArray();
    if (what == "devices") {
        j.Key("site").String(options_.siteName).Key("levels").BeginObject();
        for (const auto& [level, name] : options_.levelNames)
            j.Key(std::to_string(level)).String(name);
        j.EndObject();
        j.Key("staleSeconds").Int(int64_t{options_.staleSeconds});
        j.Key("chart").BeginObject().Key("hours").Int(int64_t{options_.chartHours});
        j.Key("signals").BeginArray();
        // None chosen: the first two of the first device with signals, as the core maps it now.
        for (const auto& s :
             options_.chartSignals.empty() ? live_.FirstSignals(2) : options_.chartSignals)
            j.String(s);
        j.EndArray().EndObject();
    }
    j.EndObject();
    return Ok(std::move(body));
}

// What each sink says of itself: history's queue, the forwarder's connection and outbox.
WebResponse WebApi::Sinks(WallTime now) const {
    std::string body;
    JsonOut j(body);
    j.BeginObject().Key("now").String(Iso(now)).Key("sinks").BeginArray();
    for (const Sink* s : sinks_) {
        j.BeginObject().Key("name").String(s->Name()).Key("figures").BeginArray();
        for (const SinkFigure& f : s->Figures())
            j.BeginObject()
                .Key("name")
                .String(f.name)
                .Key("value")
                .Number(f.value)
                .Key("help")
                .String(f.help)
                .EndObject();
        j.EndArray().EndObject();
    }
    j.EndArray().EndObject();
    return Ok(std::move(body));
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
    if (!dataId || !live_.Device(*dataId, 0)) return JsonError(404, "no device with data id " + id);
    // Decoded with the map the core decodes the device's records with now.
    const std::shared_ptr<const SignalMap> map = live_.Map(*dataId);
    const SignalField* field = nullptr;
    if (map)
        for (const auto& f : map->Fields())
            if (f.name == name) field = &f;
    if (field == nullptr) return JsonError(404, "device " + id + " has no signal " + name);

    // Unix seconds; zero or less counts back from now ("from=-3600": the last hour). Only times
    // from 1970 to the end of 9999 are answered: the ISO form has four digits for the year.
    constexpr int64_t kLastMs = 253402300799999;  // 9999-12-31T23:59:59.999Z
    const int64_t nowMs = history::ToMs(now);
    const auto when = [&](const char* k, double fallback) -> std::optional<int64_t> {
        const std::string s = get(k);
        const auto v = s.empty() ? std::optional<double>(fallback) : Number(s);
        if (!v || std::fabs(*v) > 1e13) return std::nullopt;
        const int64_t ms = static_cast<int64_t>(std::llround(*v * 1000)) + (*v <= 0 ? nowMs : 0);
        if (ms < 0 || ms > kLastMs) return std::nullopt;
        return ms;
    };
    const auto from = when("from", -3600.0 * options_.chartHours);
    const auto to = when("to", 0);
    if (!from || !to)
        return JsonError(400,
                         "from and to are Unix seconds from 1970 to 9999, or seconds back from "
                         "now when zero or less");
    if (*from >= *to) return JsonError(400, "from must lie before to");
    const std::string p = get("points");
    const auto points = p.empty() ? std::optional<double>(300) : Number(p);
    if (!points || *points < 1 || *points > kMaxPoints || *points != std::floor(*points))
        return JsonError(400,
                         "points must be a whole number from 1 to " + std::to_string(kMaxPoints));
    if (history_ == nullptr) return JsonError(503, "no history database");

    HistoryAnswer a;
    try {
        a = history_->Query(*dataId, *field, *from, *to, static_cast<std::size_t>(*points));
    } catch (const HistoryQueryError& e) {
        return JsonError(503, e.what());
    }
    std::string body;
    body.reserve(300 + a.points.size() * 90);
    JsonOut j(body);
    j.BeginObject().Key("dataId").Int(uint64_t{*dataId}).Key("signal").String(name);
    j.Key("unit").String(field->unit);
    j.Key("from").String(Iso(history::FromMs(*from))).Key("to").String(Iso(history::FromMs(*to)));
    j.Key("bucketMs").Int(int64_t{a.bucketMs}).Key("stepMs").Int(int64_t{a.stepMs});
    j.Key("rowsRead").Int(uint64_t{a.rowsRead});
    j.Key("sampled").Bool(a.sampled).Key("partial").Bool(a.partial);
    if (a.sampled || a.partial)
        j.Key("note").String(a.partial ? "time limit reached: later buckets were not read"
                                       : "range too long to read whole: each bucket is the mean "
                                         "of its first rows");
    // What the trend draws over the values: the signal's limits and where its alarms stood.
    const SignalLimits limits = live_.Limits(*dataId, name);
    j.Key("thresholds").BeginArray();
    for (const double t : limits.thresholds) j.Number(t);
    j.EndArray().Key("alarms").BeginArray();
    std::vector<Alarm> events;
    try {  // no database yet: no bands
        for (StoredAlarm& e : HistoryReader(options_.database)
                                  .Alarms(*dataId, TimeRange{*from, *to}, kMaxBandEvents))
            events.push_back(std::move(e));
    } catch (const StoreError&) {
    }
    for (const AlarmBand& b : AlarmBands(events, name, limits.alarmIds, *from, *to))
        j.BeginObject()
            .Key("from")
            .Int(b.fromMs)
            .Key("to")
            .Int(b.toMs)
            .Key("level")
            .Int(int64_t{b.level})
            .Key("id")
            .String(b.alarmId)
            .EndObject();
    j.EndArray();
    j.Key("points").BeginArray();
    for (const auto& r : a.points) {
        j.BeginObject().Key("t").Int(int64_t{r.atMs}).Key("v").Number(r.value);
        j.Key("min").Number(r.min).Key("max").Number(r.max).Key("n").Int(uint64_t{r.samples});
        j.EndObject();
    }
    j.EndArray().EndObject();
    return Ok(std::move(body));
}
