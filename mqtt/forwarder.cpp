#include "mqtt/forwarder.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <poll.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "core/json_check.h"
#include "mqtt/broker_errors.h"
#include "mqtt/payload.h"
#include "outbox/sender_thread.h"
#include "runtime/falling_rate.h"

namespace {

using namespace std::chrono_literals;

constexpr FallingRate kRetry{250ms, 8s};
constexpr std::chrono::seconds kConnectTimeout = 10s;

std::string Describe(int rc) {
    return BrokerError(rc, 0, "");
}

}  // namespace

MqttForwarder::MqttForwarder(MqttConfig config, std::string database, Logger& log)
    : config_(std::move(config)),
      database_(std::move(database)),
      statusTopic_(mqtt_payload::StatusTopic(config_.topicPrefix, config_.siteId)),
      broker_(config_.host + ":" + std::to_string(config_.port)),
      log_(log),
      outbox_(config_.outboxMaxRows, config_.outboxMaxAgeSeconds,
              [&log](const std::string& line, Priority p) { log.Write(p, line); }) {}

MqttForwarder::~MqttForwarder() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        stop_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void MqttForwarder::Say(const std::string& line, Priority p) const {
    log_.Write(p, "mqtt: " + line);
}

void MqttForwarder::Start() {
    thread_ = StartSender([this] { Run(); });
}

void MqttForwarder::OnDevices(const std::vector<DeviceDescription>& devices) {
    std::lock_guard<std::mutex> lock(mu_);
    devices_ = devices;
    devicesChanged_ = true;
    devicesKnown_ = true;
}

void MqttForwarder::OnHealth(const DeviceHealth& health) {
    std::lock_guard<std::mutex> lock(mu_);
    const auto it = health_.find(health.dataId);
    if (it == health_.end() || !mqtt_payload::SameState(it->second, health)) healthChanged_ = true;
    health_[health.dataId] = health;
}

std::vector<SinkFigure> MqttForwarder::Figures() const {
    const int64_t oldest = figOldestMs_.load();
    const double age =
        oldest == 0
            ? 0.0
            : std::max<double>(
                  0.0, (mqtt_payload::EpochMs(std::chrono::system_clock::now()) - oldest) / 1000.0);
    return {
        {"mqtt_connected", figConnected_ ? 1.0 : 0.0, "1 while the broker accepts the connection"},
        {"mqtt_outbox_depth", static_cast<double>(figDepth_.load()),
         "messages waiting for the broker's acknowledgement"},
        {"mqtt_oldest_message_age_seconds", age, "age of the oldest message waiting"},
        {"mqtt_messages_dropped", static_cast<double>(outbox_.Dropped()),
         "messages dropped by the outbox bounds since start"},
        {"mqtt_messages_sent", static_cast<double>(figSent_.load()),
         "messages the broker acknowledged since start"},
        {"mqtt_connection_failures", static_cast<double>(figFailures_.load()),
         "failed or lost connections since start"},
        {"mqtt_messages_refused", static_cast<double>(figRefused_.load()),
         "refusals by the broker since start (the messages stay in the outbox)"},
        {"mqtt_messages_lost", static_cast<double>(figLost_.load()),
         "messages whose history row was pruned before they were sent, since start"},
    };
}

void MqttForwarder::Drain(std::chrono::milliseconds limit) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        draining_ = true;
        drainUntil_ = Clock::now() + limit;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void MqttForwarder::Setup() {
    static std::once_flag libInit;
    std::call_once(libInit, [] { mosquitto_lib_init(); });

    if (sqlite3_open_v2(database_.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK)
        throw std::runtime_error("cannot open " + database_ + ": " +
                                 (db_ ? sqlite3_errmsg(db_) : "out of memory"));
    sqlite3_busy_timeout(db_, 5000);
    // A delete lost to a power cut only means the message is sent once more.
    Exec(db_, "PRAGMA synchronous=NORMAL");
    epoch_ = Outbox::CreateTables(db_);
    builder_.emplace(db_);

    mosq_ = mosquitto_new(config_.clientId.c_str(), false, this);
    if (!mosq_) throw std::runtime_error("cannot create a client: " + Describe(MOSQ_ERR_ERRNO));
    // MQTT 5, so that a publish the broker refuses comes back with its reason (3.1.1 acknowledges
    // it as if delivered). Session expiry stays 0: the outbox is this client's session, and the
    // library resends what was in flight, so a broker need keep nothing for a site that is gone.
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_int_option(mosq_, MOSQ_OPT_SEND_MAXIMUM, static_cast<int>(kWindow));
    int rc = MOSQ_ERR_SUCCESS;
    if (!config_.username.empty())
        rc = mosquitto_username_pw_set(
            mosq_, config_.username.c_str(),
            config_.password.empty() ? nullptr : config_.password.c_str());
    if (rc != MOSQ_ERR_SUCCESS) throw std::runtime_error(Describe(rc));
    if (!config_.caFile.empty()) {
        // Checked again as the site file's load did: the library opens them blocking, and a
        // FIFO put there since would hold this thread past any stop.
        for (const std::string* f : {&config_.caFile, &config_.certFile, &config_.keyFile})
            if (!f->empty()) ::close(OpenInputFile(*f));
        rc =
            mosquitto_tls_set(mosq_, config_.caFile.c_str(), nullptr,
                              config_.certFile.empty() ? nullptr : config_.certFile.c_str(),
                              config_.keyFile.empty() ? nullptr : config_.keyFile.c_str(), nullptr);
        if (rc != MOSQ_ERR_SUCCESS) throw std::runtime_error("TLS set-up: " + Describe(rc));
    }
    mosquitto_connect_callback_set(mosq_, &MqttForwarder::OnConnect);
    mosquitto_log_callback_set(mosq_, &MqttForwarder::OnLog);
    mosquitto_disconnect_callback_set(mosq_, &MqttForwarder::OnDisconnect);
    mosquitto_publish_v5_callback_set(mosq_, &MqttForwarder::OnPublish);
}

void MqttForwarder::Run() {
    try {
        Setup();
    } catch (const std::exception& e) {
        Say(std::string("not forwarding: ") + e.what(), Priority::kErr);
        if (mosq_) mosquitto_destroy(mosq_);
        builder_.reset();
        sqlite3_close(db_);
        return;
    }
    Say("forwarding to broker " + broker_ + " as " + config_.clientId + " under " +
        statusTopic_.substr(0, statusTopic_.size() - 6));
    if (!config_.password.empty() && config_.caFile.empty())
        Say("the password goes to broker " + broker_ +
                " over plain TCP, readable on the way; set mqtt.tls to protect it",
            Priority::kWarning);
    bool attempted = false;
    auto nextAttempt = Clock::now();
    for (;;) {
        bool draining;
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (stop_ || (draining_ && Clock::now() >= drainUntil_)) break;
            // The outbox keeps what a broker out of reach did not take, for the next run.
            if (draining_ && !connected_ && failures_ > 0) break;
            draining = draining_;
        }
        try {
            // Done when a look after the stop finds nothing more to send.
            if (draining && connected_) {
                PublishMore();
                if (outboxEmpty_ && inflight_.empty() && acked_.empty()) break;
            }
            if (!socket_ && Clock::now() >= nextAttempt) {
                refusal_.clear();
                tlsVerdict_.clear();
                SetWill();
                const int rc =
                    attempted ? mosquitto_reconnect_async(mosq_)
                              : mosquitto_connect_async(mosq_, config_.host.c_str(), config_.port,
                                                        config_.keepAliveSeconds);
                attempted = true;
                if (rc == MOSQ_ERR_SUCCESS) {
                    socket_ = true;
                    connectBy_ = Clock::now() + kConnectTimeout;
                } else {
                    Failure(ConnectionError(rc, false));
                    nextAttempt = Clock::now() + kRetry.Wait(failures_);
                }
            }
            if (!socket_) {
                RefreshFigures();
                if (!Sleep(nextAttempt)) break;
                continue;
            }
            if (connected_) {
                PublishMore();
                bool changed, described;
                {
                    std::lock_guard<std::mutex> lock(mu_);
                    changed = healthChanged_;
                    described = !devicesChanged_;
                }
                if (!described) PublishDescriptions();
                const auto now = Clock::now();
                if ((changed || now >= nextHeartbeat_) && now >= nextStatus_) PublishStatus(true);
            }
            const bool answered = connected_;
            const int rc = mosquitto_loop(mosq_, 50, 1);
            DeleteAcked();
            std::string why;
            if (!refusal_.empty())
                why = refusal_;
            else if (rc != MOSQ_ERR_SUCCESS)
                why = ConnectionError(rc, answered);
            else if (!connected_)
                why = Unanswered();
            if (!why.empty()) {
                connected_ = false;
                socket_ = false;
                figConnected_ = false;
                Failure(why);
                nextAttempt = Clock::now() + kRetry.Wait(failures_);
            }
            RefreshFigures();
        } catch (const std::exception& e) {
            // The database: busy for longer than the time-out, or broken. Try again shortly.
            Failure(std::string("outbox: ") + e.what());
            if (!Sleep(Clock::now() + kRetry.Wait(failures_))) break;
        }
    }

    if (connected_) {
        PublishStatus(false);
        const auto until = Clock::now() + 1s;
        while (!inflight_.empty() && Clock::now() < until &&
               mosquitto_loop(mosq_, 50, 1) == MOSQ_ERR_SUCCESS) {
        }
        mosquitto_disconnect(mosq_);
        mosquitto_loop(mosq_, 10, 1);
    }
    try {
        DeleteAcked();
    } catch (const std::exception&) {
        // Sent again next time.
    }
    figConnected_ = false;
    nextFigures_ = Clock::time_point{};
    RefreshFigures();
    mosquitto_destroy(mosq_);
    mosq_ = nullptr;
    builder_.reset();
    sqlite3_close(db_);
    db_ = nullptr;
}

namespace {

// A broker that asks for a client certificate closes a connection without one, as a reset
// or a lost connection, whichever the socket saw first.
std::string WithCertificateHint(std::string why, const MqttConfig& c) {
    if (!c.caFile.empty() && c.certFile.empty())
        why +=
            " before the broker answered; if it asks for a client certificate, set "
            "mqtt.tls.certFile and keyFile";
    return why;
}

}  // namespace

std::string MqttForwarder::ConnectionError(int rc, bool answered) const {
    std::string why = BrokerError(rc, config_.keepAliveSeconds, tlsVerdict_);
    if (rc != MOSQ_ERR_TLS && !answered) why = WithCertificateHint(std::move(why), config_);
    return why;
}

// Why a connection the broker has not accepted yet is given up, or "" to wait on. Under TLS the
// library keeps writing to a socket whose connection was refused; the socket says so.
std::string MqttForwarder::Unanswered() const {
    pollfd p{mosquitto_socket(mosq_), POLLOUT, 0};
    if (p.fd >= 0 && ::poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR))) {
        int err = 0;
        socklen_t len = sizeof err;
        ::getsockopt(p.fd, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err == 0) return "connection refused or closed before the broker answered";
        if (err != ECONNRESET && err != EPIPE) return std::strerror(err);
        return WithCertificateHint(std::strerror(err), config_);
    }
    if (Clock::now() > connectBy_)
        return "no answer within " + std::to_string(kConnectTimeout.count()) + " s";
    return "";
}

bool MqttForwarder::Sleep(Clock::time_point until) {
    std::unique_lock<std::mutex> lock(mu_);
    const bool draining = draining_;
    cv_.wait_until(lock, draining ? std::min(until, drainUntil_) : until,
                   [&] { return stop_ || draining_ != draining; });
    return !stop_;
}

void MqttForwarder::Failure(const std::string& why) {
    ++failures_;
    ++figFailures_;
    // At a falling rate: the 1st, 2nd, 4th, 8th, ... failure in a row.
    if (FallingRate::LogDue(failures_ - 1, failures_))
        Say("broker " + broker_ + ": " + why +
                (failures_ > 1 ? " (" + std::to_string(failures_) + " failures in a row)" : "") +
                "; retrying, polling and history go on",
            Priority::kWarning);
}

void MqttForwarder::OnConnect(mosquitto*, void* self, int rc) {
    auto& f = *static_cast<MqttForwarder*>(self);
    if (rc != 0) {
        f.refusal_ = std::string("connection refused: ") + mosquitto_reason_string(rc);
        return;
    }
    f.connected_ = true;
    f.figConnected_ = true;
    if (!f.everConnected_)
        f.Say("connected to broker " + f.broker_);
    else if (f.failures_ > 0)
        f.Say("connected to broker " + f.broker_ + " again after " + std::to_string(f.failures_) +
              (f.failures_ == 1 ? " failure" : " failures"));
    f.everConnected_ = true;
    f.failures_ = 0;
    // The library resends what it holds unacknowledged. With nothing of the outbox in flight,
    // whatever is still there goes again from the start.
    if (std::none_of(f.inflight_.begin(), f.inflight_.end(),
                     [](const auto& m) { return m.second.id > 0; }))
        f.cursor_ = 0;
    // The status goes out at once.
    std::lock_guard<std::mutex> lock(f.mu_);
    f.healthChanged_ = true;
    f.nextStatus_ = Clock::time_point{};
    // So are the descriptions: a broker that lost its retained messages gets them again.
    f.described_.clear();
    f.devicesChanged_ = true;
}

// The library says why TLS failed only in its log, while the handshake's state still exists.
void MqttForwarder::OnLog(mosquitto* mosq, void* self, int level, const char* line) {
    auto& f = *static_cast<MqttForwarder*>(self);
    if (level != MOSQ_LOG_ERR || !f.tlsVerdict_.empty()) return;
    f.tlsVerdict_ = TlsVerdict(mosq, f.config_.host);
    const char* openssl = std::strstr(line, "OpenSSL Error");
    if (f.tlsVerdict_.empty() && openssl) f.tlsVerdict_ = openssl;
}

void MqttForwarder::OnDisconnect(mosquitto*, void* self, int) {
    auto& f = *static_cast<MqttForwarder*>(self);
    f.connected_ = false;
    f.figConnected_ = false;
}
