#include "MIDIIO/HostTime.h"

#include <chrono>
#include <cmath>
#include <limits>

namespace veltrane::HostTime {

namespace {
constexpr double unitsPerSecond = 1e9;
}

std::uint64_t now() noexcept
{
    const auto ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch());
    return static_cast<std::uint64_t>(ns.count());
}

std::int64_t seconds(double s) noexcept
{
    if (std::isnan(s)) return 0;
    const double units = std::trunc(s * unitsPerSecond);
    // 2^63 is exactly representable; anything at or beyond it saturates.
    constexpr double limit = 9223372036854775808.0;
    if (units >= limit) return std::numeric_limits<std::int64_t>::max();
    if (units < -limit) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(units);
}

double toSeconds(std::int64_t t) noexcept { return static_cast<double>(t) / unitsPerSecond; }

std::uint64_t add(std::uint64_t t, std::int64_t d) noexcept
{
    if (d >= 0) {
        const auto u = static_cast<std::uint64_t>(d);
        return t > std::numeric_limits<std::uint64_t>::max() - u ? std::numeric_limits<std::uint64_t>::max() : t + u;
    }
    const std::uint64_t u = static_cast<std::uint64_t>(-(d + 1)) + 1;
    return t < u ? 0 : t - u;
}

std::uint64_t fromNow(double s) noexcept { return add(now(), seconds(s > 0 ? s : 0)); }

} // namespace veltrane::HostTime
