#include "Movement/ArpeggiatorEngine.h"
#include "Movement/EngineTicks.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <string>
#include <vector>

namespace veltrane {
namespace {

using Pattern = ArpeggiatorConfig::Pattern;
using Axis = ArpeggiatorConfig::Axis;

ArpeggiatorEngine engine(Pattern pattern, std::int64_t steps, double rate = 1, Axis axis = Axis::xy,
                         std::uint32_t seed = 1)
{
    ArpeggiatorEngine e(ArpeggiatorConfig{pattern, steps, 0.1, rate, axis}, Mulberry32(seed));
    e.reset({0, 0, 2, 0});
    return e;
}

// The step index visited on each of `ticks` calls, -1 where the tick passed.
std::vector<std::int64_t> visits(ArpeggiatorEngine& e, int ticks)
{
    std::vector<std::int64_t> out;
    for (int i = 0; i < ticks; ++i) out.push_back(e.update(1, {}) ? e.currentStep : -1);
    return out;
}

// Counts as a settings file may carry them: the figure stops at maxFigureSteps points instead of
// asking for memory it cannot have.
TEST(ArpeggiatorEngine, HugeStepCountsAreCapped)
{
    ArpeggiatorEngine e = engine(Pattern::up, std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(std::int64_t(e.steps.size()), maxFigureSteps);
    EXPECT_TRUE(e.update(1, {}));
}

TEST(ArpeggiatorEngine, PatternsVisitTheFigureInOrder)
{
    const struct {
        Pattern pattern;
        std::int64_t steps;
        std::vector<std::int64_t> expected;
    } cases[]{
        {Pattern::up, 4, {1, 2, 3, 0, 1}},
        {Pattern::down, 4, {3, 2, 1, 0, 3}},
        {Pattern::pendulum, 4, {1, 2, 3, 2, 1, 0, 1, 2}},
        {Pattern::pendulum, 2, {1, 0, 1, 0}},
        {Pattern::pendulum, 1, {1, 0, 1}}, // index past the single step, clamped when read
        {Pattern::up, 0, {-1, -1}},
        {Pattern::up, -3, {-1, -1}},
    };
    for (const auto& c : cases) {
        auto e = engine(c.pattern, c.steps);
        EXPECT_EQ(visits(e, static_cast<int>(c.expected.size())), c.expected) << toText(c.pattern) << " " << c.steps;
    }
}

TEST(ArpeggiatorEngine, RandomPatternDrawsFromItsOwnSource)
{
    auto e = engine(Pattern::random, 5, 1, Axis::xy, 42);
    Mulberry32 same(42);
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(e.update(1, {}));
        EXPECT_EQ(e.currentStep, static_cast<std::int64_t>(std::floor(same.next() * 5)));
    }
}

TEST(ArpeggiatorEngine, RateSpacesTheSteps)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        double rate;
        std::string expected;
    } cases[]{
        {1, "xxxxxx"}, {0.5, ".x.x.x"}, {2, "xxxxxx"},   {0.25, "...x..."},
        {0, "......"}, {-2, "......"},  {nan, "......"}, {inf, "......"},
    };
    for (const auto& c : cases) {
        auto e = engine(Pattern::up, 8, c.rate);
        std::string moved;
        for (const auto v : visits(e, static_cast<int>(c.expected.size()))) moved += v >= 0 ? 'x' : '.';
        EXPECT_EQ(moved, c.expected) << c.rate;
        EXPECT_TRUE(std::isfinite(e.tickAccumulator)) << c.rate;
    }
}

TEST(ArpeggiatorEngine, FiguresSitAroundTheAnchorScaledByItsZoom)
{
    ArpeggiatorEngine circle(ArpeggiatorConfig{Pattern::up, 4, 0.1, 1, Axis::xy}, Mulberry32(1));
    circle.reset({1, 2, 4, 0.5});
    ASSERT_EQ(circle.steps.size(), 4u);
    EXPECT_DOUBLE_EQ(circle.steps[0].centerX, 1.025);
    EXPECT_DOUBLE_EQ(circle.steps[1].centerY, 2.025);
    EXPECT_NEAR(circle.steps[2].centerX, 0.975, 1e-15);
    for (const auto& s : circle.steps) {
        EXPECT_EQ(s.zoom, 4);
        EXPECT_EQ(s.rotation, 0.5);
    }

    ArpeggiatorEngine line(ArpeggiatorConfig{Pattern::up, 3, 0.1, 1, Axis::y}, Mulberry32(1));
    line.reset({1, 2, 4, 0});
    EXPECT_DOUBLE_EQ(line.steps[0].centerY, 1.975);
    EXPECT_DOUBLE_EQ(line.steps[1].centerY, 2.0);
    EXPECT_DOUBLE_EQ(line.steps[2].centerY, 2.025);
    EXPECT_EQ(line.steps[2].centerX, 1);

    ArpeggiatorEngine single(ArpeggiatorConfig{Pattern::up, 1, 0.1, 1, Axis::x}, Mulberry32(1));
    single.reset({0, 0, 2, 0});
    ASSERT_EQ(single.steps.size(), 1u);
    EXPECT_DOUBLE_EQ(single.steps[0].centerX, -0.05);
}

TEST(ArpeggiatorEngine, ReanchorKeepsThePlaceInTheFigure)
{
    auto e = engine(Pattern::pendulum, 4);
    visits(e, 3); // 1, 2, 3: now heading down
    e.reanchor({5, 5, 2, 0});
    EXPECT_EQ(e.currentStep, 3);
    EXPECT_EQ(e.direction, -1);
    const auto next = e.update(1, {});
    ASSERT_TRUE(next);
    EXPECT_EQ(e.currentStep, 2);
    EXPECT_DOUBLE_EQ(next->centerX, 5 - 0.05);

    e.reset({});
    EXPECT_EQ(e.currentStep, 0);
    EXPECT_EQ(e.direction, 1);
}

} // namespace
} // namespace veltrane
