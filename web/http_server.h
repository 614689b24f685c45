#pragma once
// A small read-only HTTP/1.1 server on one thread of its own, with a second for heavy requests.
// It parses requests, hands each to a handler and writes the answer; it knows nothing of
// devices. Oversized headers, a body, a foreign Host and connections past the limits are
// refused here, before any handler sees them.
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

class WebError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct WebRequest {
    std::string method;  // "GET", "HEAD", ...
    std::string target;  // path and query, as sent
};

// How a server on a shared box holds its connections.
struct HttpServerLimits {
    // The whole request must arrive within this, and a kept-alive connection may wait this
    // long for its next one.
    std::chrono::milliseconds headerDeadline{5000};
    int connections = 64;  // open at once, overall
    int perClient = 16;    // from one address
    int heavyQueue = 4;    // heavy requests running or waiting; more get 503
    // Host header names served besides IP literals, "localhost" and this machine's name; a
    // request naming another host (DNS rebinding) is refused.
    std::vector<std::string> hosts;
};

struct WebResponse {
    int status = 200;
    std::string contentType = "application/json";
    std::string body;
    std::map<std::string, std::string> headers;  // extra ones (Allow, Cache-Control, ...)
};

class HttpServer {
  public:
    using Handler = std::function<WebResponse(const WebRequest&)>;
    // Requests for which this says true run on a thread of their own, so a slow one never
    // holds up the others.
    using IsHeavy = std::function<bool(const WebRequest&)>;
    static constexpr std::size_t kHeaderLimit = 8192;

    // Binds and starts serving; port 0 takes a free one. Throws WebError naming the address.
    HttpServer(const std::string& address, uint16_t port, Handler handler, IsHeavy heavy = nullptr,
               HttpServerLimits limits = {});
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    uint16_t Port() const;
    // "http://127.0.0.1:8080/"
    std::string Url() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// A JSON error body: {"error": "<what>"}.
WebResponse JsonError(int status, const std::string& what);
