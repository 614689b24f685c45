#include "tsdb/line_protocol.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

#include "core/alarm_value.h"
#include "core/signal_map.h"

namespace line_protocol {

namespace {

std::string Escaped(std::string_view s, std::string_view special) {
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        }
        if (special.find(c) != std::string_view::npos) out += '\\';
        out += c;
    }
    return out;
}

int64_t Ms(WallTime t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

std::string Tags(const char* measurement, const std::string& site, unsigned int dataId) {
    return Measurement(measurement) + ",site=" + Key(site) + ",device=" + std::to_string(dataId);
}

}  // namespace

std::string Measurement(std::string_view s) {
    return Escaped(s, ", ");
}

std::string Key(std::string_view s) {
    return Escaped(s, ",= ");
}

std::string Quoted(std::string_view s) {
    return '"' + Escaped(s, "\"\\") + '"';
}

std::string Number(double v) {
    if (!std::isfinite(v)) return "";
    char buf[40];
    const float f = static_cast<float>(v);
    const auto end = static_cast<double>(f) == v ? std::to_chars(buf, buf + sizeof buf, f).ptr
                                                 : std::to_chars(buf, buf + sizeof buf, v).ptr;
    return std::string(buf, end);
}

std::string RecordLine(const std::string& site, const RecordOut& r, const SignalMap* signals) {
    if (!r.values || !signals) return "";
    std::string fields;
    for (const SignalField& f : signals->Fields()) {
        const Json::Value* x = r.values->find(f.name.data(), f.name.data() + f.name.size());
        const std::string v = x && x->isNumeric() ? Number(x->asDouble()) : "";
        if (v.empty()) continue;
        fields += (fields.empty() ? "" : ",") + Key(f.id.empty() ? f.name : f.id) + "=" + v;
    }
    if (fields.empty()) return "";
    return Tags("smd", site, r.dataId) + " " + fields + " " + std::to_string(Ms(r.at));
}

std::string AlarmLine(const std::string& site, const Alarm& a) {
    std::string fields =
        "level=" + std::to_string(a.level) + ",raised=" + (a.raised ? "1" : "0") + ",";
    // A number as a number, so that it can be drawn; a field keeps one type in a database.
    const auto v = AlarmNumber(a.value);
    const std::string number = v ? Number(*v) : "";
    fields += number.empty() ? "value_text=" + Quoted(a.value) : "value=" + number;
    if (a.threshold) fields += ",threshold=" + Number(*a.threshold);
    if (!a.levelName.empty()) fields += ",level_name=" + Quoted(a.levelName);
    fields += ",name=" + Quoted(a.name) + ",text=" + Quoted(a.text);
    return Tags("smd_alarm", site, a.dataId) + ",alarm=" + Key(a.alarmId) + " " + fields + " " +
           std::to_string(Ms(a.at));
}

std::string ReportLine(const std::string& site, const ReportOut& r) {
    const std::string v = Number(r.value);
    if (v.empty()) return "";
    return Tags("smd_report", site, r.dataId) + ",signal=" + Key(r.signalId) + " value=" + v + " " +
           std::to_string(Ms(r.at));
}

}  // namespace line_protocol
