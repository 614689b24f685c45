#include "web/metrics.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>

#include "runtime/frame.h"
#include "web/metric_names.h"

namespace {

// Label values escape backslash, double quote and newline.
std::string Label(const std::string& v) {
    std::string out;
    out.reserve(v.size());
    for (char c : v) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

// HELP text escapes backslash and newline.
std::string Help(const std::string& v) {
    std::string out;
    for (char c : v) out += c == '\\' ? "\\\\" : c == '\n' ? "\\n" : std::string(1, c);
    return out;
}

std::string Num(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "+Inf" : "-Inf";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.15g", v);
    return buf;
}

// A metric family; its HELP and TYPE lines are written with its first series, so a family
// with none (no alarm standing) leaves no empty header.
class Family {
  public:
    Family(std::string& out, const std::string& name, const char* type, const std::string& help)
        : out_(out), name_(name), type_(type), help_(help) {}
    void Add(const std::string& labels, double v) {
        if (!started_)
            out_ +=
                "# HELP " + name_ + " " + Help(help_) + "\n# TYPE " + name_ + " " + type_ + "\n";
        started_ = true;
        out_ += name_ + "{" + labels + "} " + Num(v) + "\n";
    }

  private:
    std::string& out_;
    std::string name_;
    const char* type_;
    std::string help_;
    bool started_ = false;
};

std::string Dev(const LiveDevice& d) {
    return "device=\"" + std::to_string(d.health.dataId) + "\"";
}

}  // namespace

std::string PrometheusText(const std::vector<LiveDevice>& devices, const std::vector<Sink*>& sinks,
                           WallTime now, int staleSeconds) {
    std::string out;
    out.reserve(4096 + devices.size() * 1024);
    {
        // One family per unit of measure, in its base unit.
        std::map<std::string, std::pair<SignalFamily, std::vector<std::pair<std::string, double>>>>
            families;
        for (const auto& d : devices)
            for (const auto& v : d.values) {
                if (!v.value) continue;
                const SignalFamily fam = SignalFamilyOf(v.unit);
                auto& entry = families[fam.name];
                entry.first = fam;
                std::string labels = Dev(d) + ",signal=\"" + Label(v.name) + "\"";
                if (fam.unitLabel) labels += ",unit=\"" + Label(v.unit) + "\"";
                entry.second.emplace_back(std::move(labels), *v.value * fam.factor);
            }
        for (const auto& [name, fam] : families) {
            Family f(out, name, "gauge", "Latest decoded value of a signal, in base units.");
            for (const auto& [labels, v] : fam.second) f.Add(labels, v);
        }
    }
    {
        Family f(out, "smdhost_alarm_standing", "gauge",
                 "1 for each standing alarm, by device, alarm id, signal and level.");
        for (const auto& d : devices)
            for (const auto& a : d.active)
                f.Add(Dev(d) + ",alarm_id=\"" + Label(a.alarmId) + "\",signal=\"" + Label(a.name) +
                          "\",level=\"" + std::to_string(a.level) + "\"",
                      1);
    }
    {
        Family f(out, "smdhost_device_standing_alarms", "gauge",
                 "Number of standing alarms of a device.");
        for (const auto& d : devices) f.Add(Dev(d), static_cast<double>(d.active.size()));
    }
    {
        Family f(out, "smdhost_rounds_started_total", "counter", "Polling rounds started.");
        for (const auto& d : devices) f.Add(Dev(d), static_cast<double>(d.health.roundsStarted));
    }
    {
        Family f(out, "smdhost_rounds_completed_total", "counter",
                 "Polling rounds completed with a published record.");
        for (const auto& d : devices) f.Add(Dev(d), static_cast<double>(d.health.roundsCompleted));
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
            for (const auto& kind : kinds) {
                const auto it = d.health.errors.find(kind);
                f.Add(Dev(d) + ",kind=\"" + Label(kind) + "\"",
                      it == d.health.errors.end() ? 0 : static_cast<double>(it->second));
            }
            for (const auto& [kind, n] : d.health.errors)
                if (std::find(kinds.begin(), kinds.end(), kind) == kinds.end())
                    f.Add(Dev(d) + ",kind=\"" + Label(kind) + "\"", static_cast<double>(n));
        }
    }
    {
        Family f(out, "smdhost_last_good_round_timestamp_seconds", "gauge",
                 "Unix time of the last round that published a record; 0 before the first.");
        for (const auto& d : devices)
            f.Add(Dev(d), d.health.lastGoodRound ? std::chrono::duration<double>(
                                                       d.health.lastGoodRound->time_since_epoch())
                                                       .count()
                                                 : 0);
    }
    {
        Family f(out, "smdhost_device_stale", "gauge",
                 "1 when a device had no good round for longer than the stale age.");
        for (const auto& d : devices) {
            const bool stale = !d.health.lastGoodRound ||
                               now - *d.health.lastGoodRound > std::chrono::seconds(staleSeconds);
            f.Add(Dev(d), stale ? 1 : 0);
        }
    }
    {
        Family f(out, "smdhost_port_open", "gauge", "1 when the device's port is open.");
        for (const auto& d : devices) f.Add(Dev(d), d.health.portOpen ? 1 : 0);
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
        for (const auto& [sink, v] : fam.second) f.Add("sink=\"" + Label(sink) + "\"", v);
    }
    return out;
}
