#include "mqtt/refusals.h"

#include "runtime/falling_rate.h"

namespace {

constexpr FallingRate kRate{Refusals::kFirstRetry, Refusals::kMaxRetry};

}  // namespace

bool Refusals::Refused(int64_t id, Clock::time_point now) {
    retrying_.erase(id);
    if (held_.empty()) next_ = now + kRate.Wait(passes_ + 1);
    held_.insert(id);
    ++count_;
    return FallingRate::LogDue(count_ - 1, count_);
}

void Refusals::Accepted(int64_t id) {
    held_.erase(id);
    if (retrying_.erase(id)) passes_ = 0;
}

std::vector<int64_t> Refusals::Due(Clock::time_point now, std::size_t max) {
    std::vector<int64_t> due;
    if (held_.empty() || now < next_) return due;
    while (!held_.empty() && due.size() < max) {
        due.push_back(*held_.begin());
        retrying_.insert(*held_.begin());
        held_.erase(held_.begin());
    }
    // The rest of a long list goes at the next turn; each full pass waits twice as long.
    if (held_.empty()) ++passes_;
    next_ = now + (held_.empty() ? kRate.Wait(passes_ + 1) : std::chrono::milliseconds(0));
    return due;
}
