#include "runtime/device_driver.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>

#include "runtime/falling_rate.h"
#include "runtime/pmbus_runtime.h"
#include "runtime/spdevice_runtime.h"

namespace {

// 10 bits a byte on the line (8N1).
std::chrono::steady_clock::duration LineTime(std::size_t bytes, int baud) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(static_cast<double>(bytes) * 10.0 / std::max(baud, 1)));
}

}  // namespace

DeviceDriver::DeviceDriver(PMBusProtocol& device, SerialPort& port, DriverOptions options)
    : DeviceDriver(device, static_cast<Link&>(port), std::move(options)) {
    port_ = &port;
    options_.baud = port.Baud();
    maxFrameTime_ = LineTime(frame::kMaxFrame, options_.baud);
    if (!port_->IsOpen()) port_->Open();
}

DeviceDriver::DeviceDriver(PMBusProtocol& device, Link& link, DriverOptions options)
    : device_(device), sp_(device.Runtime()), pm_(device.Protocol()), options_(std::move(options)) {
    std::lock_guard<std::recursive_mutex> lock(sp_.mu);
    sp_.link = &link;
    sp_.delayScale = options_.delayScale;
    maxFrameTime_ = LineTime(frame::kMaxFrame, options_.baud);
    device_.AddObserver(this);
    nextRound_ = Clock::now();
}

DeviceDriver::~DeviceDriver() {
    std::lock_guard<std::recursive_mutex> lock(sp_.mu);
    device_.RemoveObserver(this);
    sp_.link = nullptr;
    sp_.onSend = nullptr;
}

void DeviceDriver::SetWake(std::function<void()> wake) {
    wake_ = wake;
    std::lock_guard<std::recursive_mutex> lock(sp_.mu);
    sp_.onSend = std::move(wake);
}

void DeviceDriver::PollNow() {
    pollRequested_ = true;
    if (wake_) wake_();
}

uint64_t DeviceDriver::Replies() const {
    return pm_.replies.load();
}
uint32_t DeviceDriver::Errors(frame::ReplyError kind) const {
    return pm_.ErrorCount(kind);
}
frame::ReplyError DeviceDriver::LastError() const {
    return pm_.lastError.load();
}
uint64_t DeviceDriver::TotalErrors() const {
    return pm_.TotalErrors();
}

// First-byte time-out after a command, inter-byte time-out once the reply has begun, and
// never past the overall deadline.
DeviceDriver::Clock::time_point DeviceDriver::ReplyDeadline() const {
    const Clock::time_point next = pm_.lastRx > pm_.sentAt ? pm_.lastRx + options_.interByteTimeout
                                                           : pm_.sentAt + options_.firstByteTimeout;
    return std::min(next, OverallDeadline());
}

DeviceDriver::Clock::time_point DeviceDriver::OverallDeadline() const {
    return pm_.sentAt + options_.firstByteTimeout + maxFrameTime_;
}

// The held command leaves now, and only from now is its reply awaited.
void DeviceDriver::ReleaseHeld(Clock::time_point now) {
    if (!sp_.holding || now < sp_.heldUntil) return;
    const bool command = pm_.commandHeld;
    const bool written = sp_.ReleaseHeld(now);
    if (!command) return;
    if (written) {
        pm_.Sent(now);
        return;
    }
    pm_.commandHeld = false;
    pm_.Count(frame::ReplyError::kPortClosed);
    pm_.GiveUp(device_);
}

void DeviceDriver::OnSendSP(int, const unsigned char*, unsigned int, bool) {
    ++roundsDone_;
}

bool DeviceDriver::Idle() const {
    std::lock_guard<std::recursive_mutex> lock(sp_.mu);
    return !pollRequested_ && !pm_.awaiting && !sp_.holding;
}

bool DeviceDriver::CommandUnderway() const {
    std::lock_guard<std::recursive_mutex> lock(sp_.mu);
    return pm_.awaiting || (sp_.holding && pm_.commandHeld);
}

void DeviceDriver::Failed(const std::exception& e) {
    ++exceptions_;
    if (options_.log) options_.log(std::string("round failed: ") + e.what());
}

// Both under the port lock: a device used on another thread writes to the port, and a failed
// write closes it.
int DeviceDriver::Fd() const {
    std::lock_guard<std::recursive_mutex> lock(device_.Runtime().mu);
    return port_ && port_->IsOpen() ? port_->Fd() : -1;
}

short DeviceDriver::Events() const {
    std::lock_guard<std::recursive_mutex> lock(device_.Runtime().mu);
    if (port_ == nullptr || !port_->IsOpen()) return 0;
    return static_cast<short>(POLLIN | (port_->WantsWrite() ? POLLOUT : 0));
}

DeviceDriver::Clock::time_point DeviceDriver::NextDeadline(Clock::time_point now) const {
    std::lock_guard<std::recursive_mutex> lock(sp_.mu);
    if (pollRequested_) return now;
    Clock::time_point next = Clock::time_point::max();
    if (port_ != nullptr && !port_->IsOpen()) next = std::min(next, port_->NextReopen());
    if (sp_.holding) {
        next = std::min(next, sp_.heldUntil);
    } else if (pm_.awaiting) {
        next = std::min(next, ReplyDeadline());
    } else if (options_.autoPoll) {
        next = std::min(next, nextRound_);
    }
    return next;
}

void DeviceDriver::Receive(const uint8_t* data, std::size_t len) {
    std::lock_guard<std::recursive_mutex> lock(sp_.mu);
    device_.process(const_cast<uint8_t*>(data), static_cast<unsigned int>(len));
}

void DeviceDriver::Service(short revents, Clock::time_point now) {
    std::lock_guard<std::recursive_mutex> lock(sp_.mu);
    if (port_ != nullptr) {
        if (!port_->IsOpen()) {
            port_->ReopenIfDue(now);
        } else {
            if (revents & POLLIN) {
                // Everything waiting goes in one call, so a frame that came before a command
                // the call sends is known to be older than that command.
                for (;;) {
                    std::size_t got = 0;
                    ssize_t n = 0;
                    while (got < sizeof rx_ && (n = port_->Read(rx_ + got, sizeof rx_ - got)) > 0)
                        got += static_cast<std::size_t>(n);
                    if (got > 0) device_.process(rx_, static_cast<unsigned int>(got));
                    if (got < sizeof rx_) break;
                }
            }
            if (port_->IsOpen()) port_->CheckEvents(revents);
            if (port_->IsOpen() && (revents & POLLOUT)) port_->Flush();
        }
    }
    // Handling a reply may have held the next frame from a moment later than `now`: read the
    // clock again so a frame that is already due does not wait for another turn.
    now = std::max(now, Clock::now());
    ReleaseHeld(now);
    if (pm_.awaiting && !sp_.holding && now >= ReplyDeadline())
        pm_.TimedOut(device_, pm_.ExpiryKind(now >= OverallDeadline()));
    const bool idle = !pm_.awaiting && !sp_.holding;
    const bool portUp = port_ == nullptr || port_->IsOpen();
    if (pollRequested_.exchange(false) ||
        (options_.autoPoll && idle && portUp && now >= nextRound_)) {
        nextRound_ = now + options_.pollInterval;
        ++roundsStarted_;
        device_.RefreshStatus();
    }
    Report();
}

// Failed rounds are reported at a falling rate (1st, 2nd, 4th, 8th ... in a row) and the
// recovery once, after a round that succeeded, so a dead line does not flood the log. Errors
// that stop no round (a copy, an echo, noise between rounds) add no line of their own.
void DeviceDriver::Report() {
    const uint64_t done = roundsDone_.load();
    const uint64_t failed = pm_.givenUp.load();
    if (done == reportedDone_ && failed == reportedFailed_) return;
    // Every kind that occurred since the last round ended, not only the last one.
    std::string kinds;
    for (std::size_t k = 0; k < frame::kReplyErrorCount; ++k) {
        const auto kind = static_cast<frame::ReplyError>(k);
        const uint32_t n = pm_.ErrorCount(kind);
        if (n == reportedByKind_[k]) continue;
        reportedByKind_[k] = n;
        kinds += (kinds.empty() ? "" : ", ") + std::string(frame::to_string(kind));
        if (kind == frame::ReplyError::kPortClosed && port_ != nullptr &&
            !port_->OpenError().empty())
            kinds += " (" + port_->OpenError() + ")";
    }
    if (done != reportedDone_ && failingStreak_ > 0) {
        failingStreak_ = 0;
        if (options_.log) options_.log("communication restored");
    }
    const uint64_t streakBefore = failingStreak_;
    failingStreak_ += failed - reportedFailed_;
    if (FallingRate::LogDue(streakBefore, failingStreak_) && options_.log)
        options_.log("communication error: " + kinds + " (" + std::to_string(failingStreak_) +
                     " in a row, " + std::to_string(TotalErrors()) + " in all)");
    reportedDone_ = done;
    reportedFailed_ = failed;
}

DriverLoop::DriverLoop() : fds_(1), wakeFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

DriverLoop::~DriverLoop() {
    Stop();
    Close();
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

void DriverLoop::Add(DeviceDriver& driver) {
    drivers_.push_back(&driver);
    fds_.resize(drivers_.size() + 1);
    driver.SetWake([this] { Wake(); });
}

void DriverLoop::Wake() {
    if (servicing_.load(std::memory_order_relaxed) == std::this_thread::get_id()) return;
    const uint64_t one = 1;
    if (wakeFd_ >= 0) (void)!::write(wakeFd_, &one, sizeof one);
}

void DriverLoop::Post(LoopTask task) {
    {
        std::lock_guard<std::mutex> lock(tasksMu_);
        if (!closed_) {
            tasks_.push_back(std::move(task));
            task = LoopTask{};
        }
    }
    if (task.expired) task.expired();
    Wake();
}

void DriverLoop::Close() {
    std::deque<LoopTask> dropped;
    {
        std::lock_guard<std::mutex> lock(tasksMu_);
        closed_ = true;
        dropped.swap(tasks_);
    }
    for (LoopTask& t : dropped)
        if (t.expired) t.expired();
}

// Outside the queue's lock: a task may post another (to answer once its reply settled).
void DriverLoop::RunTasks() {
    // Called twice a turn, mostly with nothing queued: no allocation, no clock read then.
    std::vector<LoopTask> due;
    Clock::time_point now;
    {
        std::lock_guard<std::mutex> lock(tasksMu_);
        if (tasks_.empty()) return;
        now = Clock::now();
        for (auto it = tasks_.begin(); it != tasks_.end();) {
            // One task per driver a turn: the first may have made it busy.
            const bool ready =
                now >= it->deadline || it->driver == nullptr ||
                (it->driver->Idle() && std::none_of(due.begin(), due.end(), [&](const LoopTask& t) {
                     return t.driver == it->driver;
                 }));
            if (!ready) {
                ++it;
                continue;
            }
            due.push_back(std::move(*it));
            it = tasks_.erase(it);
        }
    }
    for (LoopTask& t : due) {
        if (now >= t.deadline) {
            if (t.expired) t.expired();
        } else if (t.run) {
            try {
                t.run();
            } catch (const std::exception& e) {
                if (t.driver) t.driver->Failed(e);
            }
        }
    }
}

void DriverLoop::RunOnce(std::chrono::milliseconds maxWait) {
    RunOnce(Clock::now() + maxWait);
}

void DriverLoop::RunOnce(Clock::time_point until) {
    servicing_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    RunTasks();
    auto now = Clock::now();
    fds_[0] = pollfd{wakeFd_, POLLIN, 0};
    for (std::size_t i = 0; i < drivers_.size(); ++i) {
        fds_[i + 1] = pollfd{drivers_[i]->Fd(), drivers_[i]->Events(), 0};
        until = std::min(until, drivers_[i]->NextDeadline(now));
    }
    {
        std::lock_guard<std::mutex> lock(tasksMu_);
        for (const LoopTask& t : tasks_) until = std::min(until, t.deadline);
    }
    const auto wait = std::max(until - now, Clock::duration::zero());
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
    timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    ::ppoll(fds_.data(), fds_.size(), &ts, nullptr);
    if (fds_[0].revents & POLLIN) {
        uint64_t n;
        (void)!::read(wakeFd_, &n, sizeof n);
    }
    now = Clock::now();
    for (std::size_t i = 0; i < drivers_.size(); ++i) {
        try {
            drivers_[i]->Service(fds_[i + 1].revents, now);
        } catch (const std::exception& e) {
            // The plug-in's own failure (its clock, its settings): this round is lost, the
            // next one runs.
            drivers_[i]->Failed(e);
        }
    }
    servicing_.store(std::thread::id(), std::memory_order_relaxed);
}

void DriverLoop::Start() {
    if (running_.exchange(true)) return;
    thread_ = std::thread([this] {
        while (running_) RunOnce();
    });
}

void DriverLoop::Stop() {
    if (!running_.exchange(false)) return;
    Wake();
    if (thread_.joinable()) thread_.join();
}
