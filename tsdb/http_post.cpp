#include "tsdb/http_post.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

constexpr std::size_t kAnswerCut = 300;

}  // namespace

HttpAnswer HttpPost(const std::string& host, const std::string& port, const std::string& target,
                    const std::string& body, std::chrono::milliseconds limit) {
    HttpAnswer answer;
    asio::io_context io;
    tcp::resolver resolver(io);
    beast::tcp_stream stream(io);
    http::request<http::string_body> req(http::verb::post, target, 11);
    req.set(http::field::host, (host.find(':') == std::string::npos ? host : "[" + host + "]") +
                                   (port == "80" ? "" : ":" + port));
    req.set(http::field::user_agent, "smdhost");
    req.set(http::field::content_type, "text/plain; charset=utf-8");
    req.set(http::field::connection, "close");
    req.body() = body;
    req.prepare_payload();
    beast::flat_buffer buffer;
    http::response_parser<http::string_body> parser;
    parser.body_limit(1 << 20);
    beast::error_code failed;
    // The stream's expiry covers connect, write and read; the run's limit covers the resolver.
    auto fail = [&](const beast::error_code& ec) {
        failed = ec;
        stream.socket().close();
    };
    resolver.async_resolve(
        host, port, [&](const beast::error_code& ec, tcp::resolver::results_type r) {
            if (ec) return fail(ec);
            stream.expires_after(limit);
            stream.async_connect(r, [&](const beast::error_code& ec, const tcp::endpoint&) {
                if (ec) return fail(ec);
                http::async_write(stream, req, [&](const beast::error_code& ec, std::size_t) {
                    if (ec) return fail(ec);
                    http::async_read(
                        stream, buffer, parser, [&](const beast::error_code& ec, std::size_t) {
                            if (ec) return fail(ec);
                            answer.status = static_cast<int>(parser.get().result_int());
                            answer.body = parser.get().body().substr(0, kAnswerCut);
                            stream.socket().shutdown(tcp::socket::shutdown_both, failed);
                            failed = {};
                        });
                });
            });
        });
    io.run_for(limit + std::chrono::seconds(1));
    if (!io.stopped()) {  // a resolver that hangs
        io.stop();
        failed = beast::error::timeout;
    }
    if (answer.status == 0) {
        answer.error = failed == beast::error::timeout
                           ? "no answer within " + std::to_string(limit.count() / 1000) + " s"
                       : failed ? failed.message()
                                : "no answer";
        // Inside a sentence of the log: no full stop of its own.
        if (!answer.error.empty() && answer.error.back() == '.') answer.error.pop_back();
    }
    while (!answer.body.empty() && (answer.body.back() == '\n' || answer.body.back() == '\r'))
        answer.body.pop_back();
    return answer;
}
