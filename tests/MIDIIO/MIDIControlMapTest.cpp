#include "MIDIIO/MIDIControlMap.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace veltrane;
using namespace veltrane::MIDIControlMap;
using FT = AudioParams::FilterType;

namespace {
double after(std::uint8_t cc, std::uint8_t value, double AudioParams::*field)
{
    AudioParams p;
    apply(cc, value, p);
    return p.*field;
}
} // namespace

TEST(MIDIControlMap, ControllerNumbersAndOrders)
{
    EXPECT_EQ(allCases<Controller>.size(), 23u);
    for (int n = 0; n < 256; ++n) {
        const auto c = controller(static_cast<std::uint8_t>(n));
        if (c) {
            EXPECT_EQ(rawValue(*c), n);
        }
    }
    EXPECT_FALSE(controller(sustainPedal));
    EXPECT_FALSE(controller(0));
    // The export order is a permutation of the controllers.
    for (Controller c : allCases<Controller>) EXPECT_EQ(std::count(exportOrder.begin(), exportOrder.end(), c), 1);
}

TEST(MIDIControlMap, ForwardCurves)
{
    struct Case {
        std::uint8_t cc, value;
        double AudioParams::*field;
        double expected;
    };
    const Case cases[] = {
        {74, 0, &AudioParams::filterCutoff, 20},      {74, 127, &AudioParams::filterCutoff, 20000},
        {74, 255, &AudioParams::filterCutoff, 20000}, // above 127 acts as 127
        {1, 127, &AudioParams::harmonicRatio, 8},     {1, 83, &AudioParams::harmonicRatio, 8},
        {1, 0, &AudioParams::harmonicRatio, 0.5},     {3, 127, &AudioParams::fmModIndex, 12},
        {24, 0, &AudioParams::pitchShift, -12},       {24, 127, &AudioParams::pitchShift, 12},
        {24, 63, &AudioParams::pitchShift, 0},        {24, 64, &AudioParams::pitchShift, 0},
        {21, 0, &AudioParams::bitCrushDepth, 1},      {21, 127, &AudioParams::bitCrushDepth, 16},
        {73, 0, &AudioParams::reverbDecay, 0.1},      {94, 127, &AudioParams::delayFeedback, 0.95},
        {93, 64, &AudioParams::delayTime, 1},         {93, 127, &AudioParams::delayTime, 1},
        {22, 0, &AudioParams::phaserRate, 0.1},       {22, 127, &AudioParams::phaserRate, 8},
        {71, 127, &AudioParams::filterQ, 15},         {76, 127, &AudioParams::lfoRate, 20},
        {25, 127, &AudioParams::freqShift, 500},      {7, 127, &AudioParams::volume, 1},
    };
    for (const Case& c : cases)
        EXPECT_DOUBLE_EQ(after(c.cc, c.value, c.field), c.expected) << "CC " << int(c.cc) << " value " << int(c.value);
    EXPECT_FALSE(std::signbit(after(24, 63, &AudioParams::pitchShift))); // never a negative zero
    EXPECT_NEAR(after(74, 64, &AudioParams::filterCutoff), 20 * std::pow(1000.0, 64 / 127.0), 1e-9);
}

TEST(MIDIControlMap, ChoiceBands)
{
    struct Case {
        std::uint8_t cc, value;
        int expectedIndex;
    };
    const Case cases[] = {
        {26, 31, 0}, {26, 32, 1}, {26, 95, 2},  {26, 96, 3}, {26, 255, 3}, {27, 42, 0}, {27, 43, 1},
        {27, 84, 1}, {27, 85, 2}, {27, 255, 2}, {28, 0, 0},  {28, 43, 1},  {28, 85, 2},
    };
    for (const Case& c : cases) {
        AudioParams p;
        apply(c.cc, c.value, p);
        const int index =
            c.cc == 26 ? caseIndex(p.filterType)
            : c.cc == 28
                ? caseIndex(p.noiseType)
                : int(std::find(AudioParams::rolloffCases.begin(), AudioParams::rolloffCases.end(), p.filterRolloff) -
                      AudioParams::rolloffCases.begin());
        EXPECT_EQ(index, c.expectedIndex) << "CC " << int(c.cc) << " value " << int(c.value);
    }
    // The value sent for a choice applies back to the same choice.
    for (FT t : allCases<FT>) {
        AudioParams p, q;
        p.filterType = t;
        q.filterType = FT::notch == t ? FT::lowpass : FT::notch;
        apply(Controller::filterType, value(Controller::filterType, p), q);
        EXPECT_EQ(q.filterType, t);
    }
}

TEST(MIDIControlMap, InverseCurves)
{
    AudioParams p;
    p.filterCutoff = 1000;
    EXPECT_EQ(value(Controller::filterCutoff, p), 72);
    p.filterCutoff = 440;
    EXPECT_EQ(value(Controller::filterCutoff, p), 57);
    p.filterQ = 2;
    EXPECT_EQ(value(Controller::filterQ, p), 52);
    p.harmonicRatio = 0.2;
    EXPECT_EQ(value(Controller::harmonicRatio, p), 0);
    p.fmModIndex = 20;
    EXPECT_EQ(value(Controller::fmModIndex, p), 127);
    p.volume = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(value(Controller::volume, p), 0);
    p.volume = std::numeric_limits<double>::infinity();
    EXPECT_EQ(value(Controller::volume, p), 127);
    p.filterCutoff = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(value(Controller::filterCutoff, p), 0);
    EXPECT_EQ(logScale(1e9, 20, 20000), 127);
    EXPECT_EQ(logScale(-5, 20, 20000), 0);
}

TEST(MIDIControlMap, BothWaysAgree)
{
    // For every controller and value, the value read back from the parameter it set sets that same
    // parameter again (several values may share one parameter where a curve is clamped or rounded).
    for (Controller c : allCases<Controller>) {
        for (int x = 0; x <= 127; ++x) {
            AudioParams p;
            apply(c, static_cast<std::uint8_t>(x), p);
            const int back = value(c, p);
            AudioParams q;
            apply(c, static_cast<std::uint8_t>(back), q);
            EXPECT_EQ(p, q) << toText(c) << " " << x << " -> " << back;
        }
    }
}

TEST(MIDIControlMap, ApplyReportsChanges)
{
    AudioParams p;
    EXPECT_FALSE(apply(sustainPedal, 127, p));
    EXPECT_FALSE(apply(0, 127, p));
    EXPECT_FALSE(apply(2, 127, p));
    EXPECT_EQ(p, AudioParams{});
    EXPECT_TRUE(apply(7, 127, p));
    EXPECT_FALSE(apply(7, 127, p)); // the value it already has
    EXPECT_FALSE(apply(7, 200, p));

    LockedTone tone = LockedTone::locking(AudioParams{}, "sine");
    EXPECT_TRUE(apply(74, 0, tone));
    EXPECT_EQ(tone.params.filterCutoff, 20);
    EXPECT_EQ(tone.waveform, "sine");
    EXPECT_EQ(tone.baseFrequency, 220);
}

TEST(MIDIControlMap, ControllerValuesOfASound)
{
    AudioParams p;
    p.volume = 0.5;
    p.noiseType = AudioParams::NoiseType::pink;
    const auto pairs = controllerValues(p);
    EXPECT_EQ(pairs.front(), (std::pair{Controller::volume, std::uint8_t{64}})); // 63.5 rounds up
    EXPECT_EQ(pairs.back(), (std::pair{Controller::noiseType, std::uint8_t{43}}));
    for (std::size_t i = 0; i < pairs.size(); ++i) EXPECT_EQ(pairs[i].first, exportOrder[i]);
}
