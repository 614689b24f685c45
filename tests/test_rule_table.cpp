// The four threshold rule tables built from "thresholdSetting".
#include <climits>
#include <cmath>
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <json/json.h>

#include "config/rule_table.h"
#include "test_support.h"

namespace {

Json::Value Parse(const std::string& text) {
    return ParseJson(text);
}

struct Tables {
    SignalThresholdMap up, up2, low, low2;
    void Build(const std::string& thresholdSetting) {
        BuildRuleTables(Parse("{\"thresholdSetting\":" + thresholdSetting + "}"), up, up2, low,
                        low2);
    }
    size_t Total() const { return up.size() + up2.size() + low.size() + low2.size(); }
};

using Rule = std::tuple<std::string, float, float, bool, int>;

TEST(RuleTable, CompleteRuleFillsAllFourTablesWithSuffixedIds) {
    Tables t;
    t.Build(R"({"r": {"SignalName": "电池电压", "ID": 41200,
        "UpValue": 57.5, "UpReconverValue": "56.5", "UpAlarmLevel": 2,
        "Up2Value": "58", "Up2ReconverValue": 57, "Up2AlarmLevel": "1",
        "LowValue": 46, "LowReconverValue": 47, "LowAlarmLevel": 3,
        "Low2Value": "44.5", "Low2ReconverValue": "45.5", "Low2AlarmLevel": "4"}})");
    EXPECT_EQ(t.up.at("电池电压"), Rule("41200001", 57.5f, 56.5f, false, 2));
    EXPECT_EQ(t.up2.at("电池电压"), Rule("41200002", 58.0f, 57.0f, false, 1));
    EXPECT_EQ(t.low.at("电池电压"), Rule("41200003", 46.0f, 47.0f, false, 3));
    EXPECT_EQ(t.low2.at("电池电压"), Rule("41200004", 44.5f, 45.5f, false, 4));
}

TEST(RuleTable, IncompleteOrEmptyKeysSkipOnlyTheirTable) {
    Tables t;
    t.Build(R"({
        "a": {"SignalName": "a", "ID": "A", "UpValue": 1, "UpAlarmLevel": 1,
              "LowValue": 0, "LowReconverValue": 1, "LowAlarmLevel": 1},
        "b": {"SignalName": "b", "ID": "B", "UpValue": "", "UpReconverValue": 1, "UpAlarmLevel": 1,
              "Up2Value": 2, "Up2ReconverValue": 1, "Up2AlarmLevel": null},
        "c": {"SignalName": "c", "ID": "C", "UpValue": 1, "UpReconverValue": 1, "UpAlarmLevel": 1},
        "d": {"SignalName": "d", "ID": "D", "UpValue": {}, "UpAlarmLevel": 1}
    })");
    EXPECT_EQ(t.up.count("a"), 0u) << "no recovery value";
    EXPECT_EQ(t.low.count("a"), 1u) << "zero is a value, only empty text is not";
    EXPECT_EQ(t.up.count("b"), 0u) << "empty value text";
    EXPECT_EQ(t.up2.count("b"), 0u) << "null level";
    EXPECT_EQ(t.up.count("c"), 1u);
    EXPECT_EQ(t.up.count("d"), 0u) << "incomplete: its value is never read as text";
    EXPECT_EQ(t.Total(), 2u);
}

TEST(RuleTable, RuleObjectsWithoutUsableIdentityAreSkipped) {
    const std::string keys = R"("UpValue": 1, "UpReconverValue": 1, "UpAlarmLevel": 1)";
    Tables t;
    t.Build("{\"no_name\": {\"ID\": \"X\", " + keys + "}," +
            "\"empty_name\": {\"SignalName\": \"\", \"ID\": \"X\", " + keys + "}," +
            "\"no_id\": {\"SignalName\": \"s\", " + keys + "}," +
            "\"empty_id\": {\"SignalName\": \"s\", \"ID\": \"\", " + keys + "}," +
            "\"null_id\": {\"SignalName\": \"s\", \"ID\": null, " + keys + "}," +
            "\"name_unread\": {\"SignalName\": {}, \"ID\": \"\", " + keys + "}," +
            "\"not_an_object\": 5}");
    EXPECT_EQ(t.Total(), 0u);
    // "ID" is read first: an ID without a text form throws even when the name is empty.
    EXPECT_THROW(t.Build("{\"r\": {\"ID\": {}, \"SignalName\": \"\", " + keys + "}}"),
                 Json::LogicError);
}

TEST(RuleTable, NumbersAreReadFromTheirTextLikeStrtodAndStrtol) {
    Tables t;
    t.Build(R"({
        "n": {"SignalName": "n", "ID": "n", "UpValue": 0.1, "UpReconverValue": -3, "UpAlarmLevel": 2},
        "s": {"SignalName": "s", "ID": "s", "UpValue": "0.1", "UpReconverValue": "-3", "UpAlarmLevel": "2"},
        "x": {"SignalName": "x", "ID": "x", "UpValue": "12abc", "UpReconverValue": "abc", "UpAlarmLevel": " 3.9"},
        "y": {"SignalName": "y", "ID": "y", "UpValue": true, "UpReconverValue": 1e300, "UpAlarmLevel": "99999999999"},
        "z": {"SignalName": "z", "ID": "z", "UpValue": 1, "UpReconverValue": 1, "UpAlarmLevel": "010"},
        "w": {"SignalName": "w", "ID": "w", "UpValue": 1, "UpReconverValue": 1, "UpAlarmLevel": "0x2"}
    })");
    // The same digits as JSON number or text give the same entry.
    EXPECT_EQ(std::get<1>(t.up.at("n")), std::get<1>(t.up.at("s")));
    EXPECT_EQ(std::get<1>(t.up.at("n")), 0.1f);
    EXPECT_EQ(std::get<2>(t.up.at("n")), -3.0f);
    EXPECT_EQ(std::get<4>(t.up.at("s")), 2);
    EXPECT_EQ(std::get<1>(t.up.at("x")), 12.0f);
    EXPECT_EQ(std::get<2>(t.up.at("x")), 0.0f);
    EXPECT_EQ(std::get<4>(t.up.at("x")), 3) << "leading blanks skipped, stops at the point";
    EXPECT_EQ(std::get<1>(t.up.at("y")), 0.0f) << "\"true\" has no number";
    EXPECT_TRUE(std::isinf(std::get<2>(t.up.at("y"))));
    EXPECT_EQ(std::get<4>(t.up.at("y")), INT_MAX) << "saturates like a 32-bit long";
    EXPECT_EQ(std::get<4>(t.up.at("z")), 10) << "decimal, not octal";
    EXPECT_EQ(std::get<4>(t.up.at("w")), 0) << "decimal, not hex";
}

TEST(RuleTable, LaterRuleForTheSameSignalWinsEachTableWhereItIsComplete) {
    Tables t;
    t.Build(R"({
        "b": {"SignalName": "v", "ID": "LATE", "UpValue": 9, "UpReconverValue": 8, "UpAlarmLevel": 1},
        "a": {"SignalName": "v", "ID": "EARLY", "UpValue": 5, "UpReconverValue": 4, "UpAlarmLevel": 1,
              "LowValue": 1, "LowReconverValue": 2, "LowAlarmLevel": 1}
    })");
    // Member order is by name, so "b" comes after "a" whatever the text order.
    EXPECT_EQ(t.up.at("v"), Rule("LATE001", 9.0f, 8.0f, false, 1));
    EXPECT_EQ(t.low.at("v"), Rule("EARLY003", 1.0f, 2.0f, false, 1));
}

TEST(RuleTable, RebuildEmptiesTablesAndClearsAlarmFlags) {
    Tables t;
    const std::string one =
        R"({"r": {"SignalName": "v", "ID": "I", "UpValue": 9, "UpReconverValue": 8, "UpAlarmLevel": 1}})";
    t.Build(one);
    std::get<3>(t.up.at("v")) = true;  // raised by an evaluation
    t.low["stale"] = Rule("S", 1, 1, true, 1);
    t.Build(one);
    EXPECT_FALSE(std::get<3>(t.up.at("v")));
    EXPECT_EQ(t.Total(), 1u);

    for (const char* settings :
         {"{}", R"({"thresholdSetting": null})", R"({"thresholdSetting": [1]})", "null"}) {
        t.up["x"] = Rule("X", 1, 1, false, 1);
        BuildRuleTables(Parse(settings), t.up, t.up2, t.low, t.low2);
        EXPECT_EQ(t.Total(), 0u) << settings;
    }
}

}  // namespace
