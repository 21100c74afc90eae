#pragma once
// Bilinear approximation of runs of perturbed iterations against one reference orbit (mandelbrot and
// julia only): for a run of 2^L reference iterations the delta after the run is A·δ + B·δc, valid
// while |δ| stays below the run's radius R. Level 0 holds single iterations 1 … n (n = length − 2),
// each further level merges pairs of the level below, so level L entry j covers the 2^L iterations
// from 1 + j·2^L. The merged radius accounts for pixel offsets up to 2^dcLog2, so a table serves every
// view whose offsets stay within that bound.
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "FractalCore/FractalType.h"
#include "FractalCore/ScaledComplex.h"
#include "FractalRender/ReferenceOrbit.h"
#include "Platform/Gpu/Gpu.h"

namespace veltrane {

struct BLAEntry {
    float am[2]; // A mantissa
    float bm[2]; // B mantissa
    std::int32_t ae;
    std::int32_t be;
    float rm; // radius mantissa in [0.5, 1), or 0: never valid
    std::int32_t re;
    float stripe; // sum of the reference's stripe terms over the run
    float trap;   // least |Z|² over the run, at most 1e30
};
static_assert(sizeof(BLAEntry) == 40);
static_assert(offsetof(BLAEntry, bm) == 8);
static_assert(offsetof(BLAEntry, ae) == 16);
static_assert(offsetof(BLAEntry, be) == 20);
static_assert(offsetof(BLAEntry, rm) == 24);
static_assert(offsetof(BLAEntry, re) == 28);
static_assert(offsetof(BLAEntry, stripe) == 32);
static_assert(offsetof(BLAEntry, trap) == 36);

class BLATable {
public:
    static constexpr int maxLevels = 24;

    // Build-time record, in doubles.
    struct Step {
        ScaledComplex a;
        ScaledComplex b;
        double r = 0; // log2 of the validity radius; −∞: never valid
        double stripe = 0;
        double trap = 0;
    };

    // The entries and levels ((first index, count) per level) for an orbit's scaled points; nothing
    // for fewer than 3 points or a type other than mandelbrot and julia.
    struct Contents {
        std::vector<BLAEntry> entries;
        std::vector<std::array<std::int32_t, 2>> levels;
    };
    static std::optional<Contents> compute(FractalType type, std::span<const ScaledReferencePoint> points, int dcLog2);
    // The (first index, count) of each level for n level-0 entries; fill writes the entries of those
    // levels to `out` (room for the last level's first index plus its count).
    static std::vector<std::array<std::int32_t, 2>> layout(std::int64_t n);
    static void fill(FractalType type, std::span<const ScaledReferencePoint> points, int dcLog2,
                     const std::vector<std::array<std::int32_t, 2>>& levels, BLAEntry* out);
    static Step step(FractalType type, const ScaledReferencePoint& point);
    static Step merge(FractalType type, const Step& earlier, const Step& later, int dcLog2);
    static BLAEntry entry(const Step& step);
    // Where level L starts in a table whose level 0 has n entries: the sum of n >> k for k < L. The
    // fractal kernel computes it the same way instead of reading the level list.
    static std::int64_t levelStart(std::int64_t n, int level);

    // What the kernel reads to choose a run: for every point m of the orbit (0 … n + 1; runs start at
    // 1 … n), the longest runs from m (levels top − 14 … top, top the highest level whose runs may
    // start at m) as quarter-bit floors of log2 of their radii. The low half of words[0] holds, as an int16, floor(4 log2 R) of the shortest run in
    // that range (−32768: never valid, or too small to tell); the other 14 bytes, from the low byte of
    // the high half of words[0] on, how far below it each longer run's floor lies, as a dropCode (255:
    // never valid, no entry, or too far below). Radii shrink as runs get longer, so the valid runs for
    // a delta are the shortest ones up to some level, and rounding down only ever refuses a run.
    struct RunStart {
        std::uint32_t words[4];
    };
    static constexpr int runStartLevels = 15;
    // A drop of d quarter bits as a byte: d itself below 192, then steps of 16 bits rounded up (so a
    // run is never taken for a larger radius than its own), up to 1,040 bits; 255 beyond that.
    static std::int64_t dropCode(std::int64_t drop);
    // The highest level whose runs may start at m: every level for m = 1, else as many as m − 1 has
    // trailing zero bits.
    static int topLevel(std::int64_t m, int levelCount);
    // A delta of 2^t as the kernel sizes it for a record: 4t rounded up, with 0.01 of room for its own
    // rounding of |δ|² (it works this out from the bits of |δ|²).
    static int deltaQuarterBits(double t) { return static_cast<int>(std::ceil(4 * t + 0.01)); }
    // The kernel's reading of a record: the longest level from m that it admits for a delta of
    // 2^(t4 / 4) (t4 being 4 log2 |δ| rounded up), or −1. Iteration limits are left to the caller.
    static int admittedLevel(const RunStart& record, std::int64_t m, int levelCount, int t4);
    // Writes the n + 2 records for the entries of `levels` (level 0 holding n entries).
    static void runStarts(const std::vector<std::array<std::int32_t, 2>>& levels, const BLAEntry* entries,
                          RunStart* out);
    // Uploads the table of `reference`; nothing when there is none or a buffer cannot be made.
    static std::shared_ptr<BLATable> build(const std::shared_ptr<GpuDevice>& device, const ReferenceOrbit& reference,
                                           int dcLog2);

    // The bound D on log2 of the largest pixel offset from the reference, in steps of 4: for a target of
    // width × height pixels at `zoom`, with the reference's start `offset` away from the view centre.
    static int dcLog2For(FractalType type, double zoom, const ScaledComplex& offset, int width, int height);

    // The renderer's choice: the reference's table when its bound lies within [D, D + 8], else a new
    // one stored in `reference.bla` (a failed build stores nothing and gives nothing).
    static std::shared_ptr<BLATable> forView(const std::shared_ptr<GpuDevice>& device, ReferenceOrbit& reference,
                                             FractalType type, double zoom, const ScaledComplex& offset, int width,
                                             int height);

    std::shared_ptr<GpuBuffer> buffer;      // entries, level after level
    std::shared_ptr<GpuBuffer> levelBuffer; // (first index, count) per level as two int32
    std::shared_ptr<GpuBuffer> startBuffer; // a RunStart per start m
    std::vector<std::array<std::int32_t, 2>> levels;
    int dcLog2 = 0;
};

} // namespace veltrane
