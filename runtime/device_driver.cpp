#include "runtime/device_driver.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>

#include "runtime/pmbus_runtime.h"
#include "runtime/spdevice_runtime.h"

namespace {

bool IsPowerOfTwo(uint64_t n) {
    return n != 0 && (n & (n - 1)) == 0;
}

}  // namespace

DeviceDriver::DeviceDriver(PMBusProtocol& device, SerialPort& port, DriverOptions options)
    : DeviceDriver(device, static_cast<Link&>(port), std::move(options)) {
    port_ = &port;
    if (!port_->IsOpen()) port_->Open();
}

DeviceDriver::DeviceDriver(PMBusProtocol& device, Link& link, DriverOptions options)
    : device_(device), options_(std::move(options)) {
    SPDeviceRuntime& sp = device_.Runtime();
    std::lock_guard<std::recursive_mutex> lock(sp.mu);
    sp.link = &link;
    sp.delayScale = options_.delayScale;
    device_.AddObserver(this);
    nextRound_ = Clock::now();
}

DeviceDriver::~DeviceDriver() {
    SPDeviceRuntime& sp = device_.Runtime();
    std::lock_guard<std::recursive_mutex> lock(sp.mu);
    device_.RemoveObserver(this);
    sp.link = nullptr;
    sp.onSend = nullptr;
}

void DeviceDriver::SetWake(std::function<void()> wake) {
    wake_ = wake;
    std::lock_guard<std::recursive_mutex> lock(device_.Runtime().mu);
    device_.Runtime().onSend = std::move(wake);
}

void DeviceDriver::PollNow() {
    pollRequested_ = true;
    if (wake_) wake_();
}

uint64_t DeviceDriver::Replies() const {
    return const_cast<PMBusProtocol&>(device_).Protocol().replies.load();
}

uint32_t DeviceDriver::Errors(frame::ReplyError kind) const {
    return const_cast<PMBusProtocol&>(device_).Protocol().ErrorCount(kind);
}

uint64_t DeviceDriver::TotalErrors() const {
    return const_cast<PMBusProtocol&>(device_).Protocol().TotalErrors();
}

void DeviceDriver::OnSendSP(int, const unsigned char*, unsigned int, bool) {
    ++roundsDone_;
}

short DeviceDriver::Events() const {
    if (port_ == nullptr || !port_->IsOpen()) return 0;
    return static_cast<short>(POLLIN | (port_->WantsWrite() ? POLLOUT : 0));
}

DeviceDriver::Clock::time_point DeviceDriver::NextDeadline(Clock::time_point now) const {
    SPDeviceRuntime& sp = device_.Runtime();
    const PMBusRuntime& pm = device_.Protocol();
    std::lock_guard<std::recursive_mutex> lock(sp.mu);
    if (pollRequested_) return now;
    Clock::time_point next = Clock::time_point::max();
    if (port_ != nullptr && !port_->IsOpen()) next = std::min(next, port_->NextReopen());
    if (sp.holding) {
        next = std::min(next, sp.heldUntil);
    } else if (pm.awaiting) {
        next = std::min(next, pm.lastRx > sp.lastWrite ? pm.lastRx + options_.interByteTimeout
                                                       : sp.lastWrite + options_.firstByteTimeout);
    } else if (options_.autoPoll) {
        next = std::min(next, nextRound_);
    }
    return next;
}

void DeviceDriver::Receive(const uint8_t* data, std::size_t len) {
    std::lock_guard<std::recursive_mutex> lock(device_.Runtime().mu);
    device_.process(const_cast<uint8_t*>(data), static_cast<unsigned int>(len));
}

void DeviceDriver::Service(short revents, Clock::time_point now) {
    SPDeviceRuntime& sp = device_.Runtime();
    PMBusRuntime& pm = device_.Protocol();
    std::lock_guard<std::recursive_mutex> lock(sp.mu);
    if (port_ != nullptr) {
        if (!port_->IsOpen()) {
            port_->ReopenIfDue(now);
        } else {
            if (revents & POLLIN) {
                for (;;) {
                    const ssize_t n = port_->Read(rx_, sizeof rx_);
                    if (n <= 0) break;
                    device_.process(rx_, static_cast<unsigned int>(n));
                    if (static_cast<std::size_t>(n) < sizeof rx_) break;
                }
            }
            if (port_->IsOpen()) port_->CheckEvents(revents);
            if (port_->IsOpen() && (revents & POLLOUT)) port_->Flush();
        }
    }
    // A reply's handling may have held the next frame; time is read again so the reply's
    // processing does not count against the delay.
    now = std::max(now, Clock::now());
    sp.ReleaseHeld(now);
    if (pm.awaiting && !sp.holding) {
        const auto deadline = pm.lastRx > sp.lastWrite ? pm.lastRx + options_.interByteTimeout
                                                       : sp.lastWrite + options_.firstByteTimeout;
        if (now >= deadline) pm.TimedOut(device_);
    }
    const bool idle = !pm.awaiting && !sp.holding;
    const bool portUp = port_ == nullptr || port_->IsOpen();
    if (pollRequested_.exchange(false) ||
        (options_.autoPoll && idle && portUp && now >= nextRound_)) {
        nextRound_ = now + options_.pollInterval;
        ++roundsStarted_;
        device_.RefreshStatus();
    }
    Report(now);
}

// Failures are reported at a falling rate (1st, 2nd, 4th, 8th ... in a row) and the recovery
// once, so a dead line does not flood the log.
void DeviceDriver::Report(Clock::time_point) {
    const uint64_t errors = TotalErrors();
    const uint64_t replies = Replies();
    if (errors != reportedErrors_) {
        for (uint64_t i = reportedErrors_; i < errors; ++i) {
            ++failingStreak_;
            if (options_.log && IsPowerOfTwo(failingStreak_)) {
                options_.log("communication error (" + std::to_string(failingStreak_) +
                             " in a row, " + std::to_string(errors) + " in all)");
            }
        }
        reportedErrors_ = errors;
    } else if (replies != reportedReplies_ && failingStreak_ > 0) {
        failingStreak_ = 0;
        if (options_.log) options_.log("communication restored");
    }
    reportedReplies_ = replies;
}

DriverLoop::DriverLoop() : wakeFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

DriverLoop::~DriverLoop() {
    Stop();
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

void DriverLoop::Add(DeviceDriver& driver) {
    drivers_.push_back(&driver);
    fds_.resize(drivers_.size() + 1);
    driver.SetWake([this] { Wake(); });
}

void DriverLoop::Wake() {
    const uint64_t one = 1;
    if (wakeFd_ >= 0) (void)!::write(wakeFd_, &one, sizeof one);
}

void DriverLoop::RunOnce(std::chrono::milliseconds maxWait) {
    using Clock = DeviceDriver::Clock;
    auto now = Clock::now();
    auto until = now + maxWait;
    fds_[0] = pollfd{wakeFd_, POLLIN, 0};
    for (std::size_t i = 0; i < drivers_.size(); ++i) {
        fds_[i + 1] = pollfd{drivers_[i]->Fd(), drivers_[i]->Events(), 0};
        until = std::min(until, drivers_[i]->NextDeadline(now));
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
    for (std::size_t i = 0; i < drivers_.size(); ++i)
        drivers_[i]->Service(fds_[i + 1].revents, now);
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
