// A steady load on smdhost's web server: requests at a fixed rate over one keep-alive
// connection, cycling through the given targets, each timed from its first byte sent to its
// last byte received. Prints one line per target and one for all:
//   target count p50_ms p99_ms max_ms
//
//   bench/smd_web_load --port P [--rate R] [--seconds S] TARGET...
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using Clock = std::chrono::steady_clock;

namespace {

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const auto at = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(at, v.size() - 1)];
}

void Print(const std::string& name, const std::vector<double>& ms) {
    std::printf("%s %zu %.3f %.3f %.3f\n", name.c_str(), ms.size(), Percentile(ms, 0.5),
                Percentile(ms, 0.99), ms.empty() ? 0.0 : *std::max_element(ms.begin(), ms.end()));
}

}  // namespace

int main(int argc, char** argv) {
    int port = 0;
    double rate = 100;
    double seconds = 10;
    std::vector<std::string> targets;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--port" && i + 1 < argc)
            port = std::atoi(argv[++i]);
        else if (a == "--rate" && i + 1 < argc)
            rate = std::atof(argv[++i]);
        else if (a == "--seconds" && i + 1 < argc)
            seconds = std::atof(argv[++i]);
        else
            targets.push_back(a);
    }
    if (port <= 0 || rate <= 0 || targets.empty()) {
        std::fprintf(stderr, "usage: smd_web_load --port P [--rate R] [--seconds S] TARGET...\n");
        return 2;
    }

    asio::io_context ioc;
    beast::tcp_stream stream(ioc);
    const asio::ip::tcp::endpoint ep(asio::ip::make_address("127.0.0.1"),
                                     static_cast<unsigned short>(port));
    stream.connect(ep);
    beast::flat_buffer buffer;
    std::map<std::string, std::vector<double>> times;
    std::vector<double> all;
    int failures = 0;
    const auto period =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / rate));
    const auto start = Clock::now();
    const auto end =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    auto next = start;
    for (std::size_t k = 0; next < end; ++k, next += period) {
        std::this_thread::sleep_until(next);
        const std::string& target = targets[k % targets.size()];
        http::request<http::empty_body> req(http::verb::get, target, 11);
        req.set(http::field::host, "127.0.0.1");
        http::response<http::string_body> res;
        const auto t0 = Clock::now();
        beast::error_code ec;
        http::write(stream, req, ec);
        if (!ec) http::read(stream, buffer, res, ec);
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
        if (ec || res.result_int() != 200) {
            ++failures;
            std::fprintf(stderr, "%s: %s %u\n", target.c_str(), ec.message().c_str(),
                         res.result_int());
            beast::error_code ignored;
            stream.socket().close(ignored);
            stream.connect(ep);
            continue;
        }
        times[target].push_back(ms);
        all.push_back(ms);
    }
    const double took = std::chrono::duration<double>(Clock::now() - start).count();
    for (const auto& [target, ms] : times) Print(target, ms);
    Print("all", all);
    std::printf("rate %.1f requests/s, %d failed\n", static_cast<double>(all.size()) / took,
                failures);
    return failures == 0 ? 0 : 1;
}
