#include "sim/faults.h"

#include <cstdlib>

namespace rtmk48sim {
namespace {

struct Named {
    Fault fault;
    const char* name;
};
constexpr Named kNames[] = {
    {Fault::kSilence, "silence"},
    {Fault::kBadChecksum, "bad_chksum"},
    {Fault::kBadLengthChecksum, "bad_lchksum"},
    {Fault::kRtnError, "rtn_error"},
    {Fault::kShortInfo, "short_info"},
    {Fault::kLongInfo, "long_info"},
    {Fault::kGarbage, "garbage"},
    {Fault::kSplit, "split"},
    {Fault::kLate, "late"},
    {Fault::kNoise, "noise"},
    {Fault::kTrickle, "trickle"},
    {Fault::kDuplicate, "duplicate"},
    {Fault::kSoiNoise, "soi_noise"},
    {Fault::kEcho, "echo"},
};

bool ParseInt(const std::string& s, int& out) {
    if (s.empty()) return false;
    char* end = nullptr;
    const long v = std::strtol(s.c_str(), &end, 10);
    if (*end != '\0') return false;
    out = static_cast<int>(v);
    return true;
}

}  // namespace

const char* to_string(Fault f) {
    for (const Named& n : kNames)
        if (n.fault == f) return n.name;
    return "unknown";
}

bool ParseFault(const std::string& name, Fault& out) {
    for (const Named& n : kNames) {
        if (name == n.name) {
            out = n.fault;
            return true;
        }
    }
    return false;
}

bool ParseTrigger(const std::string& text, FaultTrigger& out) {
    FaultTrigger t;
    const auto at = text.find('@');
    if (!ParseFault(text.substr(0, at), t.fault)) return false;
    if (at != std::string::npos) {
        std::string rest = text.substr(at + 1);
        const auto x = rest.find('x');
        if (x != std::string::npos) {
            const std::string times = rest.substr(x + 1);
            if (times == "*") {
                t.times = -1;
            } else if (!ParseInt(times, t.times) || t.times == 0 || t.times < -1) {
                return false;
            }
            rest = rest.substr(0, x);
        }
        if (!ParseInt(rest, t.step) || t.step < 0 || t.step > 19) return false;
    }
    out = t;
    return true;
}

}  // namespace rtmk48sim
