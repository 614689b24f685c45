#include "web/host_names.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>

#include <boost/asio/ip/address.hpp>

namespace {

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    // "localhost." is the same name as "localhost".
    if (!out.empty() && out.back() == '.') out.pop_back();
    return out;
}

}  // namespace

std::vector<std::string> ServedHostNames(const std::vector<std::string>& configured) {
    std::vector<std::string> out{"localhost"};
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) == 0 && name[0] != '\0') out.push_back(Lower(name));
    for (const auto& n : configured) out.push_back(Lower(n));
    return out;
}

bool HostServed(std::string_view header, const std::vector<std::string>& names) {
    if (header.empty()) return false;
    if (header.front() == '[') {
        // "[::1]:8080": an IPv6 literal.
        const auto close = header.find(']');
        if (close == std::string_view::npos) return false;
        boost::system::error_code ec;
        boost::asio::ip::make_address_v6(std::string(header.substr(1, close - 1)), ec);
        return !ec;
    }
    const auto colon = header.rfind(':');
    if (colon != std::string_view::npos) {
        const auto port = header.substr(colon + 1);
        if (port.empty() || port.size() > 5 ||
            !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return false;
        header = header.substr(0, colon);
    }
    boost::system::error_code ec;
    boost::asio::ip::make_address_v4(std::string(header), ec);
    if (!ec) return true;
    const std::string host = Lower(header);
    return std::find(names.begin(), names.end(), host) != names.end();
}
