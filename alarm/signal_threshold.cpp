// Rule-table evaluation: each rule's alarm flag follows its signal with hysteresis, and the rule's
// state goes to the host every round, changed or not.
#include <string>
#include <tuple>

#include <boost/lexical_cast.hpp>

#include "device/rtmk48_pv05.h"

namespace {
const char kValuePrefix[] = "当前值";
const char kAboveThreshold[] = "高于阈值:";
const char kBelowThreshold[] = "低于阈值:";
constexpr unsigned short kRuleSequence = 1;
}  // namespace

template <class Record, class Base, int TypeId>
void UniDataDevice<Record, Base, TypeId>::CheckSignalThresholdMap(SignalThresholdMap& table,
                                                                  bool upper) {
    const Json::Value& doc = signalValues_;  // const: the lookup must never insert
    for (auto& [name, rule] : table) {
        // A missing or non-numeric value says nothing about the alarm: leave the flag alone.
        const Json::Value* member = doc.find(name.data(), name.data() + name.size());
        if (member == nullptr || !member->isNumeric()) continue;

        const float v = member->asFloat();
        const std::string& alarmId = std::get<0>(rule);
        const float threshold = std::get<1>(rule);
        const float recovery = std::get<2>(rule);
        bool& active = std::get<3>(rule);
        const int level = std::get<4>(rule);

        // Raise at the threshold, clear at the recovery value, both inclusive. A rule raised on
        // this round is not tested for clearing until the next, so a threshold equal to its
        // recovery value alternates. NaN compares false both ways: it neither raises nor clears.
        if (!active) {
            active = upper ? v >= threshold : v <= threshold;
        } else if (upper ? v <= recovery : v >= recovery) {
            active = false;
        }

        const std::string valueText = boost::lexical_cast<std::string>(v);
        std::string text;
        if (active) {
            text = kValuePrefix + valueText + (upper ? kAboveThreshold : kBelowThreshold) +
                   boost::lexical_cast<std::string>(threshold);
        }
        this->CheckThresholdBool(level, name, alarmId, valueText, text, active, kRuleSequence);
    }
}

template void RTMK48_PV05_Base::CheckSignalThresholdMap(SignalThresholdMap&, bool);
