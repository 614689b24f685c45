#pragma once
// Runs protocol devices on their links from one thread.
//
// A DeviceDriver owns the schedule of one device on one link: it calls RefreshStatus every
// poll interval (when no round is in flight), writes frames held back by SendDelayData when
// their time comes, feeds received bytes to process(), gives up a reply that does not come in
// time (process_error) and counts rounds and errors. A DriverLoop runs any number of drivers
// with one poll(2) over all their ports, sleeping exactly until the earliest deadline, so a
// frame held for D ms leaves D ms after the reply that asked for it, not later.
//
//   SerialPort port({"/dev/ttyS1", 9600});
//   DeviceDriver driver(device, port, DriverOptions{});
//   DriverLoop loop;
//   loop.Add(driver);
//   loop.Start();            // its own thread; or call RunOnce() from yours
//   loop.Post({&driver, [&] { device.DeviceIoControl(...); }});  // between its rounds
//   loop.Stop();
//
// Threads: the loop's thread owns the drivers and their devices. Other threads reach a device
// only through tasks they Post, which the loop runs for that device when it is idle (between
// its rounds); a task not run by its deadline is expired instead, so a caller's wait is
// bounded. The device must outlive the driver, and the driver the loop's run. Counters may be
// read from any thread.
#include <poll.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/observer.h"
#include "host/pmbus_protocol.h"
#include "runtime/frame.h"
#include "runtime/link.h"
#include "runtime/serial_port.h"

struct DriverOptions {
    // From the start of one round to the start of the next; a round in flight is never cut.
    std::chrono::milliseconds pollInterval{1000};
    bool autoPoll = true;  // false: rounds start only on PollNow()
    // Reply time-outs: for the first byte after a command, and between bytes of a reply. A
    // reply must also be done within the first-byte time-out plus the line time of the longest
    // frame at `baud`, so a line that trickles or carries noise cannot hold a round open.
    std::chrono::milliseconds firstByteTimeout{1000};
    std::chrono::milliseconds interByteTimeout{300};
    int baud = 9600;  // a serial port's own speed replaces it
    // Milliseconds per SendDelayData unit (the device asks for 500 between commands).
    double delayScale = 1.0;
    // Receives the throttled communication reports; none when empty.
    std::function<void(const std::string&)> log;
};

struct PMBusRuntime;
struct SPDeviceRuntime;

class DeviceDriver : private HostObserver {
  public:
    using Clock = std::chrono::steady_clock;

    DeviceDriver(PMBusProtocol& device, SerialPort& port, DriverOptions options);
    // Any other link: whoever reads it hands the bytes to Receive().
    DeviceDriver(PMBusProtocol& device, Link& link, DriverOptions options);
    ~DeviceDriver() override;
    DeviceDriver(const DeviceDriver&) = delete;
    DeviceDriver& operator=(const DeviceDriver&) = delete;

    // Any thread: start a round (RefreshStatus) at the loop's next turn, whatever is in flight.
    void PollNow();

    uint64_t RoundsStarted() const { return roundsStarted_.load(); }
    uint64_t RoundsDone() const { return roundsDone_.load(); }  // records published
    uint64_t Replies() const;                                   // valid replies
    uint32_t Errors(frame::ReplyError kind) const;
    uint64_t TotalErrors() const;
    frame::ReplyError LastError() const;
    uint64_t PortFailures() const { return port_ ? port_->Failures() : 0; }
    // Rounds the plug-in's own failure cut short (an exception out of its code).
    uint64_t Exceptions() const { return exceptions_.load(); }
    PMBusProtocol& Device() { return device_; }

    // Loop side, all on the loop's thread.
    // No round asked for, no reply awaited and no frame held back: a command may go out.
    bool Idle() const;
    // A command of ours is on the line or held to leave: its reply has not settled yet.
    bool CommandUnderway() const;
    int Fd() const;
    short Events() const;
    Clock::time_point NextDeadline(Clock::time_point now) const;
    void Service(short revents, Clock::time_point now);
    // Bytes from a link the driver does not read itself.
    void Receive(const uint8_t* data, std::size_t len);
    void SetWake(std::function<void()> wake);

  private:
    void OnSendSP(int, const unsigned char*, unsigned int, bool) override;
    void Report();
    Clock::time_point ReplyDeadline() const;
    Clock::time_point OverallDeadline() const;
    void ReleaseHeld(Clock::time_point now);
    friend class DriverLoop;
    void Failed(const std::exception& e);

    PMBusProtocol& device_;
    SPDeviceRuntime& sp_;
    PMBusRuntime& pm_;
    SerialPort* port_ = nullptr;
    DriverOptions options_;
    std::function<void()> wake_;
    std::atomic<bool> pollRequested_{false};
    Clock::time_point nextRound_{};
    std::atomic<uint64_t> roundsStarted_{0};
    std::atomic<uint64_t> roundsDone_{0};
    std::atomic<uint64_t> exceptions_{0};
    Clock::duration maxFrameTime_{};
    std::array<uint32_t, frame::kReplyErrorCount> reportedByKind_{};
    uint64_t reportedDone_ = 0;
    uint64_t reportedFailed_ = 0;
    uint64_t failingStreak_ = 0;  // rounds failed since the last that succeeded
    uint8_t rx_[2 * frame::kMaxFrame];
};

// Work for the loop's thread, handed over by any thread.
struct LoopTask {
    using Clock = std::chrono::steady_clock;
    DeviceDriver* driver = nullptr;  // run once this driver is idle; none: at the next turn
    std::function<void()> run;
    Clock::time_point deadline = Clock::time_point::max();
    std::function<void()> expired;  // instead of run: the deadline passed or the loop closed
};

class DriverLoop {
  public:
    using Clock = std::chrono::steady_clock;

    DriverLoop();
    ~DriverLoop();
    DriverLoop(const DriverLoop&) = delete;
    DriverLoop& operator=(const DriverLoop&) = delete;

    // Before Start (or between RunOnce calls on the same thread).
    void Add(DeviceDriver& driver);
    // Runs the tasks that are due, then one poll over every port, sleeping at most `maxWait`
    // (or until `until`), then services every driver. A driver whose plug-in throws loses its
    // round; the others go on.
    void RunOnce(std::chrono::milliseconds maxWait = std::chrono::milliseconds(1000));
    void RunOnce(Clock::time_point until);
    // Runs, on the calling loop thread, every task whose driver is idle; expires those past
    // their deadline.
    void RunTasks();
    // Any thread. Expired at once when the loop is closed.
    void Post(LoopTask task);
    // Any thread: expires every queued task and every later one. What is in flight settles on
    // the loop's thread as usual.
    void Close();
    void Start();  // runs RunOnce on a thread of its own until Stop
    void Stop();
    // Any thread. A no-op on the thread inside RunOnce: it recomputes its deadlines anyway, and
    // the device's own sends during a reply would otherwise cost a wake-up each.
    void Wake();

  private:
    std::vector<DeviceDriver*> drivers_;
    std::vector<pollfd> fds_;
    int wakeFd_ = -1;
    std::atomic<std::thread::id> servicing_{};  // the thread inside RunOnce, if any
    std::mutex tasksMu_;
    std::deque<LoopTask> tasks_;
    bool closed_ = false;
    std::atomic<bool> running_{false};
    std::thread thread_;
};
