#include "Movement/Conductor.h"
#include "Movement/MovementEngine.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace veltrane {
namespace {

TEST(MovementEngine, SettingsMakeTheEngineOfTheirMode)
{
    MovementSettings s;
    s.arp.stepCount = 5;
    s.euclidean.pulses = 2;
    s.markov.memory = 4;
    s.lsystem.iterations = 1;
    for (const MovementMode mode : allCases<MovementMode>) {
        s.mode = mode;
        const MovementEngine engine = s.makeEngine(Mulberry32(1));
        const auto* arp = engine.as<ArpeggiatorEngine>();
        const auto* euclidean = engine.as<EuclideanEngine>();
        const auto* markov = engine.as<MarkovEngine>();
        const auto* lsystem = engine.as<LSystemEngine>();
        EXPECT_EQ(arp != nullptr, mode == MovementMode::arpeggiator);
        EXPECT_EQ(euclidean != nullptr, mode == MovementMode::euclidean);
        EXPECT_EQ(markov != nullptr, mode == MovementMode::markov);
        EXPECT_EQ(lsystem != nullptr, mode == MovementMode::lsystem);
        if (arp) {
            EXPECT_EQ(arp->config, s.arp);
        }
        if (euclidean) {
            EXPECT_EQ(euclidean->pattern.size(), 8u);
        } // built at once
        if (markov) {
            EXPECT_EQ(markov->config, s.markov);
        }
        if (lsystem) {
            EXPECT_EQ(lsystem->path.size(), 4u);
        } // expanded and walked at once: the three F of one pass
    }
}

TEST(MovementEngine, TakesTheUnseededSourceToo)
{
    MovementSettings s;
    s.mode = MovementMode::markov;
    MovementEngine engine = s.makeEngine(SystemRandomSource{});
    engine.reset({0, 0, 2, 0});
    const MovementEngine copy = engine;
    const auto target = engine.update(1, {0, 0, 2, 0});
    ASSERT_TRUE(target);
    EXPECT_TRUE(std::isfinite(target->centerX) && std::isfinite(target->centerY));
    EXPECT_EQ(copy.as<MarkovEngine>()->history.size(), 1u); // the copy is untouched
}

TEST(MovementEngine, OnlyTheMarkovWalkKeepsTheFrameOrigin)
{
    MovementSettings s;
    s.mode = MovementMode::markov;
    MovementEngine markov = s.makeEngine(Mulberry32(1));
    markov.setFrameOrigin(1.5, -2, FractalType::burningship);
    EXPECT_EQ(markov.as<MarkovEngine>()->originX, 1.5);
    EXPECT_EQ(markov.as<MarkovEngine>()->probeType, FractalType::burningship);
    s.mode = MovementMode::lsystem;
    MovementEngine lsystem = s.makeEngine(Mulberry32(1));
    lsystem.setFrameOrigin(1.5, -2, std::nullopt); // accepted, ignored
    EXPECT_EQ(lsystem.as<LSystemEngine>()->anchor, FractalTarget{});
}

// 10,000 ticks of a conductor on a seeded source: every note's targets.
std::vector<Conductor::Note> run(const MovementSettings& settings, std::uint32_t seed)
{
    Conductor c(settings, BigComplex(-0.7453, 0.1127, 2), 200, 0.3, 0, 48000, Mulberry32(seed));
    const auto notes = c.schedule(c.frame(10000), [](const FractalTarget&) { return 440.0; });
    EXPECT_EQ(c.tickIndex(), 10000);
    return notes;
}

bool finite(const FractalTarget& t)
{
    return std::isfinite(t.centerX) && std::isfinite(t.centerY) && std::isfinite(t.zoom) && std::isfinite(t.rotation);
}

TEST(MovementEngine, SeededRunsAreFiniteAndRepeat)
{
    for (const MovementMode mode : allCases<MovementMode>) {
        for (const bool busy : {false, true}) {
            MovementSettings s;
            s.mode = mode;
            if (busy) { // the other side of each engine's options
                s.arp.pattern = ArpeggiatorConfig::Pattern::random;
                s.arp.rate = 3;
                s.euclidean = {5, 13, 3, EuclideanConfig::Axis::zoom, 0.05, 0.7};
                s.markov = {0.5, 0.3, 8, 1};
                s.lsystem.rules = LSystemConfig::presets()[3].ruleMap();
                s.lsystem.axiom = "F";
                s.lsystem.iterations = 7;
                s.lsystem.rate = 7.5;
            }
            const auto first = run(s, 2024);
            ASSERT_FALSE(first.empty()) << toText(mode);
            for (const auto& note : first) {
                ASSERT_TRUE(finite(note.target) && finite(note.local)) << toText(mode) << " frame " << note.frame;
                ASSERT_GT(note.local.zoom, 0) << toText(mode);
            }
            EXPECT_EQ(run(s, 2024), first) << toText(mode);
        }
    }
}

TEST(MovementEngine, ACopiedConductorCarriesOnIdentically)
{
    for (const MovementMode mode : {MovementMode::arpeggiator, MovementMode::markov}) {
        MovementSettings s;
        s.mode = mode;
        s.arp.pattern = ArpeggiatorConfig::Pattern::random;
        Conductor original(s, BigComplex(-0.75, 0.1, 2), 4, 0, 0, 48000, Mulberry32(99));
        original.schedule(original.frame(20), {});
        Conductor copy = original;
        const auto a = original.schedule(original.frame(60), {});
        const auto b = copy.schedule(copy.frame(60), {});
        EXPECT_EQ(a, b) << toText(mode);
        EXPECT_EQ(a.size(), 40u) << toText(mode);
    }
}

} // namespace
} // namespace veltrane
