// A host built without net-snmp's agent library: a site file that asks for the subagent is
// refused at start, naming why, rather than running without it unnoticed.
#include <stdexcept>

#include "snmp/agentx_agent.h"

AgentxAgent::AgentxAgent(SnmpConfig config, SnmpState& state, Logger& log)
    : config_(std::move(config)), state_(state), log_(log) {
    throw std::runtime_error(
        "snmp: this smdhost was built without net-snmp's agent library; remove the site "
        "file's \"snmp\" member or install a build with it");
}

AgentxAgent::~AgentxAgent() = default;
void AgentxAgent::Start() {}
void AgentxAgent::Stop() {}
void AgentxAgent::Run() {}
