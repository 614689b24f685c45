// The control channel: request lines, answers, and a server with its client.
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>
#include <json/reader.h>

#include "runner/control_channel.h"

namespace {

Json::Value ParseLine(const std::string& line) {
    Json::Value v;
    Json::Reader().parse(line, v);
    return v;
}

TEST(ControlRequest, CarriesTextOrAHostOrderValue) {
    ControlRequest r = ParseControlRequest(
        R"({"device": 7, "code": 310, "request": "{\"signal_id\":\"D48001\"}", "outLen": 8})");
    EXPECT_EQ(r.dataId, 7u);
    EXPECT_EQ(r.code, 310);
    EXPECT_EQ(std::string(r.in.begin(), r.in.end()), R"({"signal_id":"D48001"})");
    EXPECT_EQ(r.outLen, 8);

    r = ParseControlRequest(R"({"device": 7, "code": 106, "value": 4660})");
    ASSERT_EQ(r.in.size(), 2u);
    uint16_t v;
    std::memcpy(&v, r.in.data(), 2);
    EXPECT_EQ(v, 0x1234);
    EXPECT_EQ(r.outLen, 4096);
    EXPECT_TRUE(ParseControlRequest(R"({"device": 7, "code": 801})").in.empty());

    // What the client sends, the server reads back.
    const ControlRequest back = ParseControlRequest(FormatControlRequest(
        ParseControlRequest(R"({"device": 9, "code": 320, "request": "D41001", "outLen": 3})")));
    EXPECT_EQ(back.dataId, 9u);
    EXPECT_EQ(back.code, 320);
    EXPECT_EQ(std::string(back.in.begin(), back.in.end()), "D41001");
    EXPECT_EQ(back.outLen, 3);
}

TEST(ControlRequest, BadRequestsAreRefusedWithAReason) {
    const struct {
        const char* line;
        const char* reason;
    } cases[] = {
        {"not json", "request is not valid JSON"},
        {"[1]", "request must be a JSON object"},
        {R"({"code": 801})", "request needs \"device\""},
        {R"({"device": 7})", "request needs \"code\""},
        {R"({"device": 7, "code": 106, "value": 70000})", "\"value\" must be"},
        {R"({"device": 7, "code": 106, "value": 1, "request": "x"})", "not both"},
        {R"({"device": 7, "code": 801, "outLen": -1})", "\"outLen\" must be"},
        {R"({"device": 7, "code": 803})", "code 803 hands out a memory address"},
    };
    for (const auto& c : cases) {
        try {
            ParseControlRequest(c.line);
            ADD_FAILURE() << "accepted " << c.line;
        } catch (const ControlError& e) {
            EXPECT_NE(std::string(e.what()).find(c.reason), std::string::npos) << e.what();
        }
    }
}

TEST(ControlAnswer, ShowsTheInt32ResultAndTheDocumentText) {
    ControlRequest r;
    r.dataId = 7;
    r.code = 0;
    ControlAnswer a;
    a.result = 0;
    a.retLen = 4;
    const int32_t one = 1;
    a.out.resize(4);
    std::memcpy(a.out.data(), &one, 4);
    Json::Value v = ControlAnswerJson(r, a);
    EXPECT_EQ(v["value"].asInt(), 1);
    EXPECT_EQ(v["hex"].asString(), "01000000");
    EXPECT_FALSE(v.isMember("output"));

    r.code = 801;
    const std::string doc = "{\"更新时间\":\"2024-3-5 7:4:9\"}\n";
    a.out.assign(doc.begin(), doc.end());
    a.retLen = static_cast<int>(doc.size());
    v = ControlAnswerJson(r, a);
    EXPECT_EQ(v["output"].asString(), doc);
    EXPECT_EQ(v["retLen"].asInt(), static_cast<int>(doc.size()));
}

class ControlServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/smd-ctl-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        path_ = dir_ + "/ctl.sock";
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string dir_;
    std::string path_;
};

TEST_F(ControlServerTest, AnswersEachRequestThroughTheHandler) {
    std::vector<int> codes;
    ControlServer server(path_, [&](const ControlRequest& r) {
        if (r.dataId != 7) throw ControlError("no device " + std::to_string(r.dataId));
        codes.push_back(r.code);
        ControlAnswer a;
        a.result = r.code == 801 ? 0 : -1;
        a.retLen = static_cast<int>(r.in.size());
        a.out = r.in;
        return a;
    });
    Json::Value v =
        ParseLine(ControlCall(path_, R"({"device": 7, "code": 320, "request": "D41001"})", 5000));
    EXPECT_EQ(v["result"].asInt(), -1);
    EXPECT_EQ(v["retLen"].asInt(), 6);
    EXPECT_EQ(v["hex"].asString(), "443431303031");

    v = ParseLine(ControlCall(path_, R"({"device": 9, "code": 801})", 5000));
    EXPECT_EQ(v["error"].asString(), "no device 9");
    v = ParseLine(ControlCall(path_, "garbage", 5000));
    EXPECT_NE(v["error"].asString().find("not valid JSON"), std::string::npos);
    EXPECT_EQ(codes, std::vector<int>{320});
}

TEST_F(ControlServerTest, AStaleSocketIsReplacedAndALiveOneIsNot) {
    {
        // A socket file whose host is gone.
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strcpy(addr.sun_path, path_.c_str());
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        ::close(fd);
    }
    auto echo = [](const ControlRequest&) { return ControlAnswer{}; };
    ControlServer server(path_, echo);
    EXPECT_THROW(ControlServer second(path_, echo), ControlError);
    EXPECT_EQ(ParseLine(ControlCall(path_, R"({"device": 1, "code": 1})", 5000))["result"].asInt(),
              0);
}

TEST_F(ControlServerTest, OnlyAStaleSocketIsReplacedAndTheModeIgnoresTheUmask) {
    auto echo = [](const ControlRequest&) { return ControlAnswer{}; };
    // A typo'd path or the database named here: the file stays, the host does not start.
    std::ofstream(path_) << "precious";
    EXPECT_THROW(ControlServer(path_, echo), ControlError);
    std::ifstream in(path_);
    std::string kept;
    in >> kept;
    EXPECT_EQ(kept, "precious");
    std::filesystem::remove(path_);

    const mode_t old = ::umask(0);
    {
        ControlServer server(path_, echo);
        struct stat st {};
        ASSERT_EQ(::stat(path_.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0660u);
    }
    ::umask(old);
}

// A client that sends nothing, or a byte now and then, holds neither the channel nor its
// own connection past the request deadline.
TEST_F(ControlServerTest, AnIdleOrTricklingClientLocksNobodyOut) {
    ControlServer::Options o;
    o.requestMs = 1500;
    ControlServer server(
        path_, [](const ControlRequest&) { return ControlAnswer{}; }, o);
    const int idle = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, path_.c_str());
    ASSERT_EQ(::connect(idle, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::send(idle, "{", 1, 0), 1);
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(ParseLine(ControlCall(path_, R"({"device": 1, "code": 1})", 5000))["result"].asInt(),
              0);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::milliseconds(1000));
    // Trickling: one byte every 300 ms still ends at the deadline.
    std::string answer;
    char buf[256];
    for (int i = 0; i < 20; ++i) {
        if (::send(idle, " ", 1, MSG_NOSIGNAL) != 1) break;
        pollfd p{idle, POLLIN, 0};
        if (::poll(&p, 1, 300) == 1) {
            const ssize_t n = ::recv(idle, buf, sizeof buf, 0);
            if (n <= 0) break;
            answer.append(buf, static_cast<std::size_t>(n));
        }
    }
    ::close(idle);
    EXPECT_NE(answer.find("request not complete in time"), std::string::npos) << answer;
    // Silent from the start: told so too, not just cut off.
    const int silent = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(::connect(silent, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    pollfd p{silent, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 3000), 1);
    const ssize_t n = ::recv(silent, buf, sizeof buf, 0);
    ::close(silent);
    EXPECT_NE(std::string(buf, static_cast<std::size_t>(std::max<ssize_t>(n, 0)))
                  .find("request not complete in time"),
              std::string::npos);
}

TEST_F(ControlServerTest, AnotherUserOutsideTheGroupIsRefused) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    ControlServer server(path_, [](const ControlRequest&) { return ControlAnswer{}; });
    ASSERT_EQ(::chmod(dir_.c_str(), 0755), 0);
    ASSERT_EQ(::chmod(path_.c_str(), 0666), 0);  // so the kernel lets it connect at all
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
        try {
            const Json::Value v =
                ParseLine(ControlCall(path_, R"({"device": 1, "code": 1})", 5000));
            ::_exit(v["error"].asString().find("not allowed") != std::string::npos ? 0 : 1);
        } catch (...) {
            ::_exit(2);
        }
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(ControlServerTest, TheSocketGoesWithTheServerAndTheClientSaysSo) {
    {
        ControlServer server(path_, [](const ControlRequest&) { return ControlAnswer{}; });
    }
    EXPECT_FALSE(std::filesystem::exists(path_));
    try {
        ControlCall(path_, R"({"device": 1, "code": 1})", 1000);
        FAIL();
    } catch (const ControlError& e) {
        EXPECT_NE(std::string(e.what()).find("cannot reach the host at " + path_),
                  std::string::npos);
    }
}

}  // namespace
