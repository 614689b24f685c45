// The web server as a shared box's server must hold up: limits on connections, a deadline on
// headers, the Host header checked, slow requests off the fast thread; and history read in
// bounded time and memory from a database of many days.
#include <filesystem>
#include <fstream>
#include <iostream>
#include <thread>

#include <boost/asio/read.hpp>

#include <gtest/gtest.h>

#include "history/history_store.h"
#include "store/aggregates.h"
#include "web/host_names.h"
#include "web/http_server.h"
#include "web/signal_history.h"
#include "web_client.h"

namespace {

using Clock = std::chrono::steady_clock;
using webtest::Call;

double MsSince(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

// "/slow" sleeps on the heavy thread; everything else answers at once.
struct Server {
    explicit Server(HttpServerLimits limits = {})
        : http(
              "127.0.0.1", 0,
              [](const WebRequest& r) {
                  if (r.target == "/slow") std::this_thread::sleep_for(std::chrono::seconds(2));
                  WebResponse w;
                  w.body = "{}";
                  return w;
              },
              [](const WebRequest& r) { return r.target == "/slow"; }, limits) {}
    HttpServer http;
};

webtest::tcp::socket Open(webtest::asio::io_context& ioc, uint16_t port,
                          const char* from = "127.0.0.1") {
    namespace asio = webtest::asio;
    webtest::tcp::socket s(ioc);
    s.open(webtest::tcp::v4());
    s.bind(webtest::tcp::endpoint(asio::ip::make_address(from), 0));
    s.connect(webtest::tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
    return s;
}

TEST(WebServer, HostHeaderNamesOnlyThisBox) {
    const auto names = ServedHostNames({"Site-7.example"});
    const struct {
        const char* host;
        bool served;
    } cases[] = {
        {"127.0.0.1", true},          {"127.0.0.1:8080", true},
        {"[::1]:8080", true},         {"10.1.2.3", true},
        {"localhost:8080", true},     {"LOCALHOST.", true},
        {"site-7.example:80", true},  {"evil.example", false},
        {"evil.example:8080", false}, {"", false},
        {"localhost:80x", false},     {"[::1", false},
        {"2130706433", false},        {"127.0.0.1.evil.com", false},
    };
    for (const auto& c : cases) EXPECT_EQ(HostServed(c.host, names), c.served) << c.host;
}

TEST(WebServer, IdleAndSlowConnectionsCannotLockOthersOut) {
    HttpServerLimits limits;
    limits.headerDeadline = std::chrono::milliseconds(400);
    Server server(limits);
    const uint16_t port = server.http.Port();
    webtest::asio::io_context ioc;

    // 200 idle connections: each newcomer makes room by closing the one idle longest.
    std::vector<webtest::tcp::socket> idle;
    for (int i = 0; i < 200; ++i) idle.push_back(Open(ioc, port));
    auto t = Clock::now();
    EXPECT_EQ(Call(port, "/metrics").status, 200);
    EXPECT_LT(MsSince(t), 1000);

    // Headers still coming at the deadline: 408, then closed.
    t = Clock::now();
    const std::string slow = webtest::Raw(port, "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-A: b");
    EXPECT_EQ(slow.rfind("HTTP/1.1 408", 0), 0u) << slow;
    EXPECT_LT(MsSince(t), 1500);

    // A foreign Host (DNS rebinding) is refused with a JSON error.
    const webtest::Reply foreign = Call(port, "/metrics", "GET", {{"Host", "evil.example"}});
    EXPECT_EQ(foreign.status, 421);
    EXPECT_EQ(foreign.Json()["error"].asString(), "host evil.example is not served here");
}

TEST(WebServer, SlowRequestsLeaveTheRestFastAndBusyConnectionsGet503) {
    HttpServerLimits limits;
    limits.connections = 3;
    limits.perClient = 2;
    limits.heavyQueue = 2;
    Server server(limits);
    const uint16_t port = server.http.Port();

    // From 127.0.0.2: this client's own limit is reached with two requests in flight.
    std::vector<std::thread> slow;
    std::vector<int> status(2);
    for (int i = 0; i < 2; ++i)
        slow.emplace_back([&, i] {
            webtest::asio::io_context ioc;
            auto s = Open(ioc, port, "127.0.0.2");
            const std::string req = "GET /slow HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
            webtest::asio::write(s, webtest::asio::buffer(req));
            webtest::beast::flat_buffer buf;
            webtest::http::response<webtest::http::string_body> res;
            webtest::http::read(s, buf, res);
            status[i] = res.result_int();
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto t = Clock::now();
    EXPECT_EQ(Call(port, "/metrics").status, 200);
    EXPECT_LT(MsSince(t), 500);
    // A third heavy request is told to come back rather than queued behind two.
    const webtest::Reply busy = Call(port, "/slow");
    EXPECT_EQ(busy.status, 503);
    EXPECT_EQ(busy.headers.at("Retry-After"), "5");

    webtest::asio::io_context ioc;
    auto third = Open(ioc, port, "127.0.0.2");
    char buf[512];
    boost::system::error_code ec;
    const std::string refused(buf, webtest::asio::read(third, webtest::asio::buffer(buf), ec));
    EXPECT_EQ(refused.rfind("HTTP/1.1 503", 0), 0u) << refused;
    EXPECT_NE(refused.find("Retry-After: 5\r\n"), std::string::npos) << refused;
    EXPECT_NE(refused.find("\r\n\r\n{\"error\":\"too many connections\"}\n"), std::string::npos);
    for (auto& s : slow) s.join();
    EXPECT_EQ(status, (std::vector<int>{200, 200}));
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kSlowdown = 5;
#else
constexpr int kSlowdown = 1;
#endif

// Peak resident memory since the last reset, in MB.
double PeakMb() {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024;
    return 0;
}
void ResetPeak() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

TEST(WebHistory, NinetyDaysAnswerAnyRangeWithinASecondAndFiftyMegabytes) {
    char tmpl[] = "/tmp/smd-hist-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string db = std::string(tmpl) + "/h.db";
    // A round every 15 s for 90 days: 518,400 records of 200 bytes, the signal counting up.
    constexpr int64_t kStep = 15000, kRows = 90 * 86400000LL / kStep, kStart = 1700000000000;
    {
        HistoryStore store(db);
        store.Begin();
        std::vector<unsigned char> rec(200, 0x5A);
        for (int64_t i = 0; i < kRows; ++i) {
            rec[0] = static_cast<unsigned char>((i % 1000) >> 8);
            rec[1] = static_cast<unsigned char>(i % 1000);
            store.AddRecord(7, 1, history::FromMs(kStart + i * kStep), rec.data(), rec.size());
        }
        store.Commit();
    }
    SignalField f;
    f.width = 2;
    SignalHistory history(db);
    const int64_t end = kStart + kRows * kStep;
    const struct {
        int64_t from, to;
        std::size_t points;
    } ranges[] = {
        {0, 253402300799999, 5000},        {kStart, end, 5000},       {kStart, end, 300},
        {end - 7 * 86400000LL, end, 5000}, {end - 3600000, end, 300}, {0, kStart - 1, 5000},
    };
    for (const auto& r : ranges) {
        ResetPeak();
        const double before = PeakMb();
        const auto t = Clock::now();
        const HistoryAnswer a = history.Query(7, f, r.from, r.to, r.points);
        const double ms = MsSince(t);
        const double mb = PeakMb() - before;
        std::cout << "history " << r.from << ".." << r.to << " in " << r.points << ": " << ms
                  << " ms, peak +" << mb << " MB, " << a.rowsRead << " rows read\n";
        EXPECT_LT(ms, kSlowdown * 1000) << r.from << ".." << r.to;
        // A sanitizer's allocator keeps freed memory in quarantine: only a plain build measures.
        // A busy machine may meet the time cap; the answer then says so (partial).
        if (kSlowdown == 1) {
            EXPECT_LT(mb, 50) << r.from << ".." << r.to;
        }
        std::size_t n = 0;
        for (const auto& p : a.points) n += p.samples;
        EXPECT_EQ(n, a.rowsRead);
        EXPECT_LE(a.points.size(), r.points);
        // Every row in range when no bucket reached its share of the cap.
        const int64_t first = std::max<int64_t>(0, (r.from - kStart + kStep - 1) / kStep);
        const int64_t last =
            r.to < kStart ? -1 : std::min<int64_t>(kRows - 1, (r.to - kStart) / kStep);
        const std::size_t inRange =
            static_cast<std::size_t>(std::max<int64_t>(0, last - first + 1));
        EXPECT_LE(a.rowsRead, std::min(inRange, HistoryLimits{}.rowCap));
        if (inRange > HistoryLimits{}.rowCap) {
            EXPECT_TRUE(a.sampled);
        }
        if (!a.sampled && !a.partial) {
            EXPECT_EQ(a.rowsRead, inRange);
        }
    }
    // The last hour: 240 rows counting up, in 240 buckets from the first, one row each.
    const HistoryAnswer hour = history.Query(7, f, end - 3600000, end - 1, 240);
    ASSERT_EQ(hour.points.size(), 240u);
    EXPECT_EQ(hour.points.back().value, static_cast<double>((kRows - 1) % 1000));
    EXPECT_EQ(hour.points.back().atMs, end - kStep);
    // Four buckets of an hour each of 240 rows: the mean of what each holds.
    const HistoryAnswer four = history.Query(7, f, kStart, kStart + 4 * 3600000 - kStep, 4);
    ASSERT_EQ(four.points.size(), 4u);
    EXPECT_EQ(four.points[1].samples, 240u);
    EXPECT_DOUBLE_EQ(four.points[1].value, (240 + 479) / 2.0);
    EXPECT_EQ(four.points[1].min, 240);
    // Past the time cap the buckets read so far come back, marked partial.
    SignalHistory hurried(db, HistoryLimits{HistoryLimits{}.rowCap, std::chrono::milliseconds(0)});
    EXPECT_TRUE(hurried.Query(7, f, kStart, end, 5000).partial);
    std::filesystem::remove_all(tmpl);
}

// Two years of 5-minute and hourly aggregates, and records for the last day only: each range
// reads the finest source that reaches back to its start and is narrower than its buckets.
TEST(WebHistory, LongRangesReadTheAggregatesOfTheFinestStepThatReachesBack) {
    char tmpl[] = "/tmp/smd-agg-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string db = std::string(tmpl) + "/h.db";
    // A value every 10 minutes counting 0..71 over and over: any whole number of half days has
    // the mean 35.5.
    constexpr int64_t kEvery = 600000, kRows = 2 * 365 * 144, kDay = 86400000;
    constexpr int64_t kStart = 1700000000000 - 1700000000000 % 3600000;
    constexpr int64_t kEnd = kStart + kRows * kEvery;
    {
        HistoryStore store(db);
        history::Aggregator agg;
        store.Begin();
        Json::Value v;
        std::vector<unsigned char> rec(4, 0);
        for (int64_t i = 0; i < kRows; ++i) {
            v["s"] = static_cast<double>(i % 72);
            agg.Add(store.Db(), 7, history::FromMs(kStart + i * kEvery), v);
            rec[1] = static_cast<unsigned char>(i % 72);
            if (i >= kRows - 144)
                store.AddRecord(7, 1, history::FromMs(kStart + i * kEvery), rec.data(), rec.size());
        }
        agg.Flush(store.Db());
        store.Commit();
    }
    SignalField f;
    f.name = "s";
    f.width = 2;
    SignalHistory history(db);
    const struct {
        int64_t from, to;
        std::size_t points;
        int64_t stepMs;  // 0: the records
        std::size_t samples;
    } cases[] = {
        {0, kEnd, 300, 3600000, kRows},
        {kEnd - 3 * kDay, kEnd, 300, 300000, 3 * 144},
        {kEnd - 12 * 3600000, kEnd, 300, 0, 72},
    };
    for (const auto& c : cases) {
        const HistoryAnswer a = history.Query(7, f, c.from, c.to, c.points);
        EXPECT_EQ(a.stepMs, c.stepMs) << c.from;
        EXPECT_LE(a.points.size(), c.points);
        ASSERT_FALSE(a.points.empty());
        std::size_t n = 0;
        double sum = 0;
        for (const auto& p : a.points) {
            n += p.samples;
            sum += p.value * static_cast<double>(p.samples);
            EXPECT_GE(p.min, 0);
            EXPECT_LE(p.max, 71);
        }
        EXPECT_EQ(n, c.samples) << c.from;
        EXPECT_NEAR(sum / static_cast<double>(n), 35.5, 1e-3) << c.from;
    }
    // A step written again after a restart is merged with, not replaced.
    {
        HistoryStore store(db);
        history::Aggregator agg;
        store.Begin();
        Json::Value v;
        v["s"] = 1000.0;
        agg.Add(store.Db(), 7, history::FromMs(kEnd - 1), v);
        agg.Flush(store.Db());
        store.Commit();
        const auto last = history::ReadAggregates(store.Db(), 7, history::kCoarseStepS,
                                                  TimeRange{kEnd - 3600000, kEnd}, 1);
        ASSERT_EQ(last.size(), 1u);
        EXPECT_EQ(last[0].values.at("s").count, 7u);
        EXPECT_EQ(last[0].values.at("s").max, 1000);
    }
    std::filesystem::remove_all(tmpl);
}

}  // namespace
