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

std::string Record(const std::string& site, const RecordOut& r, uint64_t seq);
std::string Alarm(const std::string& site, const AlarmOut& a, uint64_t seq);
std::string Report(const std::string& site, const ReportOut& r, uint64_t seq);

// The retained status: "online" with each device's health and the forwarder's own figures, or
// "offline" (the last will, and on an orderly stop).
std::string Online(const std::string& site, WallTime now,
                   const std::map<unsigned int, DeviceHealth>& devices, const Json::Value& outbox);
std::string Offline(const std::string& site);

}  // namespace mqtt_payload
