#pragma once
// A JSON writer that appends straight to a string: the API's answers are built on every
// request, and a tree of Json::Values first costs several times the writing itself.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class JsonOut {
  public:
    explicit JsonOut(std::string& out) : out_(out) {}

    JsonOut& BeginObject() { return Open('{'); }
    JsonOut& EndObject() { return Close('}'); }
    JsonOut& BeginArray() { return Open('['); }
    JsonOut& EndArray() { return Close(']'); }

    JsonOut& Key(std::string_view k) {
        Separate();
        Quoted(k);
        out_ += ':';
        afterKey_ = true;
        return *this;
    }
    JsonOut& String(std::string_view v) {
        Separate();
        Quoted(v);
        return *this;
    }
    // Not-a-number and infinities have no JSON form: null.
    JsonOut& Number(double v) {
        Separate();
        if (!std::isfinite(v)) {
            out_ += "null";
            return *this;
        }
        char buf[32];
        const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::general, 10);
        out_.append(buf, r.ptr);
        return *this;
    }
    JsonOut& Int(uint64_t v) {
        Separate();
        char buf[24];
        const auto r = std::to_chars(buf, buf + sizeof buf, v);
        out_.append(buf, r.ptr);
        return *this;
    }
    JsonOut& Int(int64_t v) {
        Separate();
        char buf[24];
        const auto r = std::to_chars(buf, buf + sizeof buf, v);
        out_.append(buf, r.ptr);
        return *this;
    }
    JsonOut& Bool(bool v) {
        Separate();
        out_ += v ? "true" : "false";
        return *this;
    }
    JsonOut& Null() {
        Separate();
        out_ += "null";
        return *this;
    }

  private:
    JsonOut& Open(char c) {
        Separate();
        out_ += c;
        first_.push_back(true);
        return *this;
    }
    JsonOut& Close(char c) {
        first_.pop_back();
        out_ += c;
        return *this;
    }
    // A comma before every member or element but the first; none right after a key.
    void Separate() {
        if (afterKey_) {
            afterKey_ = false;
            return;
        }
        if (first_.empty()) return;
        if (!first_.back()) out_ += ',';
        first_.back() = false;
    }
    // UTF-8 passes through; quote, backslash and control characters are escaped.
    void Quoted(std::string_view s) {
        out_ += '"';
        for (const char c : s) {
            const auto u = static_cast<unsigned char>(c);
            if (c == '"' || c == '\\') {
                out_ += '\\';
                out_ += c;
            } else if (u < 0x20) {
                static const char hex[] = "0123456789abcdef";
                out_ += "\\u00";
                out_ += hex[u >> 4];
                out_ += hex[u & 15];
            } else {
                out_ += c;
            }
        }
        out_ += '"';
    }

    std::string& out_;
    std::vector<bool> first_;
    bool afterKey_ = false;
};
