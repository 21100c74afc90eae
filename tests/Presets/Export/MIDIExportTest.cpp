// The MIDI controller file of a locked tone.
#include "Presets/Export/MIDIExport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace veltrane {
namespace {

std::uint8_t value(const LockedTone& tone, std::uint8_t controller)
{
    for (const auto& [c, v] : MIDIExport::controllers(tone))
        if (c == controller) return v;
    ADD_FAILURE() << "no controller " << int(controller);
    return 0;
}

// The default sound locked at A3, worked out by hand from the controller table:
// volume 0.5 × 127 = 63.5 → 64; cutoff log2(100)·127/log2(1000) = 84.67 → 85; Q log2(4)·127/log2(30)
// = 51.8 → 52; reverb 38.1 → 38, 31.75 → 32; delay 15.875 → 16, 38, 25.4 → 25; drive 0; LFO
// log2(10)·127/log2(200) = 55.2 → 55; ratio 0.5·127/11.5 = 5.5 → 6; FM 16.6 → 17; chorus 38;
// width 88.9 → 89; noise 0; crush 127; phaser log2(5)·127/log2(80) = 46.6 → 47, 0; pitch 63.5 → 64;
// shift 0; lowpass 0, -12 dB 0, white 0.
TEST(MIDIExport, DefaultToneFileBytes)
{
    const LockedTone tone = LockedTone::locking(AudioParams::defaults(), "sawtooth");
    ASSERT_EQ(tone.baseMidiNote, 57);
    const std::vector<std::uint8_t> expected = {
        'M',  'T',  'h', 'd',  0,    0,    0, 6,    0,  0,  0, 1,    0x01, 0xE0, 'M', 'T',  'r', 'k',  0,    0,
        0,    0x69, 0,   0xB0, 7,    64,   0, 0xB0, 74, 85, 0, 0xB0, 71,   52,   0,   0xB0, 91,  38,   0,    0xB0,
        73,   32,   0,   0xB0, 93,   16,   0, 0xB0, 94, 38, 0, 0xB0, 95,   25,   0,   0xB0, 92,  0,    0,    0xB0,
        76,   55,   0,   0xB0, 1,    6,    0, 0xB0, 3,  17, 0, 0xB0, 12,   38,   0,   0xB0, 10,  89,   0,    0xB0,
        20,   0,    0,   0xB0, 21,   127,  0, 0xB0, 22, 47, 0, 0xB0, 23,   0,    0,   0xB0, 24,  64,   0,    0xB0,
        25,   0,    0,   0xB0, 26,   0,    0, 0xB0, 27, 0,  0, 0xB0, 28,   0,    0,   0x90, 57,  0x64, 0x83, 0x60,
        0x80, 57,   0,   0,    0xFF, 0x2F, 0};
    EXPECT_EQ(MIDIExport::file(tone), expected);
    EXPECT_EQ(expected.size(), MIDIExport::fileSize);
    EXPECT_EQ(MIDIExport::filename(tone), "veltrane-A3.mid");
}

TEST(MIDIExport, ControllerCurvesAndChoices)
{
    LockedTone tone = LockedTone::locking(AudioParams::defaults(), "sine");
    struct Case {
        void (*set)(AudioParams&);
        std::uint8_t controller;
        std::uint8_t expected;
    };
    const Case cases[] = {
        {[](AudioParams& p) { p.filterType = AudioParams::FilterType::lowpass; }, 26, 0},
        {[](AudioParams& p) { p.filterType = AudioParams::FilterType::notch; }, 26, 96},
        {[](AudioParams& p) { p.filterRolloff = AudioParams::Rolloff::db24; }, 27, 43},
        {[](AudioParams& p) { p.filterRolloff = AudioParams::Rolloff::db48; }, 27, 85},
        {[](AudioParams& p) { p.noiseType = AudioParams::NoiseType::brown; }, 28, 85},
        {[](AudioParams& p) { p.filterCutoff = 20; }, 74, 0},
        {[](AudioParams& p) { p.filterCutoff = 5; }, 74, 0},
        {[](AudioParams& p) { p.filterCutoff = 20000; }, 74, 127},
        {[](AudioParams& p) { p.filterCutoff = 90000; }, 74, 127},
        {[](AudioParams& p) { p.filterCutoff = 200; }, 74, 42},
        {[](AudioParams& p) { p.volume = std::nan(""); }, 7, 0},
        {[](AudioParams& p) { p.volume = 2; }, 7, 127},
    };
    for (const Case& c : cases) {
        LockedTone t = tone;
        c.set(t.params);
        EXPECT_EQ(value(t, c.controller), c.expected) << int(c.controller);
    }
    for (int note : {-5, 200}) {
        tone.baseMidiNote = note;
        const auto bytes = MIDIExport::file(tone);
        ASSERT_EQ(bytes.size(), 127u);
        EXPECT_EQ(bytes[116], note < 0 ? 0 : 127);
    }
    tone.baseMidiNote = 61;
    EXPECT_EQ(MIDIExport::filename(tone), "veltrane-Cs4.mid");
}

TEST(MIDIExport, Clamp7AndVariableLengthQuantities)
{
    const std::pair<double, int> rounds[] = {
        {63.5, 64}, {-0.5, 0}, {200, 127}, {std::nan(""), 0}, {std::numeric_limits<double>::infinity(), 127},
        {2.5, 3},   {2.49, 2}};
    for (const auto& [x, expected] : rounds) EXPECT_EQ(MIDIExport::clamp7(x), expected) << x;
    const std::pair<std::int64_t, std::vector<std::uint8_t>> quantities[] = {
        {0, {0x00}}, {127, {0x7F}}, {128, {0x81, 0x00}}, {480, {0x83, 0x60}}, {16384, {0x81, 0x80, 0x00}},
        {-1, {0x00}}};
    for (const auto& [n, expected] : quantities) EXPECT_EQ(MIDIExport::vlq(n), expected) << n;
}

} // namespace
} // namespace veltrane
