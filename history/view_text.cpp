#include "history/view_text.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iomanip>
#include <map>
#include <sstream>

#include <json/writer.h>

#include "core/record_layout.h"
#include "history/views.h"

namespace views {

std::string Local(WallTime t) {
    const std::time_t s = std::chrono::system_clock::to_time_t(t);
    std::tm tm{};
    localtime_r(&s, &tm);
    std::ostringstream o;
    o << std::put_time(&tm, "%Y-%m-%d %H:%M:%S");
    return o.str();
}

std::string Number(double v) {
    char buf[64];
    const float f = static_cast<float>(v);
    const auto end = static_cast<double>(f) == v ? std::to_chars(buf, buf + sizeof buf, f).ptr
                                                 : std::to_chars(buf, buf + sizeof buf, v).ptr;
    return std::string(buf, end);
}

double Exact(double v) {
    return std::strtod(Number(v).c_str(), nullptr);
}

std::string Csv(const std::string& v) {
    if (v.find_first_of(",\"\n\r") == std::string::npos) return v;
    std::string out = "\"";
    for (char c : v) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

void WriteJson(const Json::Value& v, std::ostream& out) {
    Json::StreamWriterBuilder w;
    w["indentation"] = "  ";
    // Enough for every value Exact() gives back in its shortest form, not the 17 digits that
    // print 54.6 as 54.600000000000001.
    w["precision"] = 16;
    w["emitUTF8"] = true;
    out << Json::writeString(w, v) << "\n";
}

Json::Value AlarmJson(const StoredAlarm& a) {
    Json::Value v;
    if (a.id != 0) v["row"] = Json::Int64(a.id);
    v["device"] = a.dataId;
    v["time"] = Local(a.at);
    v["timeMs"] = Json::Int64(history::ToMs(a.at));
    v["event"] = a.raised ? "raised" : "cleared";
    v["level"] = a.level;
    v["alarmId"] = a.alarmId;
    v["name"] = a.name;
    v["value"] = a.value;
    v["text"] = a.text;
    return v;
}

void DumpRecord(const StoredRecord& r, const SignalMap& map, std::ostream& out) {
    out << "record " << r.id << " of device " << r.dataId << ", type " << r.typeId << ", "
        << r.bytes.size() << " bytes, stored " << Local(r.storedAt) << ", stamped "
        << RecordStamp(r.bytes.data(), r.bytes.size()) << "\n";
    for (const auto& f : map.Fields())
        if (f.offset + static_cast<std::size_t>(f.width) <= r.bytes.size())
            out << "  " << f.name << " = " << Number(SignalMap::Decode(f, r.bytes.data()))
                << (f.unit.empty() ? "" : " " + f.unit) << "\n";
    for (const auto& f : RecordFields()) {
        out << std::left << std::setw(12) << f.name << std::right << " @" << std::setw(4)
            << f.offset << " " << std::setw(3) << f.size << " bytes  " << f.content << "\n";
        for (std::size_t at = f.offset; at < f.offset + f.size && at < r.bytes.size(); at += 16) {
            out << "    " << std::hex << std::uppercase << std::setfill('0') << std::setw(4) << at
                << " ";
            for (std::size_t i = at; i < std::min(at + 16, f.offset + f.size) && i < r.bytes.size();
                 ++i)
                out << " " << std::setw(2) << static_cast<int>(r.bytes[i]);
            out << std::dec << std::setfill(' ') << "\n";
        }
    }
}

}  // namespace views

std::optional<WallTime> ParseWhen(const std::string& text, WallTime now) {
    if (text == "now") return now;
    {
        long long n = 0;
        char unit = 0;
        int used = 0;
        if (std::sscanf(text.c_str(), "%lld%c%n", &n, &unit, &used) == 2 &&
            used == static_cast<int>(text.size()) && n >= 0) {
            const std::map<char, long long> seconds{{'s', 1}, {'m', 60}, {'h', 3600}, {'d', 86400}};
            const auto it = seconds.find(unit);
            if (it == seconds.end()) return std::nullopt;
            return now - std::chrono::seconds(n * it->second);
        }
    }
    std::tm tm{};
    int used = 0;
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    const int n = std::sscanf(text.c_str(), "%4d-%2d-%2d%n", &y, &mo, &d, &used);
    if (n != 3) return std::nullopt;
    std::string rest = text.substr(static_cast<std::size_t>(used));
    if (!rest.empty()) {
        if (rest[0] != ' ' && rest[0] != 'T') return std::nullopt;
        int used2 = 0;
        if (std::sscanf(rest.c_str() + 1, "%2d:%2d%n", &h, &mi, &used2) != 2) return std::nullopt;
        rest = rest.substr(1 + static_cast<std::size_t>(used2));
        if (!rest.empty()) {
            int used3 = 0;
            if (std::sscanf(rest.c_str(), ":%2d%n", &s, &used3) != 1 ||
                used3 != static_cast<int>(rest.size()))
                return std::nullopt;
        }
    }
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60 || h < 0 || mi < 0 ||
        s < 0)
        return std::nullopt;
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    tm.tm_isdst = -1;
    const std::time_t t = std::mktime(&tm);
    if (t == static_cast<std::time_t>(-1)) return std::nullopt;
    return std::chrono::system_clock::from_time_t(t);
}
