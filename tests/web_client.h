#pragma once
// Clients for the web tests: plain HTTP over loopback, raw bytes for malformed requests, and a
// small DevTools-protocol client that drives a headless Chromium.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <json/json.h>
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

extern char** environ;

namespace webtest {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

// The port in "<prefix><digits>/" within `text`; 0 when it is not there (yet).
inline uint16_t PortAfter(const std::string& text, const std::string& prefix) {
    const std::size_t at = text.find(prefix);
    if (at == std::string::npos) return 0;
    const std::size_t from = at + prefix.size();
    const std::size_t end = text.find_first_not_of("0123456789", from);
    if (end == std::string::npos || end == from || text[end] != '/') return 0;
    return static_cast<uint16_t>(std::stoi(text.substr(from, end - from)));
}

inline bool WaitFor(const std::function<bool()>& pred,
                    std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

struct Reply {
    int status = 0;
    std::string body;
    std::map<std::string, std::string> headers;
    Json::Value Json() const {
        Json::Value v;
        Json::Reader().parse(body, v);
        return v;
    }
};

inline Reply Call(uint16_t port, const std::string& target, const std::string& method = "GET",
                  const std::map<std::string, std::string>& headers = {}) {
    asio::io_context ioc;
    beast::tcp_stream s(ioc);
    s.expires_after(std::chrono::seconds(10));
    s.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
    http::request<http::string_body> req(http::string_to_verb(method), target, 11);
    req.set(http::field::host, "127.0.0.1");
    for (const auto& [k, v] : headers) req.set(k, v);
    http::write(s, req);
    beast::flat_buffer buf;
    http::response_parser<http::string_body> res;
    res.skip(method == "HEAD");
    res.body_limit(64 << 20);
    http::read(s, buf, res);
    Reply r;
    r.status = static_cast<int>(res.get().result_int());
    r.body = res.get().body();
    for (const auto& f : res.get())
        r.headers[std::string(f.name_string())] = std::string(f.value());
    return r;
}

// Sends `bytes` and returns whatever comes back until the server closes.
inline std::string Raw(uint16_t port, const std::string& bytes) {
    asio::io_context ioc;
    beast::tcp_stream s(ioc);
    s.expires_after(std::chrono::seconds(10));
    s.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
    asio::write(s, asio::buffer(bytes));
    std::string out;
    char buf[4096];
    beast::error_code ec;
    while (!ec) out.append(buf, s.read_some(asio::buffer(buf), ec));
    return out;
}

// A headless Chromium on a fresh profile, with its DevTools endpoint on a free port.
class Browser {
  public:
    static std::string Find() {
        for (const char* p : {"/usr/bin/chromium", "/usr/bin/chromium-browser"})
            if (::access(p, X_OK) == 0) return p;
        return "";
    }

    explicit Browser(const std::string& dir) : log_(dir + "/chromium.log") {
        const std::string profile = dir + "/profile";
        std::vector<std::string> words = {Find(),
                                          "--headless",
                                          "--no-sandbox",
                                          "--disable-gpu",
                                          "--disable-quic",
                                          "--no-first-run",
                                          "--disable-background-networking",
                                          "--disable-component-update",
                                          "--disable-sync",
                                          "--disable-dev-shm-usage",
                                          "--window-size=1200,1600",
                                          "--remote-debugging-address=127.0.0.1",
                                          "--remote-debugging-port=0",
                                          "--user-data-dir=" + profile,
                                          "about:blank"};
        std::vector<char*> argv;
        for (auto& w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 2, log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);  // its helpers go with it
        posix_spawnattr_setpgroup(&attr, 0);
        if (posix_spawn(&pid_, argv[0], &fa, &attr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawnattr_destroy(&attr);
        posix_spawn_file_actions_destroy(&fa);
    }
    ~Browser() {
        if (pid_ > 0) {
            ::kill(-pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    // The DevTools port, once Chromium has printed it.
    uint16_t DevToolsPort() {
        uint16_t port = 0;
        WaitFor([&] {
            std::ifstream in(log_);
            std::stringstream s;
            s << in.rdbuf();
            text_ = s.str();
            return (port = PortAfter(text_, "DevTools listening on ws://127.0.0.1:")) != 0;
        });
        return port;
    }
    std::string Log() const { return text_; }

  private:
    std::string log_;
    std::string text_;
    pid_t pid_ = -1;
};

// One page's DevTools session: calls by id; the events that arrive meanwhile are kept.
class DevTools {
  public:
    explicit DevTools(uint16_t port) : ws_(ioc_) {
        const Json::Value list = Call(port, "/json/list").Json();
        std::string url;
        for (const auto& t : list)
            if (t["type"].asString() == "page") url = t["webSocketDebuggerUrl"].asString();
        const std::string path = url.substr(url.find('/', std::string("ws://").size()));
        beast::get_lowest_layer(ws_).connect(
            tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
        ws_.read_message_max(64 << 20);
        ws_.handshake("127.0.0.1:" + std::to_string(port), path);
    }

    Json::Value Send(const std::string& method, const Json::Value& params = Json::objectValue) {
        Json::Value msg;
        msg["id"] = ++id_;
        msg["method"] = method;
        msg["params"] = params;
        Json::StreamWriterBuilder w;
        w["indentation"] = "";
        ws_.write(asio::buffer(Json::writeString(w, msg)));
        for (;;) {
            beast::flat_buffer buf;
            ws_.read(buf);
            Json::Value in;
            Json::Reader().parse(beast::buffers_to_string(buf.data()), in);
            if (in["id"].asInt() == id_) return in;
            events.push_back(in);
        }
    }

    // The value of a JavaScript expression in the page.
    Json::Value Eval(const std::string& expression) {
        Json::Value p;
        p["expression"] = expression;
        p["returnByValue"] = true;
        p["awaitPromise"] = true;
        return Send("Runtime.evaluate", p)["result"]["result"]["value"];
    }

    // Console errors, uncaught exceptions and failed loads seen so far, one line each.
    std::vector<std::string> Errors() const {
        std::vector<std::string> out;
        for (const auto& e : events) {
            const std::string m = e["method"].asString();
            const Json::Value& p = e["params"];
            if (m == "Runtime.exceptionThrown")
                out.push_back("exception: " + p["exceptionDetails"].toStyledString());
            if (m == "Runtime.consoleAPICalled" && p["type"].asString() == "error")
                out.push_back("console.error: " + p["args"].toStyledString());
            if (m == "Log.entryAdded" && p["entry"]["level"].asString() == "error")
                out.push_back("log: " + p["entry"]["text"].asString());
        }
        return out;
    }

    std::vector<Json::Value> events;

  private:
    asio::io_context ioc_;
    beast::websocket::stream<tcp::socket> ws_;
    int id_ = 0;
};

}  // namespace webtest
