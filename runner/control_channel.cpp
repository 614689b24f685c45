#include "runner/control_channel.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

#include <json/reader.h>
#include <json/writer.h>

namespace {

constexpr std::size_t kMaxLine = 64 * 1024;

std::string Hex(const unsigned char* p, std::size_t n) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(n * 2);
    for (std::size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

std::string OneLine(const Json::Value& v) {
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    b["emitUTF8"] = true;
    return Json::writeString(b, v) + "\n";
}

sockaddr_un Address(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        throw ControlError("control socket path too long: " + path);
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return addr;
}

std::string Errno(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

bool WriteAll(int fd, const std::string& s) {
    std::size_t done = 0;
    while (done < s.size()) {
        const ssize_t n = ::send(fd, s.data() + done, s.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

ControlRequest ParseControlRequest(const std::string& line) {
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value v;
    std::string errors;
    if (!reader->parse(line.data(), line.data() + line.size(), &v, &errors))
        throw ControlError("request is not valid JSON: " + errors);
    if (!v.isObject()) throw ControlError("request must be a JSON object");
    ControlRequest r;
    const Json::Value& device = v["device"];
    if (!device.isUInt()) throw ControlError("request needs \"device\": a data id");
    r.dataId = device.asUInt();
    const Json::Value& code = v["code"];
    if (!code.isInt()) throw ControlError("request needs \"code\": a whole number");
    r.code = code.asInt();
    const Json::Value& text = v["request"];
    const Json::Value& value = v["value"];
    if (!text.isNull() && !value.isNull())
        throw ControlError("request takes \"request\" or \"value\", not both");
    if (!text.isNull()) {
        if (!text.isString()) throw ControlError("\"request\" must be a string");
        const std::string s = text.asString();
        r.in.assign(s.begin(), s.end());
    } else if (!value.isNull()) {
        if (!value.isInt() || value.asInt() < 0 || value.asInt() > 65535)
            throw ControlError("\"value\" must be a whole number from 0 to 65535");
        const auto u = static_cast<uint16_t>(value.asInt());
        r.in.resize(sizeof u);
        std::memcpy(r.in.data(), &u, sizeof u);  // host order, as code 106 takes it
    }
    const Json::Value& outLen = v["outLen"];
    if (!outLen.isNull()) {
        if (!outLen.isInt() || outLen.asInt() < 0 || outLen.asInt() > 1 << 20)
            throw ControlError("\"outLen\" must be a whole number from 0 to 1048576");
        r.outLen = outLen.asInt();
    }
    return r;
}

std::string FormatControlRequest(const ControlRequest& r) {
    Json::Value v;
    v["device"] = r.dataId;
    v["code"] = r.code;
    if (!r.in.empty()) v["request"] = std::string(r.in.begin(), r.in.end());
    v["outLen"] = r.outLen;
    return OneLine(v);
}

Json::Value ControlAnswerJson(const ControlRequest& r, const ControlAnswer& a) {
    Json::Value v;
    v["device"] = r.dataId;
    v["code"] = r.code;
    v["result"] = a.result;
    v["retLen"] = a.retLen;
    v["hex"] = Hex(a.out.data(), a.out.size());
    if (a.out.size() == 4) {
        int32_t i;
        std::memcpy(&i, a.out.data(), sizeof i);
        v["value"] = i;
    }
    if (r.code == 801) v["output"] = std::string(a.out.begin(), a.out.end());
    return v;
}

std::string ControlErrorLine(const std::string& what) {
    Json::Value v;
    v["error"] = what;
    return OneLine(v);
}

ControlServer::ControlServer(std::string path, Handler handler)
    : path_(std::move(path)), handler_(std::move(handler)) {
    const sockaddr_un addr = Address(path_);
    listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) throw ControlError(Errno("control socket"));
    // A socket file left by a host that died would block the bind; one a live host answers on
    // must stay.
    if (::connect(listenFd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) {
        ::close(listenFd_);
        throw ControlError("control socket " + path_ + " is in use by another host");
    }
    ::close(listenFd_);
    ::unlink(path_.c_str());
    listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0 ||
        ::bind(listenFd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd_, 8) != 0) {
        const std::string msg = Errno("control socket " + path_);
        if (listenFd_ >= 0) ::close(listenFd_);
        throw ControlError(msg);
    }
    stopFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stopFd_ < 0) {
        ::close(listenFd_);
        ::unlink(path_.c_str());
        throw ControlError(Errno("eventfd"));
    }
    thread_ = std::thread([this] { Serve(); });
}

ControlServer::~ControlServer() {
    stopping_ = true;
    const uint64_t one = 1;
    (void)!::write(stopFd_, &one, sizeof one);
    if (thread_.joinable()) thread_.join();
    ::close(listenFd_);
    ::close(stopFd_);
    ::unlink(path_.c_str());
}

void ControlServer::Serve() {
    while (!stopping_) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents) return;
        if (fds[0].revents & POLLIN) {
            const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            ServeClient(fd);
            ::close(fd);
        }
    }
}

// Clients are served one at a time: a request may wait for its device's port anyway.
void ControlServer::ServeClient(int fd) {
    std::string buf;
    char chunk[4096];
    while (!stopping_) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {stopFd_, POLLIN, 0}};
        const int rc = ::poll(fds, 2, 30000);  // an idle client is dropped
        if (rc < 0 && errno == EINTR) continue;
        if (rc <= 0 || fds[1].revents) return;
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        buf.append(chunk, static_cast<std::size_t>(n));
        std::size_t eol;
        while ((eol = buf.find('\n')) != std::string::npos) {
            const std::string line = buf.substr(0, eol);
            buf.erase(0, eol + 1);
            std::string answer;
            try {
                const ControlRequest req = ParseControlRequest(line);
                answer = OneLine(ControlAnswerJson(req, handler_(req)));
            } catch (const std::exception& e) {
                answer = ControlErrorLine(e.what());
            }
            if (!WriteAll(fd, answer)) return;
        }
        if (buf.size() > kMaxLine) {
            WriteAll(fd, ControlErrorLine("request line too long"));
            return;
        }
    }
}

std::string ControlCall(const std::string& socketPath, const std::string& requestLine,
                        int timeoutMs) {
    const sockaddr_un addr = Address(socketPath);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw ControlError(Errno("socket"));
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
        throw ControlError(Errno("cannot reach the host at " + socketPath));
    std::string line = requestLine;
    if (line.empty() || line.back() != '\n') line += '\n';
    if (!WriteAll(fd, line)) throw ControlError(Errno("sending the request"));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string buf;
    char chunk[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0)
            throw ControlError("no answer from the host within " + std::to_string(timeoutMs) +
                               " ms");
        pollfd p{fd, POLLIN, 0};
        const int rc = ::poll(&p, 1, static_cast<int>(left));
        if (rc < 0 && errno == EINTR) continue;
        if (rc <= 0) continue;
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw ControlError("the host closed the connection without an answer");
        buf.append(chunk, static_cast<std::size_t>(n));
        const std::size_t eol = buf.find('\n');
        if (eol != std::string::npos) return buf.substr(0, eol);
    }
}
