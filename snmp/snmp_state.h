#pragma once
// The snapshot and notification queue shared by the polling thread (which writes, and never
// waits on more than a short lock) and the agent thread (which copies and takes). A pipe wakes
// the agent thread when a notification is queued.
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "snmp/snapshot.h"

class SnmpState {
  public:
    SnmpState();
    ~SnmpState();
    SnmpState(const SnmpState&) = delete;
    SnmpState& operator=(const SnmpState&) = delete;

    // Polling thread.
    void SetDevices(const std::vector<DeviceDescription>& devices);
    void Record(const RecordOut& r);
    void Health(const DeviceHealth& h);
    void OnAlarm(const Alarm& a);

    // Agent thread: a copy when it changed since `version` (which it updates).
    std::optional<SnmpSnapshot> Changed(uint64_t& version) const;
    std::deque<AlarmNotice> TakeNotices();
    int WakeFd() const { return pipe_[0]; }
    void Wake() const;
    void ClearWake() const;

    // The most notifications kept for a master agent that is away; beyond, the oldest go.
    static constexpr std::size_t kMaxQueued = 1000;
    uint64_t DroppedNotices() const;

  private:
    mutable std::mutex mu_;
    SnmpSnapshot snap_;
    uint64_t version_ = 1;
    std::deque<AlarmNotice> notices_;
    uint64_t dropped_ = 0;
    uint32_t nextIndex_ = 1;
    std::map<std::pair<unsigned int, std::string>, uint32_t> indexOf_;  // standing alarms
    int pipe_[2] = {-1, -1};
};
