#include "history/history_config.h"

HistoryConfig ParseHistory(const JsonFile& file, const Json::Value& history) {
    file.OnlyKnown(history, "history",
                   {"keepDays", "keepRowsPerDevice", "commitWindowMs", "queueLimit",
                    "keepEventDays", "maxMegabytes", "minFreeMegabytes"});
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
    h.maxMegabytes =
        file.Integer(history, "history", "maxMegabytes", h.maxMegabytes, 0, int64_t{1} << 30);
    h.minFreeMegabytes = file.Integer(history, "history", "minFreeMegabytes", h.minFreeMegabytes, 0,
                                      int64_t{1} << 30);
    return h;
}
