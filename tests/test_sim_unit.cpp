// The simulated unit: its answers, its scenario files, its fault names, and how it answers
// broken command frames on the line.
#include <poll.h>

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/frame.h"
#include "runtime/serial_port.h"
#include "sim/faults.h"
#include "sim/simulator.h"
#include "sim/unit_model.h"

namespace {

using rtmk48sim::Fault;
using rtmk48sim::FaultTrigger;
using rtmk48sim::UnitModel;

frame::Frame Command(uint8_t cid1, uint8_t cid2, std::vector<uint8_t> info = {}, uint8_t adr = 0x01,
                     uint8_t ver = 0x20) {
    frame::Frame f;
    f.ver = ver;
    f.adr = adr;
    f.cid1 = cid1;
    f.cid2 = cid2;
    f.lenid = static_cast<uint16_t>(info.size() * 2);
    std::copy(info.begin(), info.end(), f.info.begin());
    return f;
}

TEST(SimUnit, AnswersEveryPollingCommandWithItsBlockSize) {
    UnitModel u;
    std::vector<uint8_t> info;
    int step = 0;
    for (int s = 1; s <= UnitModel::kSteps; ++s) {
        const auto& st = UnitModel::StepAt(s);
        std::vector<uint8_t> in;
        if (st.infoCount == 1) in.push_back(st.info);
        ASSERT_EQ(u.Answer(Command(st.cid1, st.cid2, in), info, step), frame::kRtnOk) << s;
        EXPECT_EQ(step, s);
        EXPECT_EQ(info.size(), st.size) << s;
    }
    EXPECT_EQ(u.RecordBlocks().size(), 1539u);
    EXPECT_EQ(u.RoundsBegun(), 1);
}

TEST(SimUnit, RejectsWhatARealUnitRejects) {
    UnitModel u;
    std::vector<uint8_t> info;
    int step = 0;
    EXPECT_EQ(u.Answer(Command(0x40, 0x99), info, step), frame::kRtnBadCid2);
    EXPECT_EQ(u.Answer(Command(0x40, 0x43, {0x01}), info, step), frame::kRtnData);
    EXPECT_EQ(u.Answer(Command(0x40, 0x43), info, step), frame::kRtnData);
    EXPECT_EQ(u.Answer(Command(0x40, 0x4D, {}, 0x01, 0x21), info, step), frame::kRtnVersion);
    EXPECT_EQ(u.Answer(Command(0x40, 0x4D, {}, 0x02), info, step), -1) << "not its address";
    EXPECT_EQ(u.Answer(Command(0xD4, 0x45, {0x12, 0x01}), info, step), frame::kRtnData);
    EXPECT_EQ(u.Answer(Command(0xD4, 0x49, {0x01, 0x82, 0, 1}), info, step), frame::kRtnData);
    EXPECT_EQ(u.Answer(Command(0xD4, 0x49, {0x01, 0x80, 0}), info, step), frame::kRtnData);
    EXPECT_TRUE(u.RemoteCommands().empty());
}

TEST(SimUnit, ControlCommandsChangeItsState) {
    UnitModel u;
    std::vector<uint8_t> info;
    int step = 0;
    EXPECT_EQ(u.Answer(Command(0xD4, 0x45, {0x10, 0x01}), info, step), frame::kRtnOk);
    EXPECT_EQ(u.Answer(Command(0xD4, 0x45, {0x11, 0x01}), info, step), frame::kRtnOk);
    EXPECT_EQ(u.RemoteCommands(), (std::vector<uint8_t>{0x10, 0x11}));
    EXPECT_EQ(u.Answer(Command(0xD4, 0x49, {0x01, 0x81, 0x01, 0xF4}), info, step), frame::kRtnOk);
    EXPECT_TRUE(info.empty());
    EXPECT_EQ(u.Param(0x81), 500);
    u.Answer(Command(0xD4, 0x47), info, step);
    ASSERT_EQ(info.size(), 10u);
    EXPECT_EQ(info[2], 0x01);
    EXPECT_EQ(info[3], 0xF4);
}

TEST(SimUnit, ScenarioErrorsNameWhatIsWrong) {
    UnitModel u;
    std::string error;
    Json::Value s;
    s["blocks"]["40 4D"] = "0G";
    EXPECT_FALSE(u.LoadScenario(s, &error));
    EXPECT_EQ(error, "bad block \"40 4D\"");
    s["blocks"].clear();
    s["blocks"]["40 99"] = "00";
    EXPECT_FALSE(u.LoadScenario(s, &error));
    EXPECT_EQ(error, "bad block \"40 99\"");
    Json::Value r;
    r["rounds"] = 3;
    EXPECT_FALSE(u.LoadScenario(r, &error));
    EXPECT_FALSE(u.LoadScenario(Json::Value("x"), &error));
    Json::Value wrongType;
    wrongType["breaker"] = "on";
    EXPECT_FALSE(u.LoadScenario(wrongType, &error)) << "no exception from a wrong type";
    EXPECT_EQ(error, "\"breaker\" is not a byte");
    wrongType.clear();
    wrongType["adr"] = 256;
    EXPECT_FALSE(u.LoadScenario(wrongType, &error));
    EXPECT_EQ(u.adr, 0x01);

    Json::Value ok;
    ok["blocks"]["40 43 FF"] = "00 01 02 03 04 05 06";
    ok["breaker"] = 1;
    ASSERT_TRUE(u.LoadScenario(ok, &error)) << error;
    EXPECT_EQ(u.Block(5).size(), 7u);
    EXPECT_EQ(u.Block(5)[UnitModel::kBreakerByte], 1);
}

TEST(SimFaults, TriggersParseByName) {
    FaultTrigger t;
    ASSERT_TRUE(rtmk48sim::ParseTrigger("bad_chksum@7", t));
    EXPECT_EQ(t.fault, Fault::kBadChecksum);
    EXPECT_EQ(t.step, 7);
    EXPECT_EQ(t.times, 1);
    ASSERT_TRUE(rtmk48sim::ParseTrigger("split@3x2", t));
    EXPECT_EQ(t.times, 2);
    ASSERT_TRUE(rtmk48sim::ParseTrigger("late@0x*", t));
    EXPECT_EQ(t.times, -1);
    ASSERT_TRUE(rtmk48sim::ParseTrigger("garbage", t));
    EXPECT_EQ(t.step, 0);
    for (const char* bad : {"", "nonsense", "silence@20", "silence@x", "silence@1x0", "late@-1"})
        EXPECT_FALSE(rtmk48sim::ParseTrigger(bad, t)) << bad;
    for (Fault f :
         {Fault::kSilence, Fault::kBadChecksum, Fault::kBadLengthChecksum, Fault::kRtnError,
          Fault::kShortInfo, Fault::kLongInfo, Fault::kGarbage, Fault::kSplit, Fault::kLate}) {
        Fault back;
        ASSERT_TRUE(rtmk48sim::ParseFault(rtmk48sim::to_string(f), back));
        EXPECT_EQ(back, f);
    }
}

// Sends raw bytes to the simulator and returns the first frame it answers with.
bool Exchange(SerialPort& port, const std::vector<uint8_t>& bytes, frame::Frame& reply) {
    if (!port.Write(bytes.data(), bytes.size())) return false;
    frame::Decoder d;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    uint8_t buf[256];
    while (std::chrono::steady_clock::now() < until) {
        pollfd p{port.Fd(), POLLIN, 0};
        ::poll(&p, 1, 50);
        const ssize_t n = port.Read(buf, sizeof buf);
        std::size_t off = 0;
        while (n > 0 && off < static_cast<std::size_t>(n)) {
            frame::Decoder::Event e;
            off += d.Feed(buf + off, static_cast<std::size_t>(n) - off, e);
            if (e == frame::Decoder::Event::kFrame) {
                reply = d.LastFrame();
                return true;
            }
        }
    }
    return false;
}

TEST(SimOnTheLine, AnswersBrokenCommandsWithTheirReturnCodes) {
    rtmk48sim::Simulator sim;
    std::string error;
    ASSERT_TRUE(sim.Open(&error)) << error;
    sim.Start();
    SerialPort port({sim.SlavePath(), 9600});
    ASSERT_TRUE(port.Open());

    std::vector<uint8_t> cmd(frame::kMaxFrame);
    cmd.resize(frame::Encode(0x20, 0x01, 0x40, 0x4D, nullptr, 0, cmd.data(), cmd.size()));
    frame::Frame reply;

    auto badChk = cmd;
    badChk[badChk.size() - 2] ^= 1;
    ASSERT_TRUE(Exchange(port, badChk, reply));
    EXPECT_EQ(reply.cid2, frame::kRtnChecksum);
    EXPECT_EQ(reply.cid1, 0x40);
    EXPECT_EQ(reply.lenid, 0);

    auto badLchk = cmd;
    badLchk[9] = '5';  // LENID 000 wants LCHKSUM 0
    ASSERT_TRUE(Exchange(port, badLchk, reply));
    EXPECT_EQ(reply.cid2, frame::kRtnLengthChecksum);

    std::vector<uint8_t> unknown(frame::kMaxFrame);
    unknown.resize(
        frame::Encode(0x20, 0x01, 0x40, 0x77, nullptr, 0, unknown.data(), unknown.size()));
    ASSERT_TRUE(Exchange(port, unknown, reply));
    EXPECT_EQ(reply.cid2, frame::kRtnBadCid2);

    ASSERT_TRUE(Exchange(port, cmd, reply));
    EXPECT_EQ(reply.cid2, frame::kRtnOk);
    EXPECT_EQ(reply.lenid, 14);
    EXPECT_EQ(sim.Commands(), 4u);
    sim.Close();
}

TEST(SimOnTheLine, PacedOutputKeepsTheLineRate) {
    rtmk48sim::SimOptions o;
    o.pace = true;
    rtmk48sim::Simulator sim(o);
    ASSERT_TRUE(sim.Open());
    sim.Start();
    SerialPort port({sim.SlavePath(), 9600});
    ASSERT_TRUE(port.Open());
    std::vector<uint8_t> cmd(frame::kMaxFrame);
    cmd.resize(frame::Encode(0x20, 0x01, 0x41, 0x42, nullptr, 0, cmd.data(), cmd.size()));
    const auto start = std::chrono::steady_clock::now();
    frame::Frame reply;
    ASSERT_TRUE(Exchange(port, cmd, reply));
    const auto took = std::chrono::steady_clock::now() - start;
    // 532 bytes of INFO: 1082 characters on the line, 10 bits each at 9600 baud.
    EXPECT_EQ(reply.lenid, 1064);
    EXPECT_GE(took, std::chrono::microseconds(1082 * 10'000'000LL / 9600));
    sim.Close();
}

}  // namespace
