// The signal-value document through codes 801 (compact JSON text) and 803 (its address): the
// update-time stamp, the buffer-size rules, and when the stamp is rewritten.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/reader.h>
#include <json/writer.h>
#include <boost/date_time/posix_time/posix_time.hpp>

#include "device_probe.h"
#include "query/control.h"

namespace {

using boost::gregorian::date;
using boost::posix_time::ptime;
using boost::posix_time::time_duration;

const char kStampKey[] = "更新时间";
constexpr unsigned char kUntouched = 0xAA;

struct Text {
    int result;
    int retLen;
    std::string bytes;  // what the device put in the buffer, up to retLen when it succeeded
};

Text Document(DeviceProbe& d, int outLen = 4096) {
    std::vector<char> out(4096, static_cast<char>(kUntouched));
    Text t{};
    t.retLen = -7;
    CaptureStdout quiet;
    t.result = d.DeviceIoControl(801, nullptr, 0, out.data(), outLen, t.retLen);
    if (t.result == 0) t.bytes.assign(out.data(), static_cast<size_t>(t.retLen));
    return t;
}

Json::Value Parse(const std::string& text) {
    Json::Value v;
    EXPECT_TRUE(Json::Reader().parse(text, v)) << text;
    return v;
}

// The stamp text as the record's update_time spells it, worked out independently.
std::string StampOf(const ttime& t) {
    return std::to_string(t.year) + "-" + std::to_string(t.month) + "-" + std::to_string(t.day) +
           " " + std::to_string(t.hour) + ":" + std::to_string(t.minute) + ":" +
           std::to_string(t.second);
}

void CompleteRound(DeviceProbe& d) {
    CaptureStdout quiet;
    d.RoundDone();
}

TEST(SignalDocument, BeforeAnyRoundTheDocumentStaysNull) {
    DeviceProbe d;
    const Text t = Document(d);
    EXPECT_EQ(t.result, 0);
    EXPECT_EQ(t.bytes, "null\n");
    EXPECT_EQ(t.retLen, 5);
    EXPECT_TRUE(d.signalValues_.isNull());
    EXPECT_TRUE(d.rec.Calls().empty()) << "the base is never called for 801";
}

TEST(SignalDocument, StampIsTheLastRoundsTimeWithoutLeadingZeros) {
    const struct {
        ptime when;
        const char* text;
    } cases[] = {
        {ptime(date(2024, 3, 5), time_duration(7, 4, 9)), "2024-3-5 7:4:9"},
        {ptime(date(2026, 12, 31), time_duration(23, 59, 58)), "2026-12-31 23:59:58"},
        {ptime(date(2025, 1, 1), time_duration(0, 0, 0)), "2025-1-1 0:0:0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        DeviceProbe d;
        d.lastUpdate_ = c.when;
        const Text t = Document(d);
        ASSERT_EQ(t.result, 0);
        const Json::Value doc = Parse(t.bytes);
        ASSERT_TRUE(doc.isObject());
        EXPECT_EQ(doc.size(), 1u);
        EXPECT_EQ(doc[kStampKey].asString(), c.text);
        EXPECT_EQ(d.docTime_, c.when);
        EXPECT_EQ(FormatUpdateTime(get_ttime(c.when)), c.text);
    }
}

TEST(SignalDocument, TextIsTheCompactWriterOutputAndKeepsOtherMembers) {
    DeviceProbe d;
    d.signalValues_["电池电压"] = 53.5;
    d.signalValues_["状态"] = Json::Value();
    CompleteRound(d);
    const Text t = Document(d);
    ASSERT_EQ(t.result, 0);
    EXPECT_EQ(t.bytes, Json::FastWriter().write(d.signalValues_));
    EXPECT_EQ(t.bytes.back(), '\n');
    EXPECT_EQ(t.bytes.find('\n'), t.bytes.size() - 1) << "one line";
    const Json::Value doc = Parse(t.bytes);
    EXPECT_EQ(doc["电池电压"].asDouble(), 53.5);
    EXPECT_TRUE(doc.isMember("状态"));
    EXPECT_EQ(doc[kStampKey].asString(), StampOf(d.data_.update_time));
}

TEST(SignalDocument, TextFitsExactlyOrNotAtAll) {
    DeviceProbe d;
    CompleteRound(d);
    const Text probe = Document(d, 0);
    EXPECT_EQ(probe.result, -1);
    const int needed = probe.retLen;
    ASSERT_GT(needed, 5);

    std::vector<char> out(static_cast<size_t>(needed) + 4, static_cast<char>(kUntouched));
    int retLen = -7;
    {
        CaptureStdout quiet;
        EXPECT_EQ(d.DeviceIoControl(801, nullptr, 0, out.data(), needed - 1, retLen), -1);
    }
    EXPECT_EQ(retLen, needed);
    for (char c : out) ASSERT_EQ(static_cast<unsigned char>(c), kUntouched) << "nothing copied";

    {
        CaptureStdout quiet;
        EXPECT_EQ(d.DeviceIoControl(801, nullptr, 0, out.data(), needed, retLen), 0);
    }
    EXPECT_EQ(retLen, needed);
    EXPECT_EQ(std::string(out.data(), static_cast<size_t>(needed)),
              Json::FastWriter().write(d.signalValues_));
    EXPECT_EQ(static_cast<unsigned char>(out[static_cast<size_t>(needed)]), kUntouched)
        << "no terminator";
}

TEST(SignalDocument, StampIsRewrittenOnlyAfterANewRound) {
    DeviceProbe d;
    d.lastUpdate_ = ptime(date(2024, 3, 5), time_duration(7, 4, 9));  // a round long ago
    EXPECT_EQ(Parse(Document(d).bytes)[kStampKey].asString(), "2024-3-5 7:4:9");

    // A holder of the document's address changes the stamp; without a round it stays.
    d.signalValues_[kStampKey] = "held";
    EXPECT_EQ(Parse(Document(d).bytes)[kStampKey].asString(), "held");
    EXPECT_EQ(Parse(Document(d).bytes)[kStampKey].asString(), "held");

    CompleteRound(d);
    const Json::Value doc = Parse(Document(d).bytes);
    EXPECT_EQ(doc[kStampKey].asString(), StampOf(d.data_.update_time));
    EXPECT_EQ(d.docTime_, d.lastUpdate_.load());
}

TEST(SignalDocument, AddressIsHandedOutWhenAPointerFits) {
    DeviceProbe d;
    d.lastUpdate_ = ptime(date(2024, 3, 5), time_duration(7, 4, 9));
    // Sized from the build's own pointer, so this holds on 32- and 64-bit targets alike.
    std::vector<unsigned char> out(sizeof(void*) + 4, kUntouched);
    int retLen = -7;
    {
        CaptureStdout quiet;
        EXPECT_EQ(d.DeviceIoControl(803, nullptr, 0, out.data(), sizeof(void*), retLen), 0);
    }
    EXPECT_EQ(retLen, static_cast<int>(sizeof(void*)));
    Json::Value* address = nullptr;
    std::memcpy(&address, out.data(), sizeof address);
    EXPECT_EQ(address, &d.signalValues_);
    EXPECT_EQ(out[sizeof(void*)], kUntouched);
    EXPECT_EQ((*address)[kStampKey].asString(), "2024-3-5 7:4:9") << "803 stamps too";

    // Values written through the address are what 801 hands out.
    {
        std::lock_guard<std::mutex> lock(d.valuesMutex_);
        (*address)["整流器电流"] = 12;
    }
    EXPECT_EQ(Parse(Document(d).bytes)["整流器电流"].asInt(), 12);
    EXPECT_TRUE(d.rec.Calls().empty()) << "the base is never called for 803";
}

TEST(SignalDocument, AddressNeedsRoomForAWholePointer) {
    DeviceProbe d;
    std::vector<unsigned char> out(sizeof(void*), kUntouched);
    int retLen = -7;
    {
        CaptureStdout quiet;
        EXPECT_EQ(d.DeviceIoControl(803, nullptr, 0, out.data(), sizeof(void*) - 1, retLen), -1);
    }
    EXPECT_EQ(retLen, static_cast<int>(sizeof(void*)));
    for (unsigned char b : out) EXPECT_EQ(b, kUntouched);
}

}  // namespace
