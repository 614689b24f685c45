#pragma once
// Topics and payloads of the broker forwarder: self-describing JSON, so a consumer needs no
// knowledge of the record layout. Pure functions; the README's "Fleet" section documents them.
#include <cstdint>
#include <map>
#include <string>

#include "core/sink.h"

namespace mqtt_payload {

// "<prefix>/<site>/<data id>/<kind>" with kind record, alarm or report; "<prefix>/<site>/status".
std::string DeviceTopic(const std::string& prefix, const std::string& site, unsigned int dataId,
                        const char* kind);
std::string StatusTopic(const std::string& prefix, const std::string& site);

// 2026-12-08T21:40:00.123Z
std::string IsoTime(WallTime t);
int64_t EpochMs(WallTime t);

// Every payload says which version of these documents it follows.
constexpr int kSchema = 2;

// A device's retained birth certificate: what it is and, per signal, the id records use, the
// names and the unit.
std::string Description(const std::string& site, const std::string& epoch,
                        const DeviceDescription& d);

// `epoch` names the stream `seq` counts in (see outbox.h). A record's values go by signal id
// (by name for a signal without one) from `signals`; `raw` adds the whole record in hex.
std::string Record(const std::string& site, const std::string& epoch, const RecordOut& r,
                   uint64_t seq, const SignalMap* signals, bool raw);
std::string AlarmMessage(const std::string& site, const std::string& epoch, const Alarm& a,
                         uint64_t seq);
std::string Report(const std::string& site, const std::string& epoch, const ReportOut& r,
                   uint64_t seq);

// The retained status: "online" with each device's health and the forwarder's own figures, or
// "offline" (the last will, and on an orderly stop). Each with the stream's epoch and a time:
// for the will, when its connection was opened.
std::string Online(const std::string& site, const std::string& epoch, WallTime now,
                   const std::map<unsigned int, DeviceHealth>& devices, const Json::Value& outbox);
std::string Offline(const std::string& site, const std::string& epoch, WallTime at);

// What of a device's health the status shows as its state; the status goes out when it changes.
// The shortest decimal of a value read from a 32-bit float (57.2, not 57.2000008); any other
// value as it is.
double Shortest(double v);

bool SameState(const DeviceHealth& a, const DeviceHealth& b);

}  // namespace mqtt_payload
