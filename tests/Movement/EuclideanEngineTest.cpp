#include "Movement/EuclideanEngine.h"
#include "Movement/EngineTicks.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <string>
#include <vector>

namespace veltrane {
namespace {

// The group-pairing construction written independently, on strings: "1" groups and "0" groups are
// paired off until one remainder group is left.
std::string oracle(int pulses, int steps)
{
    if (pulses >= steps) return std::string(static_cast<std::size_t>(steps), 'x');
    if (pulses == 0) return std::string(static_cast<std::size_t>(steps), '.');
    std::vector<std::string> front(static_cast<std::size_t>(pulses), "x");
    std::vector<std::string> back(static_cast<std::size_t>(steps - pulses), ".");
    while (back.size() > 1) {
        std::vector<std::string> joined;
        std::vector<std::string> left;
        for (std::size_t i = 0; i < front.size() || i < back.size(); ++i) {
            if (i < front.size() && i < back.size())
                joined.push_back(front[i] + back[i]);
            else
                left.push_back(i < front.size() ? front[i] : back[i]);
        }
        front = joined;
        back = left;
    }
    std::string out;
    for (const auto& g : front) out += g;
    for (const auto& g : back) out += g;
    return out;
}

std::string text(const std::vector<bool>& rhythm)
{
    std::string s;
    for (const bool onset : rhythm) s += onset ? 'x' : '.';
    return s;
}

TEST(Bjorklund, KnownRhythmsAndEdges)
{
    const struct {
        std::int64_t pulses, steps;
        const char* expected;
    } cases[]{
        {3, 8, "x..x..x."}, {5, 8, "x.xx.xx."}, {7, 16, "x..x.x.x..x.x.x."},
        {0, 4, "...."},     {4, 4, "xxxx"},     {6, 4, "xxxx"},
        {0, 0, ""},         {2, 0, ""},         {-1, 4, "...."},
        {3, -2, ""},        {1, 1, "x"},        {1, 5, "x...."},
    };
    for (const auto& c : cases)
        EXPECT_EQ(text(bjorklund(c.pulses, c.steps)), c.expected) << c.pulses << " in " << c.steps;
}

TEST(Bjorklund, MatchesTheIndependentConstructionAndIsMaximallyEven)
{
    for (int steps = 0; steps <= 32; ++steps) {
        for (int pulses = 0; pulses <= steps; ++pulses) {
            const std::string rhythm = text(bjorklund(pulses, steps));
            ASSERT_EQ(rhythm, oracle(pulses, steps)) << pulses << " in " << steps;
            if (pulses < 2) continue;
            // Gaps between onsets, wrapping round, differ by at most one.
            std::vector<int> onsets;
            for (int i = 0; i < steps; ++i)
                if (rhythm[static_cast<std::size_t>(i)] == 'x') onsets.push_back(i);
            ASSERT_EQ(onsets.size(), static_cast<std::size_t>(pulses));
            int shortest = steps, longest = 0;
            for (std::size_t i = 0; i < onsets.size(); ++i) {
                const int gap = (i + 1 < onsets.size() ? onsets[i + 1] : onsets[0] + steps) - onsets[i];
                shortest = std::min(shortest, gap);
                longest = std::max(longest, gap);
            }
            EXPECT_LE(longest - shortest, 1) << pulses << " in " << steps;
        }
    }
}

EuclideanConfig config(std::int64_t pulses, std::int64_t steps,
                       EuclideanConfig::Axis axis = EuclideanConfig::Axis::combined, double rate = 1.0,
                       std::int64_t rotation = 0)
{
    return EuclideanConfig{pulses, steps, rotation, axis, 0.05, rate};
}

TEST(EuclideanEngine, HugeCountsAreCapped)
{
    EuclideanConfig config;
    config.pulses = std::numeric_limits<std::int64_t>::max();
    config.steps = std::numeric_limits<std::int64_t>::max();
    EuclideanEngine e(config);
    EXPECT_EQ(std::int64_t(e.pattern.size()), maxFigureSteps);
}

TEST(EuclideanEngine, RotationTurnsTheRhythmLeft)
{
    EXPECT_EQ(text(EuclideanEngine(config(3, 8, {}, 1, 1)).pattern), "..x..x.x");
    EXPECT_EQ(text(EuclideanEngine(config(3, 8, {}, 1, 8)).pattern), "x..x..x.");
    EXPECT_EQ(text(EuclideanEngine(config(3, 8, {}, 1, 17)).pattern), "..x..x.x");
    EXPECT_EQ(text(EuclideanEngine(config(3, 8, {}, 1, -1)).pattern), ".x..x..x"); // a right turn
    EXPECT_TRUE(EuclideanEngine(config(3, 0, {}, 1, 5)).pattern.empty());
}

// Which of `ticks` calls of update(1) gave a move.
std::string moves(EuclideanEngine& engine, int ticks, const FractalTarget& current = {})
{
    std::string s;
    for (int i = 0; i < ticks; ++i) s += engine.update(1, current) ? 'x' : '.';
    return s;
}

TEST(EuclideanEngine, MovesOnTheOnsetsAtItsRate)
{
    const struct {
        EuclideanConfig config;
        const char* expected;
    } cases[]{
        {config(3, 8), "x..x..x.x..x..x."},
        {config(4, 4, {}, 0.5), ".x.x.x.x"}, // one rhythm step every second tick
        {config(4, 4, {}, 2.0), "xxxxxxxx"}, // never more than one per tick
        {config(6, 4), "xxxx"},
        {config(0, 4), "........"},
        {config(3, 0), "........"},
        // No rate that is not positive and finite ever steps (1/rate would be 0, infinite or NaN).
        {config(4, 4, {}, 0.0), "........"},
        {config(4, 4, {}, -1.0), "........"},
        {config(4, 4, {}, std::numeric_limits<double>::quiet_NaN()), "........"},
        {config(4, 4, {}, std::numeric_limits<double>::infinity()), "........"},
    };
    for (const auto& c : cases) {
        EuclideanEngine engine(c.config);
        engine.reset({});
        EXPECT_EQ(moves(engine, static_cast<int>(std::string(c.expected).size())), c.expected) << c.config.rate;
        EXPECT_TRUE(std::isfinite(engine.tickAccumulator));
    }
    EuclideanEngine engine(config(4, 4));
    EXPECT_FALSE(engine.update(0, {}));
    EXPECT_EQ(engine.stepIndex, 0);
}

TEST(EuclideanEngine, AxesMoveWhatTheyName)
{
    const FractalTarget current{0.5, -0.25, 4, 0.3};
    const FractalTarget anchor{0.1, 0.2, 2, 0.7};
    const double v = 0.05 / current.zoom;
    const double theta = 2 * std::numbers::pi / 3; // first onset of 3 pulses
    using Axis = EuclideanConfig::Axis;
    const struct {
        Axis axis;
        FractalTarget expected;
    } cases[]{
        {Axis::x, {anchor.centerX + v * std::cos(theta) * 0.3, current.centerY, current.zoom, current.rotation}},
        {Axis::y, {current.centerX, anchor.centerY + v * std::sin(theta) * 0.3, current.zoom, current.rotation}},
        {Axis::zoom, {current.centerX, current.centerY, anchor.zoom * (1 + 0.3 * std::sin(theta)), current.rotation}},
        {Axis::rotation, {current.centerX, current.centerY, current.zoom, anchor.rotation + v}},
        {Axis::combined,
         {anchor.centerX + v * std::cos(theta), anchor.centerY + v * std::sin(theta), current.zoom, current.rotation}},
    };
    for (const auto& c : cases) {
        EuclideanEngine engine(config(3, 8, c.axis));
        engine.reset(anchor);
        const auto target = engine.update(1, current);
        ASSERT_TRUE(target);
        EXPECT_DOUBLE_EQ(target->centerX, c.expected.centerX) << toText(c.axis);
        EXPECT_DOUBLE_EQ(target->centerY, c.expected.centerY) << toText(c.axis);
        EXPECT_DOUBLE_EQ(target->zoom, c.expected.zoom) << toText(c.axis);
        EXPECT_DOUBLE_EQ(target->rotation, c.expected.rotation) << toText(c.axis);
    }
}

TEST(EuclideanEngine, ReanchorKeepsTheRhythmPositionAndOnsetCount)
{
    EuclideanEngine engine(config(3, 8, EuclideanConfig::Axis::combined));
    engine.reset({});
    moves(engine, 5); // onsets at 0 and 3
    engine.reanchor({1, 1, 1, 0});
    EXPECT_EQ(engine.stepIndex, 5);
    EXPECT_EQ(engine.waypointIndex, 2);
    EXPECT_FALSE(engine.update(1, {}));
    const auto third = engine.update(1, {0, 0, 1, 0}); // the third onset: a full turn round the new anchor
    ASSERT_TRUE(third);
    EXPECT_NEAR(third->centerX, 1.05, 1e-15);
    EXPECT_NEAR(third->centerY, 1, 1e-15);

    engine.reset({});
    EXPECT_EQ(engine.stepIndex, 0);
    EXPECT_EQ(engine.waypointIndex, 0);
}

} // namespace
} // namespace veltrane
