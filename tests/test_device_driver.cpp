// The driver and the protocol runtime on an in-memory link: validation of replies, the delay
// between commands, reply time-outs and the poll schedule, with the real device code.
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "device_probe.h"
#include "runtime/device_driver.h"
#include "runtime/falling_rate.h"
#include "runtime/frame.h"
#include "test_support.h"

namespace {

using Clock = std::chrono::steady_clock;
using frame::ReplyError;
using std::chrono::milliseconds;

struct Written {
    Clock::time_point at;
    std::vector<uint8_t> bytes;
};

class ScriptLink : public Link {
  public:
    bool Write(const uint8_t* data, std::size_t len) override {
        std::lock_guard<std::mutex> lock(mu_);
        writes_.push_back({Clock::now(), std::vector<uint8_t>(data, data + len)});
        return true;
    }
    std::vector<Written> Writes() {
        std::lock_guard<std::mutex> lock(mu_);
        return writes_;
    }

  private:
    std::mutex mu_;
    std::vector<Written> writes_;
};

std::vector<uint8_t> Frame(uint8_t cid1, uint8_t cid2, const std::vector<uint8_t>& info,
                           uint8_t adr = 0x01, uint8_t ver = 0x20) {
    return EncodeFrame(cid1, cid2, info, adr, ver);
}

DriverOptions Manual(double delayScale = 0.02) {
    DriverOptions o;
    o.autoPoll = false;
    o.delayScale = delayScale;
    o.firstByteTimeout = milliseconds(1000);
    o.interByteTimeout = milliseconds(300);
    return o;
}

// Runs the loop on this thread until `pred` holds or `timeout` passes.
template <class Pred>
bool RunUntil(DriverLoop& loop, Pred pred, milliseconds timeout = milliseconds(3000)) {
    const auto until = Clock::now() + timeout;
    while (!pred()) {
        if (Clock::now() > until) return false;
        loop.RunOnce(milliseconds(20));
    }
    return true;
}

struct Bench {
    explicit Bench(DriverOptions o = Manual()) : driver(device, link, o) { loop.Add(driver); }
    void StartRound() {
        driver.PollNow();
        loop.RunOnce(milliseconds(0));
    }
    void Deliver(const std::vector<uint8_t>& bytes) { driver.Receive(bytes.data(), bytes.size()); }
    DeviceProbe device;
    ScriptLink link;
    DeviceDriver driver;
    DriverLoop loop;
};

TEST(DeviceDriver, CommandsGoOutFramedAndAValidReplyFillsItsBlock) {
    Bench b;
    b.StartRound();
    auto writes = b.link.Writes();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].bytes, Frame(0x40, 0x4D, {})) << "VER 0x20 and ADR 0x01 by default";

    b.Deliver(Frame(0x40, 0x00, {1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(b.device.data_.unit_time[6], 7);
    EXPECT_EQ(b.device.protocolState_, 12);
    ASSERT_TRUE(RunUntil(b.loop, [&] { return b.link.Writes().size() == 2; }));
    EXPECT_EQ(b.link.Writes()[1].bytes, Frame(0x40, 0x51, {}));
    EXPECT_EQ(b.driver.Replies(), 1u);
}

TEST(DeviceDriver, CommandsCarryTheAddressAndVersionFromTheSettings) {
    Bench b;
    Json::Value settings;
    settings["appSetting"]["pmbus_adr"] = "0x05";
    settings["appSetting"]["pmbus_ver"] = 0x21;
    b.device.PMBusProtocol::InitSetting(settings);
    b.StartRound();
    ASSERT_EQ(b.link.Writes().size(), 1u);
    EXPECT_EQ(b.link.Writes()[0].bytes, Frame(0x40, 0x4D, {}, 0x05, 0x21));
    b.Deliver(Frame(0x40, 0x00, {9}, 0x05, 0x21));
    EXPECT_EQ(b.device.data_.unit_time[0], 9);

    Json::Value bad;
    bad["appSetting"]["pmbus_adr"] = "300";  // not a byte: the default stands
    b.device.PMBusProtocol::InitSetting(bad);
    b.StartRound();
    EXPECT_EQ(b.link.Writes().back().bytes, Frame(0x40, 0x4D, {}, 0x01, 0x20));
}

struct Rejected {
    const char* name;
    std::vector<uint8_t> reply;
    ReplyError kind;
};

TEST(DeviceDriver, RejectedRepliesReachNothingAndEndTheRound) {
    auto badChk = Frame(0x40, 0x00, {1, 2, 3});
    badChk[badChk.size() - 2] ^= 1;
    const Rejected cases[] = {
        {"other address", Frame(0x40, 0x00, {1, 2, 3}, 0x02), ReplyError::kWrongAddress},
        {"other CID1", Frame(0x41, 0x00, {1, 2, 3}), ReplyError::kWrongCommand},
        {"RTN 0x04", Frame(0x40, 0x04, {}), ReplyError::kRtnBadCid2},
        {"RTN 0x01", Frame(0x40, 0x01, {}), ReplyError::kRtnVersion},
        {"bad CHKSUM", badChk, ReplyError::kBadChecksum},
    };
    for (const Rejected& c : cases) {
        Bench b;
        CaptureStdout quiet;
        b.StartRound();
        b.Deliver(c.reply);
        EXPECT_EQ(b.driver.Errors(c.kind), 1u) << c.name;
        EXPECT_EQ(b.driver.TotalErrors(), 1u) << c.name;
        EXPECT_EQ(b.device.data_.unit_time[0], 0) << c.name << ": nothing half-parsed arrives";
        EXPECT_EQ(b.device.protocolState_, 11) << c.name;
        for (int i = 0; i < 3; ++i) b.loop.RunOnce(milliseconds(20));
        EXPECT_EQ(b.link.Writes().size(), 1u) << c.name << ": no further command";
        // A reply after the failure is dropped too; the next round starts clean.
        b.Deliver(Frame(0x40, 0x00, {5}));
        EXPECT_EQ(b.driver.Errors(ReplyError::kUnsolicited), 1u) << c.name;
        b.StartRound();
        b.Deliver(Frame(0x40, 0x00, {5}));
        EXPECT_EQ(b.device.data_.unit_time[0], 5) << c.name;
    }
}

TEST(DeviceDriver, TheNextCommandLeavesExactlyTheRequestedDelayAfterTheReply) {
    // What the scheduler adds to a plain 20 ms sleep right now: a loaded machine wakes every
    // thread late, and only more than that is the driver's own.
    const auto slept = Clock::now();
    std::this_thread::sleep_for(milliseconds(20));
    const auto late = Clock::now() - slept - milliseconds(20);
    Bench b(Manual(0.04));  // 500 units: 20 ms
    b.StartRound();
    // The delay starts while the reply is handled: it is kept from before the reply, and
    // nothing is added to it after (an emulator may take milliseconds over the reply itself).
    const auto replied = Clock::now();
    b.Deliver(Frame(0x40, 0x00, {1}));
    const auto handled = Clock::now();
    ASSERT_TRUE(RunUntil(b.loop, [&] { return b.link.Writes().size() == 2; }));
    const auto sent = b.link.Writes()[1].at;
    EXPECT_GE(sent - replied, milliseconds(20)) << "the delay is kept";
    EXPECT_LT(sent - handled, milliseconds(20 + 15) + 3 * late) << "and nothing is added to it";
}

TEST(DeviceDriver, AReplyThatNeverComesTimesOut) {
    DriverOptions o = Manual();
    o.firstByteTimeout = milliseconds(40);
    Bench b(o);
    b.StartRound();
    const auto sent = b.link.Writes()[0].at;
    ASSERT_TRUE(RunUntil(b.loop, [&] { return b.driver.Errors(ReplyError::kTimeout) == 1; }));
    EXPECT_GE(Clock::now() - sent, milliseconds(40));
    EXPECT_EQ(b.link.Writes().size(), 1u);
    EXPECT_EQ(b.driver.TotalErrors(), 1u);
}

TEST(DeviceDriver, APauseInsideAReplyTimesOutBetweenBytes) {
    DriverOptions o = Manual();
    o.firstByteTimeout = milliseconds(2000);
    o.interByteTimeout = milliseconds(30);
    Bench b(o);
    b.StartRound();
    const auto reply = Frame(0x40, 0x00, {1, 2, 3, 4, 5, 6, 7});
    b.Deliver(std::vector<uint8_t>(reply.begin(), reply.begin() + 10));
    const auto paused = Clock::now();
    ASSERT_TRUE(RunUntil(b.loop, [&] { return b.driver.Errors(ReplyError::kTimeout) == 1; }));
    EXPECT_LT(Clock::now() - paused, milliseconds(1000)) << "well before the first-byte time-out";
    // The rest of the frame finds nothing outstanding and no frame start: it is skipped.
    b.Deliver(std::vector<uint8_t>(reply.begin() + 10, reply.end()));
    EXPECT_EQ(b.device.data_.unit_time[0], 0);
}

TEST(DeviceDriver, RoundsFollowThePollIntervalAndAreNeverCut) {
    DriverOptions o = Manual();
    o.autoPoll = true;
    o.pollInterval = milliseconds(30);
    o.firstByteTimeout = milliseconds(80);  // each round waits for a reply that never comes
    Bench b(o);
    ASSERT_TRUE(RunUntil(b.loop, [&] { return b.link.Writes().size() >= 3; }));
    const auto w = b.link.Writes();
    for (std::size_t i = 1; i < w.size(); ++i) {
        EXPECT_GE(w[i].at - w[i - 1].at, milliseconds(80)) << "a round waits out its time-out";
        EXPECT_EQ(w[i].bytes, Frame(0x40, 0x4D, {}));
    }
    EXPECT_EQ(b.driver.RoundsStarted(), w.size());

    // A round that ends early waits for the interval.
    o.pollInterval = milliseconds(50);
    o.firstByteTimeout = milliseconds(5);
    Bench c(o);
    ASSERT_TRUE(RunUntil(c.loop, [&] { return c.link.Writes().size() >= 3; }));
    const auto v = c.link.Writes();
    for (std::size_t i = 1; i < v.size(); ++i) EXPECT_GE(v[i].at - v[i - 1].at, milliseconds(50));
}

// Answers each command with an empty OK reply (and `after` behind it) until the round's record
// is out; with `fail`, the round's first command gets RTN 0x06 instead.
bool Round(Bench& b, bool fail, const std::vector<uint8_t>& after = {}) {
    const uint64_t done = b.driver.RoundsDone();
    const uint64_t errors = b.driver.TotalErrors();
    std::size_t answered = b.link.Writes().size();
    b.StartRound();
    return RunUntil(b.loop, [&] {
        const auto w = b.link.Writes();
        for (; answered < w.size(); ++answered) {
            const auto cid1 = static_cast<uint8_t>(
                std::stoi(std::string(w[answered].bytes.begin() + 5, w[answered].bytes.begin() + 7),
                          nullptr, 16));
            std::vector<uint8_t> reply = Frame(cid1, fail ? 0x06 : 0x00, {});
            reply.insert(reply.end(), after.begin(), after.end());
            b.Deliver(reply);
        }
        b.loop.RunOnce(milliseconds(0));  // the driver reports after its turn
        return fail ? b.driver.TotalErrors() > errors : b.driver.RoundsDone() > done;
    });
}

// Failures are counted by rounds, reported at a falling rate and the recovery once, after a
// round that succeeded; what went wrong between rounds or within a good one adds no line.
TEST(DeviceDriver, FailuresAreReportedByRoundsAtAFallingRateAndRecoveryOnce) {
    const std::vector<uint8_t> noise = {frame::kSoi, frame::kSoi, 'x', frame::kSoi, 'x'};
    struct Row {
        const char* what;
        const char* rounds;  // F failed, G good, D good with a copy of each reply, N good with
                             // noise after each reply, n noise while idle
        std::vector<std::string> lines;
    };
    const std::vector<Row> rows = {
        {"five failed rounds, then a good one",
         "FFFFFG",
         {"communication error: RTN invalid data (1 in a row, 1 in all)",
          "communication error: RTN invalid data (2 in a row, 2 in all)",
          "communication error: RTN invalid data (4 in a row, 4 in all)",
          "communication restored"}},
        {"a copy of every reply in good rounds", "DDD", {}},
        {"noise between failed rounds",
         "nFnFnF",
         {"communication error: bad hex digit, RTN invalid data (1 in a row, 4 in all)",
          "communication error: bad hex digit, RTN invalid data (2 in a row, 8 in all)"}},
        {"a failure, then noise in a good round",
         "FNG",
         {"communication error: RTN invalid data (1 in a row, 1 in all)",
          "communication restored"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<std::string> lines;
        DriverOptions o = Manual();
        o.log = [&](const std::string& line) { lines.push_back(line); };
        Bench b(o);
        CaptureStdout quiet;
        for (const char* r = row.rounds; *r != '\0'; ++r) {
            if (*r == 'n') {
                b.Deliver(noise);
                b.loop.RunOnce(milliseconds(0));
                continue;
            }
            ASSERT_TRUE(Round(b, *r == 'F',
                              *r == 'D'   ? Frame(0x40, 0x00, {})
                              : *r == 'N' ? noise
                                          : std::vector<uint8_t>{}));
        }
        EXPECT_EQ(lines, row.lines);
    }
}

// The one helper every part logs and retries with.
TEST(FallingRate, LinesOnPowersOfTwoAndWaitsThatDoubleUpToTheCeiling) {
    struct Row {
        milliseconds first, most;
        uint64_t before, after;  // the count before and after the failures just seen
        bool log;
        milliseconds wait;  // after `after` failures in a row
    };
    const std::vector<Row> rows = {
        {milliseconds(250), milliseconds(8000), 0, 1, true, milliseconds(250)},
        {milliseconds(250), milliseconds(8000), 1, 2, true, milliseconds(500)},
        {milliseconds(250), milliseconds(8000), 2, 3, false, milliseconds(1000)},
        {milliseconds(250), milliseconds(8000), 3, 4, true, milliseconds(2000)},
        {milliseconds(250), milliseconds(8000), 6, 7, false, milliseconds(8000)},
        {milliseconds(250), milliseconds(8000), 7, 8, true, milliseconds(8000)},
        {milliseconds(250), milliseconds(8000), 5, 9, true, milliseconds(8000)},  // passed 8
        {milliseconds(250), milliseconds(8000), 9, 15, false, milliseconds(8000)},
        {milliseconds(250), milliseconds(8000), 4, 4, false, milliseconds(2000)},  // none new
        {milliseconds(1000), milliseconds(60000), 0, uint64_t{1} << 40, true, milliseconds(60000)},
        {milliseconds(9000), milliseconds(5000), 0, 1, true, milliseconds(5000)},  // first > most
        {milliseconds(0), milliseconds(5000), 0, UINT64_MAX, true, milliseconds(0)},
    };
    const auto now = Clock::now();
    for (const Row& r : rows) {
        SCOPED_TRACE(std::to_string(r.before) + " -> " + std::to_string(r.after));
        const FallingRate rate{r.first, r.most};
        EXPECT_EQ(FallingRate::LogDue(r.before, r.after), r.log);
        EXPECT_EQ(rate.Wait(r.after), r.wait);
        if (r.after == r.before + 1) {
            const FallingRate::Step step = rate.After(r.after, now);
            EXPECT_EQ(step.log, r.log);
            EXPECT_EQ(step.at, now + r.wait);
        }
    }
}

}  // namespace
