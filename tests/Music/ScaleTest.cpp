#include "Music/Notes.h"
#include "Music/Scale.h"
#include "Platform/Json/Json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace veltrane;

namespace {

double pitch(double note) { return 440 * std::pow(2.0, (note - 69) / 12); }

} // namespace

TEST(Notes, Conversions)
{
    EXPECT_EQ(Notes::midiToFrequency(69), 440);
    EXPECT_EQ(Notes::midiToFrequency(81), 880);
    EXPECT_DOUBLE_EQ(Notes::midiToFrequency(60), 261.6255653005986);
    EXPECT_DOUBLE_EQ(Notes::midiToFrequency(69.5), 440 * std::pow(2.0, 0.5 / 12));

    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        double frequency;
        int note;
    } toMidi[] = {{440, 69}, {261.63, 60},      {pitch(60.5), 61}, {pitch(60.49), 60}, {1, -36},      {0, 0},
                  {-1, 0},   {std::nan(""), 0}, {inf, 127},        {-inf, 0},          {1e308, 12241}};
    for (const auto& c : toMidi) EXPECT_EQ(Notes::frequencyToMidi(c.frequency), c.note) << c.frequency;

    const struct {
        int note;
        const char* name;
    } names[] = {{60, "C4"}, {69, "A4"}, {61, "C#4"}, {0, "C-1"}, {127, "G9"}, {-1, "B-2"}, {-12, "C-2"}, {11, "B-1"}};
    for (const auto& c : names) EXPECT_EQ(Notes::noteName(c.note), c.name) << c.note;

    for (int pc = -2; pc < 14; ++pc)
        EXPECT_EQ(Notes::isBlackKey(pc), pc == 1 || pc == 3 || pc == 6 || pc == 8 || pc == 10) << pc;

    EXPECT_EQ(Notes::snapToC(61), 60);
    EXPECT_EQ(Notes::snapToC(60), 60);
    EXPECT_EQ(Notes::snapToC(-1), -12);
    EXPECT_EQ(Notes::snapToC(71), 60);
}

TEST(Scale, TablesAndTexts)
{
    EXPECT_EQ(allCases<Scale>.size(), 14u);
    EXPECT_EQ(scaleOrder[4], Scale::pentMajor);
    EXPECT_EQ(scaleOrder[10], Scale::harmMinor);
    EXPECT_EQ(scaleRootNames[1], "C#");
    EXPECT_EQ(label(Scale::pentMinor), "Pent. Minor");
    EXPECT_EQ(label(Scale::off), "Free");
    EXPECT_TRUE(degrees(Scale::off).empty());
    EXPECT_EQ(degrees(Scale::chromatic).size(), 12u);
    EXPECT_EQ(std::vector<int>(degrees(Scale::hirajoshi).begin(), degrees(Scale::hirajoshi).end()),
              (std::vector<int>{0, 2, 3, 7, 8}));
    for (Scale s : allCases<Scale>) {
        EXPECT_EQ(fromText<Scale>(toText(s)), s);
        EXPECT_EQ(Json::Value(s).get<Scale>(), s);
    }
    EXPECT_EQ(Json::Value(Scale::wholeTone), "wholeTone");
    EXPECT_THROW(Json::Value("Major").get<Scale>(), Json::Error);
}

TEST(Scale, Quantize)
{
    const struct {
        Scale scale;
        double frequency;
        int root;
        double expected;
    } cases[] = {
        {Scale::chromatic, 450, 0, 440},
        {Scale::major, 450, 9, 440},
        {Scale::off, 450, 0, 450},
        {Scale::chromatic, pitch(71.5), 0, pitch(72)}, // a quarter tone above B snaps up to C
        {Scale::chromatic, pitch(60.5), 0, pitch(60)}, // other halfway pitches go down
        {Scale::fifths, pitch(63.5), 0, pitch(60)},    // equally far from C and G: C
        {Scale::major, pitch(61), 0, pitch(60)},       // C#: C and D tie, the lower degree wins
        {Scale::major, pitch(66), 2, pitch(66)},       // F# is the major third of D
        {Scale::pentMinor, pitch(59.9), 0, pitch(60)}, // just below the root
        {Scale::chromatic, 0, 0, pitch(-156)},         // floored at 0.001 Hz, about note -155.97
    };
    for (const auto& c : cases)
        EXPECT_DOUBLE_EQ(quantize(c.scale, c.frequency, c.root), c.expected)
            << toText(c.scale) << " " << c.frequency << " root " << c.root;
    EXPECT_EQ(quantize(Scale::chromatic, 450, 0), 440);
}
