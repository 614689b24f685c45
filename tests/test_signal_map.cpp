// Signal values decoded from a record by a signal map.
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/json_check.h"
#include "core/logger.h"
#include "core/record_layout.h"
#include "core/signal_map.h"

namespace {

SignalMap FromText(const std::string& text) {
    return SignalMap::FromJson(JsonFile::Parse(text, "map.json"), "map.json");
}

std::string ErrorOf(const std::string& text) {
    try {
        FromText(text);
    } catch (const ConfigError& e) {
        return e.what();
    }
    return "(no error)";
}

TEST(SignalMap, DecodesWidthOrderSignednessAndScale) {
    const SignalMap map = FromText(R"({"signals": {
        "u16be": {"block": "analog_40", "offset": 0, "width": 2, "scale": 0.01, "unit": "V"},
        "s16be": {"block": "analog_40", "offset": 2, "width": 2, "signed": true, "scale": 0.1},
        "u16le": {"block": "analog_40", "offset": 0, "width": 2, "order": "little"},
        "s8":    {"block": "status_40", "offset": 6, "width": 1, "signed": true},
        "u32":   {"block": "param_d4", "offset": 6, "width": 4},
        "s32le": {"block": "param_d4", "offset": 6, "width": 4, "order": "little", "signed": true}
    }})");
    std::vector<unsigned char> rec(1550, 0);
    const std::size_t a40 = FindRecordField("analog_40")->offset;
    rec[a40] = 0x14;  // 0x14B4 = 5300
    rec[a40 + 1] = 0xB4;
    rec[a40 + 2] = 0xFF;  // -25
    rec[a40 + 3] = 0xE7;
    rec[169] = 0x80;
    const std::size_t pd4 = FindRecordField("param_d4")->offset;
    rec[pd4 + 6] = 0xFF;
    rec[pd4 + 7] = 0xFF;
    rec[pd4 + 8] = 0xFF;
    rec[pd4 + 9] = 0xFE;

    Json::Value doc;
    map.Apply(rec.data(), rec.size(), doc);
    EXPECT_DOUBLE_EQ(doc["u16be"].asDouble(), 53.0);
    EXPECT_DOUBLE_EQ(doc["s16be"].asDouble(), -2.5);
    EXPECT_DOUBLE_EQ(doc["u16le"].asDouble(), 0xB414);
    EXPECT_DOUBLE_EQ(doc["s8"].asDouble(), -128);
    EXPECT_DOUBLE_EQ(doc["u32"].asDouble(), 4294967294.0);
    EXPECT_DOUBLE_EQ(doc["s32le"].asDouble(), static_cast<int32_t>(0xFEFFFFFF));
    EXPECT_TRUE(doc["u16be"].isDouble());  // a number: the threshold checks skip strings
    std::string units;
    for (const auto& f : map.Fields()) units += f.name + "=" + f.unit + " ";
    EXPECT_EQ(units, "s16be= s32le= s8= u16be=V u16le= u32= ");
}

TEST(SignalMap, ApplyKeepsOtherMembersAndSkipsSignalsBeyondAShortRecord) {
    const SignalMap map = FromText(R"({"signals": {
        "v": {"block": "analog_40", "offset": 0},
        "late": {"block": "param_d4", "offset": 0}}})");
    Json::Value doc;
    doc["更新时间"] = "2024-3-5 7:4:9";
    doc["late"] = 1.5;
    std::vector<unsigned char> rec(200, 0);
    rec[140] = 7;
    map.Apply(rec.data(), rec.size(), doc);
    EXPECT_EQ(doc["v"].asDouble(), 7.0);
    EXPECT_EQ(doc["late"].asDouble(), 1.5);
    EXPECT_EQ(doc["更新时间"].asString(), "2024-3-5 7:4:9");
}

TEST(SignalMap, ErrorsNameTheFileTheSignalAndWhatIsWrong) {
    const struct {
        std::string text;
        std::string message;
    } cases[] = {
        {R"({})", "map.json: signals: missing"},
        {R"({"signal": {}})", "map.json: signal: unknown member"},
        {R"({"signals": {"x": 1}})", "map.json: signals.x: expected an object, found a number"},
        {R"({"signals": {"x": {"offset": 0}}})", "map.json: signals.x.block: missing"},
        {R"({"signals": {"x": {"block": "analog_99", "offset": 0}}})",
         "map.json: signals.x.block: no record field analog_99"},
        {R"({"signals": {"x": {"block": "analog_40"}}})", "map.json: signals.x.offset: missing"},
        {R"({"signals": {"x": {"block": "analog_40", "offset": 24}}})",
         "map.json: signals.x.offset: must lie between 0 and 23, found 24"},
        {R"({"signals": {"x": {"block": "analog_40", "offset": 23, "width": 2}}})",
         "map.json: signals.x: offset 23 and width 2 run past the end of analog_40 (24 bytes)"},
        {R"({"signals": {"x": {"block": "analog_40", "offset": 0, "width": 3}}})",
         "map.json: signals.x.width: must be 1, 2 or 4"},
        {R"({"signals": {"x": {"block": "analog_40", "offset": 0, "order": "network"}}})",
         "map.json: signals.x.order: must be \"big\" or \"little\", found \"network\""},
        {R"({"signals": {"x": {"block": "analog_40", "offset": 0, "signed": "yes"}}})",
         "map.json: signals.x.signed: expected true or false, found a string"},
        {R"({"signals": {"x": {"block": "analog_40", "offset": 0, "id": "dc-volts"}}})",
         "map.json: signals.x.id: must hold only ASCII letters, digits and '_'"},
    };
    for (const auto& c : cases) {
        const std::string got = ErrorOf(c.text);
        EXPECT_EQ(got.rfind(c.message, 0), 0u) << "input: " << c.text << "\n  got: " << got;
    }
}

TEST(RecordLayout, FieldsLieEndToEndOverTheWholeRecord) {
    std::size_t next = 0;
    for (const auto& f : RecordFields()) {
        EXPECT_EQ(f.offset, next) << f.name;
        next = f.offset + f.size;
    }
    EXPECT_EQ(next, 1550u);
    std::vector<unsigned char> rec(1550, 0);
    EXPECT_EQ(RecordStamp(rec.data(), rec.size()), "-");
    rec[1543] = 0xE8;  // 2024, little-endian
    rec[1544] = 0x07;
    rec[1545] = 3;
    rec[1546] = 5;
    rec[1547] = 7;
    rec[1548] = 4;
    rec[1549] = 9;
    EXPECT_EQ(RecordStamp(rec.data(), rec.size()), "2024-3-5 7:4:9");
}

// A decoded value as the round's line prints it: six significant digits, as a stream would.
TEST(SignalMap, ValuesArePrintedAsAStreamPrintsThem) {
    for (const double v :
         {0.0, -0.0, 57.2, 0.002, 53.5, 220.0, 123456789.0, -1.5e-300, 1e300, 1.0 / 3.0,
          std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::quiet_NaN()}) {
        std::ostringstream s;
        s << v;
        EXPECT_EQ(LogNumber(v), s.str());
    }
}

}  // namespace
