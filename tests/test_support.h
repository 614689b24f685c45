#pragma once
// Small helpers shared by the test programs.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>

#include "runtime/frame.h"

// One whole frame as it travels on the line; for a reply, `cid2` is the RTN.
inline std::vector<uint8_t> EncodeFrame(uint8_t cid1, uint8_t cid2,
                                        const std::vector<uint8_t>& info, uint8_t adr = 0x01,
                                        uint8_t ver = 0x20) {
    std::vector<uint8_t> out(frame::kMaxFrame);
    out.resize(
        frame::Encode(ver, adr, cid1, cid2, info.data(), info.size(), out.data(), out.size()));
    return out;
}

// JSON text as a value; text that does not parse fails the calling test.
inline Json::Value ParseJson(const std::string& text) {
    Json::Value v;
    std::string errors;
    std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &v, &errors))
        << errors << ": " << text;
    return v;
}
