#pragma once
// The broker forwarder: a sink for device status, and a thread of its own that sends the
// outbox (see outbox.h) to an MQTT 5 broker with QoS 1, in order, and deletes each message when
// the broker acknowledged it; a message the broker refused stays (see refusals.h). Polling never
// waits for it: the sink's calls only note the status, and the outbox is written by the history
// writer.
//
// The broker's retained "<prefix>/<site>/status" is a state: "online" with the devices' health
// while connected, sent when a device's state changes and at a slow heartbeat, and "offline"
// after an orderly stop or, as the connection's last will, after a crash or a lost link. Connection
// trouble is logged at a falling rate, recovery once.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "core/logger.h"
#include "core/sink.h"
#include "mqtt/mqtt_config.h"
#include "mqtt/outbox.h"
#include "mqtt/outbox_message.h"
#include "mqtt/refusals.h"

struct mosquitto;
struct mqtt5__property;
struct sqlite3;

class MqttForwarder : public Sink {
  public:
    // `database` is the history database the outbox lives in.
    MqttForwarder(MqttConfig config, std::string database, Logger& log);
    ~MqttForwarder() override;
    MqttForwarder(const MqttForwarder&) = delete;
    MqttForwarder& operator=(const MqttForwarder&) = delete;

    // For the history writer, before it starts.
    HistoryCompanion& Companion() { return outbox_; }
    // Starts the sender; after the history store exists. Signals should be blocked already.
    void Start();

    const char* Name() const override { return "mqtt"; }
    void OnDevices(const std::vector<DeviceDescription>& devices) override;
    void OnHealth(const DeviceHealth& health) override;
    std::vector<SinkFigure> Figures() const override;
    // Sends what the outbox holds for at most `limit`, says "offline" and disconnects; what is
    // left is sent by the next run.
    void Drain(std::chrono::milliseconds limit) override;

  private:
    using Clock = std::chrono::steady_clock;
    // Messages handed to the library and not yet acknowledged: bounds its memory, and keeps the
    // link busy while acknowledgements travel.
    static constexpr std::size_t kWindow = 64;

    static void Exec(sqlite3* db, const char* sql);

    void Run();
    void Setup();
    bool Connect();
    void PublishMore();
    void PublishStatus(bool online);
    void SetWill();
    void PublishDescriptions();
    void DeleteAcked();
    void RefreshFigures();
    bool Sleep(Clock::time_point until);
    void Failure(const std::string& why);
    std::string Unanswered() const;
    std::string ConnectionError(int rc, bool answered) const;
    void Say(const std::string& line, Priority p = Priority::kInfo) const;

    static void OnConnect(mosquitto*, void* self, int rc);
    static void OnDisconnect(mosquitto*, void* self, int rc);
    static void OnLog(mosquitto*, void* self, int level, const char* line);
    static void OnPublish(mosquitto*, void* self, int mid, int reason,
                          const mqtt5__property* props);
    bool Publish(int64_t id, const char* topic, const void* payload, int len, int64_t queuedMs);
    // Builds a queued message and hands it to the library; false when the connection will not
    // take it now. A message whose history row is gone is set aside as lost.
    bool Send(const outbox_message::Queued& q, const outbox_message::Context& c);
    outbox_message::Context MessageContext() const;

    const MqttConfig config_;
    const std::string database_;
    const std::string statusTopic_;
    const std::string broker_;  // host:port, for messages
    Logger& log_;
    Outbox outbox_;

    // Sender thread only.
    mosquitto* mosq_ = nullptr;
    sqlite3* db_ = nullptr;
    bool socket_ = false;     // a connection is open or being opened
    bool connected_ = false;  // the broker accepted it
    bool everConnected_ = false;
    std::string refusal_;     // the broker's reason for refusing, from CONNACK
    std::string tlsVerdict_;  // why the TLS handshake failed, from the library's log
    uint64_t failures_ = 0;
    Clock::time_point connectBy_{};
    int64_t cursor_ = 0;  // last outbox id handed to the library
    struct Flight {
        int64_t id;  // outbox id; 0: the status
        std::string topic;
    };
    std::unordered_map<int, Flight> inflight_;  // by message id
    Refusals refusals_;
    std::vector<int64_t> acked_;
    std::vector<int64_t> lost_;  // messages whose history row was pruned before they went
    std::optional<outbox_message::Builder> builder_;  // on db_, while it is open
    bool outboxEmpty_ = false;
    Clock::time_point nextStatus_{};     // at most one a second
    Clock::time_point nextHeartbeat_{};  // sent even when nothing changed
    std::string epoch_;
    std::map<unsigned int, std::string> described_;  // descriptions sent on this connection
    Clock::time_point nextFigures_{};

    // Shared with the polling thread and readers of the figures.
    mutable std::mutex mu_;
    std::condition_variable cv_;
    bool stop_ = false;
    bool draining_ = false;
    Clock::time_point drainUntil_{};
    std::map<unsigned int, DeviceHealth> health_;
    bool healthChanged_ = false;
    std::vector<DeviceDescription> devices_;
    bool devicesChanged_ = false;
    bool devicesKnown_ = false;  // records are named by the devices' signal maps
    std::thread thread_;

    std::atomic<bool> figConnected_{false};
    std::atomic<int64_t> figDepth_{0};
    std::atomic<int64_t> figOldestMs_{0};  // queue time of the oldest message; 0: none
    std::atomic<uint64_t> figSent_{0};     // acknowledged by the broker
    std::atomic<uint64_t> figFailures_{0};
    std::atomic<uint64_t> figRefused_{0};
    std::atomic<uint64_t> figLost_{0};
};
