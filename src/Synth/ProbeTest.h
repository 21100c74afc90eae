#pragma once
// The audio probe: scripted offline renders of the synthesizer (a fixed table of cases, each
// listening at one voice or effect stage, plus two cases per preset), rendered with a private
// offline kernel on the calling thread. The measurements are in ProbeMetrics.h.
//
// Cases outside what a render is defined for are refused with std::invalid_argument (and, when
// read from JSON, with Json::Error): an input starting before 0 s or ending before it starts, an
// amplitude step that is not [time, amplitude], an orbit whose length is negative or exceeds its
// points, a negative or non-finite length or time, and sample rates of 1000 Hz or less.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "CSynth/kernel.h"
#include "Music/AudioParams.h"
#include "Platform/Json/JsonFwd.h"
#include "Support/EnumText.h"

namespace veltrane {

struct ProbeTest {
    // Where the case listens: the kernel's taps.
    using Tap = vk_tap;

    struct Input {
        enum class Kind { noise, impulse, sine };

        Kind kind = Kind::sine;
        double amp = 0.5;            // peak
        double freq = 440;           // Hz, sine only
        uint32_t seed = 7;           // noise only
        double at = 0;               // s
        std::optional<double> until; // s, exclusive; absent: to the end
        // Sine amplitude steps, each [time in s, new amplitude].
        std::optional<std::vector<std::vector<double>>> steps;

        // The mono test signal of `frames` frames. The noise generator runs from frame 0 whatever
        // the window; the sine's phase counts from frame 0 too.
        std::vector<float> render(int64_t frames, double sampleRate) const;

        friend bool operator==(const Input&, const Input&) = default;
    };

    struct Event {
        enum class Kind { droneOff, step, keyOn, keyOff };

        double at = 0; // s from the start of the render
        Kind kind = Kind::step;
        double freq = 0; // Hz
        double dur = 0;  // s, step only
        double vel = 0.8;

        friend bool operator==(const Event&, const Event&) = default;
    };

    struct Orbit {
        std::vector<double> points; // x, y interleaved
        long length = 0;
        bool escaped = false;

        friend bool operator==(const Orbit&, const Orbit&) = default;
    };

    struct Preset {
        std::string id;
        AudioParams params;
        std::optional<Orbit> orbit;
    };

    static constexpr int block = 128; // frames per kernel call
    static constexpr int fixedCount = 63;

    std::string id;
    double seconds = 2;
    Tap tap = Tap::output;
    std::string waveform = "sawtooth"; // "sine", "square", "triangle", "pulse", "pwm"; else sawtooth
    bool drone = false;
    AudioParams params;
    std::optional<Input> input;
    std::vector<Event> events;
    std::optional<Orbit> orbit;
    double measureFrom = 0.5;

    // The 63 fixed cases, then "fp-<id>" for every preset, then "nr-<id>" (without its reverb).
    static std::vector<ProbeTest> all(const std::vector<Preset>& presets = {});
    // The sound every fixed case starts from.
    static const AudioParams& neutral();

    int waveformValue() const;
    // Latency of the web reference rendering at this case's tap; the harness never applies it.
    int webLatencyFrames() const;
    // Frames of a render: seconds x sampleRate, halves away from zero.
    int64_t frames(double sampleRate) const;

    // The case's events as kernel events, in time order (equal times keep their list order), each at
    // its time's frame. Key-ons number the frequencies seen so far; a key-off takes its frequency's
    // number, or 0 when that frequency never sounded.
    std::vector<vk_event> kernelEvents(double sampleRate) const;

    // (left, right), each frames(sampleRate) long, from a fresh offline kernel.
    std::pair<std::vector<float>, std::vector<float>> renderNative(double sampleRate) const;

    // Throws std::invalid_argument naming the case and the fault (see the top of this file).
    void validate() const;

    friend bool operator==(const ProbeTest&, const ProbeTest&) = default;
};

template <>
struct EnumTexts<ProbeTest::Tap> {
    static constexpr std::array table{
        std::pair{ProbeTest::Tap::output, std::string_view{"output"}},
        std::pair{ProbeTest::Tap::voices, std::string_view{"voices"}},
        std::pair{ProbeTest::Tap::filter, std::string_view{"filter"}},
        std::pair{ProbeTest::Tap::distortion, std::string_view{"distortion"}},
        std::pair{ProbeTest::Tap::crusher, std::string_view{"crusher"}},
        std::pair{ProbeTest::Tap::chorus, std::string_view{"chorus"}},
        std::pair{ProbeTest::Tap::phaser, std::string_view{"phaser"}},
        std::pair{ProbeTest::Tap::pitch, std::string_view{"pitch"}},
        std::pair{ProbeTest::Tap::freqshift, std::string_view{"freqshift"}},
        std::pair{ProbeTest::Tap::delay, std::string_view{"delay"}},
        std::pair{ProbeTest::Tap::reverb, std::string_view{"reverb"}},
        std::pair{ProbeTest::Tap::widener, std::string_view{"widener"}},
        std::pair{ProbeTest::Tap::compressor, std::string_view{"compressor"}},
        std::pair{ProbeTest::Tap::master, std::string_view{"master"}},
    };
};
static_assert(
    [] {
        const auto& table = EnumTexts<ProbeTest::Tap>::table;
        for (std::size_t i = 0; i < table.size(); ++i)
            if (static_cast<std::size_t>(table[i].first) != i) return false;
        return table.size() == vk_tap_count;
    }(),
    "one text per tap, in tap order");

template <>
struct EnumTexts<ProbeTest::Input::Kind> {
    static constexpr std::array table{
        std::pair{ProbeTest::Input::Kind::noise, std::string_view{"noise"}},
        std::pair{ProbeTest::Input::Kind::impulse, std::string_view{"impulse"}},
        std::pair{ProbeTest::Input::Kind::sine, std::string_view{"sine"}},
    };
};

template <>
struct EnumTexts<ProbeTest::Event::Kind> {
    static constexpr std::array table{
        std::pair{ProbeTest::Event::Kind::droneOff, std::string_view{"droneOff"}},
        std::pair{ProbeTest::Event::Kind::step, std::string_view{"step"}},
        std::pair{ProbeTest::Event::Kind::keyOn, std::string_view{"keyOn"}},
        std::pair{ProbeTest::Event::Kind::keyOff, std::string_view{"keyOff"}},
    };
};

void to_json(Json::Value& json, const ProbeTest::Input& input);
void from_json(const Json::Value& json, ProbeTest::Input& input);
void to_json(Json::Value& json, const ProbeTest::Event& event);
void from_json(const Json::Value& json, ProbeTest::Event& event);
void to_json(Json::Value& json, const ProbeTest::Orbit& orbit);
void from_json(const Json::Value& json, ProbeTest::Orbit& orbit);
void to_json(Json::Value& json, const ProbeTest& test);
void from_json(const Json::Value& json, ProbeTest& test);

} // namespace veltrane
