#pragma once
// The SNMP sink: keeps the snapshot the AgentX subagent answers from, on the polling thread,
// under a short lock; queues alarm notifications for the agent's thread.
#include <chrono>
#include <vector>

#include "core/logger.h"
#include "core/sink.h"
#include "snmp/agentx_agent.h"
#include "snmp/snmp_config.h"
#include "snmp/snmp_state.h"

class SnmpSink : public Sink {
  public:
    SnmpSink(SnmpConfig config, Logger& log) : agent_(std::move(config), state_, log) {}

    // Starts the subagent's thread; signals should be blocked already.
    void Start() { agent_.Start(); }

    const char* Name() const override { return "snmp"; }
    void OnDevices(const std::vector<DeviceDescription>& d) override { state_.SetDevices(d); }
    void OnRecord(const RecordOut& r) override { state_.Record(r); }
    void OnAlarm(const Alarm& a) override { state_.OnAlarm(a); }
    void OnHealth(const DeviceHealth& h) override { state_.Health(h); }
    std::vector<SinkFigure> Figures() const override {
        return {{"snmp_master_connected", agent_.Connected() ? 1.0 : 0.0,
                 "1 while registered with the AgentX master agent"},
                {"snmp_notifications_sent", static_cast<double>(agent_.NotificationsSent()),
                 "notifications handed to the master agent"},
                {"snmp_notifications_dropped", static_cast<double>(state_.DroppedNotices()),
                 "notifications dropped while the master agent was away too long"}};
    }
    // Notifications go at once while the master is there; nothing is left to finish.
    void Drain(std::chrono::milliseconds) override { agent_.Stop(); }
    // The agent's thread was left in the library's wait: the sink must not be destroyed.
    bool LeftRunning() const { return agent_.LeftRunning(); }

  private:
    SnmpState state_;  // before the agent, which uses it
    AgentxAgent agent_;
};
