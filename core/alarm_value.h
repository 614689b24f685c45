#pragma once
// An alarm's value as a number, when its text is one. The plug-in prints a float value to nine
// digits ("57.2000008"): such a text is taken as that float, which sinks print as 57.2.
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

inline std::optional<double> AlarmNumber(const std::string& text) {
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    const double x = std::strtod(text.c_str(), &end);
    if (*end != '\0') return std::nullopt;
    const double f = static_cast<float>(x);
    char nine[32];
    std::snprintf(nine, sizeof nine, "%.9g", f);
    return std::strtod(nine, nullptr) == x ? f : x;
}
