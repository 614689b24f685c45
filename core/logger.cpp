#include "core/logger.h"

#include <sys/stat.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>

#ifdef SMD_HAVE_SYSTEMD
#include <systemd/sd-journal.h>
#endif

void Logger::Write(Priority priority, const std::string& text, const LogFields& fields) {
    if (static_cast<int>(priority) > static_cast<int>(threshold_.load())) return;
    std::lock_guard<std::mutex> lock(mu_);
    if (backend_)
        backend_(priority, text, fields);
    else
        out_ << text << std::endl;
}

bool IsJournalStream(int fd) {
    const char* env = std::getenv("JOURNAL_STREAM");
    if (env == nullptr) return false;
    unsigned long long dev = 0, ino = 0;
    if (std::sscanf(env, "%llu:%llu", &dev, &ino) != 2) return false;
    struct stat st {};
    return ::fstat(fd, &st) == 0 && static_cast<unsigned long long>(st.st_dev) == dev &&
           static_cast<unsigned long long>(st.st_ino) == ino;
}

bool SendToJournal(Priority priority, const std::string& text, const LogFields& fields) {
#ifdef SMD_HAVE_SYSTEMD
    const int p = static_cast<int>(priority);
    if (fields.dataId && !fields.alarmId.empty())
        return sd_journal_send("MESSAGE=%s", text.c_str(), "PRIORITY=%d", p, "SMD_DATA_ID=%u",
                               *fields.dataId, "SMD_ALARM_ID=%s", fields.alarmId.c_str(),
                               nullptr) >= 0;
    if (fields.dataId)
        return sd_journal_send("MESSAGE=%s", text.c_str(), "PRIORITY=%d", p, "SMD_DATA_ID=%u",
                               *fields.dataId, nullptr) >= 0;
    return sd_journal_send("MESSAGE=%s", text.c_str(), "PRIORITY=%d", p, nullptr) >= 0;
#else
    (void)priority;
    (void)text;
    (void)fields;
    return false;
#endif
}

std::string LogNumber(double v) {
    // What a stream's << prints (the C locale's %g), without a stream or printf's parsing: a
    // round's line formats every signal.
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::general, 6);
    return std::string(buf, r.ec == std::errc() ? r.ptr : buf);
}
