#pragma once
// A small read-only HTTP/1.1 server on one thread of its own. It parses requests, hands each
// to a handler and writes the answer; it knows nothing of devices. Requests with oversized
// headers or a body are refused here, before any handler sees them.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>

class WebError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct WebRequest {
    std::string method;  // "GET", "HEAD", ...
    std::string target;  // path and query, as sent
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
    static constexpr std::size_t kHeaderLimit = 8192;

    // Binds and starts serving; port 0 takes a free one. Throws WebError naming the address.
    HttpServer(const std::string& address, uint16_t port, Handler handler);
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
