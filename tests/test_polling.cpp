// The polling round: one command per reply, each reply's INFO in its record block.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "device_probe.h"

namespace {

struct Row {
    int state;
    const char* command;  // as the recorder writes it
    std::size_t offset;
    std::size_t size;
};

// The unit's sequence, written out from the protocol's table rather than from the code.
const Row kRows[] = {
    {11, "write_pmbus_cmd 40 4D", 4, 7},          {12, "write_pmbus_cmd 40 51", 11, 66},
    {13, "write_pmbus_cmd 40 E1", 77, 62},        {14, "write_pmbus_cmd 40 42 [FF]", 139, 24},
    {15, "write_pmbus_cmd 40 43 [FF]", 163, 11},  {16, "write_pmbus_cmd 40 47", 174, 21},
    {17, "write_pmbus_cmd 40 81", 195, 11},       {18, "write_pmbus_cmd 41 42", 206, 532},
    {19, "write_pmbus_cmd 41 43", 738, 529},      {20, "write_pmbus_cmd 42 42", 1267, 109},
    {21, "write_pmbus_cmd 91 42", 1376, 8},       {22, "write_pmbus_cmd 91 47", 1384, 11},
    {23, "write_pmbus_cmd D0 42", 1395, 12},      {24, "write_pmbus_cmd D0 47", 1407, 6},
    {25, "write_pmbus_cmd 4A 42 [01]", 1413, 60}, {26, "write_pmbus_cmd D2 42 [01]", 1473, 39},
    {27, "write_pmbus_cmd D4 42", 1512, 11},      {28, "write_pmbus_cmd D4 43", 1523, 10},
    {29, "write_pmbus_cmd D4 47", 1533, 10},
};

std::string Pattern(std::size_t n, int seed) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(seed * 29 + i * 3 + 1);
    return s;
}

std::vector<unsigned char> Snapshot(const DeviceProbe& d) {
    return std::vector<unsigned char>(d.Bytes(), d.Bytes() + 1550);
}

TEST(Polling, RefreshStatusRestartsFromAnyState) {
    for (int state : {0, 11, 17, 29, 100, 310}) {
        DeviceProbe d;
        d.protocolState_ = state;
        EXPECT_EQ(d.RefreshStatus(), 1);
        EXPECT_EQ(d.protocolState_, 11) << state;
        EXPECT_EQ(d.rec.Calls(), std::vector<std::string>{"write_pmbus_cmd 40 4D"})
            << "no delay request before the first command (from state " << state << ")";
    }
}

TEST(Polling, AWholeRoundSendsTheSequenceAndFillsEveryBlock) {
    DeviceProbe d;
    d.RefreshStatus();
    CaptureStdout quiet;
    for (const Row& row : kRows) {
        ASSERT_EQ(d.protocolState_, row.state);
        d.rec.Clear();
        const int result = d.Reply(Pattern(row.size, row.state));
        if (row.state < 29) {
            EXPECT_EQ(result, 1) << row.state;
            // Copy, new state, delay, then the next command: in that order.
            EXPECT_EQ(d.rec.Calls(),
                      (std::vector<std::string>{"SendDelayData 500", (&row + 1)->command}))
                << row.state;
            EXPECT_EQ(d.protocolState_, row.state + 1);
        } else {
            EXPECT_EQ(result, 0);
            EXPECT_TRUE(d.rec.Calls("write_pmbus_cmd").empty()) << "the last reply sends nothing";
            EXPECT_EQ(d.rec.Calls("SendSP").size(), 1u) << "RoundDone runs once";
            EXPECT_EQ(d.protocolState_, 29);
        }
    }
    for (const Row& row : kRows) {
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(d.Bytes()) + row.offset, row.size),
                  Pattern(row.size, row.state))
            << "block of state " << row.state;
    }
    EXPECT_EQ(d.data_.data_id, 0u) << "the sequence does not write data_id";
}

TEST(Polling, ShortAndOddRepliesKeepTheRestOfTheBlock) {
    DeviceProbe d;
    std::memset(d.Bytes(), 0xAA, 1550);
    d.protocolState_ = 11;
    EXPECT_EQ(d.Reply("\x01\x02\x03\x04\x05\x06\x07", 13), 1);
    EXPECT_EQ(d.Bytes()[9], 0x06);
    EXPECT_EQ(d.Bytes()[10], 0xAA) << "the half byte of an odd length is absent";
    EXPECT_EQ(d.protocolState_, 12);

    d.protocolState_ = 11;
    const auto before = Snapshot(d);
    EXPECT_EQ(d.Reply("", 0), 1) << "an empty INFO is accepted and the round goes on";
    EXPECT_EQ(Snapshot(d), before);
    EXPECT_EQ(d.rec.Calls().back(), "write_pmbus_cmd 40 51");
}

TEST(Polling, LongRepliesAreCutToTheBlock) {
    DeviceProbe d;
    std::memset(d.Bytes(), 0xAA, 1550);
    const std::string big(600, '\x5C');
    d.protocolState_ = 18;
    d.Reply(big, 1064);
    EXPECT_EQ(d.Bytes()[206 + 531], 0x5C);
    EXPECT_EQ(d.Bytes()[738], 0xAA) << "nothing beyond the 532 bytes of analog_41";

    std::memset(d.Bytes(), 0xAA, 1550);
    d.protocolState_ = 18;
    d.Reply(big, 1200);
    EXPECT_EQ(d.Bytes()[738], 0xAA);

    std::memset(d.Bytes(), 0xAA, 1550);
    d.protocolState_ = 18;
    d.Reply(big, 1063);
    EXPECT_EQ(d.Bytes()[206 + 530], 0x5C);
    EXPECT_EQ(d.Bytes()[206 + 531], 0xAA) << "1063 characters are 531 bytes";
}

TEST(Polling, ControlRepliesSetTheResultAndReset) {
    for (int state : {100, 102, 106}) {
        DeviceProbe d;
        const auto before = Snapshot(d);
        d.controlResult_ = -1;
        d.protocolState_ = state;
        EXPECT_EQ(d.Reply(std::string(40, '\x11')), 0);
        EXPECT_EQ(d.controlResult_, 1);
        EXPECT_EQ(d.rec.Calls(), std::vector<std::string>{"Reset"});
        EXPECT_EQ(Snapshot(d), before) << "a control reply writes nothing to the record";
        EXPECT_EQ(d.protocolState_, state);
    }
}

TEST(Polling, RepliesInOtherStatesChangeNothing) {
    for (int state : {0, 10, 30, 99, 101, 103, 105, 107, 310, 320}) {
        DeviceProbe d;
        const auto before = Snapshot(d);
        d.protocolState_ = state;
        EXPECT_EQ(d.Reply(std::string(20, '\x22')), 1) << state;
        EXPECT_EQ(d.protocolState_, state);
        EXPECT_EQ(d.controlResult_, -1);
        EXPECT_TRUE(d.rec.Calls().empty()) << state;
        EXPECT_EQ(Snapshot(d), before);
    }
}

}  // namespace
