#include "web/metrics.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <string_view>

#include "runtime/frame.h"
#include "web/metric_names.h"

namespace {

// Label values escape backslash, double quote and newline.
void Label(std::string& out, const std::string& v) {
    if (v.find_first_of("\\\"\n") == std::string::npos) {  // nearly always: one copy
        out += v;
        return;
    }
    for (char c : v) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
}

// HELP text escapes backslash and newline.
std::string Help(const std::string& v) {
    std::string out;
    for (char c : v) out += c == '\\' ? "\\\\" : c == '\n' ? "\\n" : std::string(1, c);
    return out;
}

void Num(std::string& out, double v) {
    if (std::isnan(v)) {
        out += "NaN";
    } else if (std::isinf(v)) {
        out += v > 0 ? "+Inf" : "-Inf";
    } else {
        char buf[32];
        const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::general, 15);
        out.append(buf, r.ptr);
    }
}

// A metric family; its HELP and TYPE lines are written with its first series, so a family
// with none (no alarm standing) leaves no empty header. Each series is appended in place: a
// scrape of 64 units writes thousands of them, and temporaries cost more than the writing.
class Family {
  public:
    Family(std::string& out, std::string name, const char* type, const std::string& help)
        : out_(out), name_(std::move(name)), type_(type), help_(help) {}
    // Opens a series; the caller appends its labels, then calls Value.
    std::string& Series() {
        if (!started_)
            out_ +=
                "# HELP " + name_ + " " + Help(help_) + "\n# TYPE " + name_ + " " + type_ + "\n";
        started_ = true;
        out_ += name_;
        out_ += '{';
        return out_;
    }
    void Value(double v) {
        out_ += "} ";
        Num(out_, v);
        out_ += '\n';
    }
    // A series labelled by its device alone.
    void Add(const LiveDevice& d, double v) {
        Dev(Series(), d);
        Value(v);
    }
    static void Dev(std::string& out, const LiveDevice& d) {
        out += "device=\"";
        char buf[12];
        const auto r = std::to_chars(buf, buf + sizeof buf, d.health.dataId);
        out.append(buf, r.ptr);
        out += '"';
    }

  private:
    std::string& out_;
    std::string name_;
    const char* type_;
    std::string help_;
    bool started_ = false;
};

}  // namespace

std::string PrometheusText(const std::vector<LiveDevice>& devices, const std::vector<Sink*>& sinks,
                           WallTime now, int staleSeconds) {
    std::string out;
    out.reserve(4096 + devices.size() * 3072);
    {
        // One family per unit of measure, in its base unit.
        struct Entry {
            const LiveDevice* d;
            const LiveValue* v;
            SignalFamily fam;
        };
        std::map<std::string_view, std::vector<Entry>> families;
        for (const auto& d : devices)
            for (const auto& v : d.values)
                if (v.value) {
                    const SignalFamily fam = SignalFamilyOf(v.unit);
                    families[fam.name].push_back({&d, &v, fam});
                }
        for (const auto& [name, entries] : families) {
            Family f(out, std::string(name), "gauge",
                     "Latest decoded value of a signal, in base units.");
            for (const Entry& e : entries) {
                std::string& o = f.Series();
                Family::Dev(o, *e.d);
                o += ",signal=\"";
                Label(o, e.v->name);
                if (e.fam.unitLabel) {
                    o += "\",unit=\"";
                    Label(o, e.v->unit);
                }
                o += '"';
                f.Value(*e.v->value * e.fam.factor);
            }
        }
    }
    {
        Family f(out, "smdhost_alarm_standing", "gauge",
                 "1 for each standing alarm, by device, alarm id, signal and level.");
        for (const auto& d : devices)
            for (const auto& a : d.active) {
                std::string& o = f.Series();
                Family::Dev(o, d);
                o += ",alarm_id=\"";
                Label(o, a.alarmId);
                o += "\",signal=\"";
                Label(o, a.name);
                o += "\",level=\"" + std::to_string(a.level) + "\"";
                f.Value(1);
            }
    }
    {
        Family f(out, "smdhost_device_standing_alarms", "gauge",
                 "Number of standing alarms of a device.");
        for (const auto& d : devices) f.Add(d, static_cast<double>(d.active.size()));
    }
    {
        Family f(out, "smdhost_rounds_started_total", "counter", "Polling rounds started.");
        for (const auto& d : devices) f.Add(d, static_cast<double>(d.health.roundsStarted));
    }
    {
        Family f(out, "smdhost_rounds_completed_total", "counter",
                 "Polling rounds completed with a published record.");
        for (const auto& d : devices) f.Add(d, static_cast<double>(d.health.roundsCompleted));
    }
    {
        // Every kind from the start, so that increase() sees the first burst.
        Family f(out, "smdhost_reply_errors_total", "counter",
                 "Errors while polling a device, by kind.");
        std::vector<std::string> kinds;
        for (std::size_t k = 0; k < frame::kReplyErrorCount; ++k)
            kinds.push_back(frame::to_string(static_cast<frame::ReplyError>(k)));
        kinds.push_back("port failure");
        kinds.push_back("plug-in exception");
        for (const auto& d : devices) {
            const auto add = [&](const std::string& kind, double n) {
                std::string& o = f.Series();
                Family::Dev(o, d);
                o += ",kind=\"";
                Label(o, kind);
                o += '"';
                f.Value(n);
            };
            for (const auto& kind : kinds) {
                const auto it = d.health.errors.find(kind);
                add(kind, it == d.health.errors.end() ? 0 : static_cast<double>(it->second));
            }
            for (const auto& [kind, n] : d.health.errors)
                if (std::find(kinds.begin(), kinds.end(), kind) == kinds.end())
                    add(kind, static_cast<double>(n));
        }
    }
    {
        Family f(out, "smdhost_last_good_round_timestamp_seconds", "gauge",
                 "Unix time of the last round that published a record; 0 before the first.");
        for (const auto& d : devices)
            f.Add(d, d.health.lastGoodRound
                         ? std::chrono::duration<double>(d.health.lastGoodRound->time_since_epoch())
                               .count()
                         : 0);
    }
    {
        Family f(out, "smdhost_device_stale", "gauge",
                 "1 when a device had no good round for longer than the stale age.");
        for (const auto& d : devices) {
            const bool stale = !d.health.lastGoodRound ||
                               now - *d.health.lastGoodRound > std::chrono::seconds(staleSeconds);
            f.Add(d, stale ? 1 : 0);
        }
    }
    {
        Family f(out, "smdhost_port_open", "gauge", "1 when the device's port is open.");
        for (const auto& d : devices) f.Add(d, d.health.portOpen ? 1 : 0);
    }

    // Every sink's own figures, under the names the table gives them.
    std::map<std::string, std::pair<std::pair<std::string, const char*>,
                                    std::vector<std::pair<std::string, double>>>>
        figures;
    for (const Sink* s : sinks)
        for (const SinkFigure& fig : s->Figures()) {
            const MetricName m = SinkFigureMetric(s->Name(), fig.name);
            auto& fam = figures[m.name];
            if (fam.first.first.empty())
                fam.first = {fig.help.empty() ? fig.name : fig.help, m.type};
            fam.second.emplace_back(s->Name(), fig.value);
        }
    for (const auto& [name, fam] : figures) {
        Family f(out, name, fam.first.second, fam.first.first);
        for (const auto& [sink, v] : fam.second) {
            std::string& o = f.Series();
            o += "sink=\"";
            Label(o, sink);
            o += '"';
            f.Value(v);
        }
    }
    return out;
}
