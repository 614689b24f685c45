#pragma once
// The broker forwarder: a sink for device status, and a thread of its own that sends the
// outbox (see outbox.h) to an MQTT broker with QoS 1 on a persistent session, in order, and
// deletes each message when the broker acknowledged it. Polling never waits for it: the sink's
// calls only note the status, and the outbox is written by the history writer.
//
// The broker's retained "<prefix>/<site>/status" says "online" with the devices' health while
// connected, and "offline" after an orderly stop or, as the connection's last will, after a
// crash or a lost link. Connection trouble is logged at a falling rate, recovery once.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "mqtt/mqtt_config.h"
#include "mqtt/outbox.h"
#include "core/logger.h"
#include "core/sink.h"

struct mosquitto;
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
    void OnHealth(const DeviceHealth& health) override;
    std::vector<SinkFigure> Figures() const override;
    // Sends what the outbox holds for at most `limit`, says "offline" and disconnects; what is
    // left is sent by the next run.
    void Drain(std::chrono::milliseconds limit) override;

  private:
    using Clock = std::chrono::steady_clock;

    void Run();
    void Setup();
    bool Connect();
    void PublishMore();
    void PublishStatus(bool online);
    void DeleteAcked();
    void RefreshFigures();
    bool Sleep(Clock::time_point until);
    void Failure(const std::string& why);
    std::string Unanswered() const;
    void Say(const std::string& line, Priority p = Priority::kInfo) const;

    static void OnConnect(mosquitto*, void* self, int rc);
    static void OnDisconnect(mosquitto*, void* self, int rc);
    static void OnPublish(mosquitto*, void* self, int mid);

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
    std::string refusal_;  // the broker's reason for refusing, from CONNACK
    uint64_t failures_ = 0;
    std::chrono::milliseconds backoff_{};
    Clock::time_point connectBy_{};
    int64_t cursor_ = 0;                         // last outbox id handed to the library
    std::unordered_map<int, int64_t> inflight_;  // message id to outbox id
    std::vector<int64_t> acked_;
    bool outboxEmpty_ = false;
    Clock::time_point nextStatus_{};
    Clock::time_point nextFigures_{};

    // Shared with the polling thread and readers of the figures.
    mutable std::mutex mu_;
    std::condition_variable cv_;
    bool stop_ = false;
    bool draining_ = false;
    Clock::time_point drainUntil_{};
    std::map<unsigned int, DeviceHealth> health_;
    bool healthChanged_ = false;
    std::thread thread_;

    std::atomic<bool> figConnected_{false};
    std::atomic<int64_t> figDepth_{0};
    std::atomic<int64_t> figOldestMs_{0};  // queue time of the oldest message; 0: none
    std::atomic<uint64_t> figSent_{0};     // acknowledged by the broker
    std::atomic<uint64_t> figFailures_{0};
};
