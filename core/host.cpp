#include "core/host.h"

#include <algorithm>
#include <filesystem>
#include <iomanip>
#include <sstream>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "core/json_check.h"
#include "core/limits.h"
#include "core/plugin_loader.h"
#include "host/pmbus_protocol.h"
#include "runtime/device_driver.h"

using Clock = std::chrono::steady_clock;

namespace {

std::string LocalClock() {
    const auto t = boost::posix_time::microsec_clock::local_time();
    std::ostringstream s;
    s << std::setfill('0') << std::setw(2) << t.time_of_day().hours() << ':' << std::setw(2)
      << t.time_of_day().minutes() << ':' << std::setw(2) << t.time_of_day().seconds() << '.'
      << std::setw(3) << t.time_of_day().fractional_seconds() / 1000;
    return s.str();
}

}  // namespace

Host::Host(HostConfig site, std::ostream& out)
    : site_(std::move(site)),
      log_(out),
      loop_(std::make_unique<DriverLoop>()),
      roundPriority_(site_.roundPriority) {}

Host::~Host() {
    loop_.reset();
    sessions_.clear();
    plugins_.reset();
}

void Host::Say(const std::string& line, Priority priority, const LogFields& fields) const {
    log_.Write(priority, line, fields);
}

void Host::Stop() {
    stopping_ = true;
    // Whatever waits in the queue is refused now; a command already on the line settles.
    loop_->Close();
}

void Host::Start() {
    // The store first: a database that cannot be written is the site file's fault (status 2),
    // found before any device runs.
    if (recall_ != nullptr) {
        try {
            recall_->Open();
        } catch (const std::exception& e) {
            throw ConfigError(site_.file + ": database: " + e.what());
        }
    }
    plugins_ = std::make_unique<PluginLoader>();
    for (std::size_t i = 0; i < site_.plugins.size(); ++i) {
        const std::string& path = site_.plugins[i];
        if (!std::filesystem::exists(path))
            throw ConfigError(site_.file + ": plugins[" + std::to_string(i) + "]: no plug-in " +
                              path);
        try {
            // A stop during a slow load: Run returns at once.
            if (!plugins_->Load(path, [this] { return stopping_.load(); })) return;
        } catch (const PluginError& e) {
            throw HostError(e.what());
        }
    }
    SessionContext context;
    context.log = &log_;
    context.roundPriority = &roundPriority_;
    context.sinks = &sinks_;
    context.recall = recall_;
    context.cacheMaxAgeSeconds = site_.cacheMaxAgeSeconds;
    context.levelNames = &site_.levelNames;
    context.simulate = simulate_;
    SignalMaps maps;
    for (const auto& dev : site_.devices) {
        auto session = std::make_unique<DeviceSession>(dev, context);
        session->signals = maps.Get(dev.signalMap);
        sessions_.push_back(std::move(session));
    }
    for (auto& s : sessions_) {
        if (stopping_) return;  // a signal during start-up: Run returns at once
        try {
            s->Start(*plugins_);
            s->running = true;
            loop_->Add(*s->driver);
        } catch (const std::exception& e) {
            Say(s->Tag() + "device " + std::to_string(s->config.dataId) +
                    " not started: " + e.what(),
                Priority::kErr, s->Fields());
            s->Close();
        }
    }
    if (stopping_) return;
    if (std::none_of(sessions_.begin(), sessions_.end(), [](const auto& s) { return s->running; }))
        throw ConfigError(site_.file + ": devices: no device could be started");
    Describe();
    started_ = true;  // control requests may queue from now on
}

bool Host::LoadLeftRunning() const {
    return plugins_ && plugins_->LeftRunning();
}

void Host::Describe() {
    std::vector<DeviceDescription> devices;
    for (const auto& s : sessions_)
        devices.push_back({s->config.dataId, s->config.model, s->config.port, s->running,
                           s->signals, LimitsBySignal(s->config)});
    for (Sink* sink : sinks_) sink->OnDevices(devices);
}

bool Host::Observe(unsigned int dataId, HostObserver& observer) {
    for (auto& s : sessions_)
        if (s->running && s->config.dataId == dataId) {
            s->protocol->AddObserver(&observer);
            return true;
        }
    return false;
}

// One turn: the queued tasks of idle devices, then the rounds that are due, then one wait on
// every port. A round is asked for only while its device is idle, so a task (a control command,
// new settings) runs between rounds and no round cuts into a command's reply.
void Host::Run() {
    std::vector<DeviceSession*> active;
    for (auto& s : sessions_)
        if (s->running) active.push_back(s.get());
    std::vector<bool> inRound(active.size(), false);
    const auto start = Clock::now();
    for (DeviceSession* s : active) s->nextPoll = start;
    Clock::time_point stopDeadline = Clock::time_point::max();

    for (;;) {
        if (turnHook_) turnHook_();
        loop_->RunTasks();
        const auto now = Clock::now();
        if (stopping_ && stopDeadline == Clock::time_point::max())
            stopDeadline = now + std::chrono::seconds(10);
        bool allDone = true;
        auto until = now + std::chrono::seconds(1);
        for (std::size_t i = 0; i < active.size(); ++i) {
            DeviceSession& s = *active[i];
            const bool limitReached =
                site_.rounds > 0 && s.rounds >= static_cast<uint64_t>(site_.rounds);
            bool idle = s.driver->Idle();
            if (idle && !stopping_ && !limitReached) {
                if (now >= s.nextPoll) {
                    ++s.rounds;
                    Say(s.Tag() + "── round " + std::to_string(s.rounds.load()) + " at " +
                            LocalClock() + " ──",
                        roundPriority_.load(), s.Fields());
                    s.nextPoll = std::max(
                        s.nextPoll + std::chrono::milliseconds(s.config.pollIntervalMs), now);
                    s.driver->PollNow();
                    inRound[i] = true;
                    idle = false;
                } else {
                    until = std::min(until, s.nextPoll);
                }
            }
            if (!(idle && (stopping_ || limitReached))) allDone = false;
        }
        if (allDone || now >= stopDeadline) break;
        loop_->RunOnce(until);
        for (std::size_t i = 0; i < active.size(); ++i) {
            const bool ended = inRound[i] && active[i]->driver->Idle();
            if (ended) inRound[i] = false;
            active[i]->AfterService(ended);
        }
    }
    // Nothing polls any more: what still waits is refused, and nothing is sent from now on.
    stopping_ = true;
    loop_->Close();
    // What the sinks were handed is stored (or counted as not) before the summary.
    for (Sink* sink : sinks_) sink->Drain(std::chrono::seconds(10));
}
