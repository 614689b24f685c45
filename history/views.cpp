#include "history/views.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <iomanip>
#include <map>
#include <sstream>

#include <json/value.h>
#include <json/writer.h>
#include <boost/program_options.hpp>

#include "core/json_check.h"
#include "core/record_layout.h"
#include "core/signal_map.h"
#include "history/view_steps.h"
#include "history/view_text.h"
#include "store/history_reader.h"

namespace po = boost::program_options;
using views::AlarmJson;
using views::Csv;
using views::DumpRecord;
using views::Exact;
using views::Local;
using views::Number;
using views::WriteJson;

namespace {

enum class Format { kTable, kJson, kCsv };

struct Common {
    std::string db;
    std::optional<unsigned int> device;
    TimeRange range;
    std::size_t limit = 20;
    Format format = Format::kTable;
    std::string siteFile;
};

class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

po::options_description CommonOptions() {
    po::options_description o;
    o.add_options()("help,h", "this text")("site", po::value<std::string>(),
                                           "site file: its database and signal maps")(
        "db", po::value<std::string>(), "database file (instead of --site)")(
        "device", po::value<unsigned int>(), "data id of the device")(
        "since", po::value<std::string>(), "from this time on (see below)")(
        "until", po::value<std::string>(), "up to this time")(
        "format", po::value<std::string>()->default_value("table"), "table, json or csv");
    return o;
}

const char* const kWhenHelp =
    "Times: \"2026-12-08\", \"2026-12-08 14:30\" or \"2026-12-08T14:30:15\" (local time), "
    "\"now\",\n"
    "or an age: \"90s\", \"15m\", \"2h\", \"7d\" before now.\n";

// The site file's members the views use, read alone: the others (a broker's password file,
// say) need not be within this user's reach. Paths are taken from the file's directory.
struct SiteMembers {
    std::string database;
    std::map<unsigned int, std::string> maps;  // signal map by data id
};

SiteMembers ReadSite(const std::string& path) {
    const Json::Value root = JsonFile::Load(path);
    const JsonFile file(path);
    const std::filesystem::path dir = std::filesystem::path(path).parent_path();
    auto resolve = [&](const std::string& p) {
        return p.empty() || p.front() == '/' ? p : (dir / p).lexically_normal().string();
    };
    if (!root.isObject()) file.Fail("", "expected an object");
    SiteMembers m;
    m.database = resolve(file.String(root, "", "database", "smdhost.db"));
    const Json::Value& devices = root["devices"];
    for (unsigned int i = 0; devices.isArray() && i < devices.size(); ++i) {
        const std::string at = JsonFile::Index("devices", i);
        if (!devices[i].isObject()) file.Fail(at, "expected an object");
        const auto id = static_cast<unsigned int>(
            file.RequiredInteger(devices[i], at, "dataId", 0, 0xFFFFFFFF));
        const std::string map = file.String(devices[i], at, "signalMap", "");
        if (!map.empty()) m.maps[id] = resolve(map);
    }
    return m;
}

Common ParseCommon(const po::variables_map& vm, std::size_t limit) {
    Common c;
    if (vm.count("db")) {
        c.db = vm["db"].as<std::string>();
    } else if (vm.count("site")) {
        c.siteFile = vm["site"].as<std::string>();
        c.db = ReadSite(c.siteFile).database;
    } else {
        throw UsageError("give --site FILE or --db FILE");
    }
    if (vm.count("device")) c.device = vm["device"].as<unsigned int>();
    const auto now = std::chrono::system_clock::now();
    for (const char* key : {"since", "until"}) {
        if (!vm.count(key)) continue;
        const auto t = ParseWhen(vm[key].as<std::string>(), now);
        if (!t)
            throw UsageError(std::string("--") + key + ": cannot read \"" +
                             vm[key].as<std::string>() + "\" as a time");
        (std::string(key) == "since" ? c.range.sinceMs : c.range.untilMs) = history::ToMs(*t);
    }
    if (c.range.sinceMs > c.range.untilMs) throw UsageError("--since lies after --until");
    c.limit = vm.count("limit") ? vm["limit"].as<std::size_t>() : limit;
    const std::string f = vm["format"].as<std::string>();
    if (f == "table")
        c.format = Format::kTable;
    else if (f == "json")
        c.format = Format::kJson;
    else if (f == "csv")
        c.format = Format::kCsv;
    else
        throw UsageError("--format must be table, json or csv, not \"" + f + "\"");
    return c;
}

po::variables_map Parse(const std::vector<std::string>& args, const po::options_description& o) {
    po::variables_map vm;
    po::store(po::command_line_parser(args).options(o).run(), vm);
    po::notify(vm);
    return vm;
}

void AlarmRows(const std::vector<StoredAlarm>& list, bool active, const Common& c,
               std::ostream& out) {
    if (c.format == Format::kCsv) {
        out << "time,device,event,level,alarm_id,name,value,text\n";
        for (const auto& a : list)
            out << Local(a.at) << "," << a.dataId << ","
                << (active     ? "standing"
                    : a.raised ? "raised"
                               : "cleared")
                << "," << a.level << "," << Csv(a.alarmId) << "," << Csv(a.name) << ","
                << Csv(a.value) << "," << Csv(a.text) << "\n";
        return;
    }
    for (const auto& a : list)
        out << "  " << Local(a.at) << "  device " << a.dataId << "  "
            << (active     ? "standing"
                : a.raised ? "raised  "
                           : "cleared ")
            << "  level " << a.level << "  " << a.alarmId << "  " << a.name << " = " << a.value
            << (a.text.empty() ? "" : "  " + a.text) << "\n";
}

// The device's signal map: --signal-map, else the site file's entry for the device.
SignalMap MapFor(const po::variables_map& vm, const Common& c) {
    std::string file;
    if (vm.count("signal-map")) {
        file = vm["signal-map"].as<std::string>();
    } else if (!c.siteFile.empty() && c.device) {
        const auto maps = ReadSite(c.siteFile).maps;
        if (const auto it = maps.find(*c.device); it != maps.end()) file = it->second;
    }
    return file.empty() ? SignalMap() : SignalMap::Load(file);
}

int History(const std::vector<std::string>& args, std::ostream& out) {
    po::options_description o("smdhost history (--site FILE | --db FILE) --device ID [options]");
    o.add(CommonOptions());
    o.add_options()("signal-map", po::value<std::string>(),
                    "signal map to decode records with (default: the site file's)")(
        "signal", po::value<std::vector<std::string>>(), "show only this signal (repeat for more)")(
        "limit", po::value<std::size_t>(), "newest rows of each kind to show (default 20)")(
        "only", po::value<std::string>(), "records, alarms or reports (csv: default records)")(
        "record", po::value<int64_t>(), "dump the record of this row, field by field")(
        "step", po::value<std::string>(), "5m or 1h: per-signal aggregates of that step");
    const po::variables_map vm = Parse(args, o);
    if (vm.count("help")) {
        out << o << kWhenHelp;
        return 0;
    }
    const Common c = ParseCommon(vm, 20);
    std::string only = vm.count("only") ? vm["only"].as<std::string>() : "";
    if (!only.empty() && only != "records" && only != "alarms" && only != "reports")
        throw UsageError("--only must be records, alarms or reports, not \"" + only + "\"");
    if (c.format == Format::kCsv && only.empty()) only = "records";
    if (!c.device && !vm.count("record")) throw UsageError("give --device ID (or --record ROW)");

    const HistoryReader reader(c.db);
    SignalMap map = MapFor(vm, c);
    if (vm.count("record")) {
        const auto r = reader.Record(vm["record"].as<int64_t>());
        if (!r)
            throw StoreError("no record " + std::to_string(vm["record"].as<int64_t>()) + " in " +
                             c.db);
        DumpRecord(*r, map, out);
        return 0;
    }
    std::vector<SignalField> fields = map.Fields();
    if (vm.count("signal")) {
        if (map.Empty())
            throw UsageError("--signal needs the device's signal map (--site or --signal-map)");
        std::vector<SignalField> chosen;
        for (const auto& name : vm["signal"].as<std::vector<std::string>>()) {
            auto it = std::find_if(fields.begin(), fields.end(),
                                   [&](const SignalField& f) { return f.name == name; });
            if (it == fields.end())
                throw UsageError("no signal \"" + name + "\" in the signal map");
            chosen.push_back(*it);
        }
        fields = chosen;
    }
    const unsigned int id = *c.device;
    if (vm.count("step")) {
        const std::string step = vm["step"].as<std::string>();
        if (step != "5m" && step != "1h") throw UsageError("--step must be 5m or 1h");
        views::StepRows(reader, id, step == "5m" ? 300 : 3600, c.range, c.limit, fields,
                        vm["format"].as<std::string>(), out);
        return 0;
    }
    const bool records = only.empty() || only == "records";
    const bool alarms = only.empty() || only == "alarms";
    const bool reports = only.empty() || only == "reports";
    const auto list = records ? reader.Records(id, c.range, c.limit) : std::vector<StoredRecord>{};
    const auto events = alarms ? reader.Alarms(id, c.range, c.limit) : std::vector<StoredAlarm>{};
    const auto reps =
        reports ? reader.AnalogReports(id, c.range, c.limit) : std::vector<StoredAnalogReport>{};
    auto value = [](const SignalField& f, const StoredRecord& r) -> std::optional<double> {
        if (f.offset + static_cast<std::size_t>(f.width) > r.bytes.size()) return std::nullopt;
        return SignalMap::Decode(f, r.bytes.data());
    };

    if (c.format == Format::kJson) {
        Json::Value doc;
        doc["database"] = c.db;
        doc["device"] = id;
        if (records) {
            doc["recordCount"] = Json::UInt64(reader.RecordCount(id, c.range));
            doc["records"] = Json::Value(Json::arrayValue);
            for (const auto& r : list) {
                Json::Value v;
                v["row"] = Json::Int64(r.id);
                v["time"] = Local(r.storedAt);
                v["timeMs"] = Json::Int64(history::ToMs(r.storedAt));
                v["stamped"] = RecordStamp(r.bytes.data(), r.bytes.size());
                v["type"] = r.typeId;
                v["bytes"] = Json::UInt64(r.bytes.size());
                v["values"] = Json::Value(Json::objectValue);
                for (const auto& f : fields)
                    if (const auto x = value(f, r)) v["values"][f.name] = Exact(*x);
                doc["records"].append(v);
            }
            doc["units"] = Json::Value(Json::objectValue);
            for (const auto& f : fields)
                if (!f.unit.empty()) doc["units"][f.name] = f.unit;
        }
        if (alarms) {
            doc["alarms"] = Json::Value(Json::arrayValue);
            for (const auto& a : events) doc["alarms"].append(AlarmJson(a));
        }
        if (reports) {
            doc["reports"] = Json::Value(Json::arrayValue);
            for (const auto& r : reps) {
                Json::Value v;
                v["row"] = Json::Int64(r.id);
                v["time"] = Local(r.storedAt);
                v["timeMs"] = Json::Int64(history::ToMs(r.storedAt));
                v["signalId"] = r.signalId;
                v["signal"] = views::SignalLabel(r.signalId, map);
                v["value"] = Exact(r.value);
                doc["reports"].append(v);
            }
        }
        WriteJson(doc, out);
        return 0;
    }
    if (c.format == Format::kCsv) {
        if (records) {
            out << "row,time,stamped,type";
            for (const auto& f : fields)
                out << "," << Csv(f.unit.empty() ? f.name : f.name + " (" + f.unit + ")");
            out << "\n";
            for (const auto& r : list) {
                out << r.id << "," << Local(r.storedAt) << ","
                    << Csv(RecordStamp(r.bytes.data(), r.bytes.size())) << "," << r.typeId;
                for (const auto& f : fields) {
                    const auto x = value(f, r);
                    out << "," << (x ? Number(*x) : "");
                }
                out << "\n";
            }
        } else if (alarms) {
            AlarmRows(events, false, c, out);
        } else {
            out << "row,time,signal_id,signal,value\n";
            for (const auto& r : reps)
                out << r.id << "," << Local(r.storedAt) << "," << Csv(r.signalId) << ","
                    << Csv(views::SignalLabel(r.signalId, map)) << "," << Number(r.value) << "\n";
        }
        return 0;
    }
    if (records) {
        out << "device " << id << ": " << reader.RecordCount(id, c.range) << " records in " << c.db
            << (list.empty() ? "" : ", the newest " + std::to_string(list.size()) + ":") << "\n";
        for (const auto& r : list) {
            out << "  row " << std::setw(6) << r.id << "  " << Local(r.storedAt) << "  stamped "
                << RecordStamp(r.bytes.data(), r.bytes.size());
            if (fields.empty()) out << "  type " << r.typeId << "  " << r.bytes.size() << " bytes";
            for (const auto& f : fields)
                if (const auto x = value(f, r))
                    out << "  " << f.name << " " << Number(*x)
                        << (f.unit.empty() ? "" : " " + f.unit);
            out << "\n";
        }
    }
    if (alarms) {
        out << (records ? "\n" : "") << "alarm events of device " << id << ": " << events.size()
            << (events.size() == c.limit ? " (the newest; --limit for more)" : "") << "\n";
        AlarmRows(events, false, c, out);
    }
    if (reports) {
        out << (records || alarms ? "\n" : "") << "analog reports of device " << id << ": "
            << reps.size() << (reps.size() == c.limit ? " (the newest; --limit for more)" : "")
            << "\n";
        for (const auto& r : reps)
            out << "  " << Local(r.storedAt) << "  " << views::SignalLabel(r.signalId, map) << " = "
                << Number(r.value) << "\n";
    }
    return 0;
}

int Alarms(const std::vector<std::string>& args, std::ostream& out) {
    po::options_description o("smdhost alarms (--site FILE | --db FILE) [options]");
    o.add(CommonOptions());
    o.add_options()("active", "what stands now instead of the events")(
        "limit", po::value<std::size_t>(), "newest events to show (default 50)");
    const po::variables_map vm = Parse(args, o);
    if (vm.count("help")) {
        out << o << kWhenHelp;
        return 0;
    }
    const Common c = ParseCommon(vm, 50);
    const HistoryReader reader(c.db);
    const bool active = vm.count("active") > 0;
    const auto list =
        active ? reader.ActiveAlarms(c.device) : reader.Alarms(c.device, c.range, c.limit);
    if (c.format == Format::kJson) {
        Json::Value doc;
        doc["database"] = c.db;
        doc[active ? "active" : "events"] = Json::Value(Json::arrayValue);
        for (const auto& a : list) doc[active ? "active" : "events"].append(AlarmJson(a));
        WriteJson(doc, out);
        return 0;
    }
    if (c.format == Format::kTable) {
        const std::string whose = c.device ? " of device " + std::to_string(*c.device) : "";
        out << (active ? "standing alarms" : "alarm events") << whose << ": " << list.size()
            << (!active && list.size() == c.limit ? " (the newest; --limit for more)" : "") << "\n";
    }
    AlarmRows(list, active, c, out);
    return 0;
}

template <class F>
int Guarded(const char* name, F&& f, std::ostream& err) {
    try {
        return f();
    } catch (const po::error& e) {
        err << "smdhost " << name << ": " << e.what() << " (--help lists the options)\n";
        return 2;
    } catch (const UsageError& e) {
        err << "smdhost " << name << ": " << e.what() << "\n";
        return 2;
    } catch (const ConfigError& e) {
        err << "smdhost " << name << ": " << e.what() << "\n";
        return 2;
    } catch (const std::exception& e) {
        err << "smdhost " << name << ": " << e.what() << "\n";
        return 1;
    }
}

}  // namespace

int HistoryCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    return Guarded(
        "history", [&] { return History(args, out); }, err);
}

int AlarmsCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    return Guarded(
        "alarms", [&] { return Alarms(args, out); }, err);
}
