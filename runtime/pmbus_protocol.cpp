// PMBusProtocol: command frames out, replies in.
#include <cstdlib>
#include <cstring>
#include <string>

#include <json/value.h>

#include "host/pmbus_protocol.h"
#include "runtime/pmbus_runtime.h"
#include "runtime/spdevice_runtime.h"
#include "runtime/vdevice_runtime.h"

namespace {

// An integer setting given as a number or as text ("0x20", "32"); `fallback` otherwise.
uint8_t ByteSetting(const Json::Value& v, uint8_t fallback) {
    long n = -1;
    if (v.isIntegral()) {
        n = v.asInt64();
    } else if (v.isString()) {
        const std::string s = v.asString();
        char* end = nullptr;
        n = std::strtol(s.c_str(), &end, 0);
        if (s.empty() || *end != '\0') n = -1;
    }
    return n >= 0 && n <= 0xFF ? static_cast<uint8_t>(n) : fallback;
}

bool SameFrame(const frame::Frame& a, const frame::Frame& b) {
    return a.ver == b.ver && a.adr == b.adr && a.cid1 == b.cid1 && a.cid2 == b.cid2 &&
           a.lenid == b.lenid && std::memcmp(a.info.data(), b.info.data(), a.InfoBytes()) == 0;
}

}  // namespace

PMBusProtocol::PMBusProtocol() : pmrt_(std::make_unique<PMBusRuntime>()) {}
PMBusProtocol::~PMBusProtocol() = default;

void PMBusRuntime::TimedOut(PMBusProtocol& self, frame::ReplyError kind) {
    if (!awaiting) return;
    awaiting = false;
    decoder.Reset();
    Count(kind);
    GiveUp(self);
}

void PMBusProtocol::InitSetting(const Json::Value& settings) {
    if (settings.isObject() && settings["appSetting"].isObject()) {
        const Json::Value& app = settings["appSetting"];
        pmrt_->ver = ByteSetting(app["pmbus_ver"], 0x20);
        pmrt_->adr = ByteSetting(app["pmbus_adr"], 0x01);
    }
    VDeviceRuntime::Of(*this).Notify([&](HostObserver& o) { o.OnHostInitSetting(settings); });
}

int PMBusProtocol::process(unsigned char* data, unsigned int len) {
    using frame::Decoder;
    using frame::ReplyError;
    PMBusRuntime& rt = *pmrt_;
    std::lock_guard<std::recursive_mutex> lock(Runtime().mu);
    int result = 1;
    std::size_t off = 0;
    // These bytes arrived before any command that handling them sends.
    const uint64_t sendsBefore = rt.sends;
    while (off < len) {
        Decoder::Event event;
        off += rt.decoder.Feed(data + off, len - off, event);
        if (rt.sends != sendsBefore) rt.staleThrough = rt.decoder.FramesBegun();
        // Only a frame in progress keeps the reply alive: noise before SOI does not.
        if (event != Decoder::Event::kNone || rt.decoder.InFrame())
            rt.lastRx = PMBusRuntime::Clock::now();
        if (event == Decoder::Event::kNone) break;
        if (event == Decoder::Event::kError) {
            const ReplyError e = rt.decoder.LastError();
            // A frame cut off before its CHKSUM is noise: the reply may still come behind it.
            if (rt.awaiting && e != ReplyError::kBadChecksum && e != ReplyError::kMissingEoi) {
                rt.broken = true;
                rt.brokenKind = e;
                continue;
            }
            rt.Count(e);
            if (rt.awaiting) {
                rt.awaiting = false;
                result = rt.GiveUp(*this);
            }
            continue;
        }
        const frame::Frame& f = rt.decoder.LastFrame();
        // A reply carries RTN where its command has CID2, so it never equals its command.
        if (rt.sends > 0 && SameFrame(f, rt.command)) {
            rt.Count(ReplyError::kEcho);
            continue;
        }
        if (!rt.awaiting || rt.decoder.FramesBegun() <= rt.staleThrough) {
            rt.Count(ReplyError::kUnsolicited);
            continue;
        }
        rt.awaiting = false;
        if (rt.broken) rt.Count(ReplyError::kLineNoise);
        bool ok = true;
        if (f.adr != rt.adr) {
            rt.Count(ReplyError::kWrongAddress);
            ok = false;
        } else if (f.cid1 != rt.expectCid1) {
            rt.Count(ReplyError::kWrongCommand);
            ok = false;
        } else if (f.cid2 != frame::kRtnOk) {
            rt.Count(frame::ErrorOfRtn(f.cid2));
            ok = false;
        }
        if (!ok) {
            result = rt.GiveUp(*this);
            continue;
        }
        currentReply_.infoLength = f.lenid;
        std::memcpy(currentReply_.info, f.info.data(), f.InfoBytes());
        rt.replies.fetch_add(1);
        result = process_payload();
    }
    return result;
}

int PMBusProtocol::process_error() {
    return 0;
}

int PMBusProtocol::write_pmbus_cmd(unsigned char cid1, unsigned char cid2) {
    return write_pmbus_cmd(cid1, cid2, nullptr, 0);
}

int PMBusProtocol::write_pmbus_cmd(unsigned char cid1, unsigned char cid2,
                                   const unsigned char* info, int count) {
    VDeviceRuntime::Of(*this).Notify(
        [&](HostObserver& o) { o.OnWritePmbusCmd(cid1, cid2, info, count); });
    if (count < 0 || (count > 0 && info == nullptr)) return 0;
    PMBusRuntime& rt = *pmrt_;
    std::lock_guard<std::recursive_mutex> lock(Runtime().mu);
    const std::size_t n =
        frame::Encode(rt.ver, rt.adr, cid1, cid2, info, static_cast<std::size_t>(count),
                      rt.tx.data(), rt.tx.size());
    if (n == 0) return 0;
    // Whatever was half received belongs to an earlier command.
    rt.decoder.Reset();
    rt.awaiting = false;
    rt.expectCid1 = cid1;
    rt.command.ver = rt.ver;
    rt.command.adr = rt.adr;
    rt.command.cid1 = cid1;
    rt.command.cid2 = cid2;
    rt.command.lenid = static_cast<uint16_t>(count * 2);
    if (count > 0) std::memcpy(rt.command.info.data(), info, static_cast<std::size_t>(count));
    const bool sent = SendData(rt.tx.data(), static_cast<unsigned int>(n)) >= 0;
    SPDeviceRuntime& sp = Runtime();
    if (!sent) {
        // Nothing went out, so no reply can come: the model hears of it now, not after a
        // time-out that would blame the unit.
        rt.commandHeld = false;
        rt.Count(frame::ReplyError::kPortClosed);
        rt.GiveUp(*this);
        return 0;
    }
    if (sp.holding) {
        rt.commandHeld = true;
    } else {
        rt.Sent(sp.lastWrite);
    }
    return 1;
}
