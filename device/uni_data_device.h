#pragma once
// Generic device logic for any packed record type: settings, round completion, threshold and
// analog-report checks. A model class adds the polling sequence and its own operations.
//
// Member definitions live beside their concern (device/, config/, alarm/) and are explicitly
// instantiated there for the records this library serves.
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include <json/value.h>
#include <boost/date_time/posix_time/ptime.hpp>

#include "config/rule_table.h"

template <class Record, class Base, int TypeId>
class UniDataDevice : public Base {
  public:
    static constexpr int kRecordTypeId = TypeId;
    static constexpr int kRecordSize = static_cast<int>(sizeof(Record));

    UniDataDevice() : data_{} {}

    using Base::LoadFromCache;
    int LoadFromCache(const unsigned char* bytes, int count) override;
    void RoundDone() override;
    void InitSetting(const Json::Value& settings) override;

    virtual void RunCheckThreshold() {}
    virtual void GenJsonData() {}

  protected:
    // Updates the alarm flags of one table against signalValues_; the caller holds valuesMutex_.
    void CheckSignalThresholdMap(SignalThresholdMap& table, bool upper);
    // Reports one reading when its report setting asks for it; true when it reported.
    bool CheckAOReport(const std::string& fallbackId, const std::string& signalId, float value);

    Record data_;
    int b_mode_ = 1;
    std::map<std::string, std::string> alarmSignalIdMap_;
    SignalThresholdMap upRuleMap_;
    SignalThresholdMap up2RuleMap_;
    SignalThresholdMap lowRuleMap_;
    SignalThresholdMap low2RuleMap_;
    boost::posix_time::ptime docTime_;
    std::mutex valuesMutex_;  // guards signalValues_, docTime_ and the four rule tables
    Json::Value signalValues_;
    std::map<std::string, std::pair<std::string, std::string>> aiSignalMap_;
};
