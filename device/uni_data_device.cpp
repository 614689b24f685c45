// Cache loading and round completion of UniDataDevice.
#include <cstring>
#include <iostream>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "device/rtmk48_pv05.h"

template <class Record, class Base, int TypeId>
int UniDataDevice<Record, Base, TypeId>::LoadFromCache(const unsigned char* bytes, int count) {
    if (count != kRecordSize) return 0;
    std::memcpy(&data_, bytes, sizeof(Record));
    this->dataReady_ = true;
    RoundDone();
    return 1;
}

template <class Record, class Base, int TypeId>
void UniDataDevice<Record, Base, TypeId>::RoundDone() {
    if (!this->dataReady_) this->dataReady_ = true;
    const auto now = boost::posix_time::second_clock::local_time();
    this->lastUpdate_ = now;
    data_.update_time = get_ttime(now);
    const auto* bytes = reinterpret_cast<const unsigned char*>(&data_);
    this->SendSP(TypeId, bytes, kRecordSize, false);
    this->Reset();
    this->alarmChanged_ = false;
    this->ruleSequence_ = 1;
    RunCheckThreshold();
    if (b_mode_ == 1) {
        GenJsonData();
        std::lock_guard<std::mutex> lock(valuesMutex_);
        for (const auto& [key, signal] : aiSignalMap_) {
            const std::string& id = signal.first;
            // The alarm id of an analog signal: '6' at index 3 and '1' at index 8, where present.
            std::string alarmId = id;
            if (alarmId.size() > 3) alarmId[3] = '6';
            if (alarmId.size() > 8) alarmId[8] = '1';
            // The inserting subscript: a signal without a value is listed as null.
            const Json::Value& value = signalValues_[key];
            // Skip a value that cannot be read as a number (a string, say): reading it would
            // abort every round before the history save, and leave its results queued.
            if (!value.isNull() && value.isConvertibleTo(Json::realValue)) {
                const float v = value.asFloat();
                this->CheckThreshold(alarmId, signal.second, v, 1);
                CheckAOReport(alarmId, id, value.asFloat());
            }
        }
    } else if (b_mode_ == 5) {
        GenJsonData();
        std::lock_guard<std::mutex> lock(valuesMutex_);
        CheckSignalThresholdMap(upRuleMap_, true);
        CheckSignalThresholdMap(up2RuleMap_, true);
        CheckSignalThresholdMap(lowRuleMap_, false);
        CheckSignalThresholdMap(low2RuleMap_, false);
    }
    std::cout << "rvSize is " << this->pendingRules_.size() << std::endl;
    this->alarmChanged_ = this->DoBatchCheckThreshold(this->pendingRules_) || this->alarmChanged_;
    this->SaveDeviceHistory(bytes, kRecordSize);
    this->pendingRules_.clear();
}

template int RTMK48_PV05_Base::LoadFromCache(const unsigned char*, int);
template void RTMK48_PV05_Base::RoundDone();
