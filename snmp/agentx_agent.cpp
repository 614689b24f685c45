#include "snmp/agentx_agent.h"

#include <pthread.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <utility>

// clang-format off
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>
#include <net-snmp/agent/agent_callbacks.h>
// clang-format on

#include "runtime/falling_rate.h"
#include "snmp/mib_view.h"

// net-snmp's subagent connects with this; its header is not installed.
extern "C" int subagent_open_master_session(void);

namespace {

using Clock = std::chrono::steady_clock;

// Agent-thread state the handler and the connection callbacks reach through their void*.
// The view is built from a snapshot on the first request that needs it, once per snapshot:
// a host nobody asks builds none, and a walk's thousands of requests share one.
struct AgentLoop {
    SnmpSnapshot snap;
    uint64_t snapVersion = 0;  // moves when the snapshot or a status changes
    Oid base;
    std::chrono::seconds stale{0};
    bool connected = false;

    const MibView& View() {
        if (viewVersion != snapVersion) {
            view = BuildView(snap, base, std::chrono::system_clock::now(), stale);
            viewVersion = snapVersion;
        }
        return view;
    }

  private:
    MibView view;
    uint64_t viewVersion = 0;
};

int OnMasterUp(int, int, void*, void* loop) {
    static_cast<AgentLoop*>(loop)->connected = true;
    return SNMPERR_SUCCESS;
}

int OnMasterDown(int, int, void*, void* loop) {
    static_cast<AgentLoop*>(loop)->connected = false;
    return SNMPERR_SUCCESS;
}

void SetValue(netsnmp_variable_list* vb, const MibValue& v) {
    switch (v.kind) {
        case MibValue::kInteger: {
            const long n = static_cast<long>(v.number);
            snmp_set_var_typed_value(vb, ASN_INTEGER, &n, sizeof n);
            break;
        }
        case MibValue::kUnsigned:
        case MibValue::kCounter: {
            const u_long n = static_cast<u_long>(v.number);
            snmp_set_var_typed_value(vb, v.kind == MibValue::kCounter ? ASN_COUNTER : ASN_UNSIGNED,
                                     &n, sizeof n);
            break;
        }
        case MibValue::kString:
            snmp_set_var_typed_value(vb, ASN_OCTET_STR, v.text.data(), v.text.size());
            break;
    }
}

// GET is a lookup and GETNEXT the next entry of the one view the whole request sees; a
// GETNEXT past the last entry is left unanswered, so the master goes on to the next subtree.
int Handle(netsnmp_mib_handler* handler, netsnmp_handler_registration*,
           netsnmp_agent_request_info* info, netsnmp_request_info* requests) {
    const MibView& view = static_cast<AgentLoop*>(handler->myvoid)->View();
    for (netsnmp_request_info* r = requests; r; r = r->next) {
        if (r->processed) continue;
        netsnmp_variable_list* vb = r->requestvb;
        const Oid name(vb->name, vb->name + vb->name_length);
        if (info->mode == MODE_GET) {
            const auto it = view.find(name);
            if (it == view.end())
                netsnmp_set_request_error(info, r, SNMP_NOSUCHINSTANCE);
            else
                SetValue(vb, it->second);
        } else if (info->mode == MODE_GETNEXT) {
            const auto it = view.upper_bound(name);
            if (it == view.end()) continue;
            snmp_set_var_objid(vb, it->first.data(), it->first.size());
            SetValue(vb, it->second);
        } else {
            netsnmp_set_request_error(info, r, SNMP_ERR_NOTWRITABLE);
        }
    }
    return SNMP_ERR_NOERROR;
}

void Notify(const Oid& trap, const VarBinds& vars) {
    static const oid kSnmpTrapOid[] = {1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0};
    netsnmp_variable_list* list = nullptr;
    snmp_varlist_add_variable(&list, kSnmpTrapOid, OID_LENGTH(kSnmpTrapOid), ASN_OBJECT_ID,
                              trap.data(), trap.size() * sizeof(oid));
    for (const auto& [name, value] : vars)
        SetValue(snmp_varlist_add_variable(&list, name.data(), name.size(), ASN_NULL, nullptr, 0),
                 value);
    send_v2trap(list);
    snmp_free_varbind(list);
}

}  // namespace

AgentxAgent::AgentxAgent(SnmpConfig config, SnmpState& state, Logger& log)
    : config_(std::move(config)), state_(state), log_(log) {}

AgentxAgent::~AgentxAgent() {
    Stop();
}

void AgentxAgent::Start() {
    if (thread_.joinable()) return;
    thread_ = std::thread([this] {
        Run();
        std::lock_guard<std::mutex> lock(endMu_);
        ended_ = true;
        endCv_.notify_all();
    });
}

void AgentxAgent::Stop() {
    stop_ = true;
    state_.Wake();
    if (!thread_.joinable()) return;
    std::unique_lock<std::mutex> lock(endMu_);
    // A turn of the loop takes at most 250 ms: only the library's own wait is cut short.
    for (int waited = 0;
         !endCv_.wait_for(lock, std::chrono::milliseconds(10), [&] { return ended_; });) {
        waited += 10;
        if (opening_ && waited >= 200) {
            leftRunning_ = true;
            thread_.detach();
            return;
        }
    }
    lock.unlock();
    thread_.join();
}

void AgentxAgent::Run() {
    // Polling comes first: on a busy core a polling thread gets about ten times this one's share.
    // Lowering one's own priority needs no privilege.
    ::pthread_setname_np(::pthread_self(), "smdhost-snmp");
    if (::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kNice) != 0)
        log_.Write(Priority::kWarning, std::string("snmp: cannot lower the subagent's priority: ") +
                                           std::strerror(errno));
    AgentLoop loop;
    loop.base = config_.oidBase;
    loop.stale = std::chrono::seconds(config_.staleSeconds);
    const std::string where = "the AgentX master agent at " + config_.agentxSocket;
    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE, 1);
    netsnmp_ds_set_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_X_SOCKET,
                          config_.agentxSocket.c_str());
    // This thread reconnects, at its own falling rate; net-snmp's fixed-rate retry stays off.
    netsnmp_ds_set_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_PING_INTERVAL, 0);
    // The site file configures it all: no snmp.conf of the machine's, no state files written.
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_PERSIST_STATE, 1);
    // Its own lines (MIB files it looks for, a warning per retry) would flood the journal;
    // this thread says what matters. With no handler at all it would write to stderr.
    snmp_disable_log();
    netsnmp_register_loghandler(NETSNMP_LOGHANDLER_NONE, LOG_EMERG);
    snmp_register_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_START, OnMasterUp,
                           &loop);
    snmp_register_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_STOP, OnMasterDown,
                           &loop);
    init_agent("smdhost");
    netsnmp_handler_registration* reg = netsnmp_create_handler_registration(
        "smdhost", Handle, config_.oidBase.data(), config_.oidBase.size(), HANDLER_CAN_RONLY);
    reg->handler->myvoid = &loop;
    netsnmp_register_handler(reg);
    opening_ = true;
    init_snmp("smdhost");  // connects when the master is there
    opening_ = false;

    uint64_t version = 0;
    DeviceWatch watch;
    std::deque<std::pair<Oid, VarBinds>> deviceNotices;
    auto refreshed = Clock::time_point();
    auto nextTry = Clock::now();
    const FallingRate rate{std::chrono::seconds(1), std::chrono::seconds(config_.retryMaxSeconds)};
    uint64_t failures = 0;
    bool wasConnected = false;
    bool everConnected = false;
    // Set by the pipe: the queue is looked at only then, not on every request of a walk.
    bool woken = true;

    // Says once when the session came or went.
    const auto noteChange = [&](Clock::time_point now) {
        if (loop.connected == wasConnected) return;
        wasConnected = loop.connected;
        connected_ = loop.connected;
        if (loop.connected) {
            log_.Write(Priority::kNotice, std::string("snmp: ") +
                                              (everConnected ? "registered again" : "registered") +
                                              " with " + where);
            everConnected = true;
            failures = 0;
        } else {
            log_.Write(Priority::kWarning, "snmp: lost " + where + "; retrying");
            nextTry = now;
        }
    };
    while (!stop_) {
        const auto now = Clock::now();
        noteChange(now);
        if (!loop.connected && now >= nextTry) {
            // A new session knows no registrations: send them again, as net-snmp's own
            // reconnect does.
            opening_ = true;
            const bool opened = subagent_open_master_session() == 0;
            opening_ = false;
            if (opened) {
                loop.connected = true;
                register_mib_reattach();
            }
            if (!loop.connected) {
                const FallingRate::Step step = rate.After(++failures, now);
                if (step.log)
                    log_.Write(Priority::kWarning,
                               "snmp: cannot reach " + where + " (" + std::to_string(failures) +
                                   (failures == 1 ? " attempt" : " attempts") +
                                   "); polling goes on, next attempt in " +
                                   std::to_string(rate.Wait(failures).count() / 1000) + " s");
                nextTry = step.at;
            }
        }
        noteChange(now);
        // Once a second: a request costs a lookup, not a copy of the site, and the view
        // changes between requests only, so a walk never sees half a reload.
        if (now - refreshed >= std::chrono::seconds(1)) {
            refreshed = now;
            if (auto s = state_.Changed(version)) {
                loop.snap = std::move(*s);
                ++loop.snapVersion;
            }
            for (auto& notice : watch.Update(loop.snap, config_.oidBase,
                                             std::chrono::system_clock::now(), loop.stale))
                deviceNotices.push_back(std::move(notice));
            if (watch.Changed()) ++loop.snapVersion;
            while (deviceNotices.size() > SnmpState::kMaxQueued) deviceNotices.pop_front();
        }

        // Away from the master, notifications wait in the queue (bounded) for its return.
        if (loop.connected && woken) {
            woken = false;
            for (const AlarmNotice& n : state_.TakeNotices()) {
                Notify(NotificationOid(config_.oidBase, n.raised ? Notification::kAlarmRaised
                                                                 : Notification::kAlarmCleared),
                       AlarmVars(config_.oidBase, n.alarm));
                ++sent_;
            }
        }
        if (loop.connected) {
            for (const auto& [trap, vars] : deviceNotices) {
                Notify(trap, vars);
                ++sent_;
            }
            deviceNotices.clear();
        }

        int fds = 0;
        int block = 0;
        fd_set readable;
        FD_ZERO(&readable);
        timeval tv{0, 250000};
        snmp_select_info(&fds, &readable, &tv, &block);
        // Turn at least four times a second: staleness, reconnection and stopping.
        if (block || tv.tv_sec > 0 || tv.tv_usec > 250000) tv = {0, 250000};
        FD_SET(state_.WakeFd(), &readable);
        fds = std::max(fds, state_.WakeFd() + 1);
        const int n = ::select(fds, &readable, nullptr, nullptr, &tv);
        if (n > 0 && FD_ISSET(state_.WakeFd(), &readable)) {
            state_.ClearWake();
            woken = true;
        }
        if (n > 0)
            snmp_read(&readable);
        else if (n == 0)
            snmp_timeout();
        run_alarms();
        netsnmp_check_outstanding_agent_requests();
    }
    // net-snmp frees the arguments of callbacks still registered at shutdown: `loop` is ours.
    snmp_unregister_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_START, OnMasterUp,
                             &loop, 1);
    snmp_unregister_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_STOP, OnMasterDown,
                             &loop, 1);
    snmp_shutdown("smdhost");
    connected_ = false;
}
