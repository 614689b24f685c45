#pragma once
// The runtime's tap on everything a device asks of the framework. Publishing, history, alarm
// handling and the runner's display all hang off it, and so do the tests' recorders.
// Callbacks run on the thread that made the device call; they must not call back into the device.
#include <cstdint>
#include <string>
#include <vector>

#include <json/value.h>
#include <boost/date_time/posix_time/ptime.hpp>

#include "host/host_api.h"
#include "host/types.h"

// A change of an alarm's state, as the host's alarm handling reports it.
struct AlarmEvent {
    int level = 0;
    std::string alarmId;
    std::string name;
    std::string value;
    std::string text;
    bool raised = false;  // false: cleared
    boost::posix_time::ptime time;
};

class HOST_API HostObserver {
  public:
    virtual ~HostObserver();

    // Calls a device makes, in the order it makes them.
    virtual void OnWritePmbusCmd(uint8_t /*cid1*/, uint8_t /*cid2*/, const uint8_t* /*info*/,
                                 int /*count*/) {}
    virtual void OnSendDelayData(int /*delay*/) {}
    virtual void OnSendSP(int /*typeId*/, const unsigned char* /*data*/, unsigned int /*len*/,
                          bool /*flag*/) {}
    virtual void OnSaveDeviceHistory(const unsigned char* /*data*/, unsigned int /*len*/) {}
    virtual void OnReset() {}
    virtual void OnOpenPort() {}
    virtual void OnCheckThreshold(const std::string& /*alarmId*/, const std::string& /*name*/,
                                  float /*value*/, int /*level*/) {}
    virtual void OnCheckThresholdBool(int /*level*/, const std::string& /*a*/,
                                      const std::string& /*alarmId*/, const std::string& /*value*/,
                                      const std::string& /*text*/, bool /*state*/,
                                      unsigned short /*sequence*/) {}
    virtual void OnCheckAOReport(const std::string& /*signalId*/, float /*value*/) {}
    virtual void OnDoBatchCheckThreshold(const std::vector<rule_value>& /*rules*/) {}
    virtual void OnBaseDeviceIoControl(int /*code*/, const void* /*in*/, int /*inLen*/,
                                       int /*outLen*/) {}
    virtual void OnHostInitSetting(const Json::Value& /*settings*/) {}

    // What the framework made of them.
    virtual void OnAlarm(const AlarmEvent& /*event*/) {}
    virtual void OnAnalogReport(const std::string& /*signalId*/, float /*value*/,
                                const boost::posix_time::ptime& /*time*/) {}
};
