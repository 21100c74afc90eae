#pragma once
// Orbits of one point in doubles for the sound side and the scopes, and the orbit tail of an exact
// centre (in fixed point when doubles cannot hold the centre).
#include "FractalCore/BigComplex.h"
#include "FractalCore/Complex.h"
#include "FractalCore/FractalType.h"

#include <functional>
#include <vector>

namespace veltrane::Orbits {

// Escape radius² of reference orbits. Centre orbits and tails escape at |z|² > 64.
inline constexpr double bailoutSq = 65536;

struct Centre {
    std::vector<double> points; // x0, y0, x1, y1, … (2·length values)
    int length = 0;
    bool escaped = false;
    friend bool operator==(const Centre&, const Centre&) = default;
};

struct Reference {
    std::vector<double> points; // 2·maxLength values whatever the length; the rest 0
    int length = 0;
    bool escaped = false;
    friend bool operator==(const Reference&, const Reference&) = default;
};

// At most `count` points from the start value, stopping after the first point with |z|² > 64; newton
// follows Newton's method on z³ − 1 from (cx, cy). count ≤ 0 gives an empty orbit.
Centre centre(FractalType type, double cx, double cy, Complex juliaC, int count);

// At most maxLength points, the escaping point (|z|² > bailoutSq) included. maxLength ≤ 0 gives an
// empty orbit of length 0.
Reference reference(FractalType type, double cx, double cy, Complex juliaC, int maxLength);

// The last `count` points of the exact centre's orbit within max(count, maxIterations) iterations,
// oldest first. Iterates in fixed point when the centre has two or more fraction limbs, polling
// `cancelled` before iterations 1023, 2047, …; true ends the call with what it has (not escaped).
// count ≤ 0 gives an empty orbit.
Centre tail(FractalType type, const BigComplex& centre, Complex juliaC, int maxIterations, int count,
            const std::function<bool()>& cancelled);

} // namespace veltrane::Orbits
