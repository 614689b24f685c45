#include "web/metrics.h"

#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>

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

// Metric names are [a-zA-Z_:][a-zA-Z0-9_:]*; a sink's figure name is mapped onto that.
// HELP text escapes backslash and newline.
std::string Help(const std::string& v) {
    std::string out;
    for (char c : v) out += c == '\\' ? "\\\\" : c == '\n' ? "\\n" : std::string(1, c);
    return out;
}

std::string MetricName(const std::string& v) {
    std::string out;
    for (char c : v) out += (std::isalnum(static_cast<unsigned char>(c)) || c == '_') ? c : '_';
    return out;
}

std::string Num(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "+Inf" : "-Inf";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.15g", v);
    return buf;
}

class Family {
  public:
    Family(std::string& out, const std::string& name, const char* type, const std::string& help)
        : out_(out), name_(name) {
        out_ += "# HELP " + name + " " + Help(help) + "\n# TYPE " + name + " " + type + "\n";
    }
    void Add(const std::string& labels, double v) {
        out_ += name_ + "{" + labels + "} " + Num(v) + "\n";
    }

  private:
    std::string& out_;
    std::string name_;
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
        Family f(out, "smdhost_signal_value", "gauge", "Latest decoded value of a signal.");
        for (const auto& d : devices)
            for (const auto& v : d.values)
                if (v.value)
                    f.Add(
                        Dev(d) + ",signal=\"" + Label(v.name) + "\",unit=\"" + Label(v.unit) + "\"",
                        *v.value);
    }
    {
        Family f(out, "smdhost_alarm_active", "gauge",
                 "A standing alarm (1), by device, alarm id and level.");
        for (const auto& d : devices)
            for (const auto& a : d.active)
                f.Add(Dev(d) + ",alarm_id=\"" + Label(a.alarmId) + "\",level=\"" +
                          std::to_string(a.level) + "\"",
                      1);
    }
    {
        Family f(out, "smdhost_alarms_active", "gauge", "Number of standing alarms of a device.");
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
        Family f(out, "smdhost_reply_errors_total", "counter",
                 "Errors while polling a device, by kind.");
        for (const auto& d : devices)
            for (const auto& [kind, n] : d.health.errors)
                f.Add(Dev(d) + ",kind=\"" + Label(kind) + "\"", static_cast<double>(n));
    }
    {
        Family f(out, "smdhost_last_good_round_timestamp_seconds", "gauge",
                 "Unix time of the last round that published a record.");
        for (const auto& d : devices)
            if (d.health.lastGoodRound)
                f.Add(Dev(d),
                      std::chrono::duration<double>(d.health.lastGoodRound->time_since_epoch())
                          .count());
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

    // Every sink's own figures, one family per figure name, labelled by sink.
    std::map<std::string, std::pair<std::string, std::vector<std::pair<std::string, double>>>>
        figures;
    for (const Sink* s : sinks)
        for (const SinkFigure& fig : s->Figures()) {
            auto& fam = figures["smdhost_sink_" + MetricName(fig.name)];
            if (fam.first.empty()) fam.first = fig.help.empty() ? fig.name : fig.help;
            fam.second.emplace_back(s->Name(), fig.value);
        }
    for (const auto& [name, fam] : figures) {
        const bool counter = name.size() > 6 && name.compare(name.size() - 6, 6, "_total") == 0;
        Family f(out, name, counter ? "counter" : "gauge", fam.first);
        for (const auto& [sink, v] : fam.second) f.Add("sink=\"" + Label(sink) + "\"", v);
    }
    return out;
}
