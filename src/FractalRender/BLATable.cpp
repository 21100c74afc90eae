#include "FractalRender/BLATable.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "Platform/Queues/ParallelFor.h"

namespace veltrane {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

using Levels = std::vector<std::array<std::int32_t, 2>>;

// The levels of the table for an orbit's points: none for fewer than three points, for a type other
// than mandelbrot and julia, or when not even level 0 fits the index range.
Levels levelsFor(FractalType type, std::span<const ScaledReferencePoint> points)
{
    const std::int64_t n = static_cast<std::int64_t>(points.size()) - 2;
    if (n < 1 || (type != FractalType::mandelbrot && type != FractalType::julia)) return {};
    return BLATable::layout(n);
}

std::size_t entryCount(const Levels& levels)
{
    return levels.empty() ? 0 : static_cast<std::size_t>(levels.back()[0]) + static_cast<std::size_t>(levels.back()[1]);
}

} // namespace

BLATable::Step BLATable::step(FractalType type, const ScaledReferencePoint& point)
{
    const ScaledComplex z(static_cast<double>(point.zx), static_cast<double>(point.zy), point.ze);
    Step s;
    s.r = z.log2Modulus() - 24;
    const Complex doubles = z.doubles();
    const double X = doubles.x, Y = doubles.y;
    s.trap = X * X + Y * Y;
    s.stripe = s.trap < 1e-9 ? 0.5 : 0.5 + (2 * X * Y / s.trap) * ((X * X - Y * Y) / s.trap);
    s.a = z.scaledBy(1);
    s.b = type == FractalType::mandelbrot ? ScaledComplex(1, 0, 0) : ScaledComplex::zero();
    return s;
}

BLATable::Step BLATable::merge(FractalType type, const Step& x, const Step& y, int dcLog2)
{
    Step m;
    m.a = y.a * x.a;
    double rLater = y.r;
    if (type == FractalType::mandelbrot) {
        m.b = y.a * x.b + y.b;
        const double t = x.b.log2Modulus() + dcLog2;
        if (y.r == -kInf || y.r <= t)
            rLater = -kInf;
        else if (t == -kInf)
            rLater = y.r;
        else
            rLater = y.r + std::log2(1 - std::exp2(t - y.r));
    } else {
        m.b = ScaledComplex::zero();
    }
    const double bound = rLater - x.a.log2Modulus();
    m.r = std::isnan(bound) ? x.r : std::min(x.r, bound);
    m.stripe = x.stripe + y.stripe;
    m.trap = std::min(x.trap, y.trap);
    return m;
}

std::int64_t BLATable::levelStart(std::int64_t n, int level)
{
    const std::int64_t rest = n >> level;
    return 2 * (n - rest) - std::popcount(std::uint64_t(n)) + std::popcount(std::uint64_t(rest));
}

BLAEntry BLATable::entry(const Step& s)
{
    BLAEntry e{};
    e.am[0] = static_cast<float>(s.a.x);
    e.am[1] = static_cast<float>(s.a.y);
    e.ae = clampExponent(s.a.e);
    e.bm[0] = static_cast<float>(s.b.x);
    e.bm[1] = static_cast<float>(s.b.y);
    e.be = clampExponent(s.b.e);
    if (std::isfinite(s.r)) {
        const double re = std::floor(s.r) + 1;
        e.re = clampExponent(static_cast<std::int64_t>(std::clamp(re, -4e18, 4e18)));
        e.rm = static_cast<float>(std::exp2(s.r - static_cast<double>(e.re)));
    }
    e.stripe = static_cast<float>(s.stripe);
    e.trap = static_cast<float>(std::min(s.trap, 1e30));
    return e;
}

std::vector<std::array<std::int32_t, 2>> BLATable::layout(std::int64_t n)
{
    std::vector<std::array<std::int32_t, 2>> levels;
    std::int64_t first = 0;
    for (std::int64_t count = n; count >= 1 && static_cast<int>(levels.size()) < maxLevels; count /= 2) {
        if (first + count >= std::numeric_limits<std::int32_t>::max()) break;
        levels.push_back({static_cast<std::int32_t>(first), static_cast<std::int32_t>(count)});
        first += count;
        if (count == 1) break;
    }
    return levels;
}

void BLATable::fill(FractalType type, std::span<const ScaledReferencePoint> points, int dcLog2,
                    const std::vector<std::array<std::int32_t, 2>>& levels, BLAEntry* out)
{
    if (levels.empty()) return;
    // Two step buffers serve every level: level L + 1 is merged from level L into the other one.
    const std::size_t n = static_cast<std::size_t>(levels[0][1]);
    std::vector<Step> a(n), b(n / 2);
    Step* current = a.data();
    Step* next = b.data();
    // Every entry depends only on the level below: each level is made in parallel chunks, with the
    // same result as on one thread.
    constexpr std::size_t kGrain = 2048;
    parallelFor(n, kGrain, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) current[i] = step(type, points[i + 1]);
    });
    // One pass per level writes its entries and merges its pairs into the next level (the last level
    // has no next one).
    for (std::size_t level = 0; level < levels.size(); ++level) {
        const std::size_t count = static_cast<std::size_t>(levels[level][1]);
        const bool merging = level + 1 < levels.size();
        BLAEntry* entries = out + levels[level][0];
        parallelFor(count, kGrain, [&](std::size_t begin, std::size_t end) {
            for (std::size_t j = begin; j < end; ++j) {
                entries[j] = entry(current[j]);
                if (merging && (j & 1) != 0) next[j / 2] = merge(type, current[j - 1], current[j], dcLog2);
            }
        });
        std::swap(current, next);
    }
}

std::int64_t BLATable::dropCode(std::int64_t drop)
{
    if (drop < 192) return drop;
    return std::min<std::int64_t>(192 + (drop - 192 + 63) / 64, 255);
}

int BLATable::topLevel(std::int64_t m, int levelCount)
{
    if (m == 1) return levelCount - 1;
    return std::min(std::countr_zero(static_cast<std::uint64_t>(m - 1)), levelCount - 1);
}

int BLATable::admittedLevel(const RunStart& record, std::int64_t m, int levelCount, int t4)
{
    std::uint8_t bytes[16];
    std::memcpy(bytes, record.words, sizeof bytes);
    const int top = topLevel(m, levelCount);
    const int low = std::max(0, top - (runStartLevels - 1));
    const int shortest = static_cast<std::int16_t>(static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8)));
    const int room = shortest - std::max(t4, -32767);
    if (room <= 0) return -1;
    int level = low;
    for (int k = 1; low + k <= top; ++k) {
        const int code = bytes[k + 1];
        if (code == 255 || (code < 192 ? code : 192 + (code - 192) * 64) >= room) break;
        level = low + k;
    }
    return level;
}

void BLATable::runStarts(const std::vector<std::array<std::int32_t, 2>>& levels, const BLAEntry* entries, RunStart* out)
{
    if (levels.empty()) return;
    const std::int64_t n = levels[0][1];
    const int levelCount = static_cast<int>(levels.size());
    constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::min();
    // floor(4 log2 R) of level L's run from m, or kNever.
    const auto quarterBits = [&](std::int64_t m, int level) -> std::int64_t {
        const std::int64_t j = (m - 1) >> level;
        if (j >= levels[static_cast<std::size_t>(level)][1]) return kNever;
        const BLAEntry& e = entries[levels[static_cast<std::size_t>(level)][0] + j];
        if (!(e.rm > 0)) return kNever;
        return static_cast<std::int64_t>(std::floor(4.0 * (std::log2(static_cast<double>(e.rm)) + e.re)));
    };
    // Nothing starts at the orbit's start or at its last point (a pixel there rebases first).
    out[0] = out[n + 1] = RunStart{{0x8000u | 0xFFFF0000u, ~0u, ~0u, ~0u}};
    parallelFor(static_cast<std::size_t>(n), 4096, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const std::int64_t m = static_cast<std::int64_t>(i) + 1;
            const int top = topLevel(m, levelCount);
            const int low = std::max(0, top - (runStartLevels - 1));
            const std::int64_t shortest = quarterBits(m, low);
            const bool valid = shortest != kNever && shortest > -32768;
            const std::int64_t base = valid ? std::min<std::int64_t>(shortest, 32767) : -32768;
            std::uint8_t bytes[16];
            std::fill(std::begin(bytes), std::end(bytes), std::uint8_t{255});
            const auto b16 = static_cast<std::uint16_t>(static_cast<std::int16_t>(base));
            bytes[0] = static_cast<std::uint8_t>(b16 & 255);
            bytes[1] = static_cast<std::uint8_t>(b16 >> 8);
            for (int k = 1; valid && low + k <= top; ++k) {
                const std::int64_t q = quarterBits(m, low + k);
                const std::int64_t code = q == kNever ? 255 : dropCode(std::max<std::int64_t>(base - q, 0));
                if (code >= 255) break;
                bytes[k + 1] = static_cast<std::uint8_t>(code);
            }
            std::memcpy(out[i + 1].words, bytes, sizeof bytes);
        }
    });
}

std::optional<BLATable::Contents> BLATable::compute(FractalType type, std::span<const ScaledReferencePoint> points,
                                                    int dcLog2)
{
    Contents contents;
    contents.levels = levelsFor(type, points);
    if (contents.levels.empty()) return std::nullopt;
    contents.entries.resize(entryCount(contents.levels));
    fill(type, points, dcLog2, contents.levels, contents.entries.data());
    return contents;
}

std::shared_ptr<BLATable> BLATable::build(const std::shared_ptr<GpuDevice>& device, const ReferenceOrbit& reference,
                                          int dcLog2)
{
    if (!device) return nullptr;
    const auto points = reference.scaledPoints();
    auto table = std::make_shared<BLATable>();
    table->levels = levelsFor(reference.type, points);
    if (table->levels.empty()) return nullptr;
    try {
        table->buffer = device->makeBuffer(std::max<std::size_t>(entryCount(table->levels) * sizeof(BLAEntry), 64),
                                           "approximation table");
        table->levelBuffer = device->makeBuffer(
            std::max<std::size_t>(table->levels.size() * sizeof(table->levels[0]), 64), "approximation levels");
        table->startBuffer = device->makeBuffer((static_cast<std::size_t>(table->levels[0][1]) + 2) * sizeof(RunStart),
                                                "approximation run starts");
    } catch (const GpuError&) {
        return nullptr;
    }
    // The entries go straight into the buffer the kernel reads: a table of a long orbit is megabytes.
    fill(reference.type, points, dcLog2, table->levels, static_cast<BLAEntry*>(table->buffer->contents()));
    std::memcpy(table->levelBuffer->contents(), table->levels.data(), table->levels.size() * sizeof(table->levels[0]));
    runStarts(table->levels, static_cast<const BLAEntry*>(table->buffer->contents()),
              static_cast<RunStart*>(table->startBuffer->contents()));
    table->dcLog2 = dcLog2;
    return table;
}

int BLATable::dcLog2For(FractalType type, double zoom, const ScaledComplex& offset, int width, int height)
{
    if (type != FractalType::mandelbrot) return 0;
    const double w = width, h = height;
    const double g = std::log2((std::sqrt(w * w + h * h) * 0.5 + 2) * 2.5 / std::min(w, h));
    const double gz = g - std::log2(zoom);
    const double o = offset.log2Modulus();
    const double bound = o == -kInf ? gz : std::max(gz, o) + std::log2(1 + std::exp2(-std::abs(gz - o)));
    // A zoom of 0 or infinity (the renderer draws neither) would make the bound infinite, and its
    // conversion undefined: held within the exponents any view can reach.
    constexpr double limit = 1 << 16;
    return 4 * static_cast<int>(std::ceil(std::isnan(bound) ? 0 : std::clamp(bound, -limit, limit) / 4));
}

std::shared_ptr<BLATable> BLATable::forView(const std::shared_ptr<GpuDevice>& device, ReferenceOrbit& reference,
                                            FractalType type, double zoom, const ScaledComplex& offset, int width,
                                            int height)
{
    if (type != FractalType::mandelbrot && type != FractalType::julia) return nullptr;
    const int d = dcLog2For(type, zoom, offset, width, height);
    if (reference.bla && reference.bla->dcLog2 >= d && reference.bla->dcLog2 <= d + 8) return reference.bla;
    auto table = build(device, reference, d);
    if (table) reference.bla = table;
    return table;
}

} // namespace veltrane
