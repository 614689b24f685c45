#pragma once
// The host runtime's private state of one SMDVDevice.
#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/ptime.hpp>

#include "host/observer.h"
#include "host/smd_vdevice.h"

struct ThresholdLimit {
    float lower;
    float upper;
};

// One record stored through SaveDeviceHistory.
struct HistoryEntry {
    boost::posix_time::ptime time;
    std::vector<unsigned char> bytes;
};

struct VDeviceRuntime {
    // Local time at whole seconds; tests put a fixed clock here.
    using Clock = boost::posix_time::ptime (*)();
    static boost::posix_time::ptime LocalNow();

    // The newest records kept in memory for a quick look; the real store is the host's database,
    // so keep this small: it is paid per unit.
    static constexpr std::size_t kHistoryDepth = 16;

    std::vector<HostObserver*> observers;  // set up before the device runs
    // What the framework's DeviceIoControl answers: 0 in a host; tests give it a value of its
    // own, so that a model answering "the base's result" cannot pass with a constant.
    int baseIoControlResult = 0;
    Clock clock = &LocalNow;

    // Alarm handling runs on the polling thread; AlarmActive and the runner read it from others.
    mutable std::mutex alarmMutex;
    std::map<std::string, bool> alarmState;        // by alarm id
    std::map<std::string, std::string> alarmText;  // text of each active alarm, by alarm id
    std::map<std::string, ThresholdLimit> limits;  // host-side limits by alarm id

    mutable std::mutex historyMutex;
    std::deque<HistoryEntry> history;  // oldest first

    template <class F>
    void Notify(F&& f) const {
        for (HostObserver* o : observers) f(*o);
    }

    // Records an alarm's new state; true when it differs from the one held before. An alarm
    // never seen is cleared.
    bool UpdateAlarm(const std::string& alarmId, bool active, const std::string& text);

    std::vector<HistoryEntry> History() const;

    static VDeviceRuntime& Of(const SMDVDevice& d) { return *d.vrt_; }
};
