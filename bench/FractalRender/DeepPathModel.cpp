// A CPU model of the rescaled path's control flow, in doubles, for one of the deep benchmark views:
// how many plain float iterations, table runs and single scaled iterations each pixel takes, and what
// the fractal kernel's groups of eight invocations (4 x 2 pixel blocks) cost when every member waits
// for the slowest one in each loop. A CPU device runs a group's loop body for as many trips as its
// busiest member needs (and skips a branch only when no member takes it), so these counts, not
// per-pixel averages, set the time of a deep still there.
//
//   build/bench/FractalRender/bench_DeepPathModel [seahorse2e30 | verydeep1e100 | verydeep1e250] [row step]
//
// It mirrors the kernel's decisions (rebase onto the orbit's start, table runs of 2^L iterations from
// m - 1 a multiple of 2^L, runs shorter than 2^kFloatRun left to the float phase while the delta lies
// in float range, the float phase's tries for a run every 2^kFloatRun iterations, its second
// iteration of a trip taken only from an odd m) but not its float rounding: counts can differ
// slightly from the kernel's. Runs are chosen as the kernel does, from the table's run-start records.
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "DeepLocations.h"
#include "FractalCore/BigReference.h"
#include "FractalRender/BLATable.h"
#include "FractalRender/ReferenceOrbit.h"

using namespace veltrane;
using C = std::complex<double>;

namespace {

constexpr int kFloatRun = 4;                            // shortest table run taken while the delta is in float range
const double kFloatRange = std::ldexp(1.0, -61);        // deltas above it are "in float range"
const double kPlainFloor = std::ldexp(1.0, -62);        // least value the float phase rebases onto
const double kPlainFloorFlushed = std::ldexp(1.0, -50); // the same with part of the offset flushed
const double kProductFloor = std::ldexp(1.0, -100);     // least |Z| |delta| the float phase goes on with
const double kRunFloor = std::ldexp(1.0, -110);         // least delta a run in the float phase may leave

struct Orbit {
    std::vector<C> z;
    int last = 0;
    int levels = 0;
    std::vector<std::vector<C>> a, b;
    std::vector<BLATable::RunStart> starts;
};

struct Lane {
    C w, dc;
    int m = 0, n = 0;
    bool done = false, plain = false, parked = false;
    long plainIterations = 0, scaledSteps = 0, runs = 0, rebases = 0;
};

// The longest run from m that the run-start record of m admits for the delta, as a level no lower
// than `lowest`, or -1: the kernel's rule, with the delta's 4 log2 rounded up.
int levelFor(const Orbit& o, const Lane& s, int lowest, int maxN)
{
    if (s.m < 1 || std::abs(s.w) == 0) return -1;
    const int t4 = BLATable::deltaQuarterBits(std::log2(std::abs(s.w)));
    int level = BLATable::admittedLevel(o.starts[std::size_t(s.m)], s.m, o.levels, t4);
    while (level >= 0 && s.n + (1 << level) > maxN) --level;
    const int low = std::max(0, BLATable::topLevel(s.m, o.levels) - (BLATable::runStartLevels - 1));
    return level >= std::max(lowest, low) ? level : -1;
}

void scaledStep(const Orbit& o, Lane& s, int maxN)
{
    const C z = o.z[s.m] + s.w;
    if (std::norm(z) > 65536 || s.n >= maxN) {
        s.done = true;
        return;
    }
    if (s.m >= o.last || std::norm(z) < std::norm(s.w)) {
        s.w = z;
        s.m = 0;
        s.rebases++;
    }
    const bool inFloat = std::abs(s.w) >= kFloatRange;
    const int level = levelFor(o, s, inFloat ? kFloatRun : 0, maxN);
    if (level >= 0) {
        const int j = (s.m - 1) >> level;
        s.w = o.a[level][j] * s.w + o.b[level][j] * s.dc;
        s.m += 1 << level;
        s.n += 1 << level;
    } else {
        s.w = (2.0 * o.z[s.m] + s.w) * s.w + s.dc;
        s.m++;
        s.n++;
    }
    s.scaledSteps++;
    s.plain = level < kFloatRun && std::abs(s.w) >= kFloatRange;
}

// One plain iteration of the float phase; false when the lane leaves the phase (done or parked).
bool floatIteration(const Orbit& o, Lane& s, int maxN)
{
    C Z = o.z[s.m];
    const C z = Z + s.w;
    if (std::norm(z) > 65536 || s.n >= maxN) {
        s.done = true;
        return false;
    }
    const auto maxAbs = [](C v) { return std::max(std::abs(v.real()), std::abs(v.imag())); };
    const bool rebase = s.m >= o.last || std::norm(z) < std::norm(s.w);
    if (std::norm(Z) * std::norm(s.w) < kProductFloor * kProductFloor) {
        s.parked = true;
        return false;
    }
    // A rebase onto a value below the plain floor is left to the scaled step; the floor is higher
    // where a part of the pixel offset lies below float range.
    const auto flushed = [](double v) { return v != 0 && std::abs(v) < std::ldexp(1.0, -126); };
    const double floor = flushed(s.dc.real()) || flushed(s.dc.imag()) ? kPlainFloorFlushed : kPlainFloor;
    if (rebase && maxAbs(z) < floor) return false;
    if (rebase) {
        s.w = z;
        s.m = 0;
        s.rebases++;
        Z = o.z[0];
    }
    s.w = (2.0 * Z + s.w) * s.w + s.dc;
    s.m++;
    s.n++;
    s.plainIterations++;
    return true;
}

// The float phase's runs from the lane's m: tried where m - 1 is a multiple of 2^kFloatRun and the
// delta lies below 2^-28 |Z|; taken while one of at least 2^kFloatRun iterations is valid and leaves
// the delta above kRunFloor. Returns the runs taken, or -1 when the lane does not try.
int floatRuns(const Orbit& o, Lane& s, int maxN)
{
    if (s.m < 1 || ((s.m - 1) & ((1 << kFloatRun) - 1)) != 0) return -1;
    if (!(std::norm(s.w) < std::norm(o.z[std::size_t(s.m)]) * std::ldexp(1.0, -56))) return -1;
    int runs = 0;
    for (int level; (level = levelFor(o, s, kFloatRun, maxN)) >= 0; ++runs) {
        const int j = (s.m - 1) >> level;
        const C next = o.a[level][j] * s.w + o.b[level][j] * s.dc;
        if (std::max(std::abs(next.real()), std::abs(next.imag())) < kRunFloor) break;
        s.w = next;
        s.m += 1 << level;
        s.n += 1 << level;
        s.runs++;
    }
    return runs;
}

double msSince(std::chrono::steady_clock::time_point t)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t).count();
}

} // namespace

int main(int argc, char** argv)
{
    const std::string which = argc > 1 ? argv[1] : "seahorse2e30";
    const int rowStep = argc > 2 ? std::max(2, std::atoi(argv[2]) & ~1) : 8;
    const bool seahorse = which == "seahorse2e30";
    if (!seahorse && which != "verydeep1e100" && which != "verydeep1e250") {
        std::fprintf(stderr, "usage: %s [seahorse2e30 | verydeep1e100 | verydeep1e250] [row step]\n", argv[0]);
        return 2;
    }
    const double zoom = seahorse ? 2e30 : (which == "verydeep1e100" ? 1e100 : 1e250);
    const int maxN = which == "verydeep1e100" ? 50000 : 100000;
    const int width = 1280, height = 720;
    const BigComplex centre = bench::centreAt(seahorse ? bench::kSeahorse : bench::kVeryDeep612, zoom);

    Orbit o;
    std::vector<ScaledReferencePoint> points;
    auto start = std::chrono::steady_clock::now();
    const auto result = BigReference::computeBig(
        FractalType::mandelbrot, centre, Complex{}, maxN + 2, [] { return true; },
        [&](int, const BigFixed& x, const BigFixed& y, double, double) {
            points.push_back(makeScaledReferencePoint(FractalType::mandelbrot, x, y, centre));
            const ScaledComplex z(x, y);
            o.z.push_back(C(std::ldexp(z.x, int(z.e)), std::ldexp(z.y, int(z.e))));
        });
    const double referenceMs = msSince(start);
    o.last = std::max(result.length, 1) - 1;
    const int dcLog2 = BLATable::dcLog2For(FractalType::mandelbrot, zoom, ScaledComplex::zero(), width, height);
    start = std::chrono::steady_clock::now();
    const auto table = BLATable::compute(FractalType::mandelbrot, points, dcLog2);
    const double tableMs = msSince(start);
    o.levels = int(table->levels.size());
    o.starts.resize(std::size_t(table->levels[0][1]) + 2);
    BLATable::runStarts(table->levels, table->entries.data(), o.starts.data());
    o.a.resize(o.levels);
    o.b.resize(o.levels);
    for (int level = 0; level < o.levels; ++level)
        for (int j = 0; j < table->levels[level][1]; ++j) {
            const BLAEntry& e = table->entries[std::size_t(table->levels[level][0] + j)];
            o.a[level].push_back(C(std::ldexp(double(e.am[0]), e.ae), std::ldexp(double(e.am[1]), e.ae)));
            o.b[level].push_back(C(std::ldexp(double(e.bm[0]), e.be), std::ldexp(double(e.bm[1]), e.be)));
        }

    // Pixel rows in pairs (the 4 x 2 blocks), every rowStep-th pair of rows.
    const double pixelScale = 2.5 / (zoom * std::min(width, height));
    std::vector<int> rows;
    for (int y = 0; y + 1 < height; y += rowStep) rows.push_back(y);
    std::atomic<int> next{0};
    std::atomic<long> groups{0}, groupPlain{0}, groupScaled{0}, outerTrips{0};
    std::atomic<long> plain{0}, scaled{0}, rebases{0}, iterations{0};
    std::atomic<long> used{0}, runBlocks{0}, runSearches{0}, floatRunsTaken{0};
    auto work = [&] {
        for (int r; (r = next++) < int(rows.size());) {
            for (int x0 = 0; x0 < width; x0 += 4) {
                std::array<Lane, 8> lanes;
                for (int i = 0; i < 8; ++i) {
                    const double px = x0 + (i & 3) + 0.5 - 0.5 * width, py = rows[r] + (i >> 2) + 0.5 - 0.5 * height;
                    lanes[i].dc = C(px * pixelScale, -py * pixelScale);
                }
                long gp = 0, gs = 0, trips = 0;
                while (std::any_of(lanes.begin(), lanes.end(), [](const Lane& s) { return !s.done; })) {
                    trips++;
                    long most = 0;
                    for (Lane& s : lanes) {
                        long steps = 0;
                        for (s.plain = false; !s.done && !s.plain; ++steps) scaledStep(o, s, maxN);
                        most = std::max(most, steps);
                    }
                    gs += most;
                    // The float phase, trip by trip: runs where a member tries them (the group runs the block
                    // when any does, for as many searches as its longest sequence needs), then one iteration,
                    // and a second one for the members whose m is now even.
                    std::array<bool, 8> active{};
                    for (int i = 0; i < 8; ++i) {
                        lanes[i].parked = false;
                        active[i] = !lanes[i].done;
                    }
                    for (;;) {
                        int live = 0;
                        for (bool a : active) live += a;
                        if (live == 0) break;
                        int longest = -1;
                        for (int i = 0; i < 8; ++i)
                            if (active[i]) longest = std::max(longest, floatRuns(o, lanes[i], maxN));
                        if (longest >= 0) {
                            runBlocks++;
                            runSearches += longest + 1;
                        }
                        for (int second = 0; second < 2; ++second)
                            for (int i = 0; i < 8; ++i) {
                                if (!active[i] || (second && (lanes[i].m & 1) != 0)) continue;
                                if (floatIteration(o, lanes[i], maxN))
                                    used++;
                                else
                                    active[i] = false;
                            }
                        gp++;
                    }
                }
                groups++;
                groupPlain += gp;
                groupScaled += gs;
                outerTrips += trips;
                for (const Lane& s : lanes) {
                    plain += s.plainIterations;
                    scaled += s.scaledSteps;
                    floatRunsTaken += s.runs;
                    rebases += s.rebases;
                    iterations += s.n;
                }
            }
        }
    };
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < std::max(1u, std::thread::hardware_concurrency()); ++t) threads.emplace_back(work);
    for (auto& t : threads) t.join();

    const double g = double(groups), pixels = 8.0 * g;
    std::printf("%s: reference %d points (%s) in %.1f ms, table %d levels in %.1f ms, %ld groups sampled\n",
                which.c_str(), result.length, result.escaped ? "escaped" : "not escaped", referenceMs, o.levels,
                tableMs, long(groups));
    std::printf(
        "per pixel: %.0f iterations, %.0f plain, %.1f runs in the float phase, %.1f scaled steps, %.1f rebases\n",
        iterations / pixels, plain / pixels, floatRunsTaken / pixels, scaled / pixels, rebases / pixels);
    std::printf("per group of 8: %.0f float trips (two iterations each), %.1f run blocks with %.1f run searches, "
                "%.1f scaled steps, %.1f outer trips\n",
                groupPlain / g, runBlocks / g, runSearches / g, groupScaled / g, outerTrips / g);
    std::printf("float phase: %.0f %% of its member-iterations used\n", 100.0 * used / (16.0 * groupPlain));
    return 0;
}
