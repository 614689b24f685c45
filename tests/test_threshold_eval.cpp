// Rule-table evaluation: hysteresis in both directions, the alarm texts, and which values are
// skipped.
#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "device_probe.h"

namespace {

// One CheckThresholdBool line as the recorder writes it.
std::string Bool(int level, const std::string& name, const std::string& id,
                 const std::string& value, const std::string& text, bool state) {
    return "CheckThresholdBool " + std::to_string(level) + "|" + name + "|" + id + "|" + value +
           "|" + text + "|" + (state ? "true" : "false") + "|1";
}

class ThresholdEval : public ::testing::Test {
  protected:
    // Sets the value, evaluates the table once, and returns the one host call it made.
    std::string Eval(SignalThresholdMap& table, bool upper, const Json::Value& v) {
        d.signalValues_["U"] = v;
        d.rec.Clear();
        d.CheckSignalThresholdMap(table, upper);
        const auto calls = d.rec.Calls();
        EXPECT_EQ(calls.size(), 1u);
        return calls.empty() ? "" : calls[0];
    }
    bool Active(const SignalThresholdMap& table) { return std::get<3>(table.at("U")); }

    DeviceProbe d;
};

TEST_F(ThresholdEval, UpperTableRaisesAtThresholdAndClearsAtRecovery) {
    d.upRuleMap_["U"] = {"R1001", 55.0f, 50.0f, false, 3};
    EXPECT_EQ(Eval(d.upRuleMap_, true, 54.9), Bool(3, "U", "R1001", "54.9000015", "", false));
    EXPECT_EQ(Eval(d.upRuleMap_, true, 55),
              Bool(3, "U", "R1001", "55", "当前值55高于阈值:55", true));
    // Between recovery and threshold the alarm holds, and the text still names the threshold.
    for (double v : {56.7, 54.9, 52.0, 50.1}) {
        const std::string call = Eval(d.upRuleMap_, true, v);
        EXPECT_TRUE(Active(d.upRuleMap_)) << v;
        EXPECT_NE(call.find("高于阈值:55|true|1"), std::string::npos) << call;
    }
    EXPECT_EQ(Eval(d.upRuleMap_, true, 56.7),
              Bool(3, "U", "R1001", "56.7000008", "当前值56.7000008高于阈值:55", true));
    EXPECT_EQ(Eval(d.upRuleMap_, true, 50), Bool(3, "U", "R1001", "50", "", false));
    // Cleared, a value between the limits does not raise again.
    EXPECT_EQ(Eval(d.upRuleMap_, true, 54), Bool(3, "U", "R1001", "54", "", false));
}

TEST_F(ThresholdEval, LowerTableRaisesAtThresholdAndClearsAtRecovery) {
    d.lowRuleMap_["U"] = {"R2003", 42.0f, 45.0f, false, 1};
    EXPECT_EQ(Eval(d.lowRuleMap_, false, 44), Bool(1, "U", "R2003", "44", "", false));
    EXPECT_EQ(Eval(d.lowRuleMap_, false, 42),
              Bool(1, "U", "R2003", "42", "当前值42低于阈值:42", true));
    EXPECT_EQ(Eval(d.lowRuleMap_, false, 41.2),
              Bool(1, "U", "R2003", "41.2000008", "当前值41.2000008低于阈值:42", true));
    EXPECT_EQ(Eval(d.lowRuleMap_, false, 44.9),
              Bool(1, "U", "R2003", "44.9000015", "当前值44.9000015低于阈值:42", true));
    EXPECT_EQ(Eval(d.lowRuleMap_, false, 45), Bool(1, "U", "R2003", "45", "", false));
    EXPECT_EQ(Eval(d.lowRuleMap_, false, 43), Bool(1, "U", "R2003", "43", "", false));
}

TEST_F(ThresholdEval, ThresholdEqualToRecoveryAlternates) {
    d.upRuleMap_["U"] = {"R", 50.0f, 50.0f, false, 2};
    std::vector<bool> states;
    for (int round = 0; round < 4; ++round) {
        Eval(d.upRuleMap_, true, 50);
        states.push_back(Active(d.upRuleMap_));
    }
    EXPECT_EQ(states, (std::vector<bool>{true, false, true, false}));
}

TEST_F(ThresholdEval, NumbersPrintWithNineSignificantDigits) {
    d.upRuleMap_["U"] = {"R", 0.1f, 0.0f, false, 2};
    EXPECT_EQ(Eval(d.upRuleMap_, true, 3.5),
              Bool(2, "U", "R", "3.5", "当前值3.5高于阈值:0.100000001", true));
    d.upRuleMap_["U"] = {"R", 1e8f, 0.0f, false, 2};
    EXPECT_EQ(Eval(d.upRuleMap_, true, 1234567890),
              Bool(2, "U", "R", "1.23456794e+09", "当前值1.23456794e+09高于阈值:100000000", true));
    EXPECT_EQ(Eval(d.upRuleMap_, true, 123456789),
              Bool(2, "U", "R", "123456792", "当前值123456792高于阈值:100000000", true));
}

TEST_F(ThresholdEval, NanNeitherRaisesNorClears) {
    d.upRuleMap_["U"] = {"R", 55.0f, 50.0f, false, 2};
    EXPECT_EQ(Eval(d.upRuleMap_, true, std::nan("")), Bool(2, "U", "R", "nan", "", false));
    Eval(d.upRuleMap_, true, 60);
    ASSERT_TRUE(Active(d.upRuleMap_));
    EXPECT_EQ(Eval(d.upRuleMap_, true, std::nan("")),
              Bool(2, "U", "R", "nan", "当前值nan高于阈值:55", true));
    d.lowRuleMap_["U"] = {"L", 42.0f, 45.0f, true, 2};
    EXPECT_EQ(Eval(d.lowRuleMap_, false, -std::nan("")),
              Bool(2, "U", "L", "-nan", "当前值-nan低于阈值:42", true));
}

TEST_F(ThresholdEval, MissingAndNonNumericValuesAreSkippedWithTheirFlagKept) {
    d.upRuleMap_["U"] = {"R", 55.0f, 50.0f, true, 2};
    d.upRuleMap_["V"] = {"S", 55.0f, 50.0f, false, 2};
    // While the document is still null no rule produces a call, and the lookup adds nothing.
    d.CheckSignalThresholdMap(d.upRuleMap_, true);
    EXPECT_TRUE(d.signalValues_.isNull());

    for (const Json::Value& v : {Json::Value("10"), Json::Value(true), Json::Value(Json::nullValue),
                                 Json::Value(Json::arrayValue), Json::Value(Json::objectValue)}) {
        d.signalValues_["U"] = v;
        d.CheckSignalThresholdMap(d.upRuleMap_, true);
    }
    EXPECT_TRUE(d.rec.Calls().empty());
    EXPECT_TRUE(std::get<3>(d.upRuleMap_.at("U"))) << "an absent value does not clear";
    EXPECT_FALSE(d.signalValues_.isMember("V"));
}

TEST_F(ThresholdEval, CallsFollowByteOrderOfNamesAndIntegerValuesCount) {
    d.upRuleMap_["b"] = {"B", 10.0f, 5.0f, false, 2};
    d.upRuleMap_["a"] = {"A", 10.0f, 5.0f, false, 2};
    d.upRuleMap_["B"] = {"C", 10.0f, 5.0f, false, 2};
    d.upRuleMap_["电压"] = {"D", 10.0f, 5.0f, false, 2};
    d.signalValues_["b"] = 11;   // int
    d.signalValues_["a"] = 1u;   // unsigned
    d.signalValues_["B"] = 9.5;  // real
    d.signalValues_["电压"] = 20;
    d.CheckSignalThresholdMap(d.upRuleMap_, true);
    EXPECT_EQ(d.rec.Calls(),
              (std::vector<std::string>{Bool(2, "B", "C", "9.5", "", false),
                                        Bool(2, "a", "A", "1", "", false),
                                        Bool(2, "b", "B", "11", "当前值11高于阈值:10", true),
                                        Bool(2, "电压", "D", "20", "当前值20高于阈值:10", true)}));
}

}  // namespace
