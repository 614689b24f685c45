// The sending half of the broker forwarder: the outbox read in order within a window, handed to
// the library, and deleted on the broker's acknowledgement; refusals held for another try.
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <sqlite3.h>

#include <algorithm>
#include <climits>
#include <stdexcept>

#include "mqtt/forwarder.h"
#include "mqtt/payload.h"
#include "outbox/statement.h"
#include "runtime/falling_rate.h"

using namespace std::chrono_literals;

void MqttForwarder::Exec(sqlite3* db, const char* sql) {
    char* err = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &err) != SQLITE_OK) {
        const std::string msg = err ? err : "unknown error";
        sqlite3_free(err);
        throw std::runtime_error(msg);
    }
}

void MqttForwarder::OnPublish(mosquitto*, void* self, int mid, int reason, const mqtt5__property*) {
    auto& f = *static_cast<MqttForwarder*>(self);
    const auto it = f.inflight_.find(mid);
    if (it == f.inflight_.end()) return;
    const Flight& m = it->second;
    if (reason >= 0x80 && m.id > 0) {
        ++f.figRefused_;
        if (f.refusals_.Refused(m.id, Clock::now()))
            f.Say("broker " + f.broker_ + " refused a message on " + m.topic + ": " +
                      mosquitto_reason_string(reason) + " (reason code " + std::to_string(reason) +
                      "); kept in the outbox and offered again at a " + "falling rate, " +
                      std::to_string(f.refusals_.Count()) + " refused so far",
                  Priority::kWarning);
    } else if (m.id > 0) {
        f.refusals_.Accepted(m.id);
        f.acked_.push_back(m.id);
    }
    f.inflight_.erase(it);
}

// Hands one message to the library; false when the connection will not take it now.
bool MqttForwarder::Publish(int64_t id, const char* topic, const void* payload, int len,
                            int64_t queuedMs) {
    // A message expires for the broker's subscribers when the outbox would have dropped it.
    const int64_t ageS =
        (mqtt_payload::EpochMs(std::chrono::system_clock::now()) - queuedMs) / 1000;
    const auto expiry = static_cast<uint32_t>(
        std::clamp<int64_t>(config_.outboxMaxAgeSeconds - ageS, 1, UINT32_MAX));
    mosquitto_property* props = nullptr;
    mosquitto_property_add_int32(&props, MQTT_PROP_MESSAGE_EXPIRY_INTERVAL, expiry);
    int mid = 0;
    const int rc = mosquitto_publish_v5(mosq_, &mid, topic, len, payload, 1, false, props);
    mosquitto_property_free_all(&props);
    if (rc != MOSQ_ERR_SUCCESS) return false;
    inflight_[mid] = Flight{id, topic};
    return true;
}

outbox_message::Context MqttForwarder::MessageContext() const {
    outbox_message::Context c{config_.topicPrefix, config_.siteId, epoch_, config_.rawRecord, {}};
    std::lock_guard<std::mutex> lock(mu_);
    for (const auto& d : devices_) c.signals[d.dataId] = d.signals;
    return c;
}

bool MqttForwarder::Send(const outbox_message::Queued& q, const outbox_message::Context& c) {
    const auto m = builder_->Build(q, c);
    if (m)
        return Publish(q.id, m->topic.c_str(), m->payload.data(),
                       static_cast<int>(m->payload.size()), q.queuedMs);
    // History's retention outran the outbox: the row is gone and the message with it. Said, as
    // the bounds' drops are, so that a gap in seq has its reason in the log.
    lost_.push_back(q.id);
    const uint64_t lost = ++figLost_;
    if (FallingRate::LogDue(lost - 1, lost))
        Say(std::string("the history row of a ") + outbox_message::KindName(q.kind) +
                " message of device " + std::to_string(q.dataId) + " (seq " +
                std::to_string(q.seq) + ") was pruned before it was sent: lost, " +
                std::to_string(lost) + " so far; keep history longer than the outbox's backlog",
            Priority::kWarning);
    return true;
}

void MqttForwarder::PublishMore() {
    if (inflight_.size() >= kWindow) return;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (!devicesKnown_) return;
    }
    const outbox_message::Context context = MessageContext();
    const std::string select =
        std::string("SELECT ") + outbox_message::kColumns + " FROM mqtt_outbox WHERE ";
    // Refused messages due for another try go first, by id.
    for (int64_t id : refusals_.Due(Clock::now(), kWindow - inflight_.size())) {
        QueueStatement s(db_, (select + "id = ?1").c_str(), "mqtt outbox");
        sqlite3_bind_int64(*s, 1, id);
        // Gone: dropped by the outbox bounds.
        if (s.Step("reading a refused message") == SQLITE_ROW &&
            !Send(outbox_message::Read(*s), context))
            refusals_.Refused(id, Clock::now());
    }
    if (inflight_.size() >= kWindow) return;
    QueueStatement s(db_, (select + "id > ?1 ORDER BY id LIMIT ?2").c_str(), "mqtt outbox");
    const std::size_t want = kWindow - inflight_.size();
    sqlite3_bind_int64(*s, 1, cursor_);
    sqlite3_bind_int64(*s, 2, static_cast<int64_t>(want));
    std::size_t got = 0;
    int rc;
    while ((rc = s.Step("reading the outbox")) == SQLITE_ROW) {
        const outbox_message::Queued q = outbox_message::Read(*s);
        if (!Send(q, context)) break;  // the loop finds out what is wrong with the connection
        cursor_ = q.id;
        ++got;
    }
    outboxEmpty_ = got < want && rc == SQLITE_DONE;
}

void MqttForwarder::DeleteAcked() {
    if (acked_.empty() && lost_.empty()) return;
    Exec(db_, "BEGIN IMMEDIATE");
    sqlite3_stmt* s = nullptr;
    bool ok = sqlite3_prepare_v2(db_, "DELETE FROM mqtt_outbox WHERE id = ?1", -1, &s, nullptr) ==
              SQLITE_OK;
    for (const auto* ids : {&acked_, &lost_})
        for (std::size_t i = 0; ok && i < ids->size(); ++i) {
            sqlite3_bind_int64(s, 1, (*ids)[i]);
            ok = sqlite3_step(s) == SQLITE_DONE;
            sqlite3_reset(s);
        }
    sqlite3_finalize(s);
    if (!ok || sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
        const std::string msg = sqlite3_errmsg(db_);
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw std::runtime_error("deleting sent messages: " + msg);
    }
    figSent_ += acked_.size();
    acked_.clear();
    lost_.clear();
}

// The depth from the first and last ids: rows leave in order, and count(*) would read every
// page of a large outbox.
void MqttForwarder::RefreshFigures() {
    const auto now = Clock::now();
    if (now < nextFigures_) return;
    nextFigures_ = now + 250ms;
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db_,
                           "SELECT coalesce(max(id) - min(id) + 1, 0), (SELECT queued_ms FROM "
                           "mqtt_outbox ORDER BY id LIMIT 1) FROM mqtt_outbox",
                           -1, &s, nullptr) == SQLITE_OK &&
        sqlite3_step(s) == SQLITE_ROW) {
        figDepth_ = sqlite3_column_int64(s, 0);
        figOldestMs_ = sqlite3_column_int64(s, 1);
    }
    sqlite3_finalize(s);
}
