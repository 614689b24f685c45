#include "sim/unit_model.h"

#include <cctype>
#include <cstdlib>

namespace rtmk48sim {
namespace {

// The unit's polling commands and the INFO size of each reply, in the host's order.
constexpr UnitModel::Step kPollTable[] = {
    // CID1  CID2  INFO     size
    {0x40, 0x4D, 0, 0x00, 7},   {0x40, 0x51, 0, 0x00, 66},  {0x40, 0xE1, 0, 0x00, 62},
    {0x40, 0x42, 1, 0xFF, 24},  {0x40, 0x43, 1, 0xFF, 11},  {0x40, 0x47, 0, 0x00, 21},
    {0x40, 0x81, 0, 0x00, 11},  {0x41, 0x42, 0, 0x00, 532}, {0x41, 0x43, 0, 0x00, 529},
    {0x42, 0x42, 0, 0x00, 109}, {0x91, 0x42, 0, 0x00, 8},   {0x91, 0x47, 0, 0x00, 11},
    {0xD0, 0x42, 0, 0x00, 12},  {0xD0, 0x47, 0, 0x00, 6},   {0x4A, 0x42, 1, 0x01, 60},
    {0xD2, 0x42, 1, 0x01, 39},  {0xD4, 0x42, 0, 0x00, 11},  {0xD4, 0x43, 0, 0x00, 10},
    {0xD4, 0x47, 0, 0x00, 10},
};
static_assert(sizeof(kPollTable) / sizeof(kPollTable[0]) == UnitModel::kSteps);

constexpr int kBreakerStep = 5;  // (0x40, 0x43, 0xFF)
constexpr int kParamStep = 19;   // (0xD4, 0x47)

// A healthy 48 V site: the analog values the host's signal map decodes (16 bits, high byte
// first, in tenths or hundredths), so that an unconfigured simulated unit raises no alarm.
struct Nominal {
    int step;
    std::size_t offset;
    uint16_t raw;
};
constexpr Nominal kNominal[] = {
    {4, 0, 2300},   // AC output 230.0 V
    {4, 2, 52},     // AC output 5.2 A
    {4, 4, 5000},   // AC output 50.00 Hz
    {10, 0, 5350},  // DC output 53.50 V (float charge)
    {10, 2, 215},   // load 21.5 A
    {10, 4, 12},    // battery charging 1.2 A
    {10, 6, 250},   // battery 25.0 °C
    {11, 0, 240},   // ambient 24.0 °C
};

bool ParseHex(const std::string& text, std::vector<uint8_t>& out) {
    std::string digits;
    for (char c : text)
        if (!std::isspace(static_cast<unsigned char>(c))) digits += c;
    if (digits.size() % 2 != 0) return false;
    out.clear();
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        if (!std::isxdigit(static_cast<unsigned char>(digits[i])) ||
            !std::isxdigit(static_cast<unsigned char>(digits[i + 1])))
            return false;
        out.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    }
    return true;
}

bool ByteOf(const Json::Value& v, uint8_t& out) {
    if (!v.isIntegral() || v.asLargestInt() < 0 || v.asLargestInt() > 0xFF) return false;
    out = static_cast<uint8_t>(v.asLargestInt());
    return true;
}

// "40 43 FF" or "40 43" to a step number, 0 when it names none.
int StepOfKey(const std::string& key) {
    std::vector<uint8_t> b;
    if (!ParseHex(key, b) || b.size() < 2 || b.size() > 3) return 0;
    for (int s = 1; s <= UnitModel::kSteps; ++s) {
        const auto& st = kPollTable[s - 1];
        if (st.cid1 == b[0] && st.cid2 == b[1] &&
            (b.size() == 2 || (st.infoCount == 1 && st.info == b[2])))
            return s;
    }
    return 0;
}

}  // namespace

const UnitModel::Step& UnitModel::StepAt(int step) {
    return kPollTable[step - 1];
}

int UnitModel::StepOf(uint8_t cid1, uint8_t cid2) {
    for (int s = 1; s <= kSteps; ++s)
        if (kPollTable[s - 1].cid1 == cid1 && kPollTable[s - 1].cid2 == cid2) return s;
    return 0;
}

UnitModel::UnitModel() {
    // A pattern that differs from block to block, so a byte in the wrong place shows, with
    // nominal values where the signals are and the breaker closed.
    for (int s = 1; s <= kSteps; ++s) {
        auto& b = blocks_[s - 1];
        b.resize(StepAt(s).size);
        for (std::size_t j = 0; j < b.size(); ++j) b[j] = static_cast<uint8_t>(s * 37 + j * 11 + 1);
    }
    for (const Nominal& n : kNominal) {
        blocks_[n.step - 1][n.offset] = static_cast<uint8_t>(n.raw >> 8);
        blocks_[n.step - 1][n.offset + 1] = static_cast<uint8_t>(n.raw & 0xFF);
    }
    SetBreaker(0);
}

void UnitModel::SetBreaker(uint8_t state) {
    auto& b = blocks_[kBreakerStep - 1];
    if (b.size() <= kBreakerByte) b.resize(kBreakerByte + 1);
    b[kBreakerByte] = state;
}

uint16_t UnitModel::Param(uint8_t which) const {
    const auto& b = blocks_[kParamStep - 1];
    const std::size_t at = which == 0x80 ? kParamOffset80 : kParamOffset81;
    if (b.size() < at + 2) return 0;
    return static_cast<uint16_t>(b[at] << 8 | b[at + 1]);
}

std::vector<uint8_t> UnitModel::RecordBlocks() const {
    std::vector<uint8_t> out;
    for (int s = 1; s <= kSteps; ++s) {
        std::vector<uint8_t> b = blocks_[s - 1];
        b.resize(StepAt(s).size);
        out.insert(out.end(), b.begin(), b.end());
    }
    return out;
}

bool UnitModel::ApplyBlocks(const Json::Value& blocks, std::string* error) {
    if (blocks.isNull()) return true;
    if (!blocks.isObject()) {
        if (error) *error = "\"blocks\" is not an object";
        return false;
    }
    for (const std::string& key : blocks.getMemberNames()) {
        const int step = StepOfKey(key);
        std::vector<uint8_t> bytes;
        if (step == 0 || !blocks[key].isString() || !ParseHex(blocks[key].asString(), bytes)) {
            if (error) *error = "bad block \"" + key + "\"";
            return false;
        }
        blocks_[step - 1] = std::move(bytes);
    }
    return true;
}

bool UnitModel::LoadScenario(const Json::Value& scenario, std::string* error) {
    if (!scenario.isObject()) {
        if (error) *error = "scenario is not a JSON object";
        return false;
    }
    uint8_t newAdr = adr;
    uint8_t breaker = 0;
    if (scenario.isMember("adr") && !ByteOf(scenario["adr"], newAdr)) {
        if (error) *error = "\"adr\" is not a byte";
        return false;
    }
    if (scenario.isMember("breaker") && !ByteOf(scenario["breaker"], breaker)) {
        if (error) *error = "\"breaker\" is not a byte";
        return false;
    }
    if (!ApplyBlocks(scenario["blocks"], error)) return false;
    adr = newAdr;
    if (scenario.isMember("breaker")) SetBreaker(breaker);
    roundPatches_.clear();
    const Json::Value& rounds = scenario["rounds"];
    if (!rounds.isNull() && !rounds.isArray()) {
        if (error) *error = "\"rounds\" is not an array";
        return false;
    }
    for (const Json::Value& r : rounds) {
        uint8_t b = 0;
        if (!r.isObject() || (r.isMember("breaker") && !ByteOf(r["breaker"], b))) {
            if (error) *error = "a round is not an object with a byte \"breaker\"";
            return false;
        }
        roundPatches_.push_back(r);
    }
    return true;
}

void UnitModel::BeginRound() {
    ++rounds_;
    if (static_cast<std::size_t>(rounds_) > roundPatches_.size()) return;
    const Json::Value& patch = roundPatches_[static_cast<std::size_t>(rounds_ - 1)];
    ApplyBlocks(patch["blocks"], nullptr);
    uint8_t breaker = 0;
    if (ByteOf(patch["breaker"], breaker)) SetBreaker(breaker);
}

int UnitModel::Answer(const frame::Frame& cmd, std::vector<uint8_t>& info, int& step) {
    info.clear();
    step = 0;
    if (cmd.adr != adr) return -1;
    if (cmd.ver != ver) return frame::kRtnVersion;
    const uint8_t* in = cmd.info.data();
    const std::size_t n = cmd.InfoBytes();
    if (cmd.cid1 == 0xD4 && cmd.cid2 == 0x45) {
        // Remote control: 0x10 or 0x11, then 0x01.
        if (n != 2 || (in[0] != 0x10 && in[0] != 0x11) || in[1] != 0x01) return frame::kRtnData;
        remote_.push_back(in[0]);
        return frame::kRtnOk;
    }
    if (cmd.cid1 == 0xD4 && cmd.cid2 == 0x49) {
        // Set parameter: 0x01, parameter 0x80 or 0x81, value high, value low.
        if (n != 4 || in[0] != 0x01 || (in[1] != 0x80 && in[1] != 0x81)) return frame::kRtnData;
        auto& b = blocks_[kParamStep - 1];
        const std::size_t at = in[1] == 0x80 ? kParamOffset80 : kParamOffset81;
        if (b.size() < at + 2) b.resize(at + 2);
        b[at] = in[2];
        b[at + 1] = in[3];
        return frame::kRtnOk;
    }
    const int s = StepOf(cmd.cid1, cmd.cid2);
    if (s == 0) return frame::kRtnBadCid2;
    const Step& st = StepAt(s);
    if (st.infoCount == 1 && (n != 1 || in[0] != st.info)) return frame::kRtnData;
    if (s == 1) BeginRound();
    step = s;
    info = blocks_[s - 1];
    return frame::kRtnOk;
}

}  // namespace rtmk48sim
