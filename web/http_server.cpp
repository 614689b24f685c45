#include "web/http_server.h"

#include <atomic>
#include <chrono>
#include <optional>
#include <thread>

#include <json/writer.h>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

// A controller serves a few operators and one scraper; more open connections than this are
// someone's mistake, and each costs memory.
constexpr int kMaxSessions = 64;
constexpr auto kIdle = std::chrono::seconds(30);

class Session : public std::enable_shared_from_this<Session> {
  public:
    Session(tcp::socket socket, const HttpServer::Handler& handler, std::atomic<int>& count)
        : stream_(std::move(socket)), handler_(handler), count_(count) {
        ++count_;
    }
    ~Session() { --count_; }

    void Read() {
        parser_.emplace();
        parser_->header_limit(HttpServer::kHeaderLimit);
        // A body is read (and refused by the handler's method check) up to this much.
        parser_->body_limit(4096);
        stream_.expires_after(kIdle);
        http::async_read(
            stream_, buffer_, *parser_,
            [self = shared_from_this()](beast::error_code ec, std::size_t) { self->OnRead(ec); });
    }

  private:
    void OnRead(beast::error_code ec) {
        if (ec == http::error::end_of_stream || ec == beast::error::timeout ||
            ec == asio::error::operation_aborted || ec == asio::error::connection_reset)
            return Close();
        if (ec) {
            // Malformed or oversized: answer once, then close, since the stream's framing is lost.
            const bool tooLarge = ec == http::error::header_limit;
            const bool body = ec == http::error::body_limit;
            WebResponse r = tooLarge ? JsonError(431, "request header fields too large")
                            : body   ? JsonError(413, "request body too large")
                                     : JsonError(400, "malformed request: " + ec.message());
            return Write(std::move(r), 11, false, false);
        }
        const auto& req = parser_->get();
        WebRequest w{std::string(req.method_string()), std::string(req.target())};
        WebResponse r;
        try {
            r = handler_(w);
        } catch (const std::exception& e) {
            r = JsonError(500, e.what());
        }
        Write(std::move(r), req.version(), req.keep_alive(), req.method() == http::verb::head);
    }

    void Write(WebResponse r, unsigned version, bool keepAlive, bool head) {
        auto res = std::make_shared<http::response<http::string_body>>(
            static_cast<http::status>(r.status), version);
        res->set(http::field::server, "smdhost");
        res->set(http::field::content_type, r.contentType);
        for (const auto& [k, v] : r.headers) res->set(k, v);
        res->keep_alive(keepAlive);
        const std::size_t size = r.body.size();
        if (!head) res->body() = std::move(r.body);
        res->content_length(size);
        stream_.expires_after(kIdle);
        // HEAD: the headers of a GET, with no body after them.
        auto serializer = std::make_shared<http::response_serializer<http::string_body>>(*res);
        if (head) serializer->split(true);
        auto done = [self = shared_from_this(), res, serializer, keepAlive](beast::error_code ec,
                                                                            std::size_t) {
            if (ec || !keepAlive) return self->Close();
            self->Read();
        };
        if (head)
            http::async_write_header(stream_, *serializer, std::move(done));
        else
            http::async_write(stream_, *serializer, std::move(done));
    }

    void Close() {
        beast::error_code ec;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
    }

    beast::tcp_stream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    const HttpServer::Handler& handler_;
    std::atomic<int>& count_;
};

}  // namespace

struct HttpServer::Impl {
    // Declared before the context: destroying it destroys pending sessions, which use these.
    Handler handler;
    std::atomic<int> sessions{0};
    asio::io_context ioc{1};
    tcp::acceptor acceptor{ioc};
    std::thread thread;

    void Accept() {
        acceptor.async_accept(asio::make_strand(ioc), [this](beast::error_code ec, tcp::socket s) {
            if (ec == asio::error::operation_aborted) return;
            if (!ec) {
                if (sessions.load() >= kMaxSessions) {
                    beast::error_code ignored;
                    s.close(ignored);
                } else {
                    std::make_shared<Session>(std::move(s), handler, sessions)->Read();
                }
            }
            Accept();
        });
    }
};

HttpServer::HttpServer(const std::string& address, uint16_t port, Handler handler)
    : impl_(std::make_unique<Impl>()) {
    impl_->handler = std::move(handler);
    beast::error_code ec;
    const auto ip = asio::ip::make_address(address, ec);
    if (ec) throw WebError("web server: " + address + " is not an IP address");
    const tcp::endpoint ep(ip, port);
    const std::string where = address + " port " + std::to_string(port);
    impl_->acceptor.open(ep.protocol(), ec);
    if (!ec) impl_->acceptor.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) impl_->acceptor.bind(ep, ec);
    if (!ec) impl_->acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) throw WebError("web server: cannot listen on " + where + ": " + ec.message());
    impl_->Accept();
    impl_->thread = std::thread([this] { impl_->ioc.run(); });
}

HttpServer::~HttpServer() {
    impl_->ioc.stop();
    if (impl_->thread.joinable()) impl_->thread.join();
}

uint16_t HttpServer::Port() const {
    return impl_->acceptor.local_endpoint().port();
}

std::string HttpServer::Url() const {
    const auto ep = impl_->acceptor.local_endpoint();
    const std::string host =
        ep.address().is_v6() ? "[" + ep.address().to_string() + "]" : ep.address().to_string();
    return "http://" + host + ":" + std::to_string(ep.port()) + "/";
}

WebResponse JsonError(int status, const std::string& what) {
    Json::Value v;
    v["error"] = what;
    Json::StreamWriterBuilder w;
    w["indentation"] = "";
    w["emitUTF8"] = true;
    WebResponse r;
    r.status = status;
    r.body = Json::writeString(w, v) + "\n";
    r.headers["Cache-Control"] = "no-store";
    return r;
}
