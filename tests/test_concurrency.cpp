// Host threads ask for the document, send commands and query values while the polling thread
// completes rounds. Meant to be run under ThreadSanitizer as well (-DSMD_SANITIZE=tsan).
#include <atomic>
#include <cstring>
#include <iostream>
#include <mutex>
#include <set>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <json/reader.h>

#include "device_probe.h"

namespace {

const char kStampKey[] = "更新时间";
constexpr int kMinRounds = 300;
constexpr int kMinRequests = 200;  // of each kind, made while rounds go on

// Standard output shared by all threads: the device prints a line per request and per round.
// Discarded without a lock, so that no lock of the test itself orders the threads' accesses
// and hides a race from ThreadSanitizer; only the round lines are counted.
class CountingSink : public std::streambuf {
  public:
    long RoundLines() const { return roundLines_.load(std::memory_order_relaxed); }

  protected:
    int overflow(int c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        constexpr char kRoundLine[] = "rvSize is ";
        if (n == sizeof kRoundLine - 1 && std::memcmp(s, kRoundLine, sizeof kRoundLine - 1) == 0)
            roundLines_.fetch_add(1, std::memory_order_relaxed);
        return n;
    }

  private:
    std::atomic<long> roundLines_{0};
};

class RedirectStdout {
  public:
    explicit RedirectStdout(std::streambuf* to) : old_(std::cout.rdbuf(to)) {}
    ~RedirectStdout() { std::cout.rdbuf(old_); }

  private:
    std::streambuf* old_;
};

TEST(Concurrency, RequestsFromOtherThreadsWhileRoundsComplete) {
    DeviceProbe d;
    // Mode 1 with analog signals: every round reads the document and adds members under the lock.
    d.aiSignalMap_["电池电压"] = {"0110010001", "电池电压"};
    d.aiSignalMap_["负载电流"] = {"0110020001", "负载电流"};

    // Members that sort between the two checked ones make the text take a while to write.
    for (int i = 0; i < 500; ++i) d.signalValues_["m_" + std::to_string(i)] = i;

    CountingSink sink;
    RedirectStdout redirect(&sink);
    std::atomic<bool> done{false};
    std::atomic<int> documents{0}, addresses{0}, commands{0}, queries{0};
    std::vector<std::string> failures;
    std::mutex failuresMutex;
    const auto fail = [&](const std::string& what) {
        std::lock_guard<std::mutex> lock(failuresMutex);
        if (failures.size() < 20) failures.push_back(what);
    };

    std::atomic<int> roundCount{0};
    std::thread rounds([&] {
        // Rounds go on until every other thread has done its share beside them.
        while (roundCount < kMinRounds || documents < kMinRequests || addresses < kMinRequests ||
               commands < kMinRequests || queries < kMinRequests) {
            d.RoundDone();
            ++roundCount;
        }
        d.RoundDone();  // at least one round after the address holder's writes
        ++roundCount;
        done = true;
    });

    std::thread documentReader([&] {
        std::vector<char> out(65536);
        while (!done) {
            int retLen = 0;
            const bool afterARound = roundCount > 0;
            if (d.DeviceIoControl(801, nullptr, 0, out.data(), static_cast<int>(out.size()),
                                  retLen) != 0) {
                fail("801 failed");
                continue;
            }
            Json::Value doc;
            if (!Json::Reader().parse(out.data(), out.data() + retLen, doc))
                fail("801 text does not parse: " + std::string(out.data(), retLen));
            else if (afterARound && !doc[kStampKey].isString())
                fail("801 document without its stamp");
            else if (doc.isMember("a_check") && doc["a_check"] != doc["z_check"])
                fail("801 text caught a change half done: " + std::string(out.data(), retLen));
            ++documents;
        }
    });

    std::thread addressHolder([&] {
        unsigned char out[sizeof(void*)];
        float v = 50.0f;
        while (!done) {
            int retLen = 0;
            if (d.DeviceIoControl(803, nullptr, 0, out, sizeof out, retLen) != 0) {
                fail("803 failed");
                continue;
            }
            Json::Value* doc;
            std::memcpy(&doc, out, sizeof doc);
            // Holders of the address write under the same lock as the round completion.
            std::lock_guard<std::mutex> lock(d.valuesMutex_);
            (*doc)["电池电压"] = v;
            // Written together; the text, which shows them far apart, must never differ.
            (*doc)["a_check"] = v;
            (*doc)["z_check"] = v;
            v += 0.5f;
            ++addresses;
        }
    });

    std::thread commander([&] {
        const std::string setting = R"({"signal_id":"D48101","SetValue":"500"})";
        const uint16_t value = 0x1234;
        int result = 0;
        unsigned char out[4];
        while (!done) {
            d.DeviceIoControl(100, nullptr, 0, out, sizeof out, result);
            d.DeviceIoControl(106, &value, sizeof value, out, sizeof out, result);
            d.DeviceIoControl(310, setting.data(), static_cast<int>(setting.size()), out,
                              sizeof out, result);
            d.DeviceIoControl(320, "D41101", 6, out, sizeof out, result);
            d.DeviceIoControl(7, nullptr, 0, out, sizeof out, result);
            ++commands;
        }
    });

    std::thread querier([&] {
        const std::set<std::string> answers = {"数据未就绪", "数据已超时", "不支持变量"};
        while (!done) {
            try {
                d.Get_Value(1, "电池电压");
                fail("Get_Value returned a value");
            } catch (const std::out_of_range& e) {
                if (answers.count(e.what()) == 0)
                    fail(std::string("unexpected answer ") + e.what());
            }
            ++queries;
        }
    });

    rounds.join();
    documentReader.join();
    addressHolder.join();
    commander.join();
    querier.join();

    EXPECT_TRUE(failures.empty()) << failures.front();
    EXPECT_EQ(sink.RoundLines(), roundCount.load());
    EXPECT_EQ(d.rec.Calls("SendSP").size(), static_cast<size_t>(roundCount.load()));

    // After the last round the document carries that round's stamp.
    std::vector<char> out(65536);
    int retLen = 0;
    ASSERT_EQ(d.DeviceIoControl(801, nullptr, 0, out.data(), static_cast<int>(out.size()), retLen),
              0);
    Json::Value doc;
    ASSERT_TRUE(Json::Reader().parse(out.data(), out.data() + retLen, doc));
    const ttime t = d.data_.update_time;
    EXPECT_EQ(doc[kStampKey].asString(),
              std::to_string(t.year) + "-" + std::to_string(t.month) + "-" + std::to_string(t.day) +
                  " " + std::to_string(t.hour) + ":" + std::to_string(t.minute) + ":" +
                  std::to_string(t.second));
    EXPECT_TRUE(doc.isMember("负载电流")) << "the rounds added their null members";
    EXPECT_EQ(d.rec.Calls("CheckThreshold 0116010011 电池电压").empty(), false)
        << "rounds evaluated the values written through the address";
}

}  // namespace
