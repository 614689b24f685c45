#include "web/http_server.h"

#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include <json/writer.h>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "web/host_names.h"
#include "web/utf8.h"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

// A response being written may take this long: a client that reads nothing is dropped.
constexpr auto kWriteDeadline = std::chrono::seconds(10);
constexpr const char* kRetryAfter = "5";

class Session;

// What sessions share with the server; declared before the contexts, so it outlives every
// session their destruction destroys.
struct Core {
    HttpServer::Handler handler;
    HttpServer::IsHeavy heavy;
    HttpServerLimits limits;
    std::vector<std::string> hostNames;
    std::atomic<int> heavyPending{0};

    // Every open connection, for the limits: who it is from and whether it waits for a request.
    struct Entry {
        std::weak_ptr<Session> session;
        asio::ip::address client;
        bool waiting = false;
        Clock::time_point since;
        bool evicting = false;
    };
    std::mutex mu;
    std::map<const Session*, Entry> sessions;

    asio::io_context ioc{1};
    asio::io_context heavyIoc{1};
};

class Session : public std::enable_shared_from_this<Session> {
  public:
    Session(tcp::socket socket, Core& core)
        : stream_(std::move(socket)), deadline_(stream_.get_executor()), core_(core) {}
    ~Session() {
        std::lock_guard<std::mutex> lock(core_.mu);
        core_.sessions.erase(this);
    }

    void Start(const asio::ip::address& client) {
        {
            std::lock_guard<std::mutex> lock(core_.mu);
            core_.sessions[this] = Core::Entry{weak_from_this(), client, false, Clock::now()};
        }
        Read();
    }

    // Drops a connection that waits for a request, to make room for a new one.
    void Evict() {
        asio::post(stream_.get_executor(), [self = shared_from_this()] {
            beast::error_code ec;
            self->stream_.socket().close(ec);
        });
    }

  private:
    void Waiting(bool waiting) {
        std::lock_guard<std::mutex> lock(core_.mu);
        const auto it = core_.sessions.find(this);
        if (it == core_.sessions.end()) return;
        it->second.waiting = waiting;
        it->second.since = Clock::now();
    }

    void Read() {
        parser_.emplace();
        parser_->header_limit(HttpServer::kHeaderLimit);
        // A body is read (and refused by the handler's method check) up to this much.
        parser_->body_limit(4096);
        Waiting(true);
        // A timer of its own rather than the stream's: that one closes the socket, and a
        // client still sending headers is owed a 408.
        stream_.expires_never();
        timedOut_ = false;
        deadline_.expires_after(core_.limits.headerDeadline);
        deadline_.async_wait([self = shared_from_this()](beast::error_code ec) {
            if (ec) return;
            self->timedOut_ = true;
            beast::error_code ignored;
            self->stream_.socket().cancel(ignored);
        });
        http::async_read(
            stream_, buffer_, *parser_,
            [self = shared_from_this()](beast::error_code ec, std::size_t) { self->OnRead(ec); });
    }

    void OnRead(beast::error_code ec) {
        Waiting(false);
        deadline_.cancel();
        if (timedOut_ && parser_->got_some()) {
            // Headers still coming at the deadline: say so once, then close.
            return Write(JsonError(408, "request not complete within the deadline"), 11, false,
                         false);
        }
        if (timedOut_) return Close();
        if (ec == http::error::end_of_stream || ec == beast::error::timeout ||
            ec == asio::error::operation_aborted || ec == asio::error::connection_reset ||
            ec == asio::error::bad_descriptor)
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
        const unsigned version = req.version();
        const bool keepAlive = req.keep_alive();
        const bool head = req.method() == http::verb::head;
        const std::string_view host(req[http::field::host].data(), req[http::field::host].size());
        if ((version >= 11 || !host.empty()) && !HostServed(host, core_.hostNames))
            return Write(
                JsonError(421, "host " + std::string(host.substr(0, 256)) + " is not served here"),
                version, false, head);
        WebRequest w{std::string(req.method_string()), std::string(req.target())};
        if (!core_.heavy || !core_.heavy(w)) return Write(Call(w), version, keepAlive, head);

        if (++core_.heavyPending > core_.limits.heavyQueue) {
            --core_.heavyPending;
            WebResponse busy = JsonError(503, "busy with other long requests; try again");
            busy.headers["Retry-After"] = kRetryAfter;
            return Write(std::move(busy), version, keepAlive, head);
        }
        asio::post(core_.heavyIoc, [self = shared_from_this(), w, version, keepAlive, head] {
            WebResponse r = self->Call(w);
            --self->core_.heavyPending;
            asio::post(self->stream_.get_executor(),
                       [self, r = std::move(r), version, keepAlive, head]() mutable {
                           self->Write(std::move(r), version, keepAlive, head);
                       });
        });
    }

    WebResponse Call(const WebRequest& w) {
        try {
            return core_.handler(w);
        } catch (const std::exception& e) {
            return JsonError(500, e.what());
        }
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
        stream_.expires_after(kWriteDeadline);
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
    asio::steady_timer deadline_;
    bool timedOut_ = false;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    Core& core_;
};

// Past a limit, the connection waiting longest for a request (from the same client when that
// client is at its own limit) makes room; when every one is busy, the newcomer gets a 503.
enum class Admit { kYes, kNo };
Admit MakeRoom(Core& core, const asio::ip::address& client) {
    std::shared_ptr<Session> victim;
    {
        std::lock_guard<std::mutex> lock(core.mu);
        int total = 0;
        int fromClient = 0;
        for (const auto& [p, e] : core.sessions) {
            if (e.evicting) continue;
            ++total;
            if (e.client == client) ++fromClient;
        }
        const bool clientFull = fromClient >= core.limits.perClient;
        if (!clientFull && total < core.limits.connections) return Admit::kYes;
        Core::Entry* oldest = nullptr;
        for (auto& [p, e] : core.sessions)
            if (!e.evicting && e.waiting && (!clientFull || e.client == client) &&
                (oldest == nullptr || e.since < oldest->since))
                oldest = &e;
        if (oldest == nullptr) return Admit::kNo;
        victim = oldest->session.lock();
        if (!victim) return Admit::kNo;
        oldest->evicting = true;
    }
    victim->Evict();
    return Admit::kYes;
}

void Refuse(tcp::socket s) {
    auto socket = std::make_shared<tcp::socket>(std::move(s));
    auto text = std::make_shared<std::string>(
        "HTTP/1.1 503 Service Unavailable\r\nServer: smdhost\r\nRetry-After: " +
        std::string(kRetryAfter) +
        "\r\nContent-Type: application/json\r\nCache-Control: no-store\r\nConnection: "
        "close\r\nContent-Length: 33\r\n\r\n{\"error\":\"too many connections\"}\n");
    asio::async_write(*socket, asio::buffer(*text), [socket, text](beast::error_code, std::size_t) {
        beast::error_code ec;
        socket->shutdown(tcp::socket::shutdown_send, ec);
    });
}

}  // namespace

struct HttpServer::Impl {
    Core core;
    tcp::acceptor acceptor{core.ioc};
    asio::executor_work_guard<asio::io_context::executor_type> heavyWork{
        core.heavyIoc.get_executor()};
    std::thread thread;
    std::thread heavyThread;

    void Accept() {
        acceptor.async_accept(
            asio::make_strand(core.ioc), [this](beast::error_code ec, tcp::socket s) {
                if (ec == asio::error::operation_aborted) return;
                if (!ec) {
                    const auto client = s.remote_endpoint(ec).address();
                    if (ec) {
                        // Gone before we looked.
                    } else if (MakeRoom(core, client) == Admit::kNo) {
                        Refuse(std::move(s));
                    } else {
                        std::make_shared<Session>(std::move(s), core)->Start(client);
                    }
                }
                Accept();
            });
    }
};

HttpServer::HttpServer(const std::string& address, uint16_t port, Handler handler, IsHeavy heavy,
                       HttpServerLimits limits)
    : impl_(std::make_unique<Impl>()) {
    impl_->core.handler = std::move(handler);
    impl_->core.heavy = std::move(heavy);
    impl_->core.hostNames = ServedHostNames(limits.hosts);
    impl_->core.limits = std::move(limits);
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
    impl_->thread = std::thread([this] { impl_->core.ioc.run(); });
    impl_->heavyThread = std::thread([this] { impl_->core.heavyIoc.run(); });
}

HttpServer::~HttpServer() {
    impl_->core.heavyIoc.stop();
    if (impl_->heavyThread.joinable()) impl_->heavyThread.join();
    impl_->core.ioc.stop();
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
    v["error"] = ToValidUtf8(what);
    Json::StreamWriterBuilder w;
    w["indentation"] = "";
    w["emitUTF8"] = true;
    WebResponse r;
    r.status = status;
    r.body = Json::writeString(w, v) + "\n";
    r.headers["Cache-Control"] = "no-store";
    return r;
}
