#pragma once
// A plain pair of doubles: the Julia constant, a point of the plane, a difference of two centres.
#include <cstddef>
#include <functional>

namespace veltrane {

struct Complex {
    double x = 0;
    double y = 0;

    friend constexpr bool operator==(const Complex&, const Complex&) = default;
};

} // namespace veltrane

template <>
struct std::hash<veltrane::Complex> {
    std::size_t operator()(const veltrane::Complex& c) const noexcept
    {
        std::size_t h = std::hash<double>{}(c.x);
        return h ^ (std::hash<double>{}(c.y) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2));
    }
};
