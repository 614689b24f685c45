#pragma once
// YD/T 1363.3 frames as pure functions over bytes: no port, no clock, no allocation.
//
//   SOI '~' | VER ADR CID1 CID2 LENGTH(4) INFO(LENID) CHKSUM(4) | EOI CR
//
// Everything between SOI and EOI travels as upper-case ASCII hex, two characters a byte.
// LENGTH is LCHKSUM (high nibble) and LENID (low 12 bits, the number of INFO hex characters).
// In a reply, CID2 carries the return code RTN.
#include <array>
#include <cstddef>
#include <cstdint>

namespace frame {

inline constexpr uint8_t kSoi = 0x7E;
inline constexpr uint8_t kEoi = 0x0D;
inline constexpr std::size_t kHeaderChars = 12;  // VER ADR CID1 CID2 LENGTH
inline constexpr std::size_t kMaxLenid = 0xFFF;
inline constexpr std::size_t kMinFrame = 1 + kHeaderChars + 4 + 1;  // empty INFO: 18 bytes
inline constexpr std::size_t kMaxFrame = kMinFrame + kMaxLenid;
inline constexpr std::size_t kMaxInfoBytes = (kMaxLenid + 1) / 2;

// Return codes a unit puts in a reply's CID2.
inline constexpr uint8_t kRtnOk = 0x00;
inline constexpr uint8_t kRtnVersion = 0x01;
inline constexpr uint8_t kRtnChecksum = 0x02;
inline constexpr uint8_t kRtnLengthChecksum = 0x03;
inline constexpr uint8_t kRtnBadCid2 = 0x04;
inline constexpr uint8_t kRtnFormat = 0x05;
inline constexpr uint8_t kRtnData = 0x06;

// Why a reply did not reach the device. A closed set: the runtime counts each kind.
enum class ReplyError : uint8_t {
    kBadHex,             // a character between SOI and EOI that is no hex digit
    kBadLengthChecksum,  // LCHKSUM does not match LENID
    kLengthTooLong,      // LENID above the receiver's cap
    kBadChecksum,        // CHKSUM does not match
    kMissingEoi,         // the byte after CHKSUM is not CR
    kWrongAddress,       // ADR does not echo the command's
    kWrongCommand,       // CID1 does not echo the command's
    kRtnVersion,         // the unit answered RTN 0x01
    kRtnChecksum,        // RTN 0x02
    kRtnLengthChecksum,  // RTN 0x03
    kRtnBadCid2,         // RTN 0x04
    kRtnFormat,          // RTN 0x05
    kRtnData,            // RTN 0x06
    kRtnVendor,          // any other RTN
    kTimeout,            // no complete reply within the reply time-out
    kUnsolicited,        // a frame while no command was outstanding (dropped)
    kLineNoise,          // bytes but no frame begun by the first-byte time-out
    kTooSlow,            // a reply begun but not done when a full frame's line time had passed
    kPortClosed,         // the command could not go out: the port is not open
    kEcho,               // a copy of the command just sent (a 2-wire adapter's echo), dropped
};
inline constexpr std::size_t kReplyErrorCount = 20;
const char* to_string(ReplyError e);
// The error kind for a non-zero RTN.
ReplyError ErrorOfRtn(uint8_t rtn);

// LCHKSUM of a 12-bit LENID: its three nibbles summed mod 16, inverted, plus one (0 for 0).
uint8_t LengthChecksum(uint16_t lenid);
// CHKSUM of the characters after SOI up to CHKSUM: their sum mod 65536, inverted, plus one.
uint16_t Checksum(const uint8_t* chars, std::size_t n);

// Writes one frame into `out` and returns its length, or 0 when `info` needs more than LENID
// can say or `cap` is too small. For a reply, pass RTN as `cid2`.
std::size_t Encode(uint8_t ver, uint8_t adr, uint8_t cid1, uint8_t cid2, const uint8_t* info,
                   std::size_t infoBytes, uint8_t* out, std::size_t cap);

// One unframed frame. `info` holds LENID / 2 bytes; an odd LENID's last half byte is dropped.
struct Frame {
    uint8_t ver = 0;
    uint8_t adr = 0;
    uint8_t cid1 = 0;
    uint8_t cid2 = 0;  // RTN in a reply
    uint16_t lenid = 0;
    std::array<uint8_t, kMaxInfoBytes> info{};
    std::size_t InfoBytes() const { return lenid / 2; }
};

// Receiving state machine. It always knows how many characters it needs next: it skips bytes
// up to SOI, takes the 12 header characters, checks LENGTH (and caps LENID before reading the
// INFO), then the INFO characters, the 4 CHKSUM characters and EOI. A frame may arrive in any
// number of pieces. After an error it hunts for the next SOI; an SOI inside a frame starts a
// new frame at once, so a truncated frame does not swallow the one behind it.
class Decoder {
  public:
    enum class Event { kNone, kFrame, kError };

    explicit Decoder(std::size_t maxLenid = kMaxLenid) : maxLenid_(maxLenid) {}

    // Consumes bytes up to and including the first that completes a frame or an error, and
    // returns how many it consumed; `event` says which (kNone: all bytes used, frame pending).
    std::size_t Feed(const uint8_t* data, std::size_t len, Event& event);

    const Frame& LastFrame() const { return frame_; }
    ReplyError LastError() const { return error_; }
    // The header fields were read for the frame in progress or the last one (VER to CID2 are
    // valid even when LENGTH or CHKSUM later failed).
    bool HeaderKnown() const { return headerKnown_; }
    // Bytes skipped while hunting for SOI since construction.
    std::size_t SkippedBytes() const { return skipped_; }
    // Frames begun (SOIs taken as a frame's start) since construction: the number of the frame
    // in progress or just completed.
    std::size_t FramesBegun() const { return begun_; }
    // True while a frame is partly received.
    bool InFrame() const { return stage_ != Stage::kHunt; }
    void Reset();

  private:
    enum class Stage { kHunt, kHeader, kInfo, kChecksum, kEoi };
    void Start();
    bool Fail(ReplyError e, Event& event);

    std::size_t maxLenid_;
    Stage stage_ = Stage::kHunt;
    std::size_t need_ = 0;  // characters still needed in this stage
    std::size_t got_ = 0;   // characters of this stage so far
    uint8_t header_[kHeaderChars] = {};
    uint8_t sumChars_[4] = {};
    uint16_t sum_ = 0;
    uint8_t hi_ = 0;  // pending high nibble of an INFO byte
    bool headerKnown_ = false;
    std::size_t skipped_ = 0;
    std::size_t begun_ = 0;
    Frame frame_;
    ReplyError error_ = ReplyError::kBadHex;
};

}  // namespace frame
