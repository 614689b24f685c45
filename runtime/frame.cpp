#include "runtime/frame.h"

#include <algorithm>

namespace frame {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// Value of each character as a hex digit, -1 for none: one load per character of a frame.
constexpr std::array<int8_t, 256> MakeHexTable() {
    std::array<int8_t, 256> t{};
    for (int c = 0; c < 256; ++c) {
        t[c] = c >= '0' && c <= '9'   ? static_cast<int8_t>(c - '0')
               : c >= 'A' && c <= 'F' ? static_cast<int8_t>(c - 'A' + 10)
               : c >= 'a' && c <= 'f' ? static_cast<int8_t>(c - 'a' + 10)
                                      : int8_t{-1};
    }
    return t;
}
constexpr std::array<int8_t, 256> kHexTable = MakeHexTable();

int HexValue(uint8_t c) {
    return kHexTable[c];
}

uint8_t ByteAt(const uint8_t* chars) {
    return static_cast<uint8_t>(HexValue(chars[0]) << 4 | HexValue(chars[1]));
}

void PutByte(uint8_t b, uint8_t* out) {
    out[0] = static_cast<uint8_t>(kHexDigits[b >> 4]);
    out[1] = static_cast<uint8_t>(kHexDigits[b & 0xF]);
}

}  // namespace

const char* to_string(ReplyError e) {
    switch (e) {
        case ReplyError::kBadHex:
            return "bad hex digit";
        case ReplyError::kBadLengthChecksum:
            return "bad LCHKSUM";
        case ReplyError::kLengthTooLong:
            return "LENID too long";
        case ReplyError::kBadChecksum:
            return "bad CHKSUM";
        case ReplyError::kMissingEoi:
            return "missing EOI";
        case ReplyError::kWrongAddress:
            return "ADR not echoed";
        case ReplyError::kWrongCommand:
            return "CID1 not echoed";
        case ReplyError::kRtnVersion:
            return "RTN VER error";
        case ReplyError::kRtnChecksum:
            return "RTN CHKSUM error";
        case ReplyError::kRtnLengthChecksum:
            return "RTN LCHKSUM error";
        case ReplyError::kRtnBadCid2:
            return "RTN invalid CID2";
        case ReplyError::kRtnFormat:
            return "RTN command format error";
        case ReplyError::kRtnData:
            return "RTN invalid data";
        case ReplyError::kRtnVendor:
            return "RTN vendor error";
        case ReplyError::kTimeout:
            return "reply time-out";
        case ReplyError::kUnsolicited:
            return "unsolicited frame";
        case ReplyError::kLineNoise:
            return "line noise";
        case ReplyError::kTooSlow:
            return "reply too slow";
        case ReplyError::kPortClosed:
            return "port not open";
        case ReplyError::kEcho:
            return "echo";
    }
    return "unknown";
}

ReplyError ErrorOfRtn(uint8_t rtn) {
    switch (rtn) {
        case kRtnVersion:
            return ReplyError::kRtnVersion;
        case kRtnChecksum:
            return ReplyError::kRtnChecksum;
        case kRtnLengthChecksum:
            return ReplyError::kRtnLengthChecksum;
        case kRtnBadCid2:
            return ReplyError::kRtnBadCid2;
        case kRtnFormat:
            return ReplyError::kRtnFormat;
        case kRtnData:
            return ReplyError::kRtnData;
        default:
            return ReplyError::kRtnVendor;
    }
}

uint8_t LengthChecksum(uint16_t lenid) {
    const unsigned sum = (lenid & 0xF) + (lenid >> 4 & 0xF) + (lenid >> 8 & 0xF);
    return static_cast<uint8_t>((~sum + 1) & 0xF);
}

uint16_t Checksum(const uint8_t* chars, std::size_t n) {
    uint16_t sum = 0;
    for (std::size_t i = 0; i < n; ++i) sum = static_cast<uint16_t>(sum + chars[i]);
    return static_cast<uint16_t>(~sum + 1);
}

std::size_t Encode(uint8_t ver, uint8_t adr, uint8_t cid1, uint8_t cid2, const uint8_t* info,
                   std::size_t infoBytes, uint8_t* out, std::size_t cap) {
    const std::size_t lenid = infoBytes * 2;
    const std::size_t total = kMinFrame + lenid;
    if (lenid > kMaxLenid || cap < total) return 0;
    out[0] = kSoi;
    uint8_t* p = out + 1;
    const uint16_t length =
        static_cast<uint16_t>(LengthChecksum(static_cast<uint16_t>(lenid)) << 12 | lenid);
    for (uint8_t b : {ver, adr, cid1, cid2, static_cast<uint8_t>(length >> 8),
                      static_cast<uint8_t>(length & 0xFF)}) {
        PutByte(b, p);
        p += 2;
    }
    for (std::size_t i = 0; i < infoBytes; ++i, p += 2) PutByte(info[i], p);
    const uint16_t sum = Checksum(out + 1, static_cast<std::size_t>(p - (out + 1)));
    PutByte(static_cast<uint8_t>(sum >> 8), p);
    PutByte(static_cast<uint8_t>(sum & 0xFF), p + 2);
    p[4] = kEoi;
    return total;
}

void Decoder::Reset() {
    stage_ = Stage::kHunt;
    headerKnown_ = false;
}

void Decoder::Start() {
    ++begun_;
    stage_ = Stage::kHeader;
    need_ = kHeaderChars;
    got_ = 0;
    sum_ = 0;
    headerKnown_ = false;
}

bool Decoder::Fail(ReplyError e, Event& event) {
    error_ = e;
    event = Event::kError;
    stage_ = Stage::kHunt;
    return true;
}

std::size_t Decoder::Feed(const uint8_t* data, std::size_t len, Event& event) {
    event = Event::kNone;
    for (std::size_t i = 0; i < len; ++i) {
        const uint8_t c = data[i];
        if (stage_ == Stage::kHunt) {
            if (c == kSoi) {
                Start();
            } else {
                ++skipped_;
            }
            continue;
        }
        if (stage_ == Stage::kEoi) {
            if (c != kEoi) {
                Fail(ReplyError::kMissingEoi, event);
                // An SOI in place of EOI begins the next frame.
                if (c == kSoi) Start();
                return i + 1;
            }
            const uint16_t want =
                static_cast<uint16_t>(ByteAt(sumChars_) << 8 | ByteAt(sumChars_ + 2));
            const uint16_t have = static_cast<uint16_t>(~sum_ + 1);
            stage_ = Stage::kHunt;
            if (want != have) {
                Fail(ReplyError::kBadChecksum, event);
            } else {
                event = Event::kFrame;
            }
            return i + 1;
        }
        const int v = HexValue(c);
        if (v < 0) {
            Fail(ReplyError::kBadHex, event);
            if (c == kSoi) Start();
            return i + 1;
        }
        switch (stage_) {
            case Stage::kHeader:
                header_[got_++] = c;
                sum_ = static_cast<uint16_t>(sum_ + c);
                if (got_ < need_) break;
                {
                    frame_.ver = ByteAt(header_);
                    frame_.adr = ByteAt(header_ + 2);
                    frame_.cid1 = ByteAt(header_ + 4);
                    frame_.cid2 = ByteAt(header_ + 6);
                    headerKnown_ = true;
                    const uint16_t length =
                        static_cast<uint16_t>(ByteAt(header_ + 8) << 8 | ByteAt(header_ + 10));
                    const uint16_t lenid = length & 0xFFF;
                    // LCHKSUM covers the three nibbles of LENID.
                    if ((length >> 12) != LengthChecksum(lenid)) {
                        Fail(ReplyError::kBadLengthChecksum, event);
                        return i + 1;
                    }
                    // Capped before any INFO is read, so a garbled LENID cannot make us wait.
                    if (lenid > maxLenid_) {
                        Fail(ReplyError::kLengthTooLong, event);
                        return i + 1;
                    }
                    frame_.lenid = lenid;
                    got_ = 0;
                    need_ = lenid;
                    stage_ = lenid > 0 ? Stage::kInfo : Stage::kChecksum;
                    if (lenid == 0) need_ = 4;
                }
                break;
            case Stage::kInfo: {
                // INFO is most of a frame: the run of its characters at hand is taken here,
                // in locals (a byte store into INFO may alias any member), rather than one
                // turn of the outer loop each. A character that is no hex digit ends the run
                // and fails on the next turn.
                const std::size_t end = i + std::min(len - i, need_ - got_);
                std::size_t got = got_;
                uint16_t sum = sum_;
                uint8_t hi = hi_;
                uint8_t* const info = frame_.info.data();
                int d = v;
                for (;;) {
                    sum = static_cast<uint16_t>(sum + data[i]);
                    if (got % 2 == 0) {
                        hi = static_cast<uint8_t>(d);
                    } else {
                        info[got / 2] = static_cast<uint8_t>(hi << 4 | d);
                    }
                    ++got;
                    if (i + 1 == end || (d = HexValue(data[i + 1])) < 0) break;
                    ++i;
                }
                got_ = got;
                sum_ = sum;
                hi_ = hi;
                if (got_ == need_) {
                    stage_ = Stage::kChecksum;
                    got_ = 0;
                    need_ = 4;
                }
                break;
            }
            case Stage::kChecksum:
                sumChars_[got_++] = c;
                if (got_ == need_) stage_ = Stage::kEoi;
                break;
            default:
                break;
        }
    }
    return len;
}

}  // namespace frame
