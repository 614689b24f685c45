#pragma once
// SMDHOST-MIB's objects as a sorted table of OIDs and values, built from a snapshot: a GET is
// a lookup, a GETNEXT the first entry after the asked OID, so a walk is consistent within the
// view it ran against. Pure: no net-snmp calls, no clock.
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "snmp/snapshot.h"

using Oid = std::vector<unsigned long>;  // net-snmp's oid is an unsigned long

struct MibValue {
    enum Kind { kInteger, kUnsigned, kCounter, kString };
    Kind kind = kInteger;
    int64_t number = 0;
    std::string text;
};

using MibView = std::map<Oid, MibValue>;
using VarBinds = std::vector<std::pair<Oid, MibValue>>;

enum class DeviceStatus { kOk = 1, kStale = 2, kPortClosed = 3, kNotStarted = 4 };
enum class SignalStatus { kOk = 1, kOutOfRange = 2, kNoValue = 3 };

DeviceStatus StatusOf(const SnmpDevice& d, WallTime now, std::chrono::seconds stale);

// A value as value * 10^precision in an Integer32; precision from the signal's scale (0.01:
// 2 places). A value that does not fit is out of range with 0, never wrapped.
struct FixedPoint {
    int32_t value = 0;
    int precision = 0;
    SignalStatus status = SignalStatus::kNoValue;
};
int PrecisionOf(double scale);
// An alarm's threshold keeps the places it was written with: the fewest, at most 9.
int DecimalsOf(double v);
FixedPoint ToFixed(const std::optional<double>& v, int precision);

MibView BuildView(const SnmpSnapshot& s, const Oid& base, WallTime now, std::chrono::seconds stale);

// The notifications' OIDs and variables (the alarm's or the device's row).
enum class Notification { kAlarmRaised = 1, kAlarmCleared = 2, kDeviceLost = 3, kDeviceBack = 4 };
Oid NotificationOid(const Oid& base, Notification n);
VarBinds AlarmVars(const Oid& base, const SnmpAlarm& a);
VarBinds DeviceVars(const Oid& base, const SnmpDevice& d, DeviceStatus status);

// Devices' statuses from one look to the next: a device that was ok and turns stale or loses
// its port is lost (once); a lost device that is ok again is back.
class DeviceWatch {
  public:
    // The notifications this look calls for, in data-id order.
    std::vector<std::pair<Oid, VarBinds>> Update(const SnmpSnapshot& s, const Oid& base,
                                                 WallTime now, std::chrono::seconds stale);
    // Whether a status changed in the last Update (the view shows statuses).
    bool Changed() const { return changed_; }

  private:
    std::map<unsigned int, DeviceStatus> status_;
    std::set<unsigned int> lost_;
    bool changed_ = false;
};
