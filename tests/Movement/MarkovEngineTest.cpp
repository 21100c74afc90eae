#include "Movement/MarkovEngine.h"

#include "FractalCore/Entropy.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

namespace veltrane {
namespace {

constexpr double tau = 2 * std::numbers::pi;

MarkovEngine walk(MarkovConfig config, std::uint32_t seed, const FractalTarget& origin = {0, 0, 2, 0})
{
    MarkovEngine e(config, Mulberry32(seed));
    e.reset(origin);
    return e;
}

TEST(MarkovEngine, DriftHasNoMomentumWithMemoryBelowTwo)
{
    for (const std::int64_t memory : {-1, 0, 1}) {
        auto e = walk({0.3, 0, memory, 0}, 9);
        Mulberry32 draws(9);
        FractalTarget current{0.1, 0.2, 2, 0.4};
        const double g = 0.3 / current.zoom;
        for (int i = 0; i < 12; ++i) {
            const auto next = e.update(1, current);
            ASSERT_TRUE(next);
            draws.next(); // the jump draw, which never jumps here
            const double a = draws.next();
            const double b = draws.next();
            EXPECT_NEAR(next->centerX, current.centerX + std::cos(tau * a) * (b + 0.5) * g * 0.4, 1e-15) << memory;
            EXPECT_NEAR(next->centerY, current.centerY + std::sin(tau * a) * (b + 0.5) * g * 0.4, 1e-15) << memory;
            EXPECT_EQ(next->zoom, current.zoom);
            EXPECT_EQ(next->rotation, current.rotation);
            current = *next;
        }
    }
}

TEST(MarkovEngine, MomentumIsTheMeanRecentStep)
{
    // memory 3: the mean of the last two steps of the history, times 0.6.
    auto e = walk({0.3, 0, 3, 0}, 5, {0, 0, 1, 0});
    e.history = {{0, 0, 1, 0}, {1, 0, 1, 0}, {1, 2, 1, 0}};
    Mulberry32 draws(5);
    const auto next = e.update(1, {1, 2, 1, 0});
    ASSERT_TRUE(next);
    draws.next();
    const double a = draws.next();
    const double b = draws.next();
    EXPECT_NEAR(next->centerX - 1, 0.5 * 0.6 + std::cos(tau * a) * (b + 0.5) * 0.3 * 0.4, 1e-15);
    EXPECT_NEAR(next->centerY - 2, 1.0 * 0.6 + std::sin(tau * a) * (b + 0.5) * 0.3 * 0.4, 1e-15);
}

TEST(MarkovEngine, JumpsAreThreeToEightDriftSteps)
{
    auto e = walk({0.3, 1, 2, 0}, 3);
    FractalTarget current{0, 0, 3, 0};
    for (int i = 0; i < 200; ++i) {
        const auto next = e.update(1, current);
        ASSERT_TRUE(next);
        const double d = std::hypot(next->centerX - current.centerX, next->centerY - current.centerY);
        EXPECT_GE(d, 3 * 0.1 - 1e-15);
        EXPECT_LE(d, 8 * 0.1 + 1e-15);
        current = *next;
        EXPECT_LE(e.history.size(), MarkovEngine::historyLimit);
    }
    EXPECT_EQ(e.history.size(), MarkovEngine::historyLimit);
    EXPECT_EQ(e.history.back(), current);
}

// The best of the eight probe offsets as the walk defines it, the first of equal scores winning.
std::pair<double, double> bestProbe(const FractalTarget& c, double originX, double originY, double r)
{
    double best = -1, bx = 0, by = 0;
    for (int k = 0; k < 8; ++k) {
        const double ox = r * std::cos(k * std::numbers::pi / 4), oy = r * std::sin(k * std::numbers::pi / 4);
        const double score =
            Entropy::estimate(c.centerX + ox + originX, c.centerY + oy + originY, c.zoom, 128, std::nullopt);
        if (score > best) best = score, bx = ox, by = oy;
    }
    return {bx, by};
}

TEST(MarkovEngine, FullAttractionStepsExactlyToTheBusiestProbe)
{
    const struct {
        double originX, originY, zoom;
    } places[]{
        {-0.75, 0.1, 4},       // on the boundary: the probes differ
        {-0.1011, 0.9563, 40}, // deeper on the boundary
        {5, 5, 1},             // far outside: every probe scores 0, so the first direction (+x) wins
    };
    for (const auto& place : places) {
        auto e = walk({0.3, 0.1, 2, 1}, 11);
        e.setFrameOrigin(place.originX, place.originY, std::nullopt);
        FractalTarget current{0.001, -0.002, place.zoom, 0};
        for (int i = 0; i < 4; ++i) {
            const auto next = e.update(1, current);
            ASSERT_TRUE(next);
            const auto [bx, by] = bestProbe(current, place.originX, place.originY, 2 * 0.3 / place.zoom);
            EXPECT_EQ(next->centerX, current.centerX + bx) << place.originX;
            EXPECT_EQ(next->centerY, current.centerY + by) << place.originX;
            current = *next;
        }
    }
    auto outside = walk({0.3, 0.1, 2, 1}, 11);
    outside.setFrameOrigin(5, 5, std::nullopt);
    const auto step = outside.update(1, {0, 0, 1, 0});
    EXPECT_EQ(*step, (FractalTarget{0.6, 0, 1, 0}));
}

TEST(MarkovEngine, HalfAttractionBlendsTheDriftWithTheProbe)
{
    auto plain = walk({0.3, 0.1, 2, 0}, 21);
    auto pulled = walk({0.3, 0.1, 2, 0.5}, 21);
    plain.setFrameOrigin(-0.75, 0.1, std::nullopt);
    pulled.setFrameOrigin(-0.75, 0.1, std::nullopt);
    const FractalTarget c{0, 0, 4, 0};
    const auto drift = plain.update(1, c);
    const auto blended = pulled.update(1, c);
    const auto [bx, by] = bestProbe(c, -0.75, 0.1, 2 * 0.3 / 4);
    EXPECT_DOUBLE_EQ(blended->centerX, drift->centerX * 0.5 + bx * 0.5);
    EXPECT_DOUBLE_EQ(blended->centerY, drift->centerY * 0.5 + by * 0.5);
}

TEST(MarkovEngine, TicksResetAndReanchor)
{
    auto e = walk({}, 1);
    EXPECT_FALSE(e.update(0, {}));
    EXPECT_FALSE(e.update(-1, {})); // owes a tick now
    EXPECT_FALSE(e.update(1, {}));
    EXPECT_TRUE(e.update(1, {}));
    e.update(1, {});
    e.reanchor({3, 3, 1, 0});
    EXPECT_EQ(e.history, (std::vector<FractalTarget>{{3, 3, 1, 0}}));
    e.update(-1, {});
    e.reanchor({});
    EXPECT_EQ(e.tickAccumulator, -1); // kept by reanchor
    e.reset({1, 1, 1, 0});
    EXPECT_EQ(e.tickAccumulator, 0);
    EXPECT_EQ(e.history.size(), 1u);
}

} // namespace
} // namespace veltrane
