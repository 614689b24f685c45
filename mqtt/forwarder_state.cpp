// What the broker retains for this site: the status, the last will and each device's
// description.
#include <mosquitto.h>

#include <stdexcept>

#include "mqtt/broker_errors.h"
#include "mqtt/forwarder.h"
#include "mqtt/payload.h"

namespace {
// The status carries counters too; they need not be fresher than this.
constexpr std::chrono::seconds kHeartbeat{300};
}  // namespace

void MqttForwarder::PublishStatus(bool online) {
    std::string body;
    if (online) {
        std::map<unsigned int, DeviceHealth> health;
        {
            std::lock_guard<std::mutex> lock(mu_);
            health = health_;
            healthChanged_ = false;
        }
        Json::Value outbox;
        for (const auto& f : Figures())
            if (f.name != "mqtt_connected") outbox[f.name.substr(5)] = f.value;
        body = mqtt_payload::Online(config_.siteId, epoch_, std::chrono::system_clock::now(),
                                    health, outbox);
    } else {
        body = mqtt_payload::Offline(config_.siteId, epoch_, std::chrono::system_clock::now());
    }
    int mid = 0;
    if (mosquitto_publish(mosq_, &mid, statusTopic_.c_str(), static_cast<int>(body.size()),
                          body.data(), 1, true) == MOSQ_ERR_SUCCESS)
        inflight_[mid] = Flight{0, statusTopic_};
    nextStatus_ = Clock::now() + std::chrono::seconds(1);
    nextHeartbeat_ = Clock::now() + kHeartbeat;
}

// Each device's description, retained, when it differs from what this connection sent.
void MqttForwarder::PublishDescriptions() {
    std::vector<DeviceDescription> devices;
    {
        std::lock_guard<std::mutex> lock(mu_);
        devices = devices_;
        devicesChanged_ = false;
    }
    for (const auto& d : devices) {
        std::string body = mqtt_payload::Description(config_.siteId, epoch_, d);
        std::string& sent = described_[d.dataId];
        if (body == sent) continue;
        const std::string topic =
            mqtt_payload::DeviceTopic(config_.topicPrefix, config_.siteId, d.dataId, "description");
        int mid = 0;
        if (mosquitto_publish(mosq_, &mid, topic.c_str(), static_cast<int>(body.size()),
                              body.data(), 1, true) != MOSQ_ERR_SUCCESS)
            return;  // the next connection sends them all
        inflight_[mid] = Flight{0, topic};
        sent = std::move(body);
    }
}

// The will goes with each connection, stamped with the time it was opened.
void MqttForwarder::SetWill() {
    const std::string offline =
        mqtt_payload::Offline(config_.siteId, epoch_, std::chrono::system_clock::now());
    const int rc = mosquitto_will_set(mosq_, statusTopic_.c_str(), static_cast<int>(offline.size()),
                                      offline.data(), 1, true);
    if (rc != MOSQ_ERR_SUCCESS)
        throw std::runtime_error("setting the last will: " + BrokerError(rc, 0, ""));
}
