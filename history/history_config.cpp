#include "history/history_config.h"

#include "history/history_sink.h"

HistoryConfig ParseHistory(const JsonFile& file, const Json::Value& history) {
    file.OnlyKnown(
        history, "history",
        {"keepDays", "keepRowsPerDevice", "commitWindowMs", "queueLimit", "keepEventDays",
         "keepFiveMinuteDays", "keepHourDays", "maxMegabytes", "minFreeMegabytes"});
    HistoryConfig h;
    h.keepDays =
        static_cast<int>(file.Integer(history, "history", "keepDays", h.keepDays, 0, 36500));
    h.keepRowsPerDevice = static_cast<uint64_t>(
        file.Integer(history, "history", "keepRowsPerDevice", 0, 0, int64_t{1} << 40));
    h.commitWindowMs = static_cast<int>(
        file.Integer(history, "history", "commitWindowMs", h.commitWindowMs, 0, 60000));
    h.queueLimit =
        static_cast<int>(file.Integer(history, "history", "queueLimit", h.queueLimit, 1, 10000000));
    h.keepEventDays = static_cast<int>(
        file.Integer(history, "history", "keepEventDays", h.keepEventDays, 0, 36500));
    h.keepFiveMinuteDays = static_cast<int>(
        file.Integer(history, "history", "keepFiveMinuteDays", h.keepFiveMinuteDays, 0, 36500));
    h.keepHourDays = static_cast<int>(
        file.Integer(history, "history", "keepHourDays", h.keepHourDays, 0, 36500));
    h.maxMegabytes =
        file.Integer(history, "history", "maxMegabytes", h.maxMegabytes, 0, int64_t{1} << 30);
    h.minFreeMegabytes = file.Integer(history, "history", "minFreeMegabytes", h.minFreeMegabytes, 0,
                                      int64_t{1} << 30);
    return h;
}

HistoryOptions HistoryOptionsFrom(const HistoryConfig& config) {
    HistoryOptions o;
    o.retention.maxAgeMs = static_cast<int64_t>(config.keepDays) * 86400 * 1000;
    o.retention.maxRowsPerDevice = config.keepRowsPerDevice;
    o.retention.eventMaxAgeMs = static_cast<int64_t>(config.keepEventDays) * 86400 * 1000;
    o.retention.fineMaxAgeMs = static_cast<int64_t>(config.keepFiveMinuteDays) * 86400 * 1000;
    o.retention.coarseMaxAgeMs = static_cast<int64_t>(config.keepHourDays) * 86400 * 1000;
    o.retention.maxBytes = static_cast<uint64_t>(config.maxMegabytes) << 20;
    o.retention.minFreeBytes = static_cast<uint64_t>(config.minFreeMegabytes) << 20;
    o.commitWindow = std::chrono::milliseconds(config.commitWindowMs);
    o.queueLimit = static_cast<std::size_t>(config.queueLimit);
    return o;
}
