// The host core in-process: failures out of a round, and a stop in the middle of polling.
#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "host/observer.h"
#include "runner/host.h"
#include "runner/json_check.h"
#include "runner/site_config.h"

namespace {

class HostCoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/smd-host-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    SiteConfig Site(int rounds, double delayScale = 0.01) {
        const std::string text = R"({"database": "h.db", "plugins": [")" +
                                 std::string(SMD_PLUGIN_PATH) + R"("], "rounds": )" +
                                 std::to_string(rounds) + R"(,
            "devices": [{"model": "rtmk48_pv05", "dataId": 7, "port": "simulated",
                         "pollIntervalMs": 20, "delayScale": )" +
                                 std::to_string(delayScale) + R"(, "replyTimeoutMs": 300,
                         "workDir": ")" +
                                 std::string(SMD_SOURCE_DIR) + R"("}]})";
        return ParseSiteConfig(JsonFile::Parse(text, "site.json"), "site.json", dir_);
    }

    std::string dir_;
};

// Stands in for a failure of the device's own (its clock, its settings) on the way out of a
// round: the exception leaves RoundDone after publishing, before the record is stored.
class FailOnce : public HostObserver {
  public:
    explicit FailOnce(int at) : at_(at) {}
    void OnSendSP(int, const unsigned char*, unsigned int, bool) override {
        if (++published == at_) throw std::runtime_error("could not convert calendar time");
    }
    std::atomic<int> published{0};

  private:
    int at_;
};

TEST_F(HostCoreTest, AnExceptionOutOfARoundIsReportedAndTheNextRoundRuns) {
    std::ostringstream out;
    FailOnce fail(2);
    {
        Host host(Site(3), out);
        host.Start();
        ASSERT_TRUE(host.Observe(7, fail));
        EXPECT_FALSE(host.Observe(8, fail));
        host.Run();
        const auto s = host.Summary();
        ASSERT_EQ(s.size(), 1u);
        EXPECT_EQ(s[0].rounds, 3u);
        EXPECT_EQ(s[0].published, 3u);
        EXPECT_EQ(s[0].stored, 2u);  // the failed round stored nothing
        EXPECT_EQ(s[0].errors.at("plug-in exception"), 1u);
    }
    EXPECT_NE(out.str().find("[7] round failed: could not convert calendar time"),
              std::string::npos)
        << out.str();
}

TEST_F(HostCoreTest, StopEndsTheRoundInProgressAndRunReturns) {
    std::ostringstream out;
    FailOnce never(-1);
    Host host(Site(0), out);
    host.Start();
    host.Observe(7, never);
    std::thread run([&] { host.Run(); });
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (never.published < 2 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    host.Stop();
    run.join();
    const auto s = host.Summary();
    ASSERT_GE(s[0].published, 2u);
    // Every round started was completed and stored.
    EXPECT_EQ(s[0].rounds, s[0].published);
    EXPECT_EQ(s[0].stored, s[0].published);
    EXPECT_TRUE(s[0].errors.empty()) << out.str();
}

// Control requests in a burst while rounds run back to back: a command goes out only between
// rounds, never between a round's request and its first command, so no reply is lost.
TEST_F(HostCoreTest, ABurstOfControlCommandsNeverTakesAPollReplysPlace) {
    std::ostringstream out;
    Host host(Site(40), out);
    host.Start();
    std::atomic<bool> done{false};
    std::thread run([&] {
        host.Run();
        done = true;
    });
    ControlRequest r;
    r.dataId = 7;
    r.code = 106;
    r.in = {0x34, 0x12};
    int sent = 0;
    while (!done) {
        try {
            host.Control(r);
            ++sent;
        } catch (const ControlError&) {
        }
    }
    run.join();
    const auto s = host.Summary().at(0);
    EXPECT_GT(sent, 5);
    EXPECT_EQ(s.errors.count("CID1 not echoed"), 0u) << out.str();
    EXPECT_EQ(s.errors.count("unsolicited frame"), 0u) << out.str();
}

// 801 only reads the document: it is answered while a slow round is in progress.
TEST_F(HostCoreTest, TheDocumentIsReadWithoutWaitingForTheRound) {
    std::ostringstream out;
    Host host(Site(1, 0.3), out);  // 150 ms between commands: a round of about 3 s
    host.Start();
    std::thread run([&] { host.Run(); });
    ControlRequest r;
    r.dataId = 7;
    r.code = 801;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (host.Summary().at(0).rounds == 0 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    const auto asked = std::chrono::steady_clock::now();
    const ControlAnswer a = host.Control(r);
    const auto took = std::chrono::steady_clock::now() - asked;
    const bool roundOpen = host.Summary().at(0).published == 0;
    host.Stop();
    run.join();
    EXPECT_EQ(a.result, 0);
    EXPECT_GT(a.retLen, 0);
    EXPECT_TRUE(roundOpen) << "the round ended before the answer: the test proves nothing";
    EXPECT_LT(took, std::chrono::milliseconds(1000));
}

}  // namespace
