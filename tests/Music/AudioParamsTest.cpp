#include "Music/AudioParams.h"
#include "Music/LockedTone.h"
#include "Platform/Json/Json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace veltrane;

namespace {

AudioParams decode(const char* text) { return Json::parse(text).get<AudioParams>(); }

} // namespace

TEST(AudioParams, DefaultsAndEnumerations)
{
    const AudioParams d = AudioParams::defaults();
    EXPECT_EQ(d.frequency, 220);
    EXPECT_EQ(d.bitCrushDepth, 16);
    EXPECT_EQ(d.glue, 0.35);
    EXPECT_EQ(d.synthMode, AudioParams::SynthMode::subtractive);

    EXPECT_EQ(caseIndex(AudioParams::FilterType::notch), 3);
    EXPECT_EQ(caseIndex(AudioParams::NoiseType::brown), 2);
    EXPECT_EQ(caseIndex(AudioParams::SynthMode::orbit), 3);
    EXPECT_EQ(toText(AudioParams::FilterType::bandpass), "bandpass");
    EXPECT_EQ(fromText<AudioParams::SynthMode>("fm"), AudioParams::SynthMode::fm);
    EXPECT_EQ(fromText<AudioParams::NoiseType>("Pink"), std::nullopt);

    const struct {
        int raw;
        std::optional<AudioParams::Rolloff> rolloff;
        int stages;
    } rolloffs[] = {{-12, AudioParams::Rolloff::db12, 1},
                    {-24, AudioParams::Rolloff::db24, 2},
                    {-48, AudioParams::Rolloff::db48, 3},
                    {-36, std::nullopt, 0},
                    {12, std::nullopt, 0}};
    for (const auto& r : rolloffs) {
        EXPECT_EQ(rolloffFromRawValue(r.raw), r.rolloff) << r.raw;
        if (r.rolloff) {
            EXPECT_EQ(rawValue(*r.rolloff), r.raw);
            EXPECT_EQ(stages(*r.rolloff), r.stages);
        }
    }
}

TEST(AudioParams, DecodingIsLenientPerKey)
{
    EXPECT_EQ(decode("{}"), AudioParams::defaults());

    AudioParams expected = AudioParams::defaults();
    expected.frequency = 330;
    expected.filterRolloff = AudioParams::Rolloff::db24;
    const AudioParams two = decode(R"({"frequency": 330, "filterRolloff": -24})");
    EXPECT_EQ(two, expected);
    EXPECT_EQ(stages(two.filterRolloff), 2);

    EXPECT_EQ(decode(R"({"filterType": null, "glue": null})"), AudioParams::defaults());
    EXPECT_EQ(decode(R"({"filterTypeLegacy": "weird", "filterRolloff": -48.0})").filterRolloff,
              AudioParams::Rolloff::db48);
    EXPECT_EQ(decode(R"({"synthMode": "orbit", "noiseType": "brown", "filterType": "notch"})").synthMode,
              AudioParams::SynthMode::orbit);
}

TEST(AudioParams, DecodingIsStrictPerValue)
{
    for (const char* text : {
             R"({"filterRolloff": -36})",
             R"({"filterRolloff": -12.5})",
             R"({"filterRolloff": "-12"})",
             R"({"filterType": "LowPass"})",
             R"({"filterType": 0})",
             R"({"noiseType": "blue"})",
             R"({"synthMode": "wavetable"})",
             R"({"frequency": "440"})",
             R"({"frequency": true})",
             R"({"volume": [0.5]})",
             R"([])",
             R"(3)",
         }) {
        EXPECT_THROW(decode(text), Json::Error) << text;
    }
    // A failed decode leaves the caller's record as it was.
    AudioParams kept = AudioParams::defaults();
    kept.volume = 0.9;
    EXPECT_THROW(from_json(Json::parse(R"({"volume": 0.1, "filterType": "x"})"), kept), Json::Error);
    EXPECT_EQ(kept.volume, 0.9);
}

TEST(AudioParams, EncodingRoundTripsWithTheTwentyEightKeys)
{
    const Json::Value json = AudioParams::defaults();
    EXPECT_EQ(json.size(), 28u);
    EXPECT_TRUE(json["filterRolloff"].is_number_integer());
    EXPECT_EQ(json["filterRolloff"], -12);
    EXPECT_EQ(json["filterType"], "lowpass");
    EXPECT_EQ(json.get<AudioParams>(), AudioParams::defaults());

    AudioParams changed = AudioParams::defaults();
    changed.filterRolloff = AudioParams::Rolloff::db48;
    changed.synthMode = AudioParams::SynthMode::am;
    changed.reverbDecay = 0.1 + 0.2;
    EXPECT_EQ(Json::parse(Json::write(Json::Value(changed))).get<AudioParams>(), changed);
}

TEST(AudioParams, NonFiniteValuesAreUnequalAndCannotBeWritten)
{
    AudioParams a = AudioParams::defaults();
    a.pitchShift = std::nan("");
    EXPECT_NE(a, a);
    EXPECT_NE(a, AudioParams::defaults());
    AudioParams z = AudioParams::defaults();
    z.freqShift = -0.0;
    EXPECT_EQ(z, AudioParams::defaults());

    EXPECT_THROW(Json::Value{a}, Json::Error);
    a.pitchShift = std::numeric_limits<double>::infinity();
    EXPECT_THROW(Json::Value{a}, Json::Error);
}

TEST(LockedTone, BaseNoteFromFrequency)
{
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        double frequency;
        int note;
    } cases[] = {
        {440, 69},
        {261.63, 60},
        {440 * std::pow(2.0, (60.5 - 69) / 12), 61}, // halfway in log scale goes up
        {8.1758, 0},
        {12543.85, 127},
        // Any real pitch keeps its nearest note, inside the MIDI range or not: the exports clamp
        // the note they write, but name their files after the true one.
        {5, -9},
        {30000, 142},
        // Frequencies that name no note are held to the MIDI range.
        {0, 0},
        {-220, 0},
        {std::nan(""), 0},
        {inf, 127},
        {-inf, 0},
    };
    for (const auto& c : cases) {
        AudioParams p = AudioParams::defaults();
        p.frequency = c.frequency;
        const LockedTone tone = LockedTone::locking(p, "sine");
        EXPECT_EQ(tone.baseMidiNote, c.note) << c.frequency;
        EXPECT_EQ(tone.waveform, "sine");
        if (!std::isnan(c.frequency)) {
            EXPECT_EQ(tone.baseFrequency, c.frequency);
        }
    }
}

TEST(LockedTone, Json)
{
    AudioParams p = AudioParams::defaults();
    p.frequency = 261.63;
    const LockedTone tone = LockedTone::locking(p, "sawtooth");
    const Json::Value json = tone;
    EXPECT_EQ(json.size(), 4u);
    EXPECT_EQ(json["baseMidiNote"], 60);
    EXPECT_EQ(Json::parse(Json::write(json)).get<LockedTone>(), tone);

    const LockedTone fromEmptyParams =
        Json::parse(R"({"params": {}, "waveform": "sine", "baseFrequency": 440, "baseMidiNote": 69})")
            .get<LockedTone>();
    EXPECT_EQ(fromEmptyParams.params, AudioParams::defaults());

    for (const char* text : {
             R"({"params": {}, "baseFrequency": 440, "baseMidiNote": 69})",
             R"({"waveform": "sine", "baseFrequency": 440, "baseMidiNote": 69})",
             R"({"params": {}, "waveform": "sine", "baseMidiNote": 69})",
             R"({"params": {}, "waveform": "sine", "baseFrequency": 440})",
             R"({"params": {}, "waveform": null, "baseFrequency": 440, "baseMidiNote": 69})",
             R"({"params": {}, "waveform": 3, "baseFrequency": 440, "baseMidiNote": 69})",
             R"({"params": {}, "waveform": "sine", "baseFrequency": "440", "baseMidiNote": 69})",
             R"({"params": {}, "waveform": "sine", "baseFrequency": 440, "baseMidiNote": 69.5})",
             R"({"params": {"filterRolloff": -36}, "waveform": "sine", "baseFrequency": 440, "baseMidiNote": 69})",
         }) {
        EXPECT_THROW(Json::parse(text).get<LockedTone>(), Json::Error) << text;
    }

    LockedTone broken = tone;
    broken.baseFrequency = std::nan("");
    EXPECT_THROW(Json::Value{broken}, Json::Error);
    broken = tone;
    broken.params.glide = std::numeric_limits<double>::infinity();
    EXPECT_THROW(Json::Value{broken}, Json::Error);
}
