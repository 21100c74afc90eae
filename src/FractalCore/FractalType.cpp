#include "FractalCore/FractalType.h"

#include <cmath>

namespace veltrane {

namespace {

struct TypeInfo {
    std::string_view label;
    int degree;
    bool foldsWithAbs;
    bool supportsPerturbation;
    FractalTarget home;
};

constexpr std::array<TypeInfo, 10> kTypes{{
    {"Mandelbrot", 2, false, true, {-0.5, 0, 1, 0}},
    {"Julia", 2, false, true, {-0.5, 0, 1, 0}},
    {"Burning Ship", 2, true, true, {-0.5, 0, 1, 0}},
    {"Tricorn", 2, false, true, {-0.5, 0, 1, 0}},
    {"Newton", 2, false, false, {-0.5, 0, 1, 0}},
    {"Celtic", 2, true, true, {-0.6, 0, 0.7, 0}},
    {"Buffalo", 2, true, true, {-0.45, -0.45, 0.75, 0}},
    {"Perpendicular Ship", 2, true, true, {-0.5, 0.15, 0.8, 0}},
    {"Multibrot 3", 3, false, true, {0, 0, 0.75, 0}},
    {"Multibrot 4", 4, false, true, {-0.15, 0, 0.9, 0}},
}};

const TypeInfo& info(FractalType type) noexcept { return kTypes[static_cast<std::size_t>(caseIndex(type))]; }

} // namespace

std::string_view label(FractalType type) noexcept { return info(type).label; }
int degree(FractalType type) noexcept { return info(type).degree; }
bool foldsWithAbs(FractalType type) noexcept { return info(type).foldsWithAbs; }
bool supportsPerturbation(FractalType type) noexcept { return info(type).supportsPerturbation; }
FractalTarget home(FractalType type) noexcept { return info(type).home; }

Complex step(FractalType type, double x, double y, double cx, double cy) noexcept
{
    const double X = x * x - y * y;
    const double Y = 2 * x * y;
    switch (type) {
    case FractalType::mandelbrot:
    case FractalType::julia:
    case FractalType::newton: return {X + cx, Y + cy};
    case FractalType::burningship: return {X + cx, 2 * std::abs(x) * std::abs(y) + cy};
    case FractalType::tricorn: return {X + cx, -2 * x * y + cy};
    case FractalType::celtic: return {std::abs(X) + cx, Y + cy};
    case FractalType::buffalo: return {std::abs(X) + cx, 2 * std::abs(x) * std::abs(y) + cy};
    case FractalType::perpendicular: return {X + cx, -2 * x * std::abs(y) + cy};
    case FractalType::multibrot3: return {x * (x * x - 3 * y * y) + cx, y * (3 * x * x - y * y) + cy};
    case FractalType::multibrot4: return {X * X - Y * Y + cx, 2 * X * Y + cy};
    }
    return {X + cx, Y + cy};
}

} // namespace veltrane
