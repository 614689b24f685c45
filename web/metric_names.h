#pragma once
// How the host's figures are named for Prometheus: units in the name and in base units,
// counters ending in _total, one name per meaning. The sinks name their figures for people
// (the status page shows them); these tables give each its metric.
#include <string>

struct MetricName {
    std::string name;  // "smdhost_history_rows_stored_total"
    const char* type;  // "counter" or "gauge"
};

// A sink's figure; one the table does not know is a gauge "smdhost_sink_<figure>" (a counter
// when the figure's name already ends in _total).
MetricName SinkFigureMetric(const std::string& sink, const std::string& figure);

// A signal's family by its unit of measure, and the factor to the family's base unit:
// "V" -> smdhost_signal_volts x1, "%" -> smdhost_signal_ratio x0.01. An unknown unit gives
// smdhost_signal_value, with the unit as a label.
struct SignalFamily {
    const char* name;
    double factor;
    bool unitLabel;
};
SignalFamily SignalFamilyOf(const std::string& unit);
