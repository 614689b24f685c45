#include "runner/host.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <iomanip>
#include <limits>
#include <optional>
#include <sstream>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "host/framework.h"
#include "host/observer.h"
#include "runner/json_check.h"
#include "runner/plugin_loader.h"
#include "runner/record_layout.h"
#include "runner/signal_map.h"
#include "runtime/device_driver.h"
#include "runtime/pmbus_runtime.h"
#include "runtime/serial_port.h"
#include "runtime/spdevice_runtime.h"
#include "sim/simulator.h"

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

std::string Number(double v) {
    std::ostringstream s;
    s << v;
    return s.str();
}

// In settings mode 1 the device asks the host to check each analog value against the host's own
// limits, by alarm id. The host takes them from the same "thresholdSetting" rules the device
// reads in mode 5: "ID" is the alarm id, "UpValue" and "LowValue" the limits.
std::map<std::string, ThresholdLimitConfig> LimitsFromSettings(const Json::Value& settings) {
    std::map<std::string, ThresholdLimitConfig> out;
    const Json::Value& rules = settings["thresholdSetting"];
    if (!rules.isObject()) return out;
    auto number = [](const Json::Value& v, float fallback) {
        if (!v.isString() && !v.isNumeric()) return fallback;
        const std::string s = v.asString();
        return s.empty() ? fallback : static_cast<float>(std::strtod(s.c_str(), nullptr));
    };
    for (const auto& name : rules.getMemberNames()) {
        const Json::Value& r = rules[name];
        if (!r.isObject() || !(r["ID"].isString() || r["ID"].isNumeric())) continue;
        const std::string id = r["ID"].asString();
        if (id.empty() || (r["UpValue"].isNull() && r["LowValue"].isNull())) continue;
        out[id] =
            ThresholdLimitConfig{number(r["LowValue"], -std::numeric_limits<float>::infinity()),
                                 number(r["UpValue"], std::numeric_limits<float>::infinity())};
    }
    return out;
}

// Runs `f` with the working directory set to `dir`: the device finds its model files from
// there. Only set-up and reloads run it, on one thread, and nothing else in the process opens
// files by relative names once the store and the control socket are open.
template <class F>
void InDirectory(const std::string& dir, F&& f) {
    char* old = ::getcwd(nullptr, 0);
    if (::chdir(dir.c_str()) != 0) {
        std::free(old);
        throw HostError("cannot enter the working directory " + dir);
    }
    struct Back {
        char* old;
        ~Back() {
            if (old != nullptr && ::chdir(old) != 0) {
            }
            std::free(old);
        }
    } back{old};
    f();
}

// The settings mode the device will take: "appSetting"."b_mode" read as decimal, 1 when absent.
long SettingsMode(const Json::Value& settings) {
    if (!settings.isObject() || !settings["appSetting"].isObject()) return 1;
    const Json::Value& mode = settings["appSetting"]["b_mode"];
    if (mode.isNull()) return 1;
    if (!mode.isString() && !mode.isNumeric()) return -1;
    return std::strtol(mode.asString().c_str(), nullptr, 10);
}

// The model files a device looks for in its working directory, in the order it looks.
std::vector<std::string> ModelFileCandidates(unsigned int dataId, const std::string& type) {
    std::vector<std::string> out;
    for (const char* dir : {"ini/", "ini/zariza/"})
        for (const std::string& name : {std::to_string(dataId), type})
            for (const char* ext : {".yaml", ".ini"}) out.push_back(dir + name + ext);
    return out;
}

// Codes that may put a command on the line; every other code only reads.
bool SendsToUnit(int code) {
    return code == 100 || code == 102 || code == 106 || code == 310 || code == 320;
}

}  // namespace

// One configured device and everything the host keeps for it.
struct DeviceSlot : HostObserver {
    DeviceSlot(Host& h, const DeviceConfig& c) : host(h), config(c) {}

    Host& host;
    const DeviceConfig& config;
    std::function<void(const std::string&, Priority, const LogFields&)> say;
    std::atomic<Priority>* roundPriority = nullptr;
    const std::vector<Sink*>* sinks = nullptr;
    Json::Value values;  // signal values of the record last published

    std::unique_ptr<VDeviceInterface> device;
    PMBusProtocol* protocol = nullptr;
    std::shared_ptr<const SignalMap> signals = std::make_shared<const SignalMap>();
    Json::Value* doc = nullptr;  // the device's signal-value document (control code 803)
    std::unique_ptr<rtmk48sim::Simulator> sim;
    std::unique_ptr<SerialPort> port;
    std::unique_ptr<DeviceDriver> driver;
    bool running = false;

    // From the moment the loop asks for a round until the round has ended: a control command
    // sent meanwhile would take the place of a poll command.
    std::atomic<bool> inRound{false};
    // Health, on the loop's thread.
    bool portOpen = false;
    bool lastRoundGood = true;
    uint64_t publishedBefore = 0;
    std::optional<std::chrono::system_clock::time_point> lastGood;

    Clock::time_point nextPoll{};
    std::atomic<int> controlHold{0};
    std::mutex controlMu;
    int typeId = 0;

    // Counters: written on the loop's thread, read after the loop (or roughly, by the tests).
    std::atomic<uint64_t> rounds{0};
    std::atomic<uint64_t> published{0};
    std::atomic<uint64_t> raised{0};
    std::atomic<uint64_t> cleared{0};
    std::atomic<uint64_t> exceptions{0};

    std::string Tag() const { return "[" + std::to_string(config.dataId) + "] "; }
    LogFields Fields(const std::string& alarmId = {}) const { return {config.dataId, alarmId}; }

    // The record is out: the signal values it carries go into the device's document now, on
    // the device's own thread and before the device evaluates its thresholds.
    void OnSendSP(int type, const unsigned char* data, unsigned int len, bool) override {
        typeId = type;
        ++published;
        std::string shown;
        values = Json::Value(Json::objectValue);
        if (!signals->Empty()) {
            signals->Apply(data, len, values);
            for (const auto& f : signals->Fields()) {
                if (!values.isMember(f.name)) continue;
                if (doc != nullptr) (*doc)[f.name] = values[f.name];
                shown += " " + f.name + "=" + Number(values[f.name].asDouble());
            }
        }
        say(Tag() + "published record " + std::to_string(type) + " (" + std::to_string(len) +
                " bytes, stamped " + RecordStamp(data, len) + ")" + (shown.empty() ? "" : ":") +
                shown,
            roundPriority->load(), Fields());
    }

    void OnSaveDeviceHistory(const unsigned char* data, unsigned int len) override {
        const auto now = std::chrono::system_clock::now();
        RecordOut r;
        r.dataId = config.dataId;
        r.typeId = typeId;
        r.at = now;
        r.bytes = data;
        r.len = len;
        r.values = signals->Empty() ? nullptr : &values;
        for (Sink* s : *sinks) s->OnRecord(r);
    }

    void OnAlarm(const AlarmEvent& e) override {
        ++(e.raised ? raised : cleared);
        say(Tag() + (e.raised ? "ALARM RAISED  " : "alarm cleared ") + "level " +
                std::to_string(e.level) + "  id " + e.alarmId +
                (e.name == e.alarmId ? "" : "  " + e.name) + "  value " + e.value +
                (e.text.empty() ? "" : "  text " + e.text),
            e.raised ? Priority::kWarning : Priority::kNotice, Fields(e.alarmId));
        const AlarmOut out{config.dataId, std::chrono::system_clock::now(),
                           e.level,       e.alarmId,
                           e.name,        e.value,
                           e.text,        e.raised};
        for (Sink* s : *sinks) s->OnAlarm(out);
    }

    void OnAnalogReport(const std::string& signalId, float value,
                        const boost::posix_time::ptime&) override {
        ReportOut r;
        r.dataId = config.dataId;
        r.at = std::chrono::system_clock::now();
        r.signalId = signalId;
        r.value = value;
        for (Sink* s : *sinks) s->OnReport(r);
    }
};

Host::Host(SiteConfig site, std::ostream& out)
    : site_(std::move(site)),
      log_(out),
      wakeFd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      roundPriority_(site_.roundPriority) {}

Host::~Host() {
    control_.reset();
    for (auto& slot : slots_) {
        slot->driver.reset();
        if (slot->protocol) slot->protocol->RemoveObserver(slot.get());
        slot->device.reset();
        if (slot->sim) slot->sim->Close();
    }
    slots_.clear();
    plugins_.reset();
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

void Host::Say(const std::string& line, Priority priority, const LogFields& fields) const {
    log_.Write(priority, line, fields);
}

void Host::Wake() {
    if (loopThread_.load(std::memory_order_relaxed) == std::this_thread::get_id()) return;
    const uint64_t one = 1;
    if (wakeFd_ >= 0) (void)!::write(wakeFd_, &one, sizeof one);
}

void Host::Stop() {
    stopping_ = true;
    Wake();
}

void Host::Start() {
    // The socket first: a second host on a running site is turned away here, before it has
    // touched the store or any device (a device's start may store its cached record).
    if (!site_.controlSocket.empty()) {
        ControlServer::Options options;
        options.group = site_.controlGroup;
        try {
            control_ = std::make_unique<ControlServer>(
                site_.controlSocket, [this](const ControlRequest& r) { return Control(r); },
                options);
        } catch (const ControlError& e) {
            throw HostError(e.what());
        }
        Say("control channel on " + site_.controlSocket);
    }
    // Then the store: a database that cannot be written is the site file's fault (status 2),
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
            plugins_->Load(path);
        } catch (const PluginError& e) {
            throw HostError(e.what());
        }
    }
    for (const auto& dev : site_.devices) {
        auto slot = std::make_unique<DeviceSlot>(*this, dev);
        slot->say = [this](const std::string& line, Priority p, const LogFields& f) {
            Say(line, p, f);
        };
        slot->roundPriority = &roundPriority_;
        slot->sinks = &sinks_;
        if (!dev.signalMap.empty())
            slot->signals = std::make_shared<const SignalMap>(SignalMap::Load(dev.signalMap));
        slots_.push_back(std::move(slot));
    }
    for (auto& slot : slots_) {
        if (stopping_) return;  // a signal during start-up: Run returns at once
        try {
            StartDevice(*slot);
            slot->running = true;
        } catch (const std::exception& e) {
            Say(slot->Tag() + "device " + std::to_string(slot->config.dataId) +
                    " not started: " + e.what(),
                Priority::kErr, slot->Fields());
            slot->driver.reset();
            if (slot->protocol) slot->protocol->RemoveObserver(slot.get());
            slot->protocol = nullptr;
            slot->device.reset();
            if (slot->sim) slot->sim->Close();
        }
    }
    if (stopping_) return;
    if (std::none_of(slots_.begin(), slots_.end(), [](const auto& s) { return s->running; }))
        throw HostError("no device could be started");
    Describe();
    started_ = true;  // the control channel may look at the devices from now on
}

// The device reads its model file itself, and would block on a FIFO or fill memory from a
// device file: the file it will pick is checked first. Without one its alarm checks are off.
void Host::CheckModelFile(DeviceSlot& slot, const DeviceConfig& c) {
    if (SettingsMode(c.settings) != 1) return;
    const std::string base =
        c.workDir.empty() || c.workDir.back() == '/' ? c.workDir : c.workDir + "/";
    for (const std::string& name : ModelFileCandidates(c.dataId, slot.device->DeviceType())) {
        struct stat st {};
        if (::stat((base + name).c_str(), &st) != 0) continue;
        const std::string problem = InputFileProblem(base + name);
        if (!problem.empty()) throw HostError("model file " + base + name + " " + problem);
        return;
    }
    Say(slot.Tag() + "no model file (ini/" + std::to_string(c.dataId) + ".ini, ini/" +
            slot.device->DeviceType() + ".ini, ...) in " + c.workDir +
            ": settings mode 1 runs with every alarm check off",
        Priority::kWarning, slot.Fields());
}

void Host::StartDevice(DeviceSlot& slot) {
    const DeviceConfig& c = slot.config;
    slot.device = plugins_->Create(c.model);
    slot.protocol = dynamic_cast<PMBusProtocol*>(slot.device.get());
    if (slot.protocol == nullptr)
        throw HostError("model " + c.model + " is not a serial protocol device");
    Json::Value config;
    config["model"] = c.model;
    config["port"] = c.port;
    slot.device->Init({}, c.dataId, config);
    slot.protocol->AddObserver(&slot);
    std::map<std::string, ThresholdLimitConfig> limits = LimitsFromSettings(c.settings);
    for (const auto& [id, l] : c.limits) limits[id] = l;
    for (const auto& [id, l] : limits) slot.protocol->SetThresholdLimit(id, l.lower, l.upper);

    Say(slot.Tag() + "setting up " + c.model + " data id " + std::to_string(c.dataId) + " on " +
            c.port,
        Priority::kInfo, slot.Fields());
    CheckModelFile(slot, c);
    try {
        InDirectory(c.workDir, [&] { slot.device->InitSetting(c.settings); });
    } catch (const HostError&) {
        throw;
    } catch (const std::exception& e) {
        throw HostError(std::string("InitSetting failed: ") + e.what());
    }

    for (const auto& [id, r] : c.analogReports) {
        SMDVDevice::BAOSetting s;
        s.absEnable = r.absolute.has_value();
        s.absDelta = r.absolute.value_or(0.0f);
        s.pctEnable = r.percent.has_value();
        s.pctDelta = r.percent.value_or(0.0f);
        s.periodEnable = r.periodMinutes.has_value();
        s.periodMinutes = r.periodMinutes.value_or(0.0f);
        slot.protocol->SetAOReport(id, s);
    }

    // The document's address: the host writes the signal values there (see OnSendSP).
    void* address = nullptr;
    int retLen = 0;
    if (slot.device->DeviceIoControl(803, nullptr, 0, &address, sizeof address, retLen) == 0 &&
        retLen == static_cast<int>(sizeof address))
        slot.doc = static_cast<Json::Value*>(address);
    else if (!slot.signals->Empty())
        Say(slot.Tag() + "the device hands out no signal-value document: values not written",
            Priority::kWarning, slot.Fields());

    std::string path = c.port;
    if (c.port == kSimulatedPort) {
        rtmk48sim::SimOptions simOptions;
        simOptions.keepLog = false;  // the host runs for months; nothing reads the log here
        slot.sim = std::make_unique<rtmk48sim::Simulator>(simOptions);
        std::string error;
        if (!slot.sim->Open(&error)) throw HostError("simulator: " + error);
        if (!c.simulation.isNull()) {
            bool ok = true;
            slot.sim->WithUnit(
                [&](rtmk48sim::UnitModel& unit) { ok = unit.LoadScenario(c.simulation, &error); });
            if (!ok) throw HostError("simulation scenario: " + error);
        }
        slot.sim->Start();
        path = slot.sim->SlavePath();
    }
    slot.port = std::make_unique<SerialPort>(
        SerialPort::Options{path, static_cast<SMDSPDevice*>(slot.protocol)->BaudRate()});
    if (!slot.port->Open()) {
        // Another host on this line would make both fail: this device stays out.
        if (slot.port->InUse()) throw HostError(slot.port->OpenError());
        Say(slot.Tag() + "cannot open " + slot.port->OpenError() + ": retrying", Priority::kErr,
            slot.Fields());
    }

    // Alarms standing when the host stopped stand again: the first evaluation raises nothing
    // new and clears what cleared meanwhile.
    for (const StandingAlarm& a :
         recall_ ? recall_->StandingAlarms(c.dataId) : std::vector<StandingAlarm>{}) {
        slot.protocol->RestoreAlarm(a.alarmId, a.text);
        const AlarmOut out{c.dataId, a.since, a.level, a.alarmId, a.name,
                           a.value,  a.text,  true,    true};
        for (Sink* s : sinks_) s->OnAlarm(out);
        Say(slot.Tag() + "alarm " + a.alarmId + " still stands (raised " +
                std::to_string(std::chrono::duration_cast<std::chrono::seconds>(
                                   std::chrono::system_clock::now() - a.since)
                                   .count()) +
                " s ago)",
            Priority::kInfo, LogFields{c.dataId, a.alarmId});
    }

    // A cached record is stamped with the current time again, so only a recent one may return.
    if (auto last = recall_ ? recall_->LastRecord(c.dataId) : std::nullopt) {
        const auto age = std::chrono::duration_cast<std::chrono::seconds>(
            std::chrono::system_clock::now() - last->at);
        if (age.count() < site_.cacheMaxAgeSeconds) {
            Say(slot.Tag() + "restoring the last record (" + std::to_string(age.count()) +
                    " s old)",
                Priority::kInfo, slot.Fields());
            try {
                std::lock_guard<std::recursive_mutex> lock(slot.protocol->Runtime().mu);
                if (slot.device->LoadFromCache(last->bytes.data(),
                                               static_cast<int>(last->bytes.size())) == 0)
                    Say(slot.Tag() + "the device refused the cached record", Priority::kWarning,
                        slot.Fields());
            } catch (const std::exception& e) {
                ++slot.exceptions;
                Say(slot.Tag() + "restoring the cached record failed: " + e.what(), Priority::kErr,
                    slot.Fields());
            }
        } else {
            Say(slot.Tag() + "last record is " + std::to_string(age.count()) +
                    " s old: not restored (limit " + std::to_string(site_.cacheMaxAgeSeconds) +
                    " s)",
                Priority::kInfo, slot.Fields());
        }
    }

    DriverOptions o;
    o.autoPoll = false;  // rounds are scheduled here, so a round limit and a stop are exact
    o.pollInterval = std::chrono::milliseconds(c.pollIntervalMs);
    o.firstByteTimeout = std::chrono::milliseconds(c.replyTimeoutMs);
    o.delayScale = c.delayScale;
    // The driver reports failures at a falling rate, and the one recovery line.
    o.log = [this, tag = slot.Tag(), fields = slot.Fields()](const std::string& line) {
        Say(tag + line, line == "communication restored" ? Priority::kNotice : Priority::kErr,
            fields);
    };
    slot.driver = std::make_unique<DeviceDriver>(*slot.protocol, *slot.port, o);
    slot.driver->SetWake([this] { Wake(); });
}

struct Host::PendingReload {
    // One per slot: the new configuration and signal map to apply, or none.
    std::vector<std::unique_ptr<DeviceConfig>> devices;
    std::vector<std::shared_ptr<const SignalMap>> maps;
    Priority roundPriority = Priority::kInfo;
};

void Host::Reload(SiteConfig next) {
    auto pending = std::make_unique<PendingReload>();
    pending->roundPriority = next.roundPriority;
    pending->devices.resize(slots_.size());
    pending->maps.assign(slots_.size(), std::make_shared<const SignalMap>());
    // Everything that can fail comes first, so a bad file changes nothing.
    for (std::size_t i = 0; i < slots_.size(); ++i)
        for (const DeviceConfig& d : next.devices)
            if (d.dataId == site_.devices[i].dataId && !d.signalMap.empty())
                pending->maps[i] = std::make_shared<const SignalMap>(SignalMap::Load(d.signalMap));

    auto keep = [&](const std::string& what, const std::string& was, const std::string& is,
                    std::optional<unsigned int> dataId = std::nullopt) {
        if (was == is) return;
        Say((dataId ? "[" + std::to_string(*dataId) + "] " : std::string()) + "reload: " + what +
                " changed from \"" + was + "\" to \"" + is + "\": needs a restart, kept",
            Priority::kWarning, LogFields{dataId, {}});
    };
    auto join = [](const std::vector<std::string>& v) {
        std::string out;
        for (const auto& p : v) out += (out.empty() ? "" : " ") + p;
        return out;
    };
    keep("database", site_.database, next.database);
    keep("plugins", join(site_.plugins), join(next.plugins));
    keep("controlSocket", site_.controlSocket, next.controlSocket);
    keep("rounds", std::to_string(site_.rounds), std::to_string(next.rounds));
    keep("mqtt", MqttConfigChange(site_.mqtt, next.mqtt, false),
         MqttConfigChange(site_.mqtt, next.mqtt, true));
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        // Only members that never change after Start are read here; the loop writes the others.
        const DeviceConfig& was = site_.devices[i];
        const DeviceConfig* is = nullptr;
        for (const DeviceConfig& d : next.devices)
            if (d.dataId == was.dataId) is = &d;
        if (is == nullptr) {
            Say(slots_[i]->Tag() + "reload: device " + std::to_string(was.dataId) +
                    " is no longer in the site file: it runs on until a restart",
                Priority::kWarning, slots_[i]->Fields());
            continue;
        }
        keep("model", was.model, is->model, was.dataId);
        keep("port", was.port, is->port, was.dataId);
        keep("pollIntervalMs", std::to_string(was.pollIntervalMs),
             std::to_string(is->pollIntervalMs), was.dataId);
        keep("replyTimeoutMs", std::to_string(was.replyTimeoutMs),
             std::to_string(is->replyTimeoutMs), was.dataId);
        keep("delayScale", Number(was.delayScale), Number(is->delayScale), was.dataId);
        keep("simulation", was.simulation.toStyledString(), is->simulation.toStyledString(),
             was.dataId);
        if (slots_[i]->running) pending->devices[i] = std::make_unique<DeviceConfig>(*is);
    }
    for (const DeviceConfig& d : next.devices)
        if (std::none_of(site_.devices.begin(), site_.devices.end(),
                         [&](const DeviceConfig& c) { return c.dataId == d.dataId; }))
            Say("reload: device " + std::to_string(d.dataId) +
                    " is new in the site file: it starts after a restart",
                Priority::kWarning, LogFields{d.dataId, {}});

    std::lock_guard<std::mutex> lock(reloadMu_);
    reload_ = std::move(pending);
    reloadPending_ = true;
    Wake();
}

// On the loop's thread, between the device's rounds.
void Host::ApplyReload(DeviceSlot& slot, DeviceConfig& current) {
    const std::size_t i = static_cast<std::size_t>(&current - site_.devices.data());
    std::unique_ptr<DeviceConfig> next = std::move(reload_->devices[i]);
    std::lock_guard<std::recursive_mutex> lock(slot.protocol->Runtime().mu);
    try {
        CheckModelFile(slot, *next);
        InDirectory(next->workDir, [&] { slot.device->InitSetting(next->settings); });
    } catch (const std::exception& e) {
        Say(slot.Tag() + "reload: new settings refused (" + e.what() + "): the previous ones stay",
            Priority::kErr, slot.Fields());
        try {
            InDirectory(current.workDir, [&] { slot.device->InitSetting(current.settings); });
        } catch (const std::exception& again) {
            Say(slot.Tag() + "reload: the previous settings failed too: " + again.what(),
                Priority::kErr, slot.Fields());
        }
        return;
    }
    // Host-side limits: a limit gone from the file checks nothing any more.
    auto limits = [](const DeviceConfig& c) {
        std::map<std::string, ThresholdLimitConfig> out = LimitsFromSettings(c.settings);
        for (const auto& [id, l] : c.limits) out[id] = l;
        return out;
    };
    const auto before = limits(current);
    const auto after = limits(*next);
    constexpr float kInf = std::numeric_limits<float>::infinity();
    for (const auto& [id, l] : before)
        if (after.count(id) == 0) slot.protocol->SetThresholdLimit(id, -kInf, kInf);
    for (const auto& [id, l] : after) slot.protocol->SetThresholdLimit(id, l.lower, l.upper);
    slot.signals = std::move(reload_->maps[i]);
    current.settings = next->settings;
    current.limits = next->limits;
    current.workDir = next->workDir;
    current.signalMap = next->signalMap;
    Say(slot.Tag() + "reload: new settings applied", Priority::kNotice, slot.Fields());
}

void Host::Describe() {
    std::vector<DeviceDescription> devices;
    for (const auto& s : slots_)
        devices.push_back(
            {s->config.dataId, s->config.model, s->config.port, s->running, s->signals});
    for (Sink* sink : sinks_) sink->OnDevices(devices);
}

bool Host::Observe(unsigned int dataId, HostObserver& observer) {
    for (auto& s : slots_)
        if (s->running && s->config.dataId == dataId) {
            s->protocol->AddObserver(&observer);
            return true;
        }
    return false;
}

bool Host::Idle(DeviceSlot& slot) const {
    SPDeviceRuntime& sp = slot.protocol->Runtime();
    std::lock_guard<std::recursive_mutex> lock(sp.mu);
    return !slot.protocol->Protocol().awaiting && !sp.holding;
}

void Host::Run() {
    loopThread_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    std::vector<DeviceSlot*> active;
    for (auto& s : slots_)
        if (s->running) active.push_back(s.get());
    const auto start = Clock::now();
    for (DeviceSlot* s : active) s->nextPoll = start;
    Clock::time_point stopDeadline = Clock::time_point::max();
    std::vector<pollfd> fds(active.size() + 1);

    for (;;) {
        if (turnHook_) turnHook_();
        if (reloadPending_) {
            std::lock_guard<std::mutex> lock(reloadMu_);
            bool all = true;
            for (std::size_t i = 0; i < slots_.size() && reload_; ++i) {
                DeviceSlot& s = *slots_[i];
                if (!reload_->devices[i]) continue;
                if (s.inRound || s.controlHold != 0 || !Idle(s)) {
                    all = false;
                    continue;
                }
                ApplyReload(s, site_.devices[i]);
            }
            if (all) {
                roundPriority_ = reload_->roundPriority;
                Describe();
                Say("reload of " + site_.file + " done", Priority::kNotice);
                reload_.reset();
                reloadPending_ = false;
            }
        }
        auto now = Clock::now();
        if (stopping_ && stopDeadline == Clock::time_point::max())
            stopDeadline = now + std::chrono::seconds(10);
        bool allDone = true;
        auto until = now + std::chrono::seconds(1);
        for (DeviceSlot* s : active) {
            const bool limitReached =
                site_.rounds > 0 && s->rounds >= static_cast<uint64_t>(site_.rounds);
            bool idle = Idle(*s);
            if (idle && !stopping_ && !limitReached) {
                // Busy before the hold is looked at: Control raises its hold before it looks
                // at this flag, so one of the two always sees the other.
                if (now >= s->nextPoll) s->inRound = true;
                if (s->controlHold != 0) {
                    s->inRound = false;
                } else if (now >= s->nextPoll) {
                    ++s->rounds;
                    Say(s->Tag() + "── round " + std::to_string(s->rounds.load()) + " at " +
                            LocalClock() + " ──",
                        roundPriority_.load(), s->Fields());
                    s->nextPoll = std::max(
                        s->nextPoll + std::chrono::milliseconds(s->config.pollIntervalMs), now);
                    s->driver->PollNow();
                    idle = false;
                } else {
                    until = std::min(until, s->nextPoll);
                }
            }
            if (!(idle && (stopping_ || limitReached))) allDone = false;
        }
        if (allDone || now >= stopDeadline) break;

        fds[0] = pollfd{wakeFd_, POLLIN, 0};
        for (std::size_t i = 0; i < active.size(); ++i) {
            fds[i + 1] = pollfd{active[i]->driver->Fd(), active[i]->driver->Events(), 0};
            until = std::min(until, active[i]->driver->NextDeadline(now));
        }
        const auto wait = std::max(until - now, Clock::duration::zero());
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
        timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        ::ppoll(fds.data(), fds.size(), &ts, nullptr);
        if (fds[0].revents & POLLIN) {
            uint64_t n;
            (void)!::read(wakeFd_, &n, sizeof n);
        }
        now = Clock::now();
        for (std::size_t i = 0; i < active.size(); ++i) {
            try {
                active[i]->driver->Service(fds[i + 1].revents, now);
            } catch (const std::exception& e) {
                // The plug-in's own failure (its clock, its settings): this round is lost, the
                // next one runs.
                ++active[i]->exceptions;
                Say(active[i]->Tag() + "round failed: " + e.what(), Priority::kErr,
                    active[i]->Fields());
            }
            DeviceSlot& s = *active[i];
            const bool portOpen = s.driver->Fd() >= 0;
            const bool roundEnded = s.inRound && Idle(s);
            if (roundEnded || portOpen != s.portOpen) {
                if (roundEnded) {
                    s.inRound = false;
                    if (s.published != s.publishedBefore)
                        s.lastGood = std::chrono::system_clock::now();
                    s.lastRoundGood = s.published != s.publishedBefore;
                    s.publishedBefore = s.published;
                }
                s.portOpen = portOpen;
                const DeviceHealth h = Health(s);
                for (Sink* sink : sinks_) sink->OnHealth(h);
            }
        }
        { std::lock_guard<std::mutex> lock(idleMu_); }
        idleCv_.notify_all();
    }
    { std::lock_guard<std::mutex> lock(idleMu_); }
    idleCv_.notify_all();
    // Nothing polls any more, so no control reply could arrive.
    control_.reset();
    // What the sinks were handed is stored (or counted as not) before the summary.
    for (Sink* sink : sinks_) sink->Drain(std::chrono::seconds(10));
    loopThread_.store(std::thread::id(), std::memory_order_relaxed);
}

ControlAnswer Host::Control(const ControlRequest& r) {
    if (!started_) throw ControlError("the host is still starting: try again");
    DeviceSlot* slot = nullptr;
    for (auto& s : slots_)
        if (s->running && s->config.dataId == r.dataId) slot = s.get();
    if (slot == nullptr)
        throw ControlError("no running device with data id " + std::to_string(r.dataId));

    ControlAnswer a;
    std::vector<unsigned char> out(static_cast<std::size_t>(std::max(r.outLen, 0)));
    int retLen = 0;
    if (!SendsToUnit(r.code)) {
        // Reads only: the port lock is enough (the loop holds it while it handles one reply,
        // and writes the document's values under it), so no round is waited for.
        std::lock_guard<std::recursive_mutex> lock(slot->protocol->Runtime().mu);
        a.result = slot->device->DeviceIoControl(r.code, r.in.empty() ? nullptr : r.in.data(),
                                                 static_cast<int>(r.in.size()), out.data(),
                                                 r.outLen, retLen);
        a.retLen = retLen;
        out.resize(retLen > 0 && retLen <= r.outLen ? static_cast<std::size_t>(retLen) : 0);
        a.out = std::move(out);
        return a;
    }

    // One command at a time per device: a second would take the first one's reply.
    std::lock_guard<std::mutex> one(slot->controlMu);
    struct Hold {
        DeviceSlot& s;
        Host& h;
        ~Hold() {
            --s.controlHold;
            h.Wake();
        }
    } hold{*slot, *this};
    ++slot->controlHold;
    Wake();
    // Between rounds only: a command sent into a round would take the place of a reply, and a
    // round is busy from the moment it is asked for.
    auto waitIdle = [&](std::chrono::milliseconds limit) {
        const auto until = Clock::now() + limit;
        std::unique_lock<std::mutex> lock(idleMu_);
        while (slot->inRound || !Idle(*slot)) {
            if (Clock::now() >= until) return false;
            idleCv_.wait_for(lock, std::chrono::milliseconds(50));
        }
        return true;
    };
    const auto roundLimit =
        std::chrono::milliseconds(slot->config.pollIntervalMs + 30 * slot->config.replyTimeoutMs);
    if (!waitIdle(roundLimit))
        throw ControlError("device " + std::to_string(r.dataId) +
                           " stayed busy with a polling round for " +
                           std::to_string(roundLimit.count()) + " ms: nothing sent");
    {
        SPDeviceRuntime& sp = slot->protocol->Runtime();
        PMBusRuntime& pm = slot->protocol->Protocol();
        std::lock_guard<std::recursive_mutex> lock(sp.mu);
        const uint32_t notSent = pm.ErrorCount(frame::ReplyError::kPortClosed);
        a.result = slot->device->DeviceIoControl(r.code, r.in.empty() ? nullptr : r.in.data(),
                                                 static_cast<int>(r.in.size()), out.data(),
                                                 r.outLen, retLen);
        // Whether a command is now on its way is what the operator needs to know.
        a.sent = pm.awaiting || (sp.holding && pm.commandHeld) ? 1 : 0;
        if (pm.ErrorCount(frame::ReplyError::kPortClosed) != notSent) {
            const std::string why = slot->port ? slot->port->OpenError() : std::string();
            throw ControlError("command not sent: the port is not open" +
                               (why.empty() ? std::string() : " (" + why + ")"));
        }
    }
    Wake();
    // A command went to the unit: answer once its reply (or its time-out) settled it.
    waitIdle(std::chrono::milliseconds(2 * slot->config.replyTimeoutMs + 1000));
    a.retLen = retLen;
    if (retLen > 0 && retLen <= r.outLen)
        out.resize(static_cast<std::size_t>(retLen));
    else
        out.clear();
    a.out = std::move(out);
    return a;
}

DeviceHealth Host::Health(const DeviceSlot& s) const {
    DeviceHealth h;
    h.dataId = s.config.dataId;
    h.model = s.config.model;
    h.port = s.config.port;
    h.portOpen = s.portOpen;
    h.roundsStarted = s.rounds;
    h.roundsCompleted = s.published;
    h.lastGoodRound = s.lastGood;
    for (std::size_t k = 0; k < frame::kReplyErrorCount; ++k) {
        const auto kind = static_cast<frame::ReplyError>(k);
        if (const uint32_t n = s.driver->Errors(kind)) h.errors[frame::to_string(kind)] = n;
    }
    if (const uint64_t n = s.driver->PortFailures()) h.errors["port failure"] = n;
    if (s.exceptions) h.errors["plug-in exception"] = s.exceptions;
    if (!s.lastRoundGood && s.rounds > 0)
        h.lastError = frame::to_string(s.driver->Device().Protocol().lastError.load());
    return h;
}

std::vector<DeviceSummary> Host::Summary() const {
    std::vector<DeviceSummary> out;
    for (const auto& s : slots_) {
        DeviceSummary d;
        d.dataId = s->config.dataId;
        d.started = s->running;
        d.rounds = s->rounds;
        d.published = s->published;
        const StoreCount stored = recall_ ? recall_->Stored(s->config.dataId) : StoreCount{};
        d.stored = stored.records;
        d.raised = s->raised;
        d.cleared = s->cleared;
        if (s->driver) {
            for (std::size_t k = 0; k < frame::kReplyErrorCount; ++k) {
                const auto kind = static_cast<frame::ReplyError>(k);
                if (const uint32_t n = s->driver->Errors(kind))
                    d.errors[frame::to_string(kind)] = n;
            }
            if (const uint64_t n = s->driver->PortFailures()) d.errors["port failure"] = n;
        }
        if (s->exceptions) d.errors["plug-in exception"] = s->exceptions;
        if (stored.notStored) d.errors["not stored"] = stored.notStored;
        out.push_back(std::move(d));
    }
    return out;
}

void Host::PrintSummary() const {
    DeviceSummary all;
    const auto per = Summary();
    for (const auto& d : per) {
        all.rounds += d.rounds;
        all.published += d.published;
        all.stored += d.stored;
        all.raised += d.raised;
        all.cleared += d.cleared;
        for (const auto& [k, n] : d.errors) all.errors[k] += n;
    }
    auto errors = [](const std::map<std::string, uint64_t>& e) {
        if (e.empty()) return std::string("none");
        std::string s;
        for (const auto& [k, n] : e) s += (s.empty() ? "" : ", ") + k + " " + std::to_string(n);
        return s;
    };
    Say("summary: " + std::to_string(all.rounds) + " rounds, " + std::to_string(all.published) +
        " records published, " + std::to_string(all.stored) + " records stored, " +
        std::to_string(all.raised) + " alarms raised, " + std::to_string(all.cleared) +
        " cleared; errors: " + errors(all.errors));
    if (per.size() > 1)
        for (const auto& d : per)
            Say("  device " + std::to_string(d.dataId) + (d.started ? "" : " (not started)") +
                ": " + std::to_string(d.rounds) + " rounds, " + std::to_string(d.stored) +
                " stored, " + std::to_string(d.raised) + " raised, " + std::to_string(d.cleared) +
                " cleared; errors: " + errors(d.errors));
    for (const Sink* sink : sinks_) {
        std::string figures;
        for (const auto& f : sink->Figures())
            figures += (figures.empty() ? "" : ", ") + f.name + " " + Number(f.value);
        if (!figures.empty()) Say("  " + std::string(sink->Name()) + ": " + figures);
    }
}
