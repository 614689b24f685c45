#pragma once
// The AgentX subagent: a thread that owns every net-snmp call (the agent library is not
// thread-safe). It answers from a view of the shared snapshot, built on the first request after
// the snapshot changed, at a low scheduling priority; it sends the queued notifications
// and finds the master agent again when it goes: retries 1, 2, 4, ... seconds apart up to the
// configured most, logging at a falling rate. net-snmp keeps one agent per process, so one
// AgentxAgent runs at a time.
#include <atomic>
#include <cstdint>
#include <thread>

#include "core/logger.h"
#include "snmp/snmp_config.h"
#include "snmp/snmp_state.h"

class AgentxAgent {
  public:
    AgentxAgent(SnmpConfig config, SnmpState& state, Logger& log);
    ~AgentxAgent();  // stops the thread
    AgentxAgent(const AgentxAgent&) = delete;
    AgentxAgent& operator=(const AgentxAgent&) = delete;

    void Start();
    void Stop();

    // The thread's nice value: a polling thread gets about ten times its share of a busy core.
    // At 19 walks waited up to 14 s behind the machine's other work.
    static constexpr int kNice = 10;

    // Any thread.
    bool Connected() const { return connected_; }
    uint64_t NotificationsSent() const { return sent_; }

  private:
    void Run();

    SnmpConfig config_;
    SnmpState& state_;
    Logger& log_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> connected_{false};
    std::atomic<uint64_t> sent_{0};
    std::thread thread_;
};
