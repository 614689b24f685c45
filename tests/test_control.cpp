// Control requests: the bytes each one puts on the wire, the state it leaves behind, and what
// the caller gets back, including the requests that must send nothing.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "device_probe.h"
#include "runtime/vdevice_runtime.h"

namespace {

using Lines = std::vector<std::string>;

constexpr int kUntouchedRetLen = 77;
// The framework's result in these tests: "the base's result" is told apart from a constant.
constexpr int kBaseResult = 55;
constexpr unsigned char kUntouched = 0xAA;

struct Answer {
    int result = 0;
    int retLen = kUntouchedRetLen;
    unsigned char out[8];
    std::string printed;  // standard output during the call

    int32_t OutInt32() const {
        int32_t v;
        std::memcpy(&v, out, sizeof v);
        return v;
    }
    bool OutUntouched() const {
        for (unsigned char b : out)
            if (b != kUntouched) return false;
        return true;
    }
};

// One call with an 8-byte answer buffer of which the device may use `outLen` bytes.
Answer Call(DeviceProbe& d, int code, const std::string& in, int outLen = 8) {
    Answer a;
    std::memset(a.out, kUntouched, sizeof a.out);
    VDeviceRuntime::Of(d).baseIoControlResult = kBaseResult;
    CaptureStdout capture;
    a.result =
        d.DeviceIoControl(code, in.data(), static_cast<int>(in.size()), a.out, outLen, a.retLen);
    a.printed = capture.Text();
    return a;
}

std::string Request(const std::string& signalId, const std::string& setValueJson) {
    return "{\"signal_id\":\"" + signalId + "\",\"SetValue\":" + setValueJson + "}";
}

std::string BaseLine(int code, size_t inLen, int outLen = 8) {
    return "DeviceIoControl " + std::to_string(code) + " " + std::to_string(inLen) + " " +
           std::to_string(outLen);
}

TEST(RemoteControl, Codes100And102SendTheirCommandAndAnswerOutstanding) {
    const struct {
        int code;
        const char* wire;
    } cases[] = {{100, "write_pmbus_cmd D4 45 [10 01]"}, {102, "write_pmbus_cmd D4 45 [11 01]"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        DeviceProbe d;
        d.controlResult_ = 1;  // the previous command was answered
        const Answer a = Call(d, c.code, "", 4);
        EXPECT_EQ(a.printed, "RTMK48_PV05::DeviceIoControl " + std::to_string(c.code) + "\n");
        EXPECT_EQ(d.rec.Calls(), (Lines{c.wire, BaseLine(c.code, 0, 4)}));
        EXPECT_EQ(d.protocolState_, c.code);
        EXPECT_EQ(d.controlResult_, -1);
        EXPECT_EQ(a.OutInt32(), -1);
        EXPECT_EQ(a.retLen, 4);
        EXPECT_EQ(a.result, kBaseResult);
    }
}

TEST(RemoteControl, TooSmallAnswerBufferIsLeftAlone) {
    DeviceProbe d;
    const Answer a = Call(d, 100, "", 3);
    EXPECT_EQ(d.rec.Calls(), (Lines{"write_pmbus_cmd D4 45 [10 01]", BaseLine(100, 0, 3)}));
    EXPECT_TRUE(a.OutUntouched());
    EXPECT_EQ(a.retLen, kUntouchedRetLen);
}

TEST(RemoteControl, Code106SendsItsNativeValueHighByteFirst) {
    DeviceProbe d;
    const uint16_t value = 0x1234;
    const std::string in(reinterpret_cast<const char*>(&value), sizeof value);
    const Answer a = Call(d, 106, in);
    EXPECT_EQ(d.rec.Calls(), (Lines{"write_pmbus_cmd D4 49 [01 80 12 34]", BaseLine(106, 2)}));
    EXPECT_EQ(d.protocolState_, 106);
    EXPECT_EQ(d.controlResult_, -1);
    EXPECT_EQ(a.OutInt32(), -1);
    EXPECT_EQ(a.retLen, 4);
}

TEST(RemoteControl, Code106WithoutExactlyTwoBytesOnlyReachesTheBase) {
    for (const std::string& in : {std::string(), std::string(1, '\x01'), std::string(3, '\x01')}) {
        SCOPED_TRACE(in.size());
        DeviceProbe d;
        d.protocolState_ = 15;
        d.controlResult_ = 1;
        const Answer a = Call(d, 106, in);
        EXPECT_EQ(d.rec.Calls(), Lines{BaseLine(106, in.size())});
        EXPECT_EQ(d.protocolState_, 15);
        EXPECT_EQ(d.controlResult_, 1);
        EXPECT_TRUE(a.OutUntouched());
        EXPECT_EQ(a.retLen, kUntouchedRetLen);
    }
}

TEST(ParameterByJson, SignalIdPicksTheParameterByte) {
    const struct {
        const char* signal;
        const char* wire;
    } cases[] = {{"D48101", "write_pmbus_cmd D4 49 [01 81 01 F4]"},
                 {"D48001", "write_pmbus_cmd D4 49 [01 80 01 F4]"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.signal);
        DeviceProbe d;
        const std::string in = Request(c.signal, "\"500\"");
        const Answer a = Call(d, 310, in);
        EXPECT_EQ(d.rec.Calls(), (Lines{"OpenPort", c.wire, BaseLine(310, in.size())}));
        EXPECT_EQ(d.protocolState_, 106);
        EXPECT_EQ(d.controlResult_, -1);
        EXPECT_EQ(a.result, kBaseResult);
        EXPECT_TRUE(a.OutUntouched());
        EXPECT_EQ(a.retLen, kUntouchedRetLen);
    }
}

TEST(ParameterByJson, WholeNumbersFromMinus32768To65535GoOutAsTheirLow16Bits) {
    const struct {
        const char* setValue;  // as JSON
        const char* info;
    } cases[] = {
        {"\"-1\"", "01 80 FF FF"},      {"\"65535\"", "01 80 FF FF"}, {"\" 42 \"", "01 80 00 2A"},
        {"\"-32768\"", "01 80 80 00"},  {"\"+7\"", "01 80 00 07"},    {"\"007\"", "01 80 00 07"},
        {"\"\\t9\\n\"", "01 80 00 09"}, {"\"0\"", "01 80 00 00"},     {"500", "01 80 01 F4"},
        {"-1", "01 80 FF FF"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.setValue);
        DeviceProbe d;
        const Answer a = Call(d, 310, Request("D48001", c.setValue));
        EXPECT_EQ(d.rec.Calls("write_pmbus_cmd"),
                  Lines{std::string("write_pmbus_cmd D4 49 [") + c.info + "]"});
        EXPECT_EQ(d.protocolState_, 106);
    }
}

TEST(ParameterByJson, AnyOtherValueSendsNothingAndSaysWhy) {
    const struct {
        const char* setValue;  // as JSON
        const char* shown;     // as the diagnostic shows it
    } cases[] = {
        {"\"65536\"", "65536"}, {"\"-32769\"", "-32769"},
        {"\"abc\"", "abc"},     {"\"12.7\"", "12.7"},
        {"\"\"", ""},           {"\"  \"", "  "},
        {"\"4 2\"", "4 2"},     {"\"0x10\"", "0x10"},
        {"\"1e3\"", "1e3"},     {"\"--1\"", "--1"},
        {"\"+\"", "+"},         {"\"99999999999999999999\"", "99999999999999999999"},
        {"\"5\\u0000\"", "5?"}, {"\"7\\nD48001\"", "7?D48001"},
        {"65536", "65536"},     {"true", "true"},
        {"[1]", "[1]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.setValue);
        DeviceProbe d;
        d.controlResult_ = 1;
        const Answer a = Call(d, 310, Request("D48001", c.setValue));
        EXPECT_EQ(a.result, -1);
        EXPECT_EQ(d.rec.Calls(), Lines{"OpenPort"}) << "nothing sent, base not called";
        EXPECT_EQ(d.protocolState_, 310);
        EXPECT_EQ(d.controlResult_, -1);
        EXPECT_EQ(a.printed,
                  std::string("RTMK48_PV05::DeviceIoControl 310\n"
                              "RTMK48_PV05::DeviceIoControl D48001 SetValue rejected: \"") +
                      c.shown + "\"\n");
        EXPECT_TRUE(a.OutUntouched());
        EXPECT_EQ(a.retLen, kUntouchedRetLen);
    }
    // A fractional JSON number is refused whatever text the library makes of it.
    DeviceProbe d;
    EXPECT_EQ(Call(d, 310, Request("D48101", "12.7")).result, -1);
    EXPECT_TRUE(d.rec.Calls("write_pmbus_cmd").empty());
}

TEST(ParameterByJson, IncompleteRequestsSendNothingAndReachTheBase) {
    for (const std::string& in :
         {std::string(R"({"signal_id":"D48001"})"),
          std::string(R"({"signal_id":"D48001","SetValue":null})"),
          std::string(R"({"SetValue":"5"})"), std::string(R"({"signal_id":null,"SetValue":"5"})"),
          std::string(R"({"signal_id":"D41001","SetValue":"5"})"),
          std::string(R"({"signal_id":"d48001","SetValue":"5"})"), std::string("null")}) {
        SCOPED_TRACE(in);
        DeviceProbe d;
        d.controlResult_ = 1;
        const Answer a = Call(d, 310, in);
        EXPECT_EQ(d.rec.Calls(), (Lines{"OpenPort", BaseLine(310, in.size())}));
        EXPECT_EQ(d.protocolState_, 310);
        EXPECT_EQ(d.controlResult_, -1);
        EXPECT_EQ(a.result, kBaseResult);
        EXPECT_EQ(a.retLen, kUntouchedRetLen);
    }
}

TEST(ParameterByJson, TextThatIsNotJsonStopsBeforeTheBase) {
    for (const std::string& in :
         {std::string("not json"), std::string(), std::string("{\"signal_id\":")}) {
        SCOPED_TRACE(in);
        DeviceProbe d;
        const Answer a = Call(d, 310, in);
        EXPECT_EQ(a.result, -1);
        EXPECT_EQ(d.rec.Calls(), Lines{"OpenPort"});
        EXPECT_EQ(d.protocolState_, 310);
        EXPECT_EQ(d.controlResult_, -1);
    }
}

TEST(CommandBySignalId, Mode1TakesTheBareSixCharacterId) {
    const struct {
        const char* id;
        int state;
        const char* wire;
    } cases[] = {{"D41001", 100, "write_pmbus_cmd D4 45 [10 01]"},
                 {"D41101", 102, "write_pmbus_cmd D4 45 [11 01]"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        DeviceProbe d;
        const Answer a = Call(d, 320, c.id);
        EXPECT_EQ(d.rec.Calls(), (Lines{"OpenPort", c.wire, BaseLine(320, 6)}));
        EXPECT_EQ(d.protocolState_, c.state);
        EXPECT_EQ(d.controlResult_, -1);
        EXPECT_EQ(a.result, kBaseResult);
        EXPECT_EQ(a.retLen, kUntouchedRetLen);
    }
}

TEST(CommandBySignalId, Mode1MatchesNothingElse) {
    for (const std::string& in :
         {std::string("D41001\0", 7), std::string(R"({"signal_id":"D41001"})"),
          std::string("D48001"), std::string("D4100"), std::string()}) {
        SCOPED_TRACE(in);
        DeviceProbe d;
        d.controlResult_ = 1;
        const Answer a = Call(d, 320, in);
        EXPECT_EQ(d.rec.Calls(), (Lines{"OpenPort", BaseLine(320, in.size())}));
        EXPECT_EQ(d.protocolState_, 320);
        EXPECT_EQ(d.controlResult_, -1);
        EXPECT_EQ(a.result, kBaseResult);
    }
}

TEST(CommandBySignalId, OtherModesTakeAJsonRequest) {
    for (int mode : {5, 3}) {
        SCOPED_TRACE(mode);
        DeviceProbe d;
        d.b_mode_ = mode;
        const std::string in = R"({"signal_id":"D41101"})";
        Call(d, 320, in);
        EXPECT_EQ(d.rec.Calls(),
                  (Lines{"OpenPort", "write_pmbus_cmd D4 45 [11 01]", BaseLine(320, in.size())}));
        EXPECT_EQ(d.protocolState_, 102);
    }

    DeviceProbe bare;
    bare.b_mode_ = 5;
    EXPECT_EQ(Call(bare, 320, "D41001").result, -1) << "a bare id is not JSON";
    EXPECT_EQ(bare.rec.Calls(), Lines{"OpenPort"});
    EXPECT_EQ(bare.protocolState_, 320);

    DeviceProbe noId;
    noId.b_mode_ = 5;
    EXPECT_EQ(Call(noId, 320, R"({"SetValue":"1"})").result, kBaseResult);
    EXPECT_EQ(noId.rec.Calls(), (Lines{"OpenPort", BaseLine(320, 16)}));
    EXPECT_EQ(noId.protocolState_, 320);
}

TEST(ControlResult, OtherCodesReportTheLastCommandsOutcome) {
    DeviceProbe d;
    Call(d, 100, "");
    Answer a = Call(d, 7, "", 4);
    EXPECT_EQ(a.OutInt32(), -1) << "outstanding";
    EXPECT_EQ(a.retLen, 4);

    d.Reply("");  // the unit answers the command
    EXPECT_EQ(d.controlResult_, 1);
    d.rec.Clear();
    a = Call(d, 7, "xyz", 4);
    EXPECT_EQ(a.OutInt32(), 1);
    EXPECT_EQ(a.retLen, 4);
    EXPECT_EQ(a.result, kBaseResult);
    EXPECT_EQ(d.rec.Calls(), Lines{BaseLine(7, 3, 4)});

    a = Call(d, 7, "", 3);
    EXPECT_EQ(a.retLen, 0);
    EXPECT_TRUE(a.OutUntouched());
}

TEST(ControlRequests, MissingBuffersAndNegativeLengthsCountAsEmpty) {
    CaptureStdout quiet;
    DeviceProbe d;
    VDeviceRuntime::Of(d).baseIoControlResult = kBaseResult;
    int retLen = kUntouchedRetLen;
    EXPECT_EQ(d.DeviceIoControl(7, nullptr, 0, nullptr, 4, retLen), kBaseResult);
    EXPECT_EQ(retLen, 0);

    retLen = kUntouchedRetLen;
    d.DeviceIoControl(100, nullptr, 0, nullptr, 4, retLen);
    EXPECT_EQ(retLen, kUntouchedRetLen);

    d.rec.Clear();
    d.DeviceIoControl(106, nullptr, 2, nullptr, 0, retLen);
    EXPECT_TRUE(d.rec.Calls("write_pmbus_cmd").empty());

    d.DeviceIoControl(320, nullptr, 6, nullptr, 0, retLen);
    EXPECT_TRUE(d.rec.Calls("write_pmbus_cmd").empty());

    const std::string request = Request("D48001", "\"1\"");
    EXPECT_EQ(d.DeviceIoControl(310, request.data(), -5, nullptr, 0, retLen), -1);
    EXPECT_TRUE(d.rec.Calls("write_pmbus_cmd").empty());

    EXPECT_EQ(d.DeviceIoControl(801, nullptr, 0, nullptr, 4096, retLen), -1);
    EXPECT_EQ(retLen, 5) << "\"null\\n\" would need 5 bytes";
    EXPECT_EQ(d.DeviceIoControl(803, nullptr, 0, nullptr, 64, retLen), -1);
}

TEST(FrameworkIoControl, PassesTheRequestOnAndLeavesTheAnswerAlone) {
    DeviceProbe d;
    unsigned char out[4] = {1, 2, 3, 4};
    int retLen = 4;
    EXPECT_EQ(d.SMDVDevice::DeviceIoControl(55, "abc", 3, out, 4, retLen), 0) << "in a host";
    VDeviceRuntime::Of(d).baseIoControlResult = kBaseResult;
    EXPECT_EQ(d.SMDVDevice::DeviceIoControl(55, "abc", 3, out, 4, retLen), kBaseResult);
    EXPECT_EQ(d.rec.Calls(), (Lines{BaseLine(55, 3, 4), BaseLine(55, 3, 4)}));
    EXPECT_EQ(retLen, 4);
    EXPECT_EQ(out[0], 1);
    EXPECT_EQ(out[3], 4);
}

}  // namespace
