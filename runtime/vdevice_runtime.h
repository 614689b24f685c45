#pragma once
// The host runtime's private state of one SMDVDevice.
#include <map>
#include <string>
#include <vector>

#include "host/observer.h"
#include "host/smd_vdevice.h"

struct ThresholdLimit {
    float lower;
    float upper;
};

struct VDeviceRuntime {
    std::vector<HostObserver*> observers;  // set up before the device runs
    std::map<std::string, bool> alarmState;  // by alarm id
    std::map<std::string, std::string> alarmText;
    std::map<std::string, ThresholdLimit> limits;  // host-side limits by alarm id

    template <class F>
    void Notify(F&& f) const {
        for (HostObserver* o : observers) f(*o);
    }

    static VDeviceRuntime& Of(const SMDVDevice& d) { return *d.vrt_; }
};
