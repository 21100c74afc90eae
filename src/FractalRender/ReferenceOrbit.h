#pragma once
// One high-precision reference orbit as the fractal shaders read it: two GPU buffers written point by
// point while the orbit is iterated in fixed point, plus what it was built for.
//
// Buffer 1 (`buffer`), 16 bytes per point: the point's double value split into a float high part and
// a float low part (high + low carry about 48 significant bits).
// Buffer 2 (`scaledBuffer`), 48 bytes per point: Z, W and R in scaled form (float mantissa pair plus
// a shared 32-bit power-of-two exponent), so values far below float range survive:
//   Z = the exact point; W = Z minus the orbit's start for julia (Z itself for every other type): the
//   offset a pixel restarts from when it rebases onto the start of the orbit; R = Re Z² = x² − y² for
//   celtic and buffalo (zero otherwise), whose sign decides the fold where x² and y² nearly cancel;
//   then x and y of Z again, each with an exponent of its own. Under Z's shared exponent a part more
//   than 2^126 below the other is lost, yet the folds take their signs from x y and y: a reference
//   that runs just off the real axis needs its imaginary part at its own size.
//
// Every field but `bla` is fixed once the orbit is published; `bla` belongs to the frame thread.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "FractalCore/BigComplex.h"
#include "FractalCore/Complex.h"
#include "FractalCore/FractalType.h"
#include "Platform/Gpu/Gpu.h"

namespace veltrane {

class BLATable;

struct ReferencePoint {
    float hiX, hiY; // the double value rounded to float
    float loX, loY; // (double − high part) rounded to float
};
static_assert(sizeof(ReferencePoint) == 16);
static_assert(offsetof(ReferencePoint, hiY) == 4);
static_assert(offsetof(ReferencePoint, loX) == 8);
static_assert(offsetof(ReferencePoint, loY) == 12);

struct ScaledReferencePoint {
    float zx, zy;        // Z mantissas
    float wx, wy;        // W mantissas
    std::int32_t ze;     // Z exponent
    std::int32_t we;     // W exponent
    float rm;            // R mantissa
    std::int32_t re;     // R exponent
    float xm, ym;        // the parts of Z, each normalised on its own (0 for a zero part)
    std::int32_t xe, ye; // their exponents (0 for a zero part)
};
static_assert(sizeof(ScaledReferencePoint) == 48);
static_assert(offsetof(ScaledReferencePoint, wx) == 8);
static_assert(offsetof(ScaledReferencePoint, ze) == 16);
static_assert(offsetof(ScaledReferencePoint, we) == 20);
static_assert(offsetof(ScaledReferencePoint, rm) == 24);
static_assert(offsetof(ScaledReferencePoint, re) == 28);
static_assert(offsetof(ScaledReferencePoint, xm) == 32);
static_assert(offsetof(ScaledReferencePoint, ye) == 44);

// Exponents cross to the GPU as signed 32-bit integers, saturated.
std::int32_t clampExponent(std::int64_t e) noexcept;

ReferencePoint makeReferencePoint(double x, double y) noexcept;
// Point (x, y) of an orbit of `type` that starts at `centre`.
ScaledReferencePoint makeScaledReferencePoint(FractalType type, const BigFixed& x, const BigFixed& y,
                                              const BigComplex& centre) noexcept;

// "type|centre key|juliaC.x|juliaC.y|length", the doubles in their shortest exact form.
std::string orbitKey(FractalType type, const BigComplex& centre, Complex juliaC, std::int64_t length);

class ReferenceOrbit {
public:
    std::shared_ptr<GpuBuffer> buffer;       // room for max(iterationsRequested, 2) ReferencePoints
    std::shared_ptr<GpuBuffer> scaledBuffer; // the same number of ScaledReferencePoints
    // Derived for the fractal kernel's float paths, 16 bytes per point n: the high parts of points n
    // and n + 1, so that one fetch serves two iterations (the second half of the last point's pair
    // is never read).
    std::shared_ptr<GpuBuffer> pairBuffer;
    std::int64_t length = 0;
    bool escaped = false;
    FractalType type = FractalType::mandelbrot;
    Complex juliaC;
    BigComplex centre;
    std::int64_t iterationsRequested = 0;
    std::shared_ptr<BLATable> bla; // built on first need by the frame thread

    std::string key() const { return orbitKey(type, centre, juliaC, iterationsRequested); }

    // The written points (empty without buffers).
    std::span<const ReferencePoint> points() const;
    std::span<const ScaledReferencePoint> scaledPoints() const;
};

} // namespace veltrane
