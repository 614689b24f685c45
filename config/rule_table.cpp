// PLACEHOLDER: replaced by the rule-table work.
#include "config/rule_table.h"

void AddThresholdRule(const Json::Value&, const std::string&, const std::string&, const char*,
                      const char*, const char*, const char*, SignalThresholdMap*) {}

void BuildRuleTables(const Json::Value&, SignalThresholdMap&, SignalThresholdMap&,
                     SignalThresholdMap&, SignalThresholdMap&) {}
