#pragma once
// The host's own lines (not the plug-in's, which go to standard output as they are), each with
// a priority and the device and alarm it concerns. Plain lines to a stream by default; under
// systemd they go to the journal with their priority and fields instead.
#include <atomic>
#include <functional>
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
    // Takes a line instead of the stream, on the writer's thread, under the logger's lock.
    using Backend = std::function<void(Priority, const std::string&, const LogFields&)>;

    explicit Logger(std::ostream& out) : out_(out) {}

    // Any thread.
    void Write(Priority priority, const std::string& text, const LogFields& fields = {});
    // Lines less important than `p` are dropped.
    void SetThreshold(Priority p) { threshold_ = p; }
    // Before the host's threads start; an empty backend means the stream again.
    void SetBackend(Backend backend) { backend_ = std::move(backend); }

  private:
    std::ostream& out_;
    std::mutex mu_;
    std::atomic<Priority> threshold_{Priority::kDebug};
    Backend backend_;
};

// True when `fd` is the stream systemd connected to the journal (JOURNAL_STREAM names its
// device and inode), so that lines written there would lose their priority.
bool IsJournalStream(int fd);

// A number as the host's lines print it: six significant digits ("57.2", "0.002").
std::string LogNumber(double v);
// Sends one line to the journal with its priority and fields (SMD_DATA_ID, SMD_ALARM_ID); false
// when the journal did not take it or the host was built without libsystemd.
bool SendToJournal(Priority priority, const std::string& text, const LogFields& fields);
