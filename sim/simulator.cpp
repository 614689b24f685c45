#include "sim/simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/serial_port.h"

namespace rtmk48sim {
namespace {

// Noise before a frame: anything but SOI.
constexpr uint8_t kGarbage[] = {0x00, 0xFF, 0x55, 'x', 'y', 0x0D, 0x0A, 0x20};

}  // namespace

Simulator::Simulator(SimOptions options) : options_(std::move(options)) {}

Simulator::~Simulator() {
    Close();
}

bool Simulator::Open(std::string* error) {
    auto fail = [&](const char* what) {
        if (error) *error = std::string(what) + ": " + std::strerror(errno);
        Close();
        return false;
    };
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0) return fail("posix_openpt");
    if (grantpt(master_) != 0 || unlockpt(master_) != 0) return fail("grantpt/unlockpt");
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) return fail("ptsname_r");
    slavePath_ = name;
    slaveHold_ = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slaveHold_ < 0) return fail("open slave");
    // Raw from the start: the default line discipline would echo our replies back to us.
    if (!MakeRawTerminal(slaveHold_, options_.baud)) return fail("raw mode");
    if (pipe2(wake_, O_NONBLOCK | O_CLOEXEC) != 0) return fail("pipe2");
    if (!options_.link.empty()) {
        ::unlink(options_.link.c_str());
        if (::symlink(name, options_.link.c_str()) != 0) return fail("symlink");
    }
    return true;
}

void Simulator::Start() {
    if (running_ || master_ < 0) return;
    running_ = true;
    thread_ = std::thread([this] { Run(); });
}

void Simulator::Stop() {
    if (!running_) return;
    {
        std::lock_guard<std::mutex> lock(mu_);
        running_ = false;
    }
    WakeThread();
    thread_.join();
}

void Simulator::Close() {
    Stop();
    if (!options_.link.empty() && !slavePath_.empty()) ::unlink(options_.link.c_str());
    for (int* fd : {&master_, &slaveHold_, &wake_[0], &wake_[1]}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
}

void Simulator::WakeThread() {
    if (wake_[1] >= 0) (void)!::write(wake_[1], "w", 1);
}

void Simulator::Inject(const FaultTrigger& trigger) {
    std::lock_guard<std::mutex> lock(mu_);
    faults_.push_back(trigger);
}

void Simulator::ClearFaults() {
    std::lock_guard<std::mutex> lock(mu_);
    faults_.clear();
}

void Simulator::WithUnit(const std::function<void(UnitModel&)>& f) {
    std::lock_guard<std::mutex> lock(mu_);
    f(unit_);
}

uint64_t Simulator::Commands() const {
    std::lock_guard<std::mutex> lock(mu_);
    return commands_;
}

uint64_t Simulator::Replies() const {
    std::lock_guard<std::mutex> lock(mu_);
    return replies_;
}

std::vector<std::string> Simulator::CommandLog() const {
    std::lock_guard<std::mutex> lock(mu_);
    return log_;
}

bool Simulator::TakeFault(int step, FaultTrigger& out) {
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        if (it->step != 0 && it->step != step) continue;
        out = *it;
        if (it->times > 0 && --it->times == 0) faults_.erase(it);
        return true;
    }
    return false;
}

void Simulator::Schedule(std::vector<uint8_t> bytes, Clock::time_point at, bool last) {
    if (!options_.pace) {
        out_.push_back(Chunk{at, std::move(bytes), last});
        return;
    }
    // 10 bits a byte on the line; small chunks keep the pace without a wake-up per byte.
    const auto perByte = std::chrono::nanoseconds(10'000'000'000LL / options_.baud);
    Clock::time_point t = std::max(at, lineFree_);
    constexpr std::size_t kPiece = 8;
    for (std::size_t i = 0; i < bytes.size(); i += kPiece) {
        const std::size_t n = std::min(kPiece, bytes.size() - i);
        t += perByte * static_cast<long>(n);
        out_.push_back(Chunk{t,
                             std::vector<uint8_t>(bytes.begin() + static_cast<long>(i),
                                                  bytes.begin() + static_cast<long>(i + n)),
                             last && i + n == bytes.size()});
    }
    lineFree_ = t;
}

void Simulator::Reply(const frame::Frame& cmd, int rtn, const std::vector<uint8_t>& infoIn,
                      int step, Clock::time_point now) {
    std::vector<uint8_t> info = infoIn;
    FaultTrigger fault;
    const bool faulty = TakeFault(step, fault);
    if (faulty) {
        switch (fault.fault) {
            case Fault::kSilence:
                return;
            case Fault::kNoise:
                // A burst every 20 ms, as a disturbed RS-485 line gives.
                for (auto t = now; t < now + options_.noiseFor; t += std::chrono::milliseconds(20))
                    Schedule(std::vector<uint8_t>(std::begin(kGarbage), std::end(kGarbage)), t,
                             false);
                return;
            case Fault::kRtnError:
                rtn = fault.rtn;
                info.clear();
                break;
            case Fault::kShortInfo:
                info.resize(info.size() > 3 ? info.size() - 3 : 0);
                break;
            case Fault::kLongInfo:
                info.insert(info.end(), {0xEE, 0xEE, 0xEE, 0xEE, 0xEE});
                break;
            default:
                break;
        }
    }
    std::vector<uint8_t> bytes(frame::kMaxFrame);
    const std::size_t n = frame::Encode(unit_.ver, cmd.adr, cmd.cid1, static_cast<uint8_t>(rtn),
                                        info.data(), info.size(), bytes.data(), bytes.size());
    bytes.resize(n);
    if (n == 0) return;
    Clock::time_point at = now;
    if (faulty) {
        switch (fault.fault) {
            case Fault::kBadChecksum:
                // The last CHKSUM digit moves by one: still hex, no longer right.
                bytes[n - 2] = bytes[n - 2] == '0' ? '1' : '0';
                break;
            case Fault::kBadLengthChecksum: {
                // LCHKSUM is the first LENGTH digit (after SOI and 8 header digits); the CHKSUM
                // is made again over the changed digit, so only LCHKSUM is wrong.
                bytes[9] = bytes[9] == 'F' ? 'E' : 'F';
                const uint16_t sum = frame::Checksum(bytes.data() + 1, n - 6);
                std::snprintf(reinterpret_cast<char*>(bytes.data() + n - 5), 5, "%04X", sum);
                bytes[n - 1] = frame::kEoi;
                break;
            }
            case Fault::kGarbage:
                bytes.insert(bytes.begin(), std::begin(kGarbage), std::end(kGarbage));
                break;
            case Fault::kLate:
                at = now + options_.lateBy;
                break;
            case Fault::kDuplicate:
                bytes.insert(bytes.end(), bytes.begin(), bytes.end());
                break;
            case Fault::kSoiNoise: {
                // An SOI alone, then a header cut off by the reply's own SOI.
                const uint8_t noise[] = {frame::kSoi, 'x', frame::kSoi, '2', '0', '0', '1'};
                bytes.insert(bytes.begin(), std::begin(noise), std::end(noise));
                break;
            }
            case Fault::kEcho: {
                std::vector<uint8_t> echo(frame::kMaxFrame);
                echo.resize(frame::Encode(cmd.ver, cmd.adr, cmd.cid1, cmd.cid2, cmd.info.data(),
                                          cmd.InfoBytes(), echo.data(), echo.size()));
                bytes.insert(bytes.begin(), echo.begin(), echo.end());
                break;
            }
            case Fault::kTrickle:
                for (std::size_t i = 0; i < bytes.size(); ++i, at += options_.tricklePause)
                    Schedule({bytes[i]}, at, i + 1 == bytes.size());
                return;
            case Fault::kSplit: {
                const std::size_t pieces =
                    static_cast<std::size_t>(std::max(2, options_.splitPieces));
                const std::size_t size = (bytes.size() + pieces - 1) / pieces;
                for (std::size_t i = 0; i < bytes.size(); i += size) {
                    const std::size_t m = std::min(size, bytes.size() - i);
                    Schedule(std::vector<uint8_t>(bytes.begin() + static_cast<long>(i),
                                                  bytes.begin() + static_cast<long>(i + m)),
                             at, i + m == bytes.size());
                    at += options_.splitPause;
                }
                return;
            }
            default:
                break;
        }
    }
    Schedule(std::move(bytes), at, true);
}

void Simulator::OnBytes(const uint8_t* data, std::size_t len, Clock::time_point now) {
    std::size_t off = 0;
    std::vector<uint8_t> info;
    while (off < len) {
        frame::Decoder::Event event;
        off += decoder_.Feed(data + off, len - off, event);
        if (event == frame::Decoder::Event::kNone) break;
        ++commands_;
        if (event == frame::Decoder::Event::kError) {
            // A unit answers a broken command it can address, with the RTN for the fault.
            if (!decoder_.HeaderKnown() || decoder_.LastFrame().adr != unit_.adr) continue;
            uint8_t rtn = frame::kRtnFormat;
            if (decoder_.LastError() == frame::ReplyError::kBadChecksum) rtn = frame::kRtnChecksum;
            if (decoder_.LastError() == frame::ReplyError::kBadLengthChecksum)
                rtn = frame::kRtnLengthChecksum;
            Reply(decoder_.LastFrame(), rtn, {}, 0, now);
            continue;
        }
        const frame::Frame& cmd = decoder_.LastFrame();
        char name[8];
        std::snprintf(name, sizeof name, "%02X %02X", cmd.cid1, cmd.cid2);
        if (options_.keepLog) log_.emplace_back(name);
        int step = 0;
        const int rtn = unit_.Answer(cmd, info, step);
        if (rtn < 0) continue;
        Reply(cmd, rtn, info, step, now);
    }
}

void Simulator::Run() {
    uint8_t buf[4096];
    for (;;) {
        int timeoutMs = -1;
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (!running_) return;
            if (!out_.empty()) {
                const auto due = std::min_element(out_.begin(), out_.end(), [](auto& a, auto& b) {
                                     return a.due < b.due;
                                 })->due;
                const auto wait = std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now());
                timeoutMs = static_cast<int>(std::max<long>(0, wait.count()));
            }
        }
        pollfd fds[2] = {{master_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        ::poll(fds, 2, timeoutMs);
        if (fds[1].revents & POLLIN) {
            char drain[64];
            while (::read(wake_[0], drain, sizeof drain) > 0) {
            }
        }
        std::lock_guard<std::mutex> lock(mu_);
        if (!running_) return;
        const auto now = Clock::now();
        if (fds[0].revents & POLLIN) {
            for (;;) {
                const ssize_t n = ::read(master_, buf, sizeof buf);
                if (n <= 0) break;
                OnBytes(buf, static_cast<std::size_t>(n), now);
            }
        }
        // Chunks go out in time order; a late reply does not hold back later ones.
        std::stable_sort(out_.begin(), out_.end(),
                         [](const Chunk& a, const Chunk& b) { return a.due < b.due; });
        while (!out_.empty() && out_.front().due <= Clock::now()) {
            Chunk& c = out_.front();
            std::size_t done = 0;
            while (done < c.bytes.size()) {
                const ssize_t n = ::write(master_, c.bytes.data() + done, c.bytes.size() - done);
                if (n > 0) {
                    done += static_cast<std::size_t>(n);
                } else if (n < 0 && errno == EAGAIN) {
                    pollfd p{master_, POLLOUT, 0};
                    ::poll(&p, 1, 10);
                } else {
                    break;
                }
            }
            if (c.lastOfReply) ++replies_;
            out_.pop_front();
        }
    }
}

}  // namespace rtmk48sim
