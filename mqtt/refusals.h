#pragma once
// Messages the broker refused with an MQTT 5 reason code (an access rule, a quota, a payload too
// large). Their rows stay in the outbox and are offered again at a falling rate: a rule may be
// fixed on the broker, but a rule that stays must not make the forwarder hammer it. Sender's
// thread only.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <set>
#include <vector>

class Refusals {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kFirstRetry{1000};
    static constexpr std::chrono::milliseconds kMaxRetry{600000};

    // Outbox row `id` was refused. True when it should be logged: the 1st, 2nd, 4th, 8th, ...
    // refusal since start.
    bool Refused(int64_t id, Clock::time_point now);
    // Outbox row `id` was acknowledged; a retried one that got through starts the rate over.
    void Accepted(int64_t id);
    // Refused rows whose next try is due, oldest first, at most `max`; each is held again only
    // when refused again.
    std::vector<int64_t> Due(Clock::time_point now, std::size_t max);

    uint64_t Count() const { return count_; }
    std::size_t Held() const { return held_.size(); }

  private:
    std::set<int64_t> held_;      // refused, waiting for the next try
    std::set<int64_t> retrying_;  // offered again, not answered yet
    uint64_t passes_ = 0;         // full passes since a retried row got through
    Clock::time_point next_{};
    uint64_t count_ = 0;
};
