#pragma once
// A serial line in raw 8N1 with non-blocking I/O, meant to be driven by poll(2). When the line
// fails (EIO, ENXIO, hang-up, the device file gone) it closes itself and reopens later with a
// growing back-off; the owner keeps calling it as if nothing happened.
//
// The line is held exclusively (TIOCEXCL and an flock), so two hosts never share one: the
// second gets "line in use". A path is opened only while it is a character device, so a port
// that vanished is not mistaken for whatever file takes its name.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include <sys/types.h>

#include "runtime/link.h"

// Puts an open terminal into raw 8N1 at `baud` (no echo, no flow control, no line editing).
// False when the speed is unknown or the fd is no terminal.
bool MakeRawTerminal(int fd, int baud);

class SerialPort : public Link {
  public:
    using Clock = std::chrono::steady_clock;

    struct Options {
        std::string path;
        int baud = 9600;
        std::chrono::milliseconds reopenFirst{100};  // first back-off after a failure
        std::chrono::milliseconds reopenMax{5000};
    };

    explicit SerialPort(Options options);
    ~SerialPort() override;
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Opens now; on failure schedules the next attempt. True when open.
    bool Open(Clock::time_point now = Clock::now());
    void Close();
    bool IsOpen() const { return fd_ >= 0; }
    int Fd() const { return fd_; }
    const std::string& Path() const { return options_.path; }
    int Baud() const { return options_.baud; }
    // Why the last open failed ("" after a good one), with the OS error; on the owner's thread.
    const std::string& OpenError() const { return openError_; }
    // The last open failed because another process holds the line.
    bool InUse() const { return inUse_; }

    // Queues the bytes and writes what the line takes now; the rest goes out on Flush. False
    // when the port is closed or the queue is full.
    bool Write(const uint8_t* data, std::size_t len) override;
    // Writes queued bytes; false when the port failed (and was closed).
    bool Flush();
    bool WantsWrite() const { return outLen_ > 0; }
    // Reads what is there: > 0 bytes read, 0 nothing now, -1 the port failed and was closed.
    ssize_t Read(uint8_t* buf, std::size_t cap);
    // poll(2) revents of a hang-up or error close the port; true when still open. Read first.
    bool CheckEvents(short revents);

    // While closed: when the next reopen is due, and the attempt itself.
    Clock::time_point NextReopen() const { return nextReopen_; }
    bool ReopenIfDue(Clock::time_point now);
    // Times the port failed while open, and times it was opened; readable from any thread.
    uint64_t Failures() const { return failures_.load(); }
    uint64_t Opens() const { return opens_.load(); }

  private:
    void Fail(Clock::time_point now);
    bool OpenFailed(int fd, Clock::time_point now, std::string why, bool inUse = false);

    Options options_;
    int fd_ = -1;
    uint8_t out_[8192];
    std::size_t outLen_ = 0;
    uint64_t reopenFailures_ = 0;  // in a row, since the port was last open
    Clock::time_point nextReopen_{};
    std::string openError_;
    bool inUse_ = false;
    std::atomic<uint64_t> failures_{0};
    std::atomic<uint64_t> opens_{0};
};
