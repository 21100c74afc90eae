#include "Movement/LSystemEngine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <string>
#include <vector>

namespace veltrane {
namespace {

const LSystemConfig::Preset& preset(std::string_view id)
{
    for (const auto& p : LSystemConfig::presets())
        if (p.id == id) return p;
    throw std::out_of_range(std::string(id));
}

// Rewriting without any cap, one character at a time.
std::string uncapped(const std::string& axiom, const std::map<char, std::string>& rules, int iterations)
{
    std::string s = axiom;
    for (int i = 0; i < iterations; ++i) {
        std::string out;
        for (const char c : s) {
            const auto rule = rules.find(c);
            out += rule == rules.end() ? std::string(1, c) : rule->second;
        }
        s = out;
    }
    return s;
}

TEST(LSystemEngine, ExpansionsMatchUncappedRewritingUpToTheCap)
{
    const struct {
        const char* preset;
        int iterations;
        std::size_t size;
    } cases[]{
        {"hilbert", 3, 211},      {"koch", 6, 31249},       {"koch", 7, 50000}, {"dragon", 10, 4094},
        {"sierpinski", 8, 32805}, {"sierpinski", 9, 50000}, {"hilbert", 0, 1},
    };
    for (const auto& c : cases) {
        const auto& p = preset(c.preset);
        std::map<char, std::string> rules;
        for (const auto& [key, value] : p.rules) rules[key.front()] = std::string(value);
        const std::string expanded = LSystemEngine::expand(p.axiom, p.ruleMap(), c.iterations);
        EXPECT_EQ(expanded.size(), c.size) << c.preset << " " << c.iterations;
        EXPECT_LE(expanded.capacity(), LSystemEngine::maxStringLength) << c.preset;
        const std::string full = uncapped(std::string(p.axiom), rules, c.iterations);
        EXPECT_EQ(expanded, full.substr(0, LSystemEngine::maxStringLength)) << c.preset << " " << c.iterations;
    }
}

TEST(LSystemEngine, EveryPathKeepsTheCap)
{
    const std::size_t cap = LSystemEngine::maxStringLength;
    const std::string longAxiom(cap + 10000, 'A');
    const std::string huge(3 * cap, 'F');
    const struct {
        const char* what;
        std::string axiom;
        LSystemConfig::Rules rules;
        std::int64_t iterations;
        std::string expected;
    } cases[]{
        {"a long axiom without a pass", longAxiom, {}, 0, std::string(cap, 'A')},
        {"a long axiom, negative passes", longAxiom, {}, -4, std::string(cap, 'A')},
        {"a long axiom, rules that keep it", longAxiom, {{"B", "BB"}}, 3, std::string(cap, 'A')},
        // Empty values shrink the string; bytes past the cap of the axiom still count.
        {"a long axiom, rules that empty it", longAxiom + "FG", {{"A", ""}}, 1, "FG"},
        {"empty values only", "AB", {{"A", ""}, {"B", ""}}, 5, ""},
        {"a single huge value", "A", {{"A", huge}}, 1, std::string(cap, 'F')},
        {"a huge value late in a pass", "BA", {{"A", huge}}, 2, "B" + std::string(cap - 1, 'F')},
    };
    for (const auto& c : cases) {
        const std::string expanded = LSystemEngine::expand(c.axiom, c.rules, c.iterations);
        EXPECT_EQ(expanded, c.expected) << c.what;
        EXPECT_LE(expanded.capacity(), cap) << c.what;
    }
}

// Pass counts as a settings file may carry them: rules that settle stop rewriting at once, and rules
// that permute symbols forever stop after maxPasses passes instead of running for ages.
TEST(LSystemEngine, HugePassCountsFinish)
{
    const std::int64_t huge = std::numeric_limits<std::int64_t>::max();
    EXPECT_EQ(LSystemEngine::expand("AB", {{"A", "B"}}, huge), "BB");
    EXPECT_EQ(LSystemEngine::expand("AB", {{"A", "B"}, {"B", "A"}}, huge),
              LSystemEngine::expand("AB", {{"A", "B"}, {"B", "A"}}, LSystemEngine::maxPasses));
    EXPECT_EQ(LSystemEngine::expand("A", {{"A", "AB"}}, huge).size(), std::size_t(LSystemEngine::maxPasses + 1));
}

TEST(LSystemEngine, RuleKeysCountByTheirFirstByte)
{
    // "AB" and "A" share their first byte: the first key in the rules' order applies.
    EXPECT_EQ(LSystemEngine::expand("AB", {{"A", "x"}, {"AB", "y"}, {"", "z"}}, 1), "xB");
    EXPECT_EQ(LSystemEngine::expand("é", {{"\xc3", "c"}}, 1), "c\xa9"); // bytes, not characters
}

TEST(LSystemEngine, TurtleFollowsTurnsAndBrackets)
{
    using P = LSystemEngine::Point;
    const auto path = LSystemEngine::generatePath("F[+F]F]X-G", 1, 90);
    const std::vector<P> expected{{0, 0}, {1, 0}, {1, 1}, {2, 0}, {2, -1}};
    ASSERT_EQ(path.size(), expected.size());
    for (std::size_t i = 0; i < path.size(); ++i) {
        EXPECT_NEAR(path[i].x, expected[i].x, 1e-15) << i;
        EXPECT_NEAR(path[i].y, expected[i].y, 1e-15) << i;
    }
    EXPECT_EQ(LSystemEngine::generatePath("+-[]XY", 1, 90), (std::vector<P>{{0, 0}}));
    EXPECT_EQ(LSystemEngine::generatePath("", 1, 90), (std::vector<P>{{0, 0}}));
}

TEST(LSystemEngine, HilbertPathAndWalk)
{
    LSystemEngine engine{LSystemConfig{}};
    ASSERT_EQ(engine.path.size(), 64u);
    const LSystemEngine::Point start[]{{0, 0}, {0, -1}, {1, -1}, {1, 0}};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_NEAR(engine.path[i].x, start[i].x, 1e-12) << i;
        EXPECT_NEAR(engine.path[i].y, start[i].y, 1e-12) << i;
    }
    const FractalTarget anchor{0.5, 0.25, 2, 0.1};
    engine.reset(anchor);
    const FractalTarget current{9, 9, 4, 0.7};
    for (int tick = 1; tick <= 33; ++tick) {
        const auto target = engine.update(1, current);
        ASSERT_TRUE(target);
        const std::size_t index = static_cast<std::size_t>(2 * tick) % 64; // rate 2: 2, 4, …, 62, then 0
        EXPECT_EQ(engine.pathIndex, static_cast<std::int64_t>(index));
        EXPECT_EQ(*target,
                  (FractalTarget{anchor.centerX + engine.path[index].x * 0.005,
                                 anchor.centerY + engine.path[index].y * 0.005, current.zoom, current.rotation}));
    }
}

TEST(LSystemEngine, RateAdvancesThePath)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        double rate;
        std::vector<std::int64_t> expected; // path index after each tick, -1 where the tick passed
    } cases[]{
        {0.5, {-1, 1, -1, 2, -1, 3}},
        {2, {2, 4, 6}},
        {1.5, {1, 3, 4, 6}},
        {0, {-1, -1}},
        {-1, {-1, -1}},
        {nan, {-1, -1}},
        {inf, {-1, -1}},
        {1e300, {0, 0}}, // a whole number of laps round the 64 points, without overflowing the index
    };
    for (const auto& c : cases) {
        LSystemConfig config;
        config.rate = c.rate;
        LSystemEngine engine(config);
        engine.reset({});
        for (std::size_t i = 0; i < c.expected.size(); ++i) {
            const auto target = engine.update(1, {});
            EXPECT_EQ(target ? engine.pathIndex : -1, c.expected[i]) << c.rate << " tick " << i;
            if (target) {
                EXPECT_TRUE(std::isfinite(target->centerX) && std::isfinite(target->centerY));
            }
        }
    }
}

TEST(LSystemEngine, NeverMovesWithoutAPathAndReanchorRestartsTheWalk)
{
    LSystemConfig still;
    still.axiom = "X";
    still.rules = {{"X", "+X-"}};
    LSystemEngine idle(still);
    EXPECT_EQ(idle.path.size(), 1u);
    EXPECT_FALSE(idle.update(1, {}));

    LSystemConfig config;
    config.rate = 0.5;
    LSystemEngine engine(config);
    engine.reset({});
    engine.update(1, {});
    engine.update(1, {});
    engine.update(1, {});
    engine.reanchor({1, 1, 1, 0});
    EXPECT_EQ(engine.pathIndex, 0);
    EXPECT_EQ(engine.tickAccumulator, 0.5); // kept: the next tick moves
    const auto target = engine.update(1, {0, 0, 1, 0});
    ASSERT_TRUE(target);
    EXPECT_NEAR(target->centerX, 1 + engine.path[1].x * 0.02, 1e-15);
    EXPECT_FALSE(engine.update(0, {}));
}

} // namespace
} // namespace veltrane
