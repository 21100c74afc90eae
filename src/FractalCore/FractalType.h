#pragma once
// The ten escape-time formulas. The case order is the order menus list them in; the texts are
// written into presets, takes and HUD snapshots and must never change.
#include "FractalCore/Complex.h"
#include "FractalCore/FractalTarget.h"
#include "Support/EnumText.h"

#include <string_view>

namespace veltrane {

enum class FractalType {
    mandelbrot,
    julia,
    burningship,
    tricorn,
    newton,
    celtic,
    buffalo,
    perpendicular,
    multibrot3,
    multibrot4,
};

template <>
struct EnumTexts<FractalType> {
    static constexpr std::array table{
        std::pair{FractalType::mandelbrot, std::string_view{"mandelbrot"}},
        std::pair{FractalType::julia, std::string_view{"julia"}},
        std::pair{FractalType::burningship, std::string_view{"burningship"}},
        std::pair{FractalType::tricorn, std::string_view{"tricorn"}},
        std::pair{FractalType::newton, std::string_view{"newton"}},
        std::pair{FractalType::celtic, std::string_view{"celtic"}},
        std::pair{FractalType::buffalo, std::string_view{"buffalo"}},
        std::pair{FractalType::perpendicular, std::string_view{"perpendicular"}},
        std::pair{FractalType::multibrot3, std::string_view{"multibrot3"}},
        std::pair{FractalType::multibrot4, std::string_view{"multibrot4"}},
    };
};

// "Mandelbrot", "Burning Ship", "Perpendicular Ship", "Multibrot 3", …
std::string_view label(FractalType type) noexcept;
// The power of z in the formula (2, 3 or 4).
int degree(FractalType type) noexcept;
// True for the four formulas that take absolute values (burningship, celtic, buffalo, perpendicular).
bool foldsWithAbs(FractalType type) noexcept;
// False only for newton, which has no reference orbit to perturb against.
bool supportsPerturbation(FractalType type) noexcept;
// The view a formula opens at (rotation 0).
FractalTarget home(FractalType type) noexcept;

// One iteration of the formula from z = (x, y) with constant c = (cx, cy), in doubles. For newton this
// is the plain quadratic step; Newton's method itself lives in Orbits and Entropy.
Complex step(FractalType type, double x, double y, double cx, double cy) noexcept;

} // namespace veltrane
