// The bilinear-approximation table: level structure, entry conversion, and every valid entry of a
// real orbit's table against the perturbation formula iterated step by step.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>

#include "FractalRender/BLATable.h"
#include "FractalRender/ReferenceStore.h"

using namespace veltrane;

namespace {

std::shared_ptr<GpuDevice> testDevice()
{
    static std::shared_ptr<GpuDevice> device = GpuDevice::create();
    return device;
}

ScaledReferencePoint pointAt(double x, double y)
{
    ScaledComplex z(x, y, 0);
    ScaledReferencePoint p{};
    p.zx = float(z.x);
    p.zy = float(z.y);
    p.ze = std::int32_t(z.e);
    return p;
}

using C = std::complex<double>;

} // namespace

TEST(BLATable, LevelsHalveAndAnOddLastEntryHasNoParent)
{
    std::vector<ScaledReferencePoint> points(7, pointAt(0.5, 0.25)); // n = 5
    auto table = BLATable::compute(FractalType::mandelbrot, points, -40);
    ASSERT_TRUE(table);
    EXPECT_EQ(table->levels, (std::vector<std::array<std::int32_t, 2>>{{0, 5}, {5, 2}, {7, 1}}));
    EXPECT_EQ(table->entries.size(), 8u);

    std::vector<ScaledReferencePoint> three(3, pointAt(0.5, 0.25));
    EXPECT_EQ(BLATable::compute(FractalType::julia, three, 0)->levels,
              (std::vector<std::array<std::int32_t, 2>>{{0, 1}}));
    std::vector<ScaledReferencePoint> two(2, pointAt(0.5, 0.25));
    EXPECT_FALSE(BLATable::compute(FractalType::mandelbrot, two, 0));
    EXPECT_FALSE(BLATable::compute(FractalType::burningship, points, 0));
}

// The fractal kernel finds level L at levelStart(n, L) without reading the level list.
TEST(BLATable, LevelsStartWhereTheKernelLooksForThem)
{
    for (int n : {1, 2, 5, 8, 63, 64, 65, 1000, 34414, 100000}) {
        std::vector<ScaledReferencePoint> points(std::size_t(n) + 2, pointAt(0.5, 0.25));
        auto table = BLATable::compute(FractalType::mandelbrot, points, -40);
        ASSERT_TRUE(table);
        for (std::size_t level = 0; level < table->levels.size(); ++level) {
            EXPECT_EQ(table->levels[level][0], BLATable::levelStart(n, int(level))) << n << " " << level;
            EXPECT_EQ(table->levels[level][1], n >> level) << n << " " << level;
        }
    }
}

// Long tables are built in parallel chunks; the result must not depend on where the chunks split.
TEST(BLATable, LongTableEqualsLevelByLevelMerging)
{
    const BigComplex centre(*BigFixed::fromDecimal("-0.743643887037158704752191506114774", 2),
                            *BigFixed::fromDecimal("0.131825904205311970493132056385139", 2));
    auto orbit = ReferenceStore::build(testDevice(), FractalType::mandelbrot, centre, {}, 20011, nullptr);
    ASSERT_TRUE(orbit);
    const auto points = orbit->scaledPoints();
    auto table = BLATable::compute(FractalType::mandelbrot, points, -40);
    ASSERT_TRUE(table);
    std::vector<BLATable::Step> level;
    for (std::size_t i = 1; i + 1 < points.size(); ++i)
        level.push_back(BLATable::step(FractalType::mandelbrot, points[i]));
    for (const auto& [first, count] : table->levels) {
        ASSERT_EQ(std::size_t(count), level.size());
        for (std::size_t j = 0; j < level.size(); ++j) {
            const BLAEntry expected = BLATable::entry(level[j]);
            ASSERT_EQ(std::memcmp(&expected, &table->entries[std::size_t(first) + j], sizeof expected), 0)
                << "level start " << first << " entry " << j;
        }
        std::vector<BLATable::Step> next;
        for (std::size_t j = 0; j + 1 < level.size(); j += 2)
            next.push_back(BLATable::merge(FractalType::mandelbrot, level[j], level[j + 1], -40));
        level = std::move(next);
    }
}

TEST(BLATable, EntryEdgeCases)
{
    BLAEntry zero = BLATable::entry(BLATable::step(FractalType::mandelbrot, pointAt(0, 0)));
    EXPECT_EQ(zero.rm, 0.0f);
    EXPECT_EQ(zero.re, 0);
    EXPECT_EQ(zero.stripe, 0.5f);
    EXPECT_EQ(zero.trap, 0.0f);

    BLATable::Step huge = BLATable::step(FractalType::mandelbrot, pointAt(1e20, 0));
    EXPECT_EQ(BLATable::entry(huge).trap, 1e30f);

    // |Z| = 1: radius 2^-24 exactly, stored as 0.5 x 2^-23; A = 2Z; B = 1.
    BLAEntry one = BLATable::entry(BLATable::step(FractalType::mandelbrot, pointAt(1, 0)));
    EXPECT_EQ(one.rm, 0.5f);
    EXPECT_EQ(one.re, -23);
    EXPECT_EQ(std::ldexp(one.am[0], one.ae), 2.0f);
    EXPECT_EQ(std::ldexp(one.bm[0], one.be), 1.0f);

    // When |x.b| x 2^D reaches the later run's radius the merge is never valid.
    BLATable::Step x = BLATable::step(FractalType::mandelbrot, pointAt(1, 0));
    BLATable::Step y = BLATable::step(FractalType::mandelbrot, pointAt(1, 0));
    BLAEntry never = BLATable::entry(BLATable::merge(FractalType::mandelbrot, x, y, -24));
    EXPECT_EQ(never.rm, 0.0f);
    EXPECT_EQ(never.re, 0);
}

TEST(BLATable, JuliaTableHasNoPixelTermAndRadiiIndependentOfBound)
{
    auto orbit =
        ReferenceStore::build(testDevice(), FractalType::julia, BigComplex(0.3, -0.2, 2), {-0.8, 0.156}, 600, nullptr);
    ASSERT_TRUE(orbit);
    auto a = BLATable::compute(FractalType::julia, orbit->scaledPoints(), -100);
    auto b = BLATable::compute(FractalType::julia, orbit->scaledPoints(), 20);
    ASSERT_TRUE(a && b);
    ASSERT_EQ(a->entries.size(), b->entries.size());
    for (std::size_t i = 0; i < a->entries.size(); ++i) {
        EXPECT_EQ(a->entries[i].bm[0], 0.0f);
        EXPECT_EQ(a->entries[i].bm[1], 0.0f);
        EXPECT_EQ(a->entries[i].rm, b->entries[i].rm);
        EXPECT_EQ(a->entries[i].re, b->entries[i].re);
    }
}

// Every entry whose radius admits the delta at its start must reproduce the perturbation formula
// δ' = 2Zδ + δ² + δc iterated over its whole run.
TEST(BLATable, ValidEntriesAgreeWithDirectPerturbation)
{
    const BigComplex centre(*BigFixed::fromDecimal("-0.743643887037158704752191506114774", 2),
                            *BigFixed::fromDecimal("0.131825904205311970493132056385139", 2));
    const int length = 3000;
    auto orbit = ReferenceStore::build(testDevice(), FractalType::mandelbrot, centre, {}, length, nullptr);
    ASSERT_TRUE(orbit);
    ASSERT_EQ(orbit->length, length);
    const double zoom = 1e12;
    const ScaledComplex offset;
    const int d = BLATable::dcLog2For(FractalType::mandelbrot, zoom, offset, 64, 64);
    auto table = BLATable::compute(FractalType::mandelbrot, orbit->scaledPoints(), d);
    ASSERT_TRUE(table);

    std::vector<C> z;
    for (const auto& p : orbit->points()) z.push_back(C(double(p.hiX) + double(p.loX), double(p.hiY) + double(p.loY)));
    const C dc = C(0.7, -0.4) * std::ldexp(1.0, d);
    // δ at every iteration, directly.
    std::vector<C> delta(z.size());
    delta[0] = 0;
    for (std::size_t m = 0; m + 1 < z.size(); ++m) delta[m + 1] = 2.0 * z[m] * delta[m] + delta[m] * delta[m] + dc;

    int checked = 0;
    for (std::size_t level = 0; level < table->levels.size(); ++level) {
        auto [first, count] = table->levels[level];
        const std::size_t run = std::size_t(1) << level;
        for (int j = 0; j < count; ++j) {
            const BLAEntry& e = table->entries[std::size_t(first + j)];
            const std::size_t m = 1 + std::size_t(j) * run;
            if (e.rm == 0 || std::abs(delta[m]) >= std::ldexp(double(e.rm), e.re)) continue;
            if (!(std::abs(delta[m + run]) < 1.0)) continue; // the pixel has left the reference for good
            const C a(std::ldexp(double(e.am[0]), e.ae), std::ldexp(double(e.am[1]), e.ae));
            const C b(std::ldexp(double(e.bm[0]), e.be), std::ldexp(double(e.bm[1]), e.be));
            const C approx = a * delta[m] + b * dc;
            EXPECT_LT(std::abs(approx - delta[m + run]), 1e-4 * std::abs(delta[m + run]))
                << "level " << level << " entry " << j;
            ++checked;
        }
    }
    EXPECT_GT(checked, 100);
}

TEST(BLATable, TableIsReusedWithinEightAboveTheNeededBound)
{
    auto orbit =
        ReferenceStore::build(testDevice(), FractalType::mandelbrot, BigComplex(-0.75, 0.1, 2), {}, 200, nullptr);
    ASSERT_TRUE(orbit);
    auto t1 = BLATable::forView(testDevice(), *orbit, FractalType::mandelbrot, 1e12, {}, 640, 480);
    ASSERT_TRUE(t1);
    EXPECT_EQ(t1->dcLog2 % 4, 0);
    EXPECT_EQ(BLATable::forView(testDevice(), *orbit, FractalType::mandelbrot, 1e12 * 16, {}, 640, 480), t1);
    auto t2 = BLATable::forView(testDevice(), *orbit, FractalType::mandelbrot, 1e12 * 4096, {}, 640, 480);
    EXPECT_NE(t2, t1);
    EXPECT_EQ(orbit->bla, t2);
    EXPECT_FALSE(BLATable::forView(testDevice(), *orbit, FractalType::burningship, 1e12, {}, 640, 480));
}

TEST(BLATable, BoundStaysWithinRangeAtZoomsNoViewHas)
{
    // Undefined conversions of an infinite or not-a-number bound before; UndefinedBehaviorSanitizer
    // reports them in the sanitizer run.
    const ScaledComplex offset(0.5, 0, -20);
    EXPECT_EQ(BLATable::dcLog2For(FractalType::mandelbrot, INFINITY, {}, 64, 64), -65536);
    EXPECT_EQ(BLATable::dcLog2For(FractalType::mandelbrot, 0, {}, 64, 64), 65536);
    EXPECT_EQ(BLATable::dcLog2For(FractalType::mandelbrot, NAN, {}, 64, 64), 0);
    EXPECT_EQ(BLATable::dcLog2For(FractalType::mandelbrot, INFINITY, offset, 64, 64), -20);
}

namespace {

// The kernel's choice of run for a delta of 2^t.
int recordedLevel(const BLATable::RunStart& record, std::int64_t m, int levelCount, double t)
{
    return BLATable::admittedLevel(record, m, levelCount, BLATable::deltaQuarterBits(t));
}

double log2Radius(const BLATable::Contents& table, int level, std::int64_t m)
{
    const auto [first, count] = table.levels[std::size_t(level)];
    const std::int64_t j = (m - 1) >> level;
    if (j >= count) return -INFINITY;
    const BLAEntry& e = table.entries[std::size_t(first + j)];
    return e.rm > 0 ? std::log2(double(e.rm)) + e.re : -INFINITY;
}

} // namespace

// The records the kernel chooses runs by never admit a run beyond its radius, admit every run that
// is valid by a margin, and reach across a point where the orbit passes very close to 0.
TEST(BLATable, RunStartsAdmitTheValidRunsAndNoOthers)
{
    const BigComplex centre(*BigFixed::fromDecimal("-0.743643887037158704752191506114774", 2),
                            *BigFixed::fromDecimal("0.131825904205311970493132056385139", 2));
    auto orbit = ReferenceStore::build(testDevice(), FractalType::mandelbrot, centre, {}, 3000, nullptr);
    ASSERT_TRUE(orbit);
    std::vector<ScaledReferencePoint> close(4098, pointAt(0.5, 0));
    close[0] = pointAt(0, 0);
    close[100] = pointAt(std::ldexp(1.0, -300), 0);
    struct Case {
        const char* name;
        std::span<const ScaledReferencePoint> points;
        int dcLog2;
    };
    for (const Case& c :
         {Case{"seahorse", orbit->scaledPoints(), BLATable::dcLog2For(FractalType::mandelbrot, 1e12, {}, 64, 64)},
          Case{"close to 0", close, -600}}) {
        SCOPED_TRACE(c.name);
        auto table = BLATable::compute(FractalType::mandelbrot, c.points, c.dcLog2);
        ASSERT_TRUE(table);
        const int levelCount = int(table->levels.size());
        const std::int64_t n = table->levels[0][1];
        std::vector<BLATable::RunStart> records(std::size_t(n + 2));
        BLATable::runStarts(table->levels, table->entries.data(), records.data());
        int missed = 0, offered = 0;
        for (std::int64_t m = 1; m <= n; ++m) {
            const int top = BLATable::topLevel(m, levelCount);
            const int low = std::max(0, top - 14);
            for (double t = -420; t < -10; t += 7.3) {
                const int level = recordedLevel(records[std::size_t(m)], m, levelCount, t);
                int exact = -1;
                while (exact < top && log2Radius(*table, std::max(exact + 1, low), m) > t)
                    exact = std::max(exact + 1, low);
                ASSERT_LE(level, exact) << "m " << m << " t " << t;
                if (level >= 0) {
                    ASSERT_GT(log2Radius(*table, level, m), t);
                }
                // A run valid by more than a quarter bit (16 bits once it lies 48 below the shortest) is offered.
                if (exact > level) {
                    const double margin = log2Radius(*table, exact, m) - t;
                    const double slack = log2Radius(*table, low, m) - log2Radius(*table, exact, m) < 47 ? 0.5 : 16.5;
                    if (margin > slack) ++missed;
                }
                offered += level >= 0;
            }
        }
        EXPECT_EQ(missed, 0);
        EXPECT_GT(offered, 1000);
        // The orbit's last point starts no run, however small the delta.
        EXPECT_EQ(recordedLevel(records[std::size_t(n + 1)], n + 1, levelCount, -2000), -1);
        if (c.dcLog2 == -600) {
            EXPECT_EQ(recordedLevel(records[1], 1, levelCount, -400), levelCount - 1);
        }
    }
}
