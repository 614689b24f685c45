#include "runner/control_channel.h"

#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
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
    if (r.code == 803)
        throw ControlError(
            "code 803 hands out a memory address and is not served here (801 "
            "gives the document as text)");
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
    if (a.sent >= 0) v["sent"] = a.sent == 1;
    return v;
}

std::string ControlErrorLine(const std::string& what) {
    Json::Value v;
    v["error"] = what;
    return OneLine(v);
}

ControlServer::ControlServer(std::string path, Handler handler)
    : ControlServer(std::move(path), std::move(handler), Options{}) {}

ControlServer::ControlServer(std::string path, Handler handler, Options options)
    : path_(std::move(path)), handler_(std::move(handler)), options_(std::move(options)) {
    const sockaddr_un addr = Address(path_);
    if (!options_.group.empty()) {
        const group* g = ::getgrnam(options_.group.c_str());
        if (g == nullptr) throw ControlError("control group " + options_.group + " does not exist");
        groupId_ = g->gr_gid;
        hasGroup_ = true;
    }
    // Whatever sits at the path is ours to replace only when it is a socket left by a host that
    // died: a live host answers on it, and any other file is someone's data.
    struct stat st {};
    if (::lstat(path_.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode))
            throw ControlError("control socket " + path_ +
                               ": a file that is not a socket is in the way (left alone)");
        // Not blocking: a listener that never accepts would hold the start, and a stop, for ever.
        const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (probe < 0) throw ControlError(Errno("control socket"));
        const int rc = ::connect(probe, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
        const int err = errno;
        ::close(probe);
        if (rc == 0 || err == EAGAIN)
            throw ControlError("control socket " + path_ + " is in use by another host");
        if (err != ECONNREFUSED) {
            errno = err;
            throw ControlError(Errno("control socket " + path_));
        }
        if (::unlink(path_.c_str()) != 0 && errno != ENOENT)
            throw ControlError(Errno("removing the stale control socket " + path_));
    } else if (errno != ENOENT) {
        throw ControlError(Errno("control socket " + path_));
    }
    listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) throw ControlError(Errno("control socket"));
    auto fail = [&](const std::string& what, bool bound) {
        const std::string msg = Errno(what);
        ::close(listenFd_);
        if (bound) ::unlink(path_.c_str());
        throw ControlError(msg);
    };
    if (::bind(listenFd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
        fail("control socket " + path_, false);
    // Owner and group only, whatever the umask; set before listen(), so no one connects under
    // the umask's mode.
    if (hasGroup_ && ::chown(path_.c_str(), static_cast<uid_t>(-1), groupId_) != 0)
        fail("giving the control socket to group " + options_.group, true);
    if (::chmod(path_.c_str(), 0660) != 0) fail("control socket mode", true);
    if (::listen(listenFd_, 16) != 0) fail("control socket " + path_, true);
    stopFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stopFd_ < 0) fail("eventfd", true);
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

// Root, the host's own user, and members of the configured group.
bool ControlServer::Allowed(int fd) const {
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return false;
    if (cred.uid == 0 || cred.uid == ::geteuid()) return true;
    if (!hasGroup_) return false;
    if (cred.gid == groupId_) return true;
    // Supplementary membership, as the group database lists it.
    std::vector<char> buf(16384);
    passwd pw{};
    passwd* found = nullptr;
    if (::getpwuid_r(cred.uid, &pw, buf.data(), buf.size(), &found) != 0 || found == nullptr)
        return false;
    int n = 64;
    std::vector<gid_t> groups(static_cast<std::size_t>(n));
    if (::getgrouplist(pw.pw_name, pw.pw_gid, groups.data(), &n) < 0) {
        groups.resize(static_cast<std::size_t>(n));
        if (::getgrouplist(pw.pw_name, pw.pw_gid, groups.data(), &n) < 0) return false;
    }
    for (int i = 0; i < n; ++i)
        if (groups[static_cast<std::size_t>(i)] == groupId_) return true;
    return false;
}

void ControlServer::Serve() {
    while (!stopping_) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
        const int rc = ::poll(fds, 2, 1000);
        if (rc < 0 && errno != EINTR) break;
        for (auto it = clients_.begin(); it != clients_.end();) {
            if (it->done) {
                it->thread.join();
                it = clients_.erase(it);
            } else {
                ++it;
            }
        }
        if (rc <= 0) continue;
        if (fds[1].revents) break;
        if (!(fds[0].revents & POLLIN)) continue;
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        // A client that does not read its answer cannot hold a thread (or the shutdown) for long.
        const timeval sendLimit{5, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);
        if (!Allowed(fd)) {
            WriteAll(fd, ControlErrorLine("not allowed: the control channel serves root, the "
                                          "host's user and its control group"));
            ::close(fd);
            continue;
        }
        if (static_cast<int>(clients_.size()) >= options_.maxClients) {
            WriteAll(fd, ControlErrorLine("too many clients at once: try again"));
            ::close(fd);
            continue;
        }
        clients_.emplace_back();
        Client& c = clients_.back();
        c.thread = std::thread([this, fd, &c] {
            ServeClient(fd);
            ::close(fd);
            c.done = true;
        });
    }
    for (Client& c : clients_) c.thread.join();
    clients_.clear();
}

// One client, on a thread of its own: a request may wait for its device's port. Each request
// line has a deadline from its first byte on (or from the last answer), so trickling bytes
// does not keep a connection open.
void ControlServer::ServeClient(int fd) {
    using Clock = std::chrono::steady_clock;
    std::string buf;
    char chunk[4096];
    auto deadline = Clock::now() + std::chrono::milliseconds(options_.requestMs);
    while (!stopping_) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            // Idle or trickling alike: the client learns why it is closed.
            WriteAll(fd, ControlErrorLine("request not complete in time"));
            return;
        }
        pollfd fds[2] = {{fd, POLLIN, 0}, {stopFd_, POLLIN, 0}};
        const int rc = ::poll(fds, 2, static_cast<int>(left));
        if (rc < 0 && errno == EINTR) continue;
        if (rc < 0 || fds[1].revents) return;
        if (rc == 0) continue;
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
            deadline = Clock::now() + std::chrono::milliseconds(options_.requestMs);
        }
        if (buf.size() > kMaxLine) {
            WriteAll(fd, ControlErrorLine("request line too long"));
            return;
        }
    }
}

std::string ControlSocketProblem(const std::string& path) {
    if (path.size() >= sizeof(sockaddr_un{}.sun_path))
        return path + " is too long for a socket (at most " +
               std::to_string(sizeof(sockaddr_un{}.sun_path) - 1) + " bytes)";
    const std::string dir = path.find('/') == std::string::npos
                                ? std::string(".")
                                : path.substr(0, std::max<std::size_t>(path.rfind('/'), 1));
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return "no directory " + dir + " for " + path;
    if (::lstat(path.c_str(), &st) == 0 && !S_ISSOCK(st.st_mode))
        return path + " is there and is not a socket";
    return {};
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
    // A host that refuses the client answers and closes at once: its answer is read even when
    // the request could not be sent.
    const bool sent = WriteAll(fd, line);
    const std::string sendError = sent ? std::string() : Errno("sending the request");
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
        if (n <= 0)
            throw ControlError(sent ? "the host closed the connection without an answer"
                                    : sendError);
        buf.append(chunk, static_cast<std::size_t>(n));
        const std::size_t eol = buf.find('\n');
        if (eol != std::string::npos) return buf.substr(0, eol);
    }
}
