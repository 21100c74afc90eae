// Reference orbits: the two GPU byte layouts (checked against the fixed-point orbit itself), and the
// store's scheduling rules with a paced fake builder.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "FractalCore/BigReference.h"
#include "FractalRender/ReferenceStore.h"

using namespace veltrane;
using namespace std::chrono_literals;

namespace {

std::shared_ptr<GpuDevice> testDevice()
{
    static std::shared_ptr<GpuDevice> device = GpuDevice::create();
    return device;
}

template <typename T>
std::vector<std::uint8_t> bytes(const T& v)
{
    std::vector<std::uint8_t> out(sizeof v);
    std::memcpy(out.data(), &v, sizeof v);
    return out;
}

struct Expected {
    std::vector<ScaledComplex> z, w;
    std::vector<BigFixed::Scaled> r, x, y;
    std::vector<Complex> doubles;
};

// The orbit straight from FractalCore, independent of the store's encoding.
Expected expectedOrbit(FractalType type, const BigComplex& centre, Complex juliaC, int length)
{
    Expected e;
    BigReference::computeBig(
        type, centre, juliaC, length, [] { return true; },
        [&](int, const BigFixed& x, const BigFixed& y, double dx, double dy) {
            e.z.push_back(ScaledComplex(x, y));
            e.w.push_back(type == FractalType::julia ? ScaledComplex(x - centre.x(), y - centre.y())
                                                     : ScaledComplex(x, y));
            e.r.push_back(BigReference::realSquare(x, y));
            e.x.push_back(x.scaled());
            e.y.push_back(y.scaled());
            e.doubles.push_back({dx, dy});
        });
    return e;
}

void expectLayout(FractalType type, const BigComplex& centre, Complex juliaC, int length)
{
    auto orbit = ReferenceStore::build(testDevice(), type, centre, juliaC, length, nullptr);
    ASSERT_TRUE(orbit);
    Expected e = expectedOrbit(type, centre, juliaC, length);
    ASSERT_EQ(orbit->length, std::int64_t(e.z.size()));
    ASSERT_GE(orbit->buffer->size(), std::size_t(16 * length));
    ASSERT_GE(orbit->scaledBuffer->size(), std::size_t(48 * length));
    const auto* raw = static_cast<const std::uint8_t*>(orbit->buffer->contents());
    const auto* rawScaled = static_cast<const std::uint8_t*>(orbit->scaledBuffer->contents());
    ASSERT_GE(orbit->pairBuffer->size(), std::size_t(16 * length));
    const auto* pairs = static_cast<const float*>(orbit->pairBuffer->contents());
    for (std::size_t n = 0; n < e.z.size(); ++n) {
        SCOPED_TRACE(n);
        float p[4];
        std::memcpy(p, raw + 16 * n, 16);
        EXPECT_EQ(p[0], float(e.doubles[n].x));
        EXPECT_EQ(p[1], float(e.doubles[n].y));
        EXPECT_EQ(p[2], float(e.doubles[n].x - double(p[0])));
        EXPECT_EQ(p[3], float(e.doubles[n].y - double(p[1])));
        // Pairs: this point's high parts, then the next point's (the kernel never reads past the last).
        EXPECT_EQ(pairs[4 * n], p[0]);
        EXPECT_EQ(pairs[4 * n + 1], p[1]);
        if (n + 1 < e.z.size()) {
            EXPECT_EQ(pairs[4 * n + 2], float(e.doubles[n + 1].x));
            EXPECT_EQ(pairs[4 * n + 3], float(e.doubles[n + 1].y));
        }

        float f[12];
        std::int32_t i[12];
        std::memcpy(f, rawScaled + 48 * n, 48);
        std::memcpy(i, rawScaled + 48 * n, 48);
        EXPECT_EQ(f[0], float(e.z[n].x));
        EXPECT_EQ(f[1], float(e.z[n].y));
        EXPECT_EQ(i[4], std::int32_t(e.z[n].e));
        EXPECT_EQ(f[2], float(e.w[n].x));
        EXPECT_EQ(f[3], float(e.w[n].y));
        EXPECT_EQ(i[5], std::int32_t(e.w[n].e));
        if (type == FractalType::celtic) {
            EXPECT_EQ(f[6], float(e.r[n].mantissa));
            EXPECT_EQ(i[7], e.r[n].mantissa == 0 ? 0 : std::int32_t(e.r[n].exponent));
        } else {
            EXPECT_EQ(i[6], 0);
            EXPECT_EQ(i[7], 0);
        }
        // Each part at its own size: the product of the two gives x y even where one part lies
        // 2^126 or more below the other.
        for (int part = 0; part < 2; ++part) {
            const BigFixed::Scaled s = part == 0 ? e.x[n] : e.y[n];
            EXPECT_EQ(f[8 + part], float(s.mantissa));
            EXPECT_EQ(i[10 + part], s.mantissa == 0 ? 0 : std::int32_t(s.exponent));
        }
    }
}

BigComplex centreAt(const char* x, const char* y, int limbs)
{
    return BigComplex(*BigFixed::fromDecimal(x, limbs), *BigFixed::fromDecimal(y, limbs));
}

} // namespace

TEST(ReferenceOrbitLayout, MandelbrotJuliaAndCelticOrbitsMatchTheFixedPointOrbit)
{
    const BigComplex deep = centreAt("-0.743643887037158704752191506114774", "0.131825904205311970493132056385139", 3);
    expectLayout(FractalType::mandelbrot, deep, {}, 300);
    expectLayout(FractalType::julia, centreAt("0.1234567890123456789", "-0.3456789012345678901", 3), {-0.8, 0.156},
                 300);
    expectLayout(FractalType::celtic, centreAt("-0.2", "0.8", 2), {}, 200);
}

TEST(ReferenceOrbitLayout, JuliaStartsWithZeroOffsetAndMandelbrotRepeatsZ)
{
    const BigComplex c = centreAt("0.3", "-0.4", 2);
    auto julia = ReferenceStore::build(testDevice(), FractalType::julia, c, {-0.8, 0.156}, 50, nullptr);
    ASSERT_TRUE(julia);
    auto p0 = julia->scaledPoints()[0];
    EXPECT_EQ(p0.wx, 0.0f);
    EXPECT_EQ(p0.wy, 0.0f);
    EXPECT_EQ(p0.we, 0);
    auto mandel = ReferenceStore::build(testDevice(), FractalType::mandelbrot, c, {}, 50, nullptr);
    for (const auto& p : mandel->scaledPoints()) {
        EXPECT_EQ(bytes(p.zx), bytes(p.wx));
        EXPECT_EQ(bytes(p.zy), bytes(p.wy));
        EXPECT_EQ(p.ze, p.we);
    }
}

TEST(ReferenceOrbitLayout, ShortRequestsGetRoomForTwoPointsAndEscapesEnd)
{
    for (int length : {1, 2}) {
        auto orbit =
            ReferenceStore::build(testDevice(), FractalType::mandelbrot, BigComplex(-1, 0, 1), {}, length, nullptr);
        ASSERT_TRUE(orbit);
        EXPECT_EQ(orbit->buffer->size(), 32u);
        EXPECT_EQ(orbit->scaledBuffer->size(), 96u);
        EXPECT_EQ(orbit->length, 2);
        EXPECT_EQ(orbit->iterationsRequested, length);
    }
    auto escaping = ReferenceStore::build(testDevice(), FractalType::mandelbrot, BigComplex(2, 0, 1), {}, 100, nullptr);
    EXPECT_EQ(escaping->length, 5);
    EXPECT_TRUE(escaping->escaped);
    EXPECT_EQ(escaping->points()[4].hiX, 1446.0f);
}

TEST(ReferenceOrbitLayout, CancelledBuildYieldsNothing)
{
    auto orbit = ReferenceStore::build(testDevice(), FractalType::mandelbrot, BigComplex(-1, 0, 1), {}, 5000,
                                       [] { return true; });
    EXPECT_FALSE(orbit);
}

// ---------------------------------------------------------------------------------------------
// Store semantics with a fake builder that records builds and holds each one until released.

namespace {

class FakeBuilds {
public:
    // Blocks the build of every key until release(key) or releaseAll(); polls `cancelled` meanwhile.
    std::shared_ptr<ReferenceOrbit> build(FractalType type, const BigComplex& centre, Complex juliaC,
                                          std::int64_t length, const ReferenceStore::Cancelled& cancelled)
    {
        const std::string key = orbitKey(type, centre, juliaC, length);
        {
            std::unique_lock lock(mutex_);
            started_.push_back(key);
            changed_.notify_all();
            while (!released_.count(key) && !all_) {
                if (cancelled && cancelled()) {
                    cancelled_.push_back(key);
                    changed_.notify_all();
                    return nullptr;
                }
                changed_.wait_for(lock, 1ms);
            }
            if (failures_.count(key)) {
                failures_.erase(key);
                return nullptr;
            }
        }
        auto orbit = std::make_shared<ReferenceOrbit>();
        orbit->type = type;
        orbit->centre = centre;
        orbit->juliaC = juliaC;
        orbit->iterationsRequested = length;
        orbit->length = length;
        return orbit;
    }
    ReferenceStore::Builder builder()
    {
        return [this](FractalType t, const BigComplex& c, Complex j, std::int64_t l,
                      const ReferenceStore::Cancelled& x) { return build(t, c, j, l, x); };
    }
    void release(const std::string& key)
    {
        std::lock_guard lock(mutex_);
        released_.insert(key);
        changed_.notify_all();
    }
    void releaseAll()
    {
        std::lock_guard lock(mutex_);
        all_ = true;
        changed_.notify_all();
    }
    void failOnce(const std::string& key)
    {
        std::lock_guard lock(mutex_);
        failures_.insert(key);
    }
    void waitStarted(std::size_t count)
    {
        std::unique_lock lock(mutex_);
        ASSERT_TRUE(changed_.wait_for(lock, 5s, [&] { return started_.size() >= count; }));
    }
    void waitCancelled(std::size_t count)
    {
        std::unique_lock lock(mutex_);
        ASSERT_TRUE(changed_.wait_for(lock, 5s, [&] { return cancelled_.size() >= count; }));
    }
    std::vector<std::string> started()
    {
        std::lock_guard lock(mutex_);
        return started_;
    }
    std::vector<std::string> cancelled()
    {
        std::lock_guard lock(mutex_);
        return cancelled_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> started_, cancelled_;
    std::set<std::string> released_, failures_;
    bool all_ = false;
};

const FractalType M = FractalType::mandelbrot;
constexpr double kZoom = 1e6;

BigComplex at(double x) { return BigComplex(-0.75 + x, 0.1, 1); }
std::string keyAt(double x, std::int64_t length = 100) { return orbitKey(M, at(x), {}, length); }

} // namespace

TEST(ReferenceStore, NewestRequestWinsAndIntermediateRequestsAreNeverBuilt)
{
    FakeBuilds fake;
    ReferenceStore store(nullptr, fake.builder());
    store.request(M, at(0), {}, 100, kZoom);
    fake.waitStarted(1);
    store.request(M, at(1e-7), {}, 100, kZoom); // 0.1 view units: does not cancel the running build
    store.request(M, at(2e-7), {}, 100, kZoom);
    fake.releaseAll();
    store.waitUntilIdle();
    EXPECT_EQ(fake.started(), (std::vector<std::string>{keyAt(0), keyAt(2e-7)}));
    EXPECT_TRUE(fake.cancelled().empty());
    EXPECT_EQ(store.latest()->key(), keyAt(2e-7));
    EXPECT_EQ(store.generation(), 2);
}

TEST(ReferenceStore, PendingRequestCancelsRunningBuildOnTypeJuliaConstantOrFarCentre)
{
    struct Case {
        FractalType type;
        Complex juliaC;
        double dx;
        bool cancels;
    };
    for (const Case& c :
         {Case{FractalType::julia, {-0.8, 0.156}, 0, true}, Case{M, {0.0, 1e-300}, 0, true},
          Case{FractalType::tricorn, {}, 0, true}, Case{M, {}, 5.01e-4, true}, Case{M, {}, 4.99e-4, false}}) {
        FakeBuilds fake;
        ReferenceStore store(nullptr, fake.builder());
        store.request(M, at(0), {}, 100, kZoom);
        fake.waitStarted(1);
        store.request(c.type, at(c.dx), c.juliaC, 100, kZoom);
        if (c.cancels) {
            fake.waitCancelled(1);
        } else {
            std::this_thread::sleep_for(20ms);
            EXPECT_TRUE(fake.cancelled().empty());
        }
        fake.releaseAll();
        store.waitUntilIdle();
        EXPECT_EQ(fake.started().size(), 2u);
        EXPECT_EQ(store.latest()->key(), orbitKey(c.type, at(c.dx), c.juliaC, 100));
    }
}

TEST(ReferenceStore, SynchronousBuildIsNotOverwrittenByAnOlderBackgroundBuild)
{
    FakeBuilds fake;
    ReferenceStore store(nullptr, fake.builder());
    store.request(M, at(0), {}, 100, kZoom);
    fake.waitStarted(1);
    fake.release(keyAt(1));
    auto jumped = store.buildNow(M, at(1), {}, 100); // a far jump while the old build runs
    ASSERT_TRUE(jumped);
    fake.releaseAll();
    store.waitUntilIdle();
    EXPECT_EQ(store.latest(), jumped);
}

TEST(ReferenceStore, KeyUnderConstructionIsNeitherQueuedAgainNorBuiltTwice)
{
    FakeBuilds fake;
    ReferenceStore store(nullptr, fake.builder());
    store.request(M, at(0), {}, 100, kZoom);
    fake.waitStarted(1);
    store.request(M, at(0), {}, 100, kZoom);
    std::shared_ptr<ReferenceOrbit> now;
    std::thread waiter([&] { now = store.buildNow(M, at(0), {}, 100); });
    std::this_thread::sleep_for(20ms);
    store.request(M, at(1), {}, 100, kZoom); // far: would cancel, but a synchronous caller waits for the build
    std::this_thread::sleep_for(20ms);
    fake.release(keyAt(0));
    waiter.join();
    fake.releaseAll();
    store.waitUntilIdle();
    ASSERT_TRUE(now);
    EXPECT_EQ(now->key(), keyAt(0));
    auto started = fake.started();
    EXPECT_EQ(std::count(started.begin(), started.end(), keyAt(0)), 1);
}

TEST(ReferenceStore, FailedPinIsRetriedAndNewerPinCancelsOlder)
{
    FakeBuilds fake;
    ReferenceStore store(nullptr, fake.builder());
    fake.failOnce(keyAt(0));
    fake.release(keyAt(0));
    store.pin(M, at(0), {}, 100);
    store.waitUntilIdle();
    EXPECT_FALSE(store.pinned());
    store.pin(M, at(0), {}, 100);
    store.waitUntilIdle();
    ASSERT_TRUE(store.pinned());
    EXPECT_EQ(store.pinned()->key(), keyAt(0));

    store.pin(M, at(1), {}, 100);
    fake.waitStarted(3);
    store.request(M, at(2), {}, 100, kZoom); // ordinary requests never cancel a pin
    store.pin(M, at(3), {}, 100);
    fake.waitCancelled(1);
    fake.releaseAll();
    store.waitUntilIdle();
    auto cancelled = fake.cancelled();
    EXPECT_NE(std::find(cancelled.begin(), cancelled.end(), keyAt(1)), cancelled.end());
    EXPECT_EQ(store.pinned()->key(), keyAt(3));
}

TEST(ReferenceStore, SubstituteUsableWithinFiveHundredViewUnitsAndWhenEscapedOrLongEnough)
{
    ReferenceOrbit o;
    o.type = M;
    o.centre = BigComplex(0.0, 0.0, 2);
    o.length = 50;
    o.escaped = false;
    const double zoom = 1e6;
    auto centre = [](double d) { return BigComplex(d, 0.0, 2); };
    EXPECT_FALSE(ReferenceStore::usable(&o, M, {}, centre(500 / zoom), 50, zoom));
    EXPECT_TRUE(ReferenceStore::usable(&o, M, {}, centre(499.9 / zoom), 50, zoom));
    EXPECT_FALSE(ReferenceStore::usable(&o, M, {}, centre(0), 51, zoom)); // short and not escaped
    o.escaped = true;
    EXPECT_TRUE(ReferenceStore::usable(&o, M, {}, centre(0), 100000, zoom)); // an escaped orbit of any length
    EXPECT_FALSE(ReferenceStore::usable(&o, FractalType::julia, {}, centre(0), 10, zoom));
    EXPECT_FALSE(ReferenceStore::usable(&o, M, {}, BigComplex(0.0, 0.0, 4), 10, zoom)); // too coarse
    EXPECT_TRUE(ReferenceStore::usable(&o, M, {}, BigComplex(0.0, 0.0, 3), 10, zoom));
}

TEST(ReferenceStore, ChooseDrawsSubstituteAsStaleThenExactAndPrefersExactPin)
{
    FakeBuilds fake;
    fake.releaseAll();
    ReferenceStore store(nullptr, fake.builder());
    const BigComplex a = at(0), b = at(1e-7);
    // Nothing usable: a synchronous build even without wait.
    auto first = store.choose(M, a, {}, 98, kZoom, std::nullopt, false);
    ASSERT_TRUE(first.orbit);
    EXPECT_FALSE(first.stale);
    EXPECT_EQ(first.deltaOffset, (std::array<float, 2>{0, 0}));
    // A nearby view: the old orbit stands in, the exact one is requested.
    auto second = store.choose(M, b, {}, 98, kZoom, std::nullopt, false);
    EXPECT_EQ(second.orbit, first.orbit);
    EXPECT_TRUE(second.stale);
    EXPECT_FLOAT_EQ(second.deltaOffset[0], float(-1e-7));
    store.waitUntilIdle();
    auto third = store.choose(M, b, {}, 98, kZoom, std::nullopt, false);
    EXPECT_FALSE(third.stale);
    EXPECT_EQ(third.orbit->key(), orbitKey(M, b, {}, 100));
    // An exactly matching pinned orbit wins even with wait and no hint.
    store.pin(M, a, {}, 100);
    store.waitUntilIdle();
    auto pinned = store.choose(M, a, {}, 98, kZoom, std::nullopt, true);
    EXPECT_EQ(pinned.orbit, store.pinned());
    EXPECT_FALSE(pinned.stale);
}
