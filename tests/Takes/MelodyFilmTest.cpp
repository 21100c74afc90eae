#include "Takes/MelodyFilm.h"

#include "FractalCore/ZoomRules.h"
#include "Music/MelodyPlayer.h"
#include "Synth/KernelParams.h"

#include <gtest/gtest.h>

using namespace veltrane;

namespace {

// Four beats of melody over a bass note; 120 bpm, so a beat is 24000 frames at 48 kHz.
Melody tune()
{
    return Melody("t", "Tune", "", 120, 4, 60, {{0, 1, 0, 0.8}, {1, 1, 4, 0.8}, {2, 2, 7, 0.8}}, {{0, 4, -12, 0.5}}, 4);
}

struct Film {
    std::vector<double> beats;
    Take take;
};

Film film(double leadIn, double tail, double viewRate, bool bass = true)
{
    std::vector<double> beats;
    auto pose = [&beats](double beat) {
        beats.push_back(beat);
        return MelodyFilm::Pose{BigComplex(-0.5 + beat / 100, 0.25, 2), 1 + std::max(beat, 0.0), beat / 10, beat / 4};
    };
    const MelodyFilm::Look look{FractalType::julia, {0.3, 0.5}, Palette::gilded, 0.4, 0.2};
    Take take = MelodyFilm::take(tune(), 62, 120, bass, AudioParams::defaults(), Waveform::square, look, leadIn, tail,
                                 viewRate, 48000, pose);
    return {beats, std::move(take)};
}

} // namespace

TEST(MelodyFilm, SeedsThenNotesAfterTheLeadIn)
{
    const auto [beats, take] = film(1, 0.5, 60);
    const auto values = KernelParams::values(AudioParams::defaults(), Waveform::square, Waveform::triangle);
    ASSERT_GE(take.events.size(), 31u);
    for (int i = 0; i < 31; ++i)
        EXPECT_EQ(take.events[i], (Take::Event{0, VK_EVENT_PARAM_NO_RAMP, i, 0, values[i], 0, 0})) << i;
    const auto firstOn =
        std::find_if(take.events.begin(), take.events.end(), [](auto& e) { return e.type == VK_EVENT_KEY_ON; });
    ASSERT_NE(firstOn, take.events.end());
    EXPECT_EQ(firstOn->frame, 48000);
    EXPECT_TRUE(
        std::is_sorted(take.events.begin(), take.events.end(), [](auto& a, auto& b) { return a.frame < b.frame; }));
    int ons = 0, offs = 0, bassOns = 0;
    for (const auto& e : take.events) {
        ons += e.type == VK_EVENT_KEY_ON;
        offs += e.type == VK_EVENT_KEY_OFF;
        bassOns += e.type == VK_EVENT_KEY_ON && e.id >= MelodyPlayer::firstBassID;
    }
    EXPECT_EQ(ons, 4);
    EXPECT_EQ(offs, 4);
    EXPECT_EQ(bassOns, 1);
    EXPECT_FLOAT_EQ(firstOn->value, 293.66476f) << "the tonic D4";

    // The melody lasts 4 beats (96000 frames) after the lead-in, then the tail.
    EXPECT_EQ(take.length, 48000 + 96000 + 24000);
    EXPECT_EQ(take.version, 1);
    EXPECT_TRUE(take.orbits.empty());
    EXPECT_TRUE(take.hud.empty());
    // Views every 800 frames, the last within the length, the first at beat -2 (the lead-in).
    ASSERT_EQ(take.views.size(), size_t(168000 / 800 + 1));
    EXPECT_EQ(take.views.back().frame, 168000);
    EXPECT_DOUBLE_EQ(beats.front(), -2.0);
    EXPECT_DOUBLE_EQ(beats[60], 0.0);
    const Take::View& v = take.views[120]; // beat 2
    EXPECT_EQ(v.type, FractalType::julia);
    EXPECT_EQ(v.palette, Palette::gilded);
    EXPECT_EQ(v.zoom, 3);
    EXPECT_EQ(v.colour, 0.5);
    EXPECT_EQ(v.maxIterations, ZoomRules::autoIterations(3, 200000));
    EXPECT_EQ(v.x, BigComplex(-0.48, 0.25, 2).x().decimal());
    // The take survives its file.
    EXPECT_EQ(Take::decode(take.encoded()), take);
}

TEST(MelodyFilm, ViewFramesAreTheIntegerPartsOfARunningSum)
{
    const auto take = film(0, 0, 70).take;
    const std::int64_t want[] = {0, 685, 1371, 2057, 2742};
    for (size_t i = 0; i < std::size(want); ++i) EXPECT_EQ(take.views[i].frame, want[i]) << i;
    EXPECT_LE(take.views.back().frame, take.length);
}

TEST(MelodyFilm, WithoutBassOnlyMelodyNotesAndWithoutAViewRateNoViews)
{
    const auto take = film(0, 0, 60, false).take;
    for (const auto& e : take.events)
        if (e.type == VK_EVENT_KEY_ON || e.type == VK_EVENT_KEY_OFF) {
            EXPECT_GE(e.id, MelodyPlayer::firstID);
            EXPECT_LE(e.id, MelodyPlayer::lastID);
        }
    for (double rate : {0.0, -60.0, std::nan("")}) EXPECT_TRUE(film(0, 0, rate).take.views.empty()) << rate;
}
