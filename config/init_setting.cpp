// InitSetting of UniDataDevice: the settings mode, its job, then the host's own handling.
#include <iostream>
#include <map>
#include <ostream>
#include <string>

#include "config/model_file.h"
#include "config/rule_table.h"
#include "device/rtmk48_pv05.h"

namespace {

// A member of the settings object; settings that are not an object have no members.
const Json::Value& SettingsMember(const Json::Value& settings, const char* key) {
    return settings.isObject() ? settings[key] : Json::Value::nullSingleton();
}

// Settings mode 3: one identity line per "thresholdSetting" member. The host maps are taken by
// subscript, so a name they lack gains a zero entry there.
void LogThresholdIdentities(const Json::Value& settings, unsigned int dataId,
                            std::map<std::string, int>& levels,
                            std::map<std::string, float>& values, std::ostream& log) {
    log << "here 1" << std::endl;
    const Json::Value& rules = SettingsMember(settings, "thresholdSetting");
    if (rules.isNull()) return;
    log << "here 2" << std::endl;
    for (auto it = rules.begin(); it != rules.end(); ++it) {
        const std::string name = it.name();
        log << "here " << name << std::endl;
        // Looked up by name, so an array of rules makes the JSON library throw here.
        const Json::Value& rule = rules[name];
        if (!rule.isObject()) continue;
        std::string identity;
        for (const char* part : {"NMAlarmID", "ID", "SignalNumber"}) {
            const Json::Value& v = rule[part];
            if (v.isNull()) {
                log << dataId << " " << part << " is missing" << std::endl;
            } else {
                identity += v.asString();
            }
            identity += ';';
        }
        const int level = levels[name];
        const float value = values[name];
        log << "mobile:" << name << ":" << identity << " level:" << level << " value:" << value
            << std::endl;
    }
}

}  // namespace

template <class Record, class Base, int TypeId>
void UniDataDevice<Record, Base, TypeId>::InitSetting(const Json::Value& settings) {
    const unsigned int dataId = this->DataId();
    data_.data_id = dataId;

    const Json::Value& app = SettingsMember(settings, "appSetting");
    if (app.isObject()) {
        const Json::Value& mode = app["b_mode"];
        if (!mode.isNull()) {
            b_mode_ = SettingInt(mode.asString());
            std::cout << "InitSetting " << dataId << " b_mode_:" << b_mode_ << std::endl;
        }
    }

    switch (b_mode_) {
        case 1:
            LoadModelFile(dataId, this->DeviceType(), aiSignalMap_, alarmSignalIdMap_, std::cout);
            break;
        case 3:
            LogThresholdIdentities(settings, dataId, this->signalLevelMap_, this->signalValueMap_,
                                   std::cout);
            break;
        case 5:
            BuildRuleTables(settings, upRuleMap_, up2RuleMap_, lowRuleMap_, low2RuleMap_);
            break;
        default:
            break;
    }
    // Runs only when the job above did not throw.
    Base::InitSetting(settings);
}

template void RTMK48_PV05_Base::InitSetting(const Json::Value&);
