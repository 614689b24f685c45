#include "web/query_string.h"

#include "web/utf8.h"

namespace {

int FromHex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Percent-decoding, '+' as a space; false on a broken escape.
bool Unescape(const std::string& in, std::string& out) {
    out.clear();
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (in[i] == '+') {
            out += ' ';
        } else if (in[i] == '%') {
            const int hi = i + 1 < in.size() ? FromHex(in[i + 1]) : -1;
            const int lo = i + 2 < in.size() ? FromHex(in[i + 2]) : -1;
            if (hi < 0 || lo < 0) return false;
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else {
            out += in[i];
        }
    }
    return true;
}

}  // namespace

bool ParseQuery(const std::string& q, std::map<std::string, std::string>& out) {
    std::size_t at = 0;
    while (at < q.size()) {
        std::size_t end = q.find('&', at);
        if (end == std::string::npos) end = q.size();
        const std::string pair = q.substr(at, end - at);
        const std::size_t eq = pair.find('=');
        std::string k, v;
        if (!Unescape(pair.substr(0, eq), k) ||
            !Unescape(eq == std::string::npos ? "" : pair.substr(eq + 1), v))
            return false;
        if (!IsUtf8(k) || !IsUtf8(v)) return false;
        if (!k.empty()) out[k] = v;
        at = end + 1;
    }
    return true;
}
