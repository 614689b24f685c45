#pragma once
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include <json/value.h>

#include "core/host.h"
#include "core/json_check.h"
#include "mqtt/mqtt_config.h"
#include "runner/service_notify.h"
#include "runner/site_config.h"

// Blocks SIGINT, SIGTERM and SIGHUP in every thread the host starts; one thread waits for
// them. SIGHUP reads the site file again: a file that does not load is reported and the running
// configuration kept.
class Signals {
  public:
    // `mqtt`: the broker settings the program started with, for a reload's report. `onStop`
    // runs after the host's Stop, on the waiting thread: what start-up may wait on gives up.
    Signals(Host& host, std::string siteFile, std::optional<MqttConfig> mqtt = std::nullopt,
            std::function<void()> onStop = {})
        : host_(host),
          siteFile_(std::move(siteFile)),
          mqtt_(std::move(mqtt)),
          onStop_(std::move(onStop)) {
        if (!siteFile_.empty()) members_ = Outside(JsonFile::Load(siteFile_));
        sigemptyset(&set_);
        sigaddset(&set_, SIGINT);
        sigaddset(&set_, SIGTERM);
        sigaddset(&set_, SIGHUP);
        sigaddset(&set_, SIGUSR1);  // our own wake-up at the end
        pthread_sigmask(SIG_BLOCK, &set_, nullptr);
        thread_ = std::thread([this] { Wait(); });
    }
    ~Signals() {
        pthread_kill(thread_.native_handle(), SIGUSR1);
        thread_.join();
    }
    // Reloads wait until the devices are set up.
    void Started() { started_ = true; }
    // SIGINT or SIGTERM came.
    bool Stopping() const { return stopping_; }

  private:
    void Wait() {
        for (;;) {
            int sig = 0;
            sigwait(&set_, &sig);
            if (sig == SIGUSR1) return;
            if (sig != SIGHUP) {
                service::Stopping();
                stopping_ = true;
                host_.Stop();
                if (onStop_) onStop_();
                return;
            }
            Reload();
        }
    }
    void Reload() {
        Logger& log = host_.Log();
        if (siteFile_.empty() || !started_) {
            log.Write(Priority::kWarning, siteFile_.empty()
                                              ? "SIGHUP: no site file to reload"
                                              : "SIGHUP: still starting, not reloaded");
            return;
        }
        service::Reloading();
        log.Write(Priority::kNotice, "SIGHUP: reloading " + siteFile_);
        try {
            SiteConfig next = LoadSiteConfig(siteFile_);
            // The members the host does not take are the program's and its sinks': each is
            // opened once, at start.
            const Json::Value members = Outside(JsonFile::Load(siteFile_));
            for (const auto& name : kOutside) {
                if (std::string(name) == "mqtt") continue;
                if (members[name] != members_[name])
                    log.Write(Priority::kWarning,
                              std::string("reload: ") + name + " changed: needs a restart, kept");
            }
            // The broker's settings are named, the password only as changed.
            const std::string was = MqttConfigChange(mqtt_, next.mqtt, false);
            const std::string is = MqttConfigChange(mqtt_, next.mqtt, true);
            if (was != is)
                log.Write(Priority::kWarning, "reload: mqtt changed from \"" + was + "\" to \"" +
                                                  is + "\": needs a restart, kept");
            host_.Reload(std::move(next));
        } catch (const std::exception& e) {
            log.Write(Priority::kErr,
                      "reload failed, the running configuration stays: " + std::string(e.what()));
        }
        service::Ready("running " + siteFile_);
    }

    static constexpr const char* kOutside[] = {
        "database", "controlSocket", "controlGroup", "history", "web", "mqtt", "snmp", "tsdb"};
    static Json::Value Outside(const Json::Value& root) {
        Json::Value out(Json::objectValue);
        for (const char* name : kOutside) out[name] = root[name];
        return out;
    }

    Host& host_;
    std::string siteFile_;
    std::optional<MqttConfig> mqtt_;
    std::function<void()> onStop_;
    Json::Value members_;  // the members outside the host's, as the program started with them
    std::atomic<bool> started_{false};
    std::atomic<bool> stopping_{false};
    sigset_t set_;
    std::thread thread_;
};
