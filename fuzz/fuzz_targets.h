#pragma once
// The bodies of the fuzz targets, shared by the libFuzzer programs (fuzz_*.cpp) and by the test
// that replays the kept inputs (tests/test_fuzz_regressions.cpp). Each target checks its own
// invariants and aborts through Require when one breaks, so the fuzzer keeps the input.
//
//   decoder         byte stream, cut into pieces the input chooses, into frame::Decoder
//   device_replies  a script of polls, control requests, raw bytes, well-formed replies and
//                   time-outs run through the driver and the runtime on an in-memory link
//   io_control      DeviceIoControl with any code, input bytes and buffer size, in each mode
//   init_setting    InitSetting with any JSON text and any model-file text, then a round
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <json/reader.h>
#include <json/value.h>
#include <boost/date_time/posix_time/posix_time.hpp>

#include "device/rtmk48_pv05.h"
#include "host/observer.h"
#include "runtime/device_driver.h"
#include "runtime/frame.h"
#include "runtime/pmbus_runtime.h"

namespace smdfuzz {

inline void Require(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
    std::abort();
}

// Reads the input front to back; past the end everything is zero.
class Input {
  public:
    Input(const uint8_t* data, std::size_t size) : p_(data), n_(size) {}
    bool Empty() const { return n_ == 0; }
    std::size_t Left() const { return n_; }
    uint8_t Byte() {
        if (n_ == 0) return 0;
        --n_;
        return *p_++;
    }
    uint16_t U16() { return static_cast<uint16_t>(Byte() << 8 | Byte()); }
    uint32_t U32() { return static_cast<uint32_t>(U16()) << 16 | U16(); }
    std::vector<uint8_t> Take(std::size_t k) {
        k = k < n_ ? k : n_;
        std::vector<uint8_t> out(p_, p_ + k);
        p_ += k;
        n_ -= k;
        return out;
    }

  private:
    const uint8_t* p_;
    std::size_t n_;
};

// The device with its protected state in reach.
class FuzzDevice : public RTMK48_PV05 {
  public:
    using RTMK48_PV05::b_mode_;
    using RTMK48_PV05::data_;
    using RTMK48_PV05::lastUpdate_;
    using RTMK48_PV05::protocolState_;
    using RTMK48_PV05::signalValues_;

    explicit FuzzDevice(unsigned int dataId = 7) { Init({}, dataId, Json::Value()); }
    int State() const { return protocolState_; }
};

struct Command {
    uint8_t cid1;
    uint8_t cid2;
    std::vector<uint8_t> info;
};

// Everything the device asked the framework to send, and every record it published.
class Tap : public HostObserver {
  public:
    explicit Tap(FuzzDevice& d) : device_(d) { device_.AddObserver(this); }
    ~Tap() override { device_.RemoveObserver(this); }
    void OnWritePmbusCmd(uint8_t cid1, uint8_t cid2, const uint8_t* info, int count) override {
        commands.push_back(
            {cid1, cid2, std::vector<uint8_t>(info, info + (count > 0 ? count : 0))});
    }
    void OnSendSP(int typeId, const unsigned char*, unsigned int len, bool) override {
        Require(typeId == kRecordTypeId && len == kRecordSize, "record published as 5156/1550");
        ++published;
    }
    std::vector<Command> commands;
    int published = 0;

  private:
    FuzzDevice& device_;
};

class NullLink : public Link {
  public:
    bool Write(const uint8_t*, std::size_t) override { return true; }
};

inline DriverOptions Immediate() {
    DriverOptions o;
    o.autoPoll = false;
    o.delayScale = 0.0;  // every frame goes out at once
    return o;
}

// The device's noise on standard output costs most of the time of a run.
inline void QuietStdout() {
    static std::ofstream null("/dev/null");
    std::cout.rdbuf(null.rdbuf());
}

inline bool IsPollCommand(uint8_t cid1, uint8_t cid2) {
    static const uint8_t kPoll[][2] = {{0x40, 0x4D}, {0x40, 0x51}, {0x40, 0xE1}, {0x40, 0x42},
                                       {0x40, 0x43}, {0x40, 0x47}, {0x40, 0x81}, {0x41, 0x42},
                                       {0x41, 0x43}, {0x42, 0x42}, {0x91, 0x42}, {0x91, 0x47},
                                       {0xD0, 0x42}, {0xD0, 0x47}, {0x4A, 0x42}, {0xD2, 0x42},
                                       {0xD4, 0x42}, {0xD4, 0x43}, {0xD4, 0x47}};
    for (const auto& c : kPoll)
        if (c[0] == cid1 && c[1] == cid2) return true;
    return false;
}

inline bool IsControlCommand(const Command& c) {
    return c.cid1 == 0xD4 && (c.cid2 == 0x45 || c.cid2 == 0x49);
}

// ---------------------------------------------------------------------------------------------
// decoder: the same bytes in one piece and in the pieces the input picks must give the same
// frames and errors, and every frame must survive encoding again.

struct Outcome {
    frame::Decoder::Event event;
    frame::ReplyError error;
    frame::Frame frame;
};

inline std::vector<Outcome> DecodeAll(frame::Decoder& d, const std::vector<uint8_t>& bytes,
                                      const std::vector<std::size_t>& pieces) {
    std::vector<Outcome> out;
    std::size_t at = 0;
    std::size_t piece = 0;
    while (at < bytes.size()) {
        std::size_t len = bytes.size() - at;
        if (piece < pieces.size() && pieces[piece] < len) len = pieces[piece];
        ++piece;
        std::size_t off = 0;
        while (off < len) {
            frame::Decoder::Event e;
            const std::size_t used = d.Feed(bytes.data() + at + off, len - off, e);
            Require(used > 0 && used <= len - off, "Feed consumes 1..len bytes");
            off += used;
            if (e == frame::Decoder::Event::kNone) {
                Require(off == len, "no event only when all bytes are used");
                break;
            }
            out.push_back({e, d.LastError(), d.LastFrame()});
        }
        at += len;
    }
    return out;
}

inline int Decoder(const uint8_t* data, std::size_t size) {
    Input in(data, size);
    static const std::size_t kCaps[] = {frame::kMaxLenid, 0, 14, 1064};
    const std::size_t cap = kCaps[in.Byte() % 4];
    std::vector<std::size_t> pieces;
    const std::size_t nPieces = in.Byte() % 16;
    for (std::size_t i = 0; i < nPieces; ++i) pieces.push_back(1 + in.Byte() % 64);
    const std::vector<uint8_t> bytes = in.Take(in.Left());

    frame::Decoder whole(cap);
    frame::Decoder split(cap);
    const auto a = DecodeAll(whole, bytes, {});
    const auto b = DecodeAll(split, bytes, pieces);
    Require(a.size() == b.size(), "same number of events whatever the split");
    for (std::size_t i = 0; i < a.size(); ++i) {
        Require(a[i].event == b[i].event, "same events whatever the split");
        if (a[i].event == frame::Decoder::Event::kError) {
            Require(a[i].error == b[i].error, "same errors whatever the split");
            continue;
        }
        const frame::Frame& f = a[i].frame;
        const frame::Frame& g = b[i].frame;
        Require(f.lenid <= cap, "LENID never above the cap");
        Require(f.ver == g.ver && f.adr == g.adr && f.cid1 == g.cid1 && f.cid2 == g.cid2 &&
                    f.lenid == g.lenid &&
                    std::memcmp(f.info.data(), g.info.data(), f.InfoBytes()) == 0,
                "same frames whatever the split");
        // Encoding the frame again and decoding that gives the same frame back.
        std::vector<uint8_t> again(frame::kMaxFrame);
        const std::size_t n = frame::Encode(f.ver, f.adr, f.cid1, f.cid2, f.info.data(),
                                            f.InfoBytes(), again.data(), again.size());
        Require(n == frame::kMinFrame + f.InfoBytes() * 2, "a decoded frame encodes again");
        again.resize(n);
        frame::Decoder check;
        const auto c = DecodeAll(check, again, {});
        Require(c.size() == 1 && c[0].event == frame::Decoder::Event::kFrame &&
                    c[0].frame.cid1 == f.cid1 && c[0].frame.cid2 == f.cid2 &&
                    c[0].frame.InfoBytes() == f.InfoBytes() &&
                    std::memcmp(c[0].frame.info.data(), f.info.data(), f.InfoBytes()) == 0,
                "re-encoded frame decodes to itself");
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------
// io_control: a request may send only the command its code names, and the answer stays within
// the buffer the caller gave.

inline int ControlCodeOf(Input& in) {
    static const int kCodes[] = {100, 102, 106, 310, 320, 801, 803, 0, -1, 101, 107, 800, INT_MIN};
    const uint8_t pick = in.Byte();
    if (pick < 200) return kCodes[pick % (sizeof kCodes / sizeof kCodes[0])];
    return static_cast<int>(in.U32());
}

// Checks the commands a request with `code` sent (those from index `from` on).
inline void CheckRequestCommands(int code, int inLen, const std::vector<Command>& cmds,
                                 std::size_t from) {
    const std::size_t sent = cmds.size() - from;
    for (std::size_t i = from; i < cmds.size(); ++i) {
        const Command& c = cmds[i];
        Require(IsControlCommand(c), "a control request sends only control commands");
        if (c.cid2 == 0x45) {
            Require(
                c.info.size() == 2 && (c.info[0] == 0x10 || c.info[0] == 0x11) && c.info[1] == 0x01,
                "remote control INFO is 10 01 or 11 01");
        } else {
            Require(
                c.info.size() == 4 && c.info[0] == 0x01 && (c.info[1] == 0x80 || c.info[1] == 0x81),
                "parameter INFO is 01 80|81 hi lo");
        }
    }
    switch (code) {
        case 100:
        case 102:
            Require(sent == 1 && cmds[from].cid2 == 0x45 &&
                        cmds[from].info[0] == (code == 100 ? 0x10 : 0x11),
                    "codes 100/102 send their own remote control");
            break;
        case 106:
            Require(sent == (inLen == 2 ? 1u : 0u), "code 106 sends only with a 2-byte value");
            if (sent)
                Require(cmds[from].cid2 == 0x49 && cmds[from].info[1] == 0x80, "106 is D48001");
            break;
        case 310:
            Require(sent <= 1 && (sent == 0 || cmds[from].cid2 == 0x49), "310 sends a setting");
            break;
        case 320:
            Require(sent <= 1 && (sent == 0 || cmds[from].cid2 == 0x45), "320 sends a control");
            break;
        default:
            Require(sent == 0, "other codes send nothing");
    }
}

inline int IoControl(const uint8_t* data, std::size_t size) {
    Input in(data, size);
    static const int kModes[] = {1, 3, 5, 0, 7};
    FuzzDevice device;
    device.b_mode_ = kModes[in.Byte() % 5];
    const uint8_t docPick = in.Byte();
    if (docPick & 1) device.signalValues_["直流输出电压"] = 53.5;
    if (docPick & 2)
        device.lastUpdate_ = boost::posix_time::ptime(boost::gregorian::date(2024, 3, 5),
                                                      boost::posix_time::seconds(25449));
    Tap tap(device);
    NullLink link;
    DeviceDriver driver(device, link, Immediate());

    for (int request = 0; request < 4 && !in.Empty(); ++request) {
        const int code = ControlCodeOf(in);
        const int outLen = static_cast<int16_t>(in.U16());
        const uint8_t shape = in.Byte();
        std::vector<uint8_t> inBytes = in.Take(in.Byte());
        // Buffers of exactly the stated size, so a write past them is caught.
        std::unique_ptr<uint8_t[]> inBuf(new uint8_t[inBytes.size() + 1]);
        if (!inBytes.empty()) std::memcpy(inBuf.get(), inBytes.data(), inBytes.size());
        const void* inPtr = (shape & 1) ? nullptr : inBuf.get();
        int inLen = static_cast<int>(inBytes.size());
        if (shape & 2) inLen = -inLen - 1;
        const std::size_t outSize = outLen > 0 ? static_cast<std::size_t>(outLen) : 0;
        std::unique_ptr<uint8_t[]> outBuf(new uint8_t[outSize + (outSize == 0)]);
        void* outPtr = (shape & 4) ? nullptr : outBuf.get();
        int retLen = 12345;

        const std::size_t before = tap.commands.size();
        int result = 0;
        bool threw = false;
        try {
            result = device.DeviceIoControl(code, inPtr, inLen, outPtr, outLen, retLen);
        } catch (const std::exception&) {
            threw = true;  // the JSON library's type errors leave the call, by design
        }
        const int usableIn = (inPtr != nullptr && inLen > 0) ? inLen : 0;
        CheckRequestCommands(code, usableIn, tap.commands, before);
        if (threw) continue;
        if (code == 801 && result == 0) {
            Require(outPtr != nullptr && retLen >= 0 && retLen <= outLen, "801 text fits");
            Json::Value doc;
            Json::CharReaderBuilder b;
            std::unique_ptr<Json::CharReader> r(b.newCharReader());
            const char* text = static_cast<const char*>(outPtr);
            // Before the first round the document is still null.
            Require(
                r->parse(text, text + retLen, &doc, nullptr) && (doc.isObject() || doc.isNull()),
                "801 hands out the document as JSON");
        }
        if (code == 803 && result == 0)
            Require(retLen == static_cast<int>(sizeof(void*)) && outLen >= retLen,
                    "803 address fits");
        if ((code == 100 || code == 102) && outPtr != nullptr && outLen >= 4) {
            int32_t v;
            std::memcpy(&v, outPtr, sizeof v);
            Require(v == -1 && retLen == 4, "a command just sent reports -1");
        }
        // A reply from the unit settles the command; the next request starts clean.
        if (in.Byte() & 1) device.Protocol().TimedOut(device);
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------
// device_replies: whatever arrives on the line, the device sends only polling commands (and the
// control commands it was asked for), publishes only at the end of a round, and never crashes.

inline int DeviceReplies(const uint8_t* data, std::size_t size) {
    Input in(data, size);
    FuzzDevice device;
    device.b_mode_ = (in.Byte() & 1) ? 1 : 5;
    Tap tap(device);
    NullLink link;
    DeviceDriver driver(device, link, Immediate());
    PMBusRuntime& rt = device.Protocol();

    for (int step = 0; step < 64 && !in.Empty(); ++step) {
        const uint8_t op = in.Byte();
        const std::size_t before = tap.commands.size();
        const int published = tap.published;
        const int stateBefore = device.State();
        bool control = false;
        switch (op % 7) {
            case 0:  // a poll
                driver.PollNow();
                driver.Service(0, DeviceDriver::Clock::now());
                Require(tap.commands.size() == before + 1 && tap.commands.back().cid1 == 0x40 &&
                            tap.commands.back().cid2 == 0x4D,
                        "a round starts with 40 4D");
                break;
            case 1: {  // raw bytes off the line
                const std::vector<uint8_t> b = in.Take(in.Byte());
                driver.Receive(b.data(), b.size());
                break;
            }
            case 2: {  // a well-formed reply to the outstanding command
                const uint8_t rtnPick = in.Byte();
                const uint8_t rtn = (rtnPick & 0x80) ? rtnPick & 0x07 : 0;
                const std::size_t n = in.U16() % 600;
                std::vector<uint8_t> info = in.Take(n);
                info.resize(n, 0x5A);
                std::vector<uint8_t> f(frame::kMaxFrame);
                f.resize(frame::Encode(rt.ver, (op & 0x80) ? rt.adr ^ 1 : rt.adr, rt.expectCid1,
                                       rtn, info.data(), info.size(), f.data(), f.size()));
                const std::size_t cut = f.empty() ? 0 : in.Byte() % f.size();
                driver.Receive(f.data(), cut);
                driver.Receive(f.data() + cut, f.size() - cut);
                break;
            }
            case 3:  // the reply time-out passes
                driver.Service(0, DeviceDriver::Clock::now() + std::chrono::seconds(5));
                break;
            case 4: {  // a control request
                control = true;
                static const int kCodes[] = {100, 102, 106, 310, 320};
                const int code = kCodes[in.Byte() % 5];
                const std::vector<uint8_t> req = in.Take(in.Byte() % 48);
                int32_t out = 0;
                int retLen = 0;
                try {
                    device.DeviceIoControl(code, req.data(), static_cast<int>(req.size()), &out,
                                           sizeof out, retLen);
                } catch (const std::exception&) {
                }
                CheckRequestCommands(code, static_cast<int>(req.size()), tap.commands, before);
                break;
            }
            case 5: {  // any protocol state at all
                static const int kStates[] = {0,   10,  11,  18,  28,  29, 30,
                                              100, 101, 102, 106, 310, 320};
                const uint8_t pick = in.Byte();
                device.protocolState_ =
                    pick < 200 ? kStates[pick % 13] : static_cast<int16_t>(in.U16());
                break;
            }
            default: {  // a command outstanding for a state of the round: as if it was sent
                const uint8_t s = in.Byte() % 19;
                device.protocolState_ = 11 + s;
                driver.PollNow();
                driver.Service(0, DeviceDriver::Clock::now());
                device.protocolState_ = 11 + s;
                break;
            }
        }
        for (std::size_t i = before; i < tap.commands.size(); ++i) {
            const Command& c = tap.commands[i];
            if (control) continue;  // checked above
            Require(IsPollCommand(c.cid1, c.cid2), "only polling commands without a request");
        }
        if (tap.published != published)
            Require(tap.published == published + 1 && (stateBefore == 29 || device.State() == 29),
                    "a record is published only by the reply in state 29");
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------
// init_setting: any settings object and any model file give the defined result or one of the
// documented exceptions, never a command to the unit; a round after it runs or throws cleanly.

// Runs `f` with the working directory at a scratch directory of this process.
template <class F>
void InScratchDir(F&& f) {
    // Made once a process, removed when it exits.
    struct Dir {
        Dir() {
            char tmpl[] = "/tmp/smdfuzz.XXXXXX";
            const char* made = ::mkdtemp(tmpl);
            Require(made != nullptr, "scratch directory");
            path = made;
            Require(::mkdir((path + "/ini").c_str(), 0700) == 0, "scratch ini directory");
        }
        ~Dir() {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
        std::string path;
    };
    static Dir dir;
    char* old = ::getcwd(nullptr, 0);
    Require(old != nullptr && ::chdir(dir.path.c_str()) == 0, "enter scratch directory");
    f();
    Require(::chdir(old) == 0, "leave scratch directory");
    std::free(old);
}

inline int InitSetting(const uint8_t* data, std::size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    const char* end = text + size;
    const char* sep = static_cast<const char*>(std::memchr(text, 0, size));
    const std::string jsonText(text, sep ? sep : end);
    Json::Value settings;
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    if (!reader->parse(jsonText.data(), jsonText.data() + jsonText.size(), &settings, &errors))
        settings = Json::Value(jsonText);

    InScratchDir([&] {
        ::unlink("ini/7.ini");
        if (sep != nullptr) {
            std::ofstream model("ini/7.ini", std::ios::binary);
            model.write(sep + 1, end - sep - 1);
        }
        FuzzDevice device;
        Tap tap(device);
        for (int call = 0; call < 2; ++call) {
            try {
                device.InitSetting(settings);
            } catch (const std::exception&) {
                // ini_parser_error, ptree_bad_path or a JSON type error: documented, and the
                // device must stay usable.
            }
        }
        if (settings.isObject() && settings["values"].isObject())
            device.signalValues_ = settings["values"];
        try {
            device.RoundDone();
        } catch (const std::exception&) {
        }
        Require(tap.commands.empty(), "settings never send a command");
        Require(tap.published <= 1, "one round, at most one record");
    });
    return 0;
}

}  // namespace smdfuzz
