#pragma once
// The synthesizer's complete sound: 28 plain fields. The declaration order is binding: the kernel
// parameter vector takes the fields at indices 0 to 27 in this order, and so does the JSON writer
// before it sorts keys.
//
// A flat value (24 doubles, four one-byte enumerations, no heap storage): it is copied several times
// in every display frame. Nothing here clamps or validates; each consumer applies its own limits.
//
// JSON: keys are the field names. Reading is lenient per key (a missing or null key keeps its
// default, unknown keys are ignored) and strict per value (a wrong type or an enumeration value
// outside its table fails the whole decode with Json::Error). Writing a non-finite number fails
// with Json::Error.
#include "Platform/Json/JsonFwd.h"
#include "Support/EnumText.h"

#include <array>
#include <optional>
#include <type_traits>

namespace veltrane {

struct AudioParams {
    enum class FilterType : unsigned char { lowpass, highpass, bandpass, notch };
    enum class NoiseType : unsigned char { white, pink, brown };
    enum class SynthMode : unsigned char { subtractive, fm, am, orbit };
    // Raw value: the slope in dB per octave.
    enum class Rolloff : signed char { db12 = -12, db24 = -24, db48 = -48 };

    static constexpr std::array<Rolloff, 3> rolloffCases{Rolloff::db12, Rolloff::db24, Rolloff::db48};

    double frequency = 220;     // Hz
    double harmonicRatio = 1;   // modulator or partial to carrier
    double filterCutoff = 2000; // Hz
    double filterQ = 2;
    FilterType filterType = FilterType::lowpass;
    Rolloff filterRolloff = Rolloff::db12;
    double distortionAmount = 0;
    double reverbWet = 0.3;
    double reverbDecay = 2.5; // s
    double delayTime = 0.25;  // s
    double delayFeedback = 0.3;
    double delayWet = 0.2;
    double lfoRate = 1; // Hz
    double volume = 0.5;
    double fmModIndex = 2;
    double chorusAmount = 0.3;
    double stereoWidth = 0.7;
    double noiseLevel = 0;
    NoiseType noiseType = NoiseType::white;
    double bitCrushDepth = 16; // bits, fractional values allowed
    double phaserRate = 0.5;   // Hz
    double phaserDepth = 0;
    double pitchShift = 0;
    double freqShift = 0; // Hz
    double subLevel = 0.25;
    double glide = 0.06; // s
    double glue = 0.35;  // output compressor amount, 0...1
    SynthMode synthMode = SynthMode::subtractive;

    // The sound at start-up and after a tone reset; the fallback for keys missing from stored JSON.
    static constexpr AudioParams defaults() noexcept { return AudioParams{}; }

    // The 28 fields with their keys, in declaration order: the one list that the JSON coding and the
    // kernel's parameter vector both read. Calls `visit(key, memberPointer)` for each.
    template <class Visit>
    static constexpr void forEachField(Visit&& visit)
    {
        visit("frequency", &AudioParams::frequency);
        visit("harmonicRatio", &AudioParams::harmonicRatio);
        visit("filterCutoff", &AudioParams::filterCutoff);
        visit("filterQ", &AudioParams::filterQ);
        visit("filterType", &AudioParams::filterType);
        visit("filterRolloff", &AudioParams::filterRolloff);
        visit("distortionAmount", &AudioParams::distortionAmount);
        visit("reverbWet", &AudioParams::reverbWet);
        visit("reverbDecay", &AudioParams::reverbDecay);
        visit("delayTime", &AudioParams::delayTime);
        visit("delayFeedback", &AudioParams::delayFeedback);
        visit("delayWet", &AudioParams::delayWet);
        visit("lfoRate", &AudioParams::lfoRate);
        visit("volume", &AudioParams::volume);
        visit("fmModIndex", &AudioParams::fmModIndex);
        visit("chorusAmount", &AudioParams::chorusAmount);
        visit("stereoWidth", &AudioParams::stereoWidth);
        visit("noiseLevel", &AudioParams::noiseLevel);
        visit("noiseType", &AudioParams::noiseType);
        visit("bitCrushDepth", &AudioParams::bitCrushDepth);
        visit("phaserRate", &AudioParams::phaserRate);
        visit("phaserDepth", &AudioParams::phaserDepth);
        visit("pitchShift", &AudioParams::pitchShift);
        visit("freqShift", &AudioParams::freqShift);
        visit("subLevel", &AudioParams::subLevel);
        visit("glide", &AudioParams::glide);
        visit("glue", &AudioParams::glue);
        visit("synthMode", &AudioParams::synthMode);
    }

    // Field by field with IEEE equality: a record holding NaN is unequal even to itself.
    friend bool operator==(const AudioParams&, const AudioParams&) = default;
};

// Copied every frame and across threads: no heap storage, no padding beyond the enumerations' slots.
static_assert(std::is_trivially_copyable_v<AudioParams>);
static_assert(sizeof(AudioParams) <= 27 * sizeof(double));

template <>
struct EnumTexts<AudioParams::FilterType> {
    static constexpr std::array table{
        std::pair{AudioParams::FilterType::lowpass, std::string_view{"lowpass"}},
        std::pair{AudioParams::FilterType::highpass, std::string_view{"highpass"}},
        std::pair{AudioParams::FilterType::bandpass, std::string_view{"bandpass"}},
        std::pair{AudioParams::FilterType::notch, std::string_view{"notch"}},
    };
};

template <>
struct EnumTexts<AudioParams::NoiseType> {
    static constexpr std::array table{
        std::pair{AudioParams::NoiseType::white, std::string_view{"white"}},
        std::pair{AudioParams::NoiseType::pink, std::string_view{"pink"}},
        std::pair{AudioParams::NoiseType::brown, std::string_view{"brown"}},
    };
};

template <>
struct EnumTexts<AudioParams::SynthMode> {
    static constexpr std::array table{
        std::pair{AudioParams::SynthMode::subtractive, std::string_view{"subtractive"}},
        std::pair{AudioParams::SynthMode::fm, std::string_view{"fm"}},
        std::pair{AudioParams::SynthMode::am, std::string_view{"am"}},
        std::pair{AudioParams::SynthMode::orbit, std::string_view{"orbit"}},
    };
};

constexpr int rawValue(AudioParams::Rolloff rolloff) noexcept { return static_cast<int>(rolloff); }

constexpr std::optional<AudioParams::Rolloff> rolloffFromRawValue(int raw) noexcept
{
    for (AudioParams::Rolloff r : AudioParams::rolloffCases)
        if (rawValue(r) == raw) return r;
    return std::nullopt;
}

// Cascaded filter sections for the slope: the case's position plus one (48 dB is 3 sections, not 4).
constexpr int stages(AudioParams::Rolloff rolloff) noexcept
{
    for (int i = 0; i < static_cast<int>(AudioParams::rolloffCases.size()); ++i)
        if (AudioParams::rolloffCases[static_cast<size_t>(i)] == rolloff) return i + 1;
    return 1;
}

void to_json(Json::Value& json, AudioParams::FilterType value);
void from_json(const Json::Value& json, AudioParams::FilterType& value);
void to_json(Json::Value& json, AudioParams::NoiseType value);
void from_json(const Json::Value& json, AudioParams::NoiseType& value);
void to_json(Json::Value& json, AudioParams::SynthMode value);
void from_json(const Json::Value& json, AudioParams::SynthMode& value);
void to_json(Json::Value& json, AudioParams::Rolloff value);
void from_json(const Json::Value& json, AudioParams::Rolloff& value);

void to_json(Json::Value& json, const AudioParams& params);
void from_json(const Json::Value& json, AudioParams& params);

} // namespace veltrane
