#pragma once
// The framework's virtual device: publishing, history, thresholds and alarms.
#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <json/value.h>
#include <boost/date_time/posix_time/ptime.hpp>

#include "host/host_api.h"
#include "host/types.h"
#include "host/vdevice_interface.h"

class HostObserver;
struct VDeviceRuntime;

class HOST_API SMDVDevice : public VDeviceInterface {
  public:
    // Report setting of one analog signal, keyed by signal id in aoSettingMap_.
    struct BAOSetting {
        bool absEnable = false;
        float absDelta = 0.0f;
        bool pctEnable = false;
        float pctDelta = 0.0f;
        bool periodEnable = false;
        float periodMinutes = 0.0f;
        uint32_t lastTime = 0;  // seconds since the epoch
        float lastValue = 0.0f;
    };

    SMDVDevice();
    ~SMDVDevice() override;

    int DeviceIoControl(int code, const void* in, int inLen, void* out, int outLen,
                        int& retLen) override;
    bool InitV(SMDVDevice* parent, unsigned int dataId, const Json::Value& config) override;

    virtual int SendSP(int typeId, const unsigned char* data, unsigned int len, bool flag);
    virtual int SendDelayData(int delay);
    virtual int SendDoData(int channel, char value);
    virtual int ReadDi(int channel);
    virtual float ReadAi(int channel);
    virtual float Get_SP_Value(unsigned int index, const std::string& name);
    virtual int RefreshStatus();

    // Host-side threshold check of one analog value; queues a rule_value in pendingRules_.
    void CheckThreshold(const std::string& alarmId, const std::string& name, const float& value,
                        int level);
    // Current state of one boolean alarm; the host raises or clears on a change. The third
    // argument is the alarm id at every call site, and the host keys the state by it.
    void CheckThresholdBool(int level, const std::string& name, const std::string& alarmId,
                            const std::string& value, const std::string& text, bool state,
                            unsigned short sequence);
    void CheckAOReport(const std::string& signalId, float value);
    bool DoBatchCheckThreshold(const std::vector<rule_value>& rules);
    void SaveDeviceHistory(const unsigned char* data, unsigned int len);

    // Runtime side, not used by plug-ins.
    void AddObserver(HostObserver* observer);
    void RemoveObserver(HostObserver* observer);
    // Host-side limits for CheckThreshold, by alarm id: raise above `upper`, below `lower`.
    void SetThresholdLimit(const std::string& alarmId, float lower, float upper);
    bool AlarmActive(const std::string& alarmId) const;
    // At start, before the first round: an alarm the host kept standing across a restart. It
    // is raised already, so only its clearing will be an event.
    void RestoreAlarm(const std::string& alarmId, const std::string& text);
    // Report setting of one analog signal (round completion in settings mode 1 reads them).
    void SetAOReport(const std::string& signalId, const BAOSetting& setting);

  protected:
    // Read by value queries on other threads while a round completes, hence atomic.
    std::atomic<bool> dataReady_{false};
    std::atomic<boost::posix_time::ptime> lastUpdate_{boost::posix_time::ptime()};
    uint16_t ruleSequence_ = 0;
    std::vector<rule_value> pendingRules_;
    bool alarmChanged_ = false;
    std::map<std::string, int> signalLevelMap_;
    std::map<std::string, float> signalValueMap_;
    std::map<std::string, BAOSetting> aoSettingMap_;

  private:
    friend struct VDeviceRuntime;
    std::unique_ptr<VDeviceRuntime> vrt_;
};
