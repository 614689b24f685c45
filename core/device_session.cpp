#include "core/device_session.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <limits>
#include <sstream>

#include "core/host_error.h"
#include "core/json_check.h"
#include "core/limits.h"
#include "core/plugin_loader.h"
#include "core/record_layout.h"
#include "host/framework.h"
#include "runtime/device_driver.h"
#include "runtime/serial_port.h"

namespace {

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

}  // namespace

DeviceSession::DeviceSession(const DeviceConfig& c, SessionContext context)
    : config(c), ctx_(std::move(context)) {}

DeviceSession::~DeviceSession() {
    Close();
}

void DeviceSession::Close() {
    driver.reset();
    if (protocol) protocol->RemoveObserver(this);
    protocol = nullptr;
    device.reset();
    port.reset();
    line_.reset();
}

void DeviceSession::Say(const std::string& line, Priority p, const LogFields& f) const {
    ctx_.log->Write(p, line, f);
}

// The device reads its model file itself, and would block on a FIFO or fill memory from a
// device file: the file it will pick is checked first. Without one its alarm checks are off.
void DeviceSession::CheckModelFile(const DeviceConfig& c) {
    if (SettingsMode(c.settings) != 1) return;
    const std::string base =
        c.workDir.empty() || c.workDir.back() == '/' ? c.workDir : c.workDir + "/";
    for (const std::string& name : ModelFileCandidates(c.dataId, device->DeviceType())) {
        struct stat st {};
        if (::stat((base + name).c_str(), &st) != 0) continue;
        const std::string problem = InputFileProblem(base + name);
        if (!problem.empty()) throw HostError("model file " + base + name + " " + problem);
        return;
    }
    Say(Tag() + "no model file (ini/" + std::to_string(c.dataId) + ".ini, ini/" +
            device->DeviceType() + ".ini, ...) in " + c.workDir +
            ": settings mode 1 runs with every alarm check off",
        Priority::kWarning, Fields());
}

void DeviceSession::Start(PluginLoader& plugins) {
    const DeviceConfig& c = config;
    device = plugins.Create(c.model);
    protocol = dynamic_cast<PMBusProtocol*>(device.get());
    if (protocol == nullptr)
        throw HostError("model " + c.model + " is not a serial protocol device");
    Json::Value init;
    init["model"] = c.model;
    init["port"] = c.port;
    device->Init({}, c.dataId, init);
    protocol->AddObserver(this);
    limits_ = AllLimits(c);
    thresholds_ = Thresholds(c);
    for (const auto& [id, l] : limits_) protocol->SetThresholdLimit(id, l.lower, l.upper);

    Say(Tag() + "setting up " + c.model + " data id " + std::to_string(c.dataId) + " on " + c.port,
        Priority::kInfo, Fields());
    CheckModelFile(c);
    try {
        InDirectory(c.workDir, [&] { device->InitSetting(c.settings); });
    } catch (const HostError&) {
        throw;
    } catch (const std::exception& e) {
        throw HostError(std::string("InitSetting failed: ") + e.what());
    }

    SetReports({}, c);

    // The document's address: the host writes the signal values there (see OnSendSP).
    void* address = nullptr;
    int retLen = 0;
    if (device->DeviceIoControl(803, nullptr, 0, &address, sizeof address, retLen) == 0 &&
        retLen == static_cast<int>(sizeof address))
        doc_ = static_cast<Json::Value*>(address);
    else if (!signals->Empty())
        Say(Tag() + "the device hands out no signal-value document: values not written",
            Priority::kWarning, Fields());

    std::string path = c.port;
    if (c.port == kSimulatedPort) {
        if (!ctx_.simulate) throw HostError("no simulator in this program");
        line_ = ctx_.simulate(c);
        path = line_->Path();
    }
    port = std::make_unique<SerialPort>(
        SerialPort::Options{path, static_cast<SMDSPDevice*>(protocol)->BaudRate()});
    // A line in use or a port not there yet may pass: retried as a port lost at run time, so one
    // unit's fault never stops the others.
    if (!port->Open())
        Say(Tag() + "cannot open " + port->OpenError() + ": retrying", Priority::kErr, Fields());
    Restore();

    DriverOptions o;
    o.autoPoll = false;  // rounds are scheduled by the host, so a round limit and a stop are exact
    o.pollInterval = std::chrono::milliseconds(c.pollIntervalMs);
    o.firstByteTimeout = std::chrono::milliseconds(c.replyTimeoutMs);
    o.delayScale = c.delayScale;
    // The driver reports failures at a falling rate, and the one recovery line.
    o.log = [this](const std::string& line) {
        Say(Tag() + line, line == "communication restored" ? Priority::kNotice : Priority::kErr,
            Fields());
    };
    driver = std::make_unique<DeviceDriver>(*protocol, *port, o);
}

// Report settings: one gone from the file reports nothing any more.
void DeviceSession::SetReports(const DeviceConfig& before, const DeviceConfig& after) {
    for (const auto& [id, r] : before.analogReports)
        if (after.analogReports.count(id) == 0) protocol->SetAOReport(id, SMDVDevice::BAOSetting{});
    for (const auto& [id, r] : after.analogReports) {
        SMDVDevice::BAOSetting s;
        s.absEnable = r.absolute.has_value();
        s.absDelta = r.absolute.value_or(0.0f);
        s.pctEnable = r.percent.has_value();
        s.pctDelta = r.percent.value_or(0.0f);
        s.periodEnable = r.periodMinutes.has_value();
        s.periodMinutes = r.periodMinutes.value_or(0.0f);
        protocol->SetAOReport(id, s);
    }
}

// Alarms standing when the host stopped stand again: the first evaluation raises nothing new
// and clears what cleared meanwhile. A cached record is stamped with the current time again,
// so only a recent one may return.
void DeviceSession::Restore() {
    const DeviceConfig& c = config;
    Recall* recall = ctx_.recall;
    for (Alarm& a : recall ? recall->StandingAlarms(c.dataId) : std::vector<Alarm>{}) {
        protocol->RestoreAlarm(a.alarmId, a.text);
        a.dataId = c.dataId;
        a.raised = a.restored = true;
        Complete(a);
        for (Sink* s : *ctx_.sinks) s->OnAlarm(a);
        Say(Tag() + "alarm " + a.alarmId + " still stands (raised " +
                std::to_string(std::chrono::duration_cast<std::chrono::seconds>(
                                   std::chrono::system_clock::now() - a.at)
                                   .count()) +
                " s ago)",
            Priority::kInfo, LogFields{c.dataId, a.alarmId});
    }
    auto last = recall ? recall->LastRecord(c.dataId) : std::nullopt;
    if (!last) return;
    const auto age = std::chrono::duration_cast<std::chrono::seconds>(
        std::chrono::system_clock::now() - last->at);
    if (age.count() >= ctx_.cacheMaxAgeSeconds) {
        Say(Tag() + "last record is " + std::to_string(age.count()) +
                " s old: not restored (limit " + std::to_string(ctx_.cacheMaxAgeSeconds) + " s)",
            Priority::kInfo, Fields());
        return;
    }
    Say(Tag() + "restoring the last record (" + std::to_string(age.count()) + " s old)",
        Priority::kInfo, Fields());
    restoring_ = true;
    try {
        if (device->LoadFromCache(last->bytes.data(), static_cast<int>(last->bytes.size())) == 0)
            Say(Tag() + "the device refused the cached record", Priority::kWarning, Fields());
    } catch (const std::exception& e) {
        ++restoreFailed_;
        Say(Tag() + "restoring the cached record failed: " + e.what(), Priority::kErr, Fields());
    }
    restoring_ = false;
}

// On the loop's thread, between the device's rounds.
void DeviceSession::Apply(DeviceConfig& current, const DeviceConfig& next,
                          std::shared_ptr<const SignalMap> map) {
    try {
        CheckModelFile(next);
        InDirectory(next.workDir, [&] { device->InitSetting(next.settings); });
    } catch (const std::exception& e) {
        Say(Tag() + "reload: new settings refused (" + e.what() + "): the previous ones stay",
            Priority::kErr, Fields());
        try {
            InDirectory(current.workDir, [&] { device->InitSetting(current.settings); });
        } catch (const std::exception& again) {
            Say(Tag() + "reload: the previous settings failed too: " + again.what(), Priority::kErr,
                Fields());
        }
        return;
    }
    // Host-side limits: a limit gone from the file checks nothing any more.
    Limits after = AllLimits(next);
    constexpr float kInf = std::numeric_limits<float>::infinity();
    for (const auto& [id, l] : limits_)
        if (after.count(id) == 0) protocol->SetThresholdLimit(id, -kInf, kInf);
    for (const auto& [id, l] : after) protocol->SetThresholdLimit(id, l.lower, l.upper);
    limits_ = std::move(after);
    thresholds_ = Thresholds(next);
    SetReports(current, next);
    signals = std::move(map);
    current.settings = next.settings;
    current.limits = next.limits;
    current.workDir = next.workDir;
    current.signalMap = next.signalMap;
    current.analogReports = next.analogReports;
    Say(Tag() + "reload: new settings applied", Priority::kNotice, Fields());
}

void DeviceSession::AfterService(bool roundEnded) {
    const bool open = driver->Fd() >= 0;
    if (!roundEnded && open == portOpen_) return;
    if (roundEnded) {
        lastRoundGood_ = completed != completedBefore_;
        if (lastRoundGood_) lastGood_ = std::chrono::system_clock::now();
        completedBefore_ = completed;
    }
    portOpen_ = open;
    const DeviceHealth h = Health();
    for (Sink* sink : *ctx_.sinks) sink->OnHealth(h);
}

DeviceHealth DeviceSession::Health() const {
    DeviceHealth h;
    h.dataId = config.dataId;
    h.model = config.model;
    h.port = config.port;
    h.portOpen = portOpen_;
    h.roundsStarted = rounds;
    h.roundsCompleted = completed;
    h.lastGoodRound = lastGood_;
    h.errors = Errors();
    if (!lastRoundGood_ && rounds > 0) h.lastError = frame::to_string(driver->LastError());
    return h;
}

std::map<std::string, uint64_t> DeviceSession::Errors() const {
    std::map<std::string, uint64_t> out;
    uint64_t exceptions = restoreFailed_;
    if (driver) {
        for (std::size_t k = 0; k < frame::kReplyErrorCount; ++k) {
            const auto kind = static_cast<frame::ReplyError>(k);
            if (const uint32_t n = driver->Errors(kind)) out[frame::to_string(kind)] = n;
        }
        if (const uint64_t n = driver->PortFailures()) out["port failure"] = n;
        exceptions += driver->Exceptions();
    }
    if (exceptions) out["plug-in exception"] = exceptions;
    return out;
}

// The record is out: the signal values it carries go into the device's document now, on the
// device's own thread and before the device evaluates its thresholds.
void DeviceSession::OnSendSP(int type, const unsigned char* data, unsigned int len, bool) {
    typeId_ = type;
    ++published;
    if (!restoring_) ++completed;
    std::string shown;
    values_ = Json::Value(Json::objectValue);
    if (!signals->Empty()) {
        signals->Apply(data, len, values_);
        for (const auto& f : signals->Fields()) {
            if (!values_.isMember(f.name)) continue;
            if (doc_ != nullptr) (*doc_)[f.name] = values_[f.name];
            shown += " " + f.name + "=" + LogNumber(values_[f.name].asDouble());
        }
    }
    Say(Tag() + "published record " + std::to_string(type) + " (" + std::to_string(len) +
            " bytes, stamped " + RecordStamp(data, len) + ")" + (shown.empty() ? "" : ":") + shown,
        ctx_.roundPriority->load(), Fields());
}

void DeviceSession::OnSaveDeviceHistory(const unsigned char* data, unsigned int len) {
    RecordOut r;
    r.dataId = config.dataId;
    r.typeId = typeId_;
    r.at = std::chrono::system_clock::now();
    r.bytes = data;
    r.len = len;
    r.values = signals->Empty() ? nullptr : &values_;
    for (Sink* s : *ctx_.sinks) s->OnRecord(r);
}

void DeviceSession::OnAlarm(const AlarmEvent& e) {
    ++(e.raised ? raised : cleared);
    Say(Tag() + (e.raised ? "ALARM RAISED  " : "alarm cleared ") + "level " +
            std::to_string(e.level) + "  id " + e.alarmId +
            (e.name == e.alarmId ? "" : "  " + e.name) + "  value " + e.value +
            (e.text.empty() ? "" : "  text " + e.text),
        e.raised ? Priority::kWarning : Priority::kNotice, Fields(e.alarmId));
    Alarm out;
    out.dataId = config.dataId;
    out.at = std::chrono::system_clock::now();
    out.level = e.level;
    out.alarmId = e.alarmId;
    out.name = e.name;
    out.value = e.value;
    out.text = e.text;
    out.raised = e.raised;
    Complete(out);
    for (Sink* s : *ctx_.sinks) s->OnAlarm(out);
}

void DeviceSession::Complete(Alarm& a) const {
    a.threshold = thresholds_.Crossed(a.alarmId, a.value);
    if (ctx_.levelNames == nullptr) return;
    const auto it = ctx_.levelNames->find(a.level);
    if (it != ctx_.levelNames->end()) a.levelName = it->second;
}

void DeviceSession::OnAnalogReport(const std::string& signalId, float value,
                                   const boost::posix_time::ptime&) {
    ReportOut r;
    r.dataId = config.dataId;
    r.at = std::chrono::system_clock::now();
    r.signalId = signalId;
    r.value = value;
    for (Sink* s : *ctx_.sinks) s->OnReport(r);
}
