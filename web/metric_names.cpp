#include "web/metric_names.h"

#include <cctype>
#include <cstring>

namespace {

struct FigureRow {
    const char* sink;
    const char* figure;
    const char* metric;
    const char* type;
};

// clang-format off
constexpr FigureRow kFigures[] = {
    {"history", "queue_depth",         "smdhost_history_queue_rows",                 "gauge"},
    {"history", "queue_limit",         "smdhost_history_queue_limit_rows",           "gauge"},
    {"history", "queue_high",          "smdhost_history_queue_high_rows",            "gauge"},
    {"history", "rows_stored",         "smdhost_history_rows_stored_total",          "counter"},
    {"history", "rows_not_stored",     "smdhost_history_rows_not_stored_total",      "counter"},
    {"history", "commits",             "smdhost_history_commits_total",              "counter"},
    {"history", "failed_attempts",     "smdhost_history_failed_commits_total",       "counter"},
    {"history", "rows_pruned",         "smdhost_history_rows_pruned_total",          "counter"},
    {"history", "last_commit_seconds", "smdhost_history_last_commit_duration_seconds", "gauge"},
    {"history", "records_stored",      "smdhost_history_records_stored_total",       "counter"},
    {"mqtt", "mqtt_connected",         "smdhost_mqtt_connected",                     "gauge"},
    {"mqtt", "mqtt_outbox_depth",      "smdhost_mqtt_outbox_messages",               "gauge"},
    {"mqtt", "mqtt_oldest_message_age_seconds", "smdhost_mqtt_oldest_message_age_seconds", "gauge"},
    {"mqtt", "mqtt_messages_dropped",  "smdhost_mqtt_messages_dropped_total",        "counter"},
    {"mqtt", "mqtt_messages_sent",     "smdhost_mqtt_messages_sent_total",           "counter"},
    {"mqtt", "mqtt_connection_failures", "smdhost_mqtt_connection_failures_total",   "counter"},
    {"mqtt", "mqtt_messages_lost",     "smdhost_mqtt_messages_lost_total",           "counter"},
    {"tsdb", "tsdb_queue_depth",       "smdhost_tsdb_queue_lines",                   "gauge"},
    {"tsdb", "tsdb_oldest_line_age_seconds", "smdhost_tsdb_oldest_line_age_seconds",     "gauge"},
    {"tsdb", "tsdb_lines_dropped",     "smdhost_tsdb_lines_dropped_total",           "counter"},
    {"tsdb", "tsdb_lines_sent",        "smdhost_tsdb_lines_sent_total",              "counter"},
    {"tsdb", "tsdb_lines_rejected",    "smdhost_tsdb_lines_rejected_total",          "counter"},
    {"tsdb", "tsdb_write_failures",    "smdhost_tsdb_write_failures_total",          "counter"},
};

constexpr struct {
    const char* unit;
    SignalFamily family;
} kUnits[] = {
    {"V",  {"smdhost_signal_volts", 1, false}},
    {"mV", {"smdhost_signal_volts", 1e-3, false}},
    {"A",  {"smdhost_signal_amperes", 1, false}},
    {"mA", {"smdhost_signal_amperes", 1e-3, false}},
    {"Hz", {"smdhost_signal_hertz", 1, false}},
    {"°C", {"smdhost_signal_celsius", 1, false}},
    {"W",  {"smdhost_signal_watts", 1, false}},
    {"kW", {"smdhost_signal_watts", 1e3, false}},
    {"Wh", {"smdhost_signal_joules", 3600, false}},
    {"kWh", {"smdhost_signal_joules", 3.6e6, false}},
    {"Ah", {"smdhost_signal_coulombs", 3600, false}},
    {"%",  {"smdhost_signal_ratio", 0.01, false}},
    {"s",  {"smdhost_signal_seconds", 1, false}},
};
// clang-format on

constexpr SignalFamily kOther{"smdhost_signal_value", 1, true};

std::string Sanitized(const std::string& v) {
    std::string out;
    for (char c : v) out += (std::isalnum(static_cast<unsigned char>(c)) || c == '_') ? c : '_';
    return out;
}

}  // namespace

MetricName SinkFigureMetric(const std::string& sink, const std::string& figure) {
    for (const auto& r : kFigures)
        if (sink == r.sink && figure == r.figure) return {r.metric, r.type};
    const std::string name = "smdhost_sink_" + Sanitized(figure);
    const bool counter = name.size() > 6 && name.compare(name.size() - 6, 6, "_total") == 0;
    return {name, counter ? "counter" : "gauge"};
}

SignalFamily SignalFamilyOf(const std::string& unit) {
    for (const auto& u : kUnits)
        if (unit == u.unit) return u.family;
    return kOther;
}
