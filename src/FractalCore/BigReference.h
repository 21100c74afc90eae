#pragma once
// Reference orbits in fixed point: the orbit of the exact view centre that deep pixels are perturbed
// against. Each point goes out through `emit` as soon as it is computed.
//
// The quadratic types (mandelbrot, julia, newton, burningship, tricorn) at up to 17 fraction limbs run
// on an unrolled loop over plain limb arrays; it gives the same orbit, limb for limb, as stepping with
// the BigFixed operators (`advance`). A 1e300 Mandelbrot reference costs about a quarter of a
// microsecond per iteration there.
#include "FractalCore/BigComplex.h"
#include "FractalCore/BigFixed.h"
#include "FractalCore/Complex.h"
#include "FractalCore/FractalType.h"

#include <functional>

namespace veltrane::BigReference {

struct Result {
    int length = 0;       // points emitted
    bool escaped = false; // the last point lies beyond |z|² > 65536
    friend constexpr bool operator==(const Result&, const Result&) = default;
};

// (index, exact x, exact y, x as double, y as double)
using BigEmit = std::function<void(int, const BigFixed&, const BigFixed&, double, double)>;
// (index, x as double, y as double)
using Emit = std::function<void(int, double, double)>;
using ShouldContinue = std::function<bool()>;

// Iterates from z = 0, c = centre (julia: z = centre, c = juliaC at the centre's precision) for at most
// maxLength points. `shouldContinue` is polled before points 1023, 2047, …; false stops the orbit there
// (length i, not escaped). A maxLength ≤ 0 emits nothing and returns length 0.
Result computeBig(FractalType type, const BigComplex& centre, Complex juliaC, int maxLength,
                  const ShouldContinue& shouldContinue, const BigEmit& emit);
Result compute(FractalType type, const BigComplex& centre, Complex juliaC, int maxLength,
               const ShouldContinue& shouldContinue, const Emit& emit);

// One fixed-point iteration of the type's formula with truncating products (types without a formula
// of their own take the plain quadratic step). z and c have the same precision.
BigComplex step(const BigComplex& z, FractalType type, const BigComplex& c) noexcept;

// The reference orbit's own iteration for every type, in place: the quadratic family (mandelbrot,
// julia, newton, burningship with magnitudes in the cross product, tricorn with it negated) directly,
// the five other formulas through `step`. Orbits::tail iterates with it too.
void advance(FractalType type, BigFixed& x, BigFixed& y, const BigFixed& cx, const BigFixed& cy) noexcept;

// x² − y² formed as (x − y)(x + y) in scaled form, without leaving it.
BigFixed::Scaled realSquare(const BigFixed& x, const BigFixed& y) noexcept;

} // namespace veltrane::BigReference
