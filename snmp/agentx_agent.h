#pragma once
// The AgentX subagent: a thread that owns every net-snmp call (the agent library is not
// thread-safe). It answers from a view of the shared snapshot, built on the first request after
// the snapshot changed, at a low scheduling priority; it sends the queued notifications
// and finds the master agent again when it goes: retries 1, 2, 4, ... seconds apart up to the
// configured most, logging at a falling rate. net-snmp keeps one agent per process, so one
// AgentxAgent runs at a time.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
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
    // Ends the thread. One held in net-snmp's own wait on a master that took the connection but
    // does not answer (6 s, which no setting shortens) is left behind after 200 ms, so a stop
    // never waits on it: LeftRunning() says so, and the process must then end without
    // destroying this agent.
    void Stop();
    bool LeftRunning() const { return leftRunning_; }

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
    std::atomic<bool> opening_{false};  // in net-snmp's connection to the master
    std::atomic<bool> leftRunning_{false};
    std::mutex endMu_;
    std::condition_variable endCv_;
    bool ended_ = false;  // under endMu_
    std::thread thread_;
};
