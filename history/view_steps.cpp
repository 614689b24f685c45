#include "history/view_steps.h"

#include <map>

#include <json/value.h>

#include "history/view_text.h"
#include "store/aggregates.h"

namespace views {

void StepRows(const HistoryReader& reader, unsigned int dataId, int64_t stepS,
              const TimeRange& range, std::size_t limit, const std::vector<SignalField>& fields,
              const std::string& format, std::ostream& out) {
    const auto rows = reader.Aggregates(dataId, stepS, range, limit);
    // The signals to show: those asked for, else every one the rows hold.
    std::vector<std::pair<std::string, std::string>> shown;  // name, unit
    for (const auto& f : fields) shown.emplace_back(f.name, f.unit);
    if (shown.empty()) {
        std::map<std::string, bool> names;
        for (const auto& r : rows)
            for (const auto& v : r.values) names[v.first] = true;
        for (const auto& n : names) shown.emplace_back(n.first, "");
    }
    const std::string step = stepS == 3600 ? "1h" : std::to_string(stepS / 60) + "m";
    if (format == "json") {
        Json::Value doc;
        doc["device"] = dataId;
        doc["stepSeconds"] = Json::Int64(stepS);
        doc["steps"] = Json::Value(Json::arrayValue);
        for (const auto& r : rows) {
            Json::Value v;
            v["time"] = Local(history::FromMs(r.startMs));
            v["timeMs"] = Json::Int64(r.startMs);
            v["values"] = Json::Value(Json::objectValue);
            for (const auto& [name, unit] : shown) {
                const auto it = r.values.find(name);
                if (it == r.values.end() || it->second.count == 0) continue;
                const auto& a = it->second;
                Json::Value s;
                s["min"] = Exact(a.min);
                s["mean"] = Exact(static_cast<float>(a.sum / static_cast<double>(a.count)));
                s["max"] = Exact(a.max);
                s["count"] = Json::UInt64(a.count);
                v["values"][name] = s;
            }
            doc["steps"].append(v);
        }
        doc["units"] = Json::Value(Json::objectValue);
        for (const auto& [name, unit] : shown)
            if (!unit.empty()) doc["units"][name] = unit;
        WriteJson(doc, out);
        return;
    }
    const bool csv = format == "csv";
    if (csv) {
        out << "time";
        for (const auto& [name, unit] : shown)
            for (const char* k : {"min", "mean", "max", "count"})
                out << ","
                    << Csv(name + " " + k + (unit.empty() || *k == 'c' ? "" : " (" + unit + ")"));
        out << "\n";
    } else {
        out << "device " << dataId << ": " << rows.size() << " steps of " << step
            << (rows.size() == limit ? " (the newest; --limit for more)" : "") << "\n";
    }
    for (const auto& r : rows) {
        out << (csv ? "" : "  ") << Local(history::FromMs(r.startMs));
        for (const auto& [name, unit] : shown) {
            const auto it = r.values.find(name);
            const bool any = it != r.values.end() && it->second.count > 0;
            const auto mean =
                any ? static_cast<float>(it->second.sum / static_cast<double>(it->second.count))
                    : 0.0f;
            if (csv) {
                if (!any) {
                    out << ",,,,";
                    continue;
                }
                out << "," << Number(it->second.min) << "," << Number(mean) << ","
                    << Number(it->second.max) << "," << it->second.count;
            } else if (any) {
                out << "  " << name << " " << Number(it->second.min) << "/" << Number(mean) << "/"
                    << Number(it->second.max) << (unit.empty() ? "" : " " + unit) << " ("
                    << it->second.count << ")";
            }
        }
        out << "\n";
    }
    if (!csv && !rows.empty()) out << "  (min/mean/max per signal, and the values counted)\n";
}

std::string SignalLabel(const std::string& signalId, const SignalMap& map) {
    for (const auto& f : map.Fields())
        if (f.id == signalId || f.name == signalId || f.deviceId == signalId) {
            std::string extra = f.id.empty() || f.id == f.name ? "" : f.id;
            if (!f.unit.empty()) extra += (extra.empty() ? "" : ", ") + f.unit;
            return f.name + (extra.empty() ? "" : " (" + extra + ")");
        }
    return signalId;
}

}  // namespace views
