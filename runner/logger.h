#pragma once
// The host's own lines (not the plug-in's, which go to standard output as they are), each with
// a priority and the device and alarm it concerns. Plain lines to a stream by default.
#include <mutex>
#include <optional>
#include <ostream>
#include <string>

// syslog's numbers, so a journal backend can pass them on.
enum class Priority : int { kErr = 3, kWarning = 4, kNotice = 5, kInfo = 6, kDebug = 7 };

struct LogFields {
    std::optional<unsigned int> dataId;
    std::string alarmId;
};

class Logger {
  public:
    explicit Logger(std::ostream& out) : out_(out) {}

    // Any thread.
    void Write(Priority priority, const std::string& text, const LogFields& fields = {});
    // Lines less important than `p` are dropped.
    void SetThreshold(Priority p) { threshold_ = p; }

  private:
    std::ostream& out_;
    std::mutex mu_;
    Priority threshold_ = Priority::kDebug;
};
