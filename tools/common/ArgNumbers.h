#pragma once
// Numbers read from the command line of the tools: the whole argument or nothing, so that "12x",
// "", "nan", "inf" and values past a double's range are refused instead of turning into 0, a
// truncated value or an infinity that a tool then uses as if it had been asked for.
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <string>

namespace veltrane::tools {

// A finite number in [low, high].
inline std::optional<double> argNumber(const std::string& text, double low = -HUGE_VAL, double high = HUGE_VAL)
{
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text.c_str(), &end);
    if (*end != '\0' || errno == ERANGE || !std::isfinite(value) || value < low || value > high) return std::nullopt;
    return value;
}

// A whole number in [low, high] (written as an integer: "12", not "12.0" or "1e3").
inline std::optional<long long> argInteger(const std::string& text, long long low, long long high)
{
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (*end != '\0' || errno == ERANGE || value < low || value > high) return std::nullopt;
    return value;
}

} // namespace veltrane::tools
