#include "mqtt/refusals.h"

#include <algorithm>

bool Refusals::Refused(int64_t id, Clock::time_point now) {
    retrying_.erase(id);
    if (held_.empty()) next_ = now + wait_;
    held_.insert(id);
    ++count_;
    return (count_ & (count_ - 1)) == 0;
}

void Refusals::Accepted(int64_t id) {
    held_.erase(id);
    if (retrying_.erase(id)) wait_ = kFirstRetry;
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
    if (held_.empty()) wait_ = std::min(wait_ * 2, kMaxRetry);
    next_ = now + (held_.empty() ? wait_ : std::chrono::milliseconds(0));
    return due;
}
