// Command frames out, replies in: encoding, checksums and the receiving state machine.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/frame.h"
#include "test_support.h"

namespace {

using frame::Decoder;
using frame::ReplyError;

std::vector<uint8_t> Bytes(const std::string& s) {
    return std::vector<uint8_t>(s.begin(), s.end());
}

std::vector<uint8_t> Encode(uint8_t cid1, uint8_t cid2, const std::vector<uint8_t>& info,
                            uint8_t ver = 0x20, uint8_t adr = 0x01) {
    return EncodeFrame(cid1, cid2, info, adr, ver);
}

// Feeds everything; collects what the decoder made of it, in order.
struct Outcome {
    std::vector<frame::Frame> frames;
    std::vector<ReplyError> errors;
};

void FeedAll(Decoder& d, const std::vector<uint8_t>& bytes, Outcome& out) {
    std::size_t off = 0;
    while (off < bytes.size()) {
        Decoder::Event e;
        off += d.Feed(bytes.data() + off, bytes.size() - off, e);
        if (e == Decoder::Event::kFrame) out.frames.push_back(d.LastFrame());
        if (e == Decoder::Event::kError) out.errors.push_back(d.LastError());
    }
}

Outcome Decode(const std::vector<uint8_t>& bytes, std::size_t maxLenid = frame::kMaxLenid) {
    Decoder d(maxLenid);
    Outcome out;
    FeedAll(d, bytes, out);
    return out;
}

// Sets the frame's CHKSUM right again after a test changed a character before it.
void Reseal(std::vector<uint8_t>& f) {
    const std::size_t n = f.size();
    const uint16_t sum = frame::Checksum(f.data() + 1, n - 6);
    const char* hex = "0123456789ABCDEF";
    for (int i = 0; i < 4; ++i) f[n - 5 + i] = static_cast<uint8_t>(hex[sum >> (12 - 4 * i) & 0xF]);
}

TEST(FrameEncode, KnownCommandVector) {
    const auto f = Encode(0x46, 0x42, {0x02}, 0x20, 0x02);
    EXPECT_EQ(std::string(f.begin(), f.end()), "~20024642E00202FD33\r");
}

TEST(FrameEncode, EmptyInfoIsEighteenBytesWithZeroLength) {
    const auto f = Encode(0x40, 0x4D, {});
    ASSERT_EQ(f.size(), frame::kMinFrame);
    EXPECT_EQ(std::string(f.begin() + 9, f.begin() + 13), "0000");
    EXPECT_EQ(f.front(), frame::kSoi);
    EXPECT_EQ(f.back(), frame::kEoi);
}

TEST(FrameEncode, RefusesInfoBeyondLenidAndSmallBuffers) {
    std::vector<uint8_t> info(frame::kMaxInfoBytes, 0);  // 4096 characters: one too many
    std::vector<uint8_t> out(frame::kMaxFrame + 2);
    EXPECT_EQ(frame::Encode(0x20, 1, 0x40, 0x42, info.data(), info.size(), out.data(), out.size()),
              0u);
    EXPECT_EQ(frame::Encode(0x20, 1, 0x40, 0x42, info.data(), 1, out.data(), 19), 0u);
    EXPECT_EQ(frame::Encode(0x20, 1, 0x40, 0x42, info.data(), 1, out.data(), 20), 20u);
}

TEST(FrameChecksums, LengthChecksumCoversAllThreeNibbles) {
    EXPECT_EQ(frame::LengthChecksum(0x000), 0x0);
    EXPECT_EQ(frame::LengthChecksum(0x002), 0xE);
    EXPECT_EQ(frame::LengthChecksum(0x00E), 0x2);  // low nibble alone
    EXPECT_EQ(frame::LengthChecksum(0x010), 0xF);  // middle nibble alone
    EXPECT_EQ(frame::LengthChecksum(0x428), 0x2);  // 4 + 2 + 8 = 14
    EXPECT_EQ(frame::LengthChecksum(0xFFF), 0x3);  // 45 mod 16 = 13
    EXPECT_EQ(frame::LengthChecksum(0x100), 0xF);  // high nibble alone
}

TEST(FrameChecksums, ChecksumIsTwosComplementOfTheCharacterSum) {
    const std::string s = "20024642E00202";
    EXPECT_EQ(frame::Checksum(reinterpret_cast<const uint8_t*>(s.data()), s.size()), 0xFD33);
    EXPECT_EQ(frame::Checksum(nullptr, 0), 0x0000);
}

TEST(FrameDecode, RoundTripsEveryLenidNibblePattern) {
    for (std::size_t bytes : {0u, 7u, 8u, 0x428u / 2, 532u, 2047u}) {
        std::vector<uint8_t> info(bytes);
        for (std::size_t i = 0; i < bytes; ++i) info[i] = static_cast<uint8_t>(i * 13 + 5);
        const auto out = Decode(Encode(0x41, 0x00, info));
        ASSERT_EQ(out.frames.size(), 1u) << bytes;
        EXPECT_TRUE(out.errors.empty());
        const frame::Frame& f = out.frames[0];
        EXPECT_EQ(f.lenid, bytes * 2);
        EXPECT_EQ(f.cid1, 0x41);
        EXPECT_EQ(f.adr, 0x01);
        EXPECT_EQ(std::vector<uint8_t>(f.info.begin(), f.info.begin() + bytes), info);
    }
}

TEST(FrameDecode, OddLenidKeepsTheWholeBytesOnly) {
    // LENID 0x00D: six bytes and half of a seventh.
    std::string body = "200140000" + std::string("00D") + "0102030405060";
    body[8] = "0123456789ABCDEF"[frame::LengthChecksum(0x00D)];
    std::vector<uint8_t> f = Bytes("~" + body + "0000\r");
    Reseal(f);
    const auto out = Decode(f);
    ASSERT_EQ(out.frames.size(), 1u);
    EXPECT_EQ(out.frames[0].lenid, 0x00D);
    EXPECT_EQ(out.frames[0].InfoBytes(), 6u);
    EXPECT_EQ(out.frames[0].info[5], 0x06);
}

TEST(FrameDecode, AcceptsASplitAtEveryBytePosition) {
    const auto whole = Encode(0x40, 0x00, {0xDE, 0xAD, 0xBE, 0xEF, 0x00, 0x7E});
    for (std::size_t cut = 1; cut < whole.size(); ++cut) {
        Decoder d;
        Outcome out;
        FeedAll(d, std::vector<uint8_t>(whole.begin(), whole.begin() + cut), out);
        EXPECT_TRUE(out.frames.empty() && out.errors.empty()) << cut;
        EXPECT_TRUE(d.InFrame()) << cut;
        FeedAll(d, std::vector<uint8_t>(whole.begin() + cut, whole.end()), out);
        ASSERT_EQ(out.frames.size(), 1u) << cut;
        EXPECT_EQ(out.frames[0].info[5], 0x7E) << cut;
    }
    // And one byte at a time.
    Decoder d;
    Outcome out;
    for (uint8_t b : whole) FeedAll(d, {b}, out);
    EXPECT_EQ(out.frames.size(), 1u);
}

TEST(FrameDecode, SkipsGarbageBeforeSoiAndTakesFramesBackToBack) {
    auto bytes = Bytes(std::string("\x00\xFF\r\nnoise", 9));
    const auto a = Encode(0x40, 0x00, {1, 2});
    const auto b = Encode(0x41, 0x00, {3});
    bytes.insert(bytes.end(), a.begin(), a.end());
    bytes.insert(bytes.end(), b.begin(), b.end());
    Decoder d;
    Outcome out;
    FeedAll(d, bytes, out);
    ASSERT_EQ(out.frames.size(), 2u);
    EXPECT_TRUE(out.errors.empty());
    EXPECT_EQ(out.frames[0].cid1, 0x40);
    EXPECT_EQ(out.frames[1].cid1, 0x41);
    EXPECT_EQ(out.frames[1].info[0], 3);
    EXPECT_EQ(d.SkippedBytes(), 9u);
}

TEST(FrameDecode, EachValidationFailureHasItsKind) {
    const auto good = Encode(0x40, 0x00, {0x12, 0x34});

    auto badHex = good;
    badHex[15] = 'G';
    EXPECT_EQ(Decode(badHex).errors, std::vector<ReplyError>{ReplyError::kBadHex});

    // Lower case is still hex, and CHKSUM covers the characters as sent: the same frame once
    // resealed, a checksum error (not a hex error) before.
    auto lowerHex = good;
    ASSERT_EQ(lowerHex[9], 'C');  // LCHKSUM of LENID 004
    lowerHex[9] = 'c';
    EXPECT_EQ(Decode(lowerHex).errors, std::vector<ReplyError>{ReplyError::kBadChecksum});
    Reseal(lowerHex);
    const auto lower = Decode(lowerHex);
    EXPECT_TRUE(lower.errors.empty());
    ASSERT_EQ(lower.frames.size(), 1u);
    EXPECT_EQ(lower.frames[0].lenid, 4u);
    EXPECT_EQ(lower.frames[0].info[1], 0x34);

    auto badChk = good;
    badChk[good.size() - 2] = badChk[good.size() - 2] == '0' ? '1' : '0';
    EXPECT_EQ(Decode(badChk).errors, std::vector<ReplyError>{ReplyError::kBadChecksum});

    auto badLchk = good;
    badLchk[9] = 'F';  // LENID 004 wants C
    Reseal(badLchk);
    EXPECT_EQ(Decode(badLchk).errors, std::vector<ReplyError>{ReplyError::kBadLengthChecksum});

    auto noEoi = good;
    noEoi.back() = '\n';
    EXPECT_EQ(Decode(noEoi).errors, std::vector<ReplyError>{ReplyError::kMissingEoi});
}

TEST(FrameDecode, LenidAboveTheCapIsRefusedBeforeTheInfo) {
    const auto f = Encode(0x41, 0x00, std::vector<uint8_t>(100));  // LENID 200
    const auto capped = Decode(std::vector<uint8_t>(f.begin(), f.begin() + 13), 198);
    EXPECT_EQ(capped.errors, std::vector<ReplyError>{ReplyError::kLengthTooLong})
        << "refused from the header alone";
    EXPECT_EQ(Decode(f, 200).frames.size(), 1u);
}

TEST(FrameDecode, ShortFrameDoesNotSwallowTheNextOne) {
    // 17 bytes: the CHKSUM is missing, EOI comes where a hex digit belongs.
    auto bytes = Bytes("~200140000000FD\r");
    ASSERT_LT(bytes.size(), frame::kMinFrame);
    const auto good = Encode(0x40, 0x00, {9});
    bytes.insert(bytes.end(), good.begin(), good.end());
    const auto out = Decode(bytes);
    EXPECT_EQ(out.errors, std::vector<ReplyError>{ReplyError::kBadHex});
    ASSERT_EQ(out.frames.size(), 1u);
    EXPECT_EQ(out.frames[0].info[0], 9);

    // Cut off without EOI, then a new SOI: the new frame starts at once.
    auto cut = std::vector<uint8_t>(good.begin(), good.begin() + 10);
    cut.insert(cut.end(), good.begin(), good.end());
    const auto out2 = Decode(cut);
    EXPECT_EQ(out2.errors, std::vector<ReplyError>{ReplyError::kBadHex});
    EXPECT_EQ(out2.frames.size(), 1u);
}

TEST(FrameErrors, EveryKindHasItsOwnName) {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < frame::kReplyErrorCount; ++i) {
        names.push_back(frame::to_string(static_cast<ReplyError>(i)));
        EXPECT_NE(names.back(), "unknown") << i;
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(std::unique(names.begin(), names.end()), names.end());
    EXPECT_EQ(frame::ErrorOfRtn(0x02), ReplyError::kRtnChecksum);
    EXPECT_EQ(frame::ErrorOfRtn(0x04), ReplyError::kRtnBadCid2);
    EXPECT_EQ(frame::ErrorOfRtn(0x80), ReplyError::kRtnVendor);
}

}  // namespace
