#pragma once
// The whole configuration of the movement feature: on or off, which engine drives the view, the
// clock, one configuration per engine (all four kept side by side, so switching the mode back and
// forth loses nothing), how fast the view follows and how long a manual move pauses it.
//
// Plain values with field-wise equality (the rules dictionary included). Nothing here clamps: the
// engines and the conductor apply their own limits.
//
// JSON (inside HUD snapshots): every key of every level is required and typed. A missing key, a value
// of the wrong JSON type (an integer field given 8.0 or 8.5 included), or a text outside an
// enumeration's table fails the whole decode with Json::Error; nothing is partly applied. Unknown
// keys are ignored.
#include "Platform/Json/JsonFwd.h"
#include "Support/EnumText.h"

#include <array>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>

namespace veltrane {

class MovementEngine;
class OwnedRandomSource;

enum class MovementMode { arpeggiator, euclidean, markov, lsystem };

struct MovementModeInfo {
    MovementMode mode;
    std::string_view text;
    std::string_view shortLabel; // the movement tab's three-letter chip
};

inline constexpr std::array movementModes{
    MovementModeInfo{MovementMode::arpeggiator, "arpeggiator", "ARP"},
    MovementModeInfo{MovementMode::euclidean, "euclidean", "EUC"},
    MovementModeInfo{MovementMode::markov, "markov", "MKV"},
    MovementModeInfo{MovementMode::lsystem, "lsystem", "LSY"},
};

template <>
struct EnumTexts<MovementMode> {
    static constexpr auto table = [] {
        std::array<std::pair<MovementMode, std::string_view>, movementModes.size()> t{};
        for (std::size_t i = 0; i < t.size(); ++i) t[i] = {movementModes[i].mode, movementModes[i].text};
        return t;
    }();
};

constexpr std::string_view shortLabel(MovementMode mode) noexcept
{
    return movementModes[static_cast<std::size_t>(caseIndex(mode))].shortLabel;
}

struct ArpeggiatorConfig {
    enum class Pattern { up, down, random, pendulum };
    enum class Axis { xy, x, y };

    Pattern pattern = Pattern::up;
    std::int64_t stepCount = 8; // 0 or less: no steps, the engine never moves
    double radius = 0.1;        // plane units at zoom 1
    double rate = 1.0;          // steps per clock tick, at most one per tick
    Axis axis = Axis::xy;

    friend bool operator==(const ArpeggiatorConfig&, const ArpeggiatorConfig&) = default;
};

struct EuclideanConfig {
    enum class Axis { x, y, zoom, rotation, combined };

    std::int64_t pulses = 3;
    std::int64_t steps = 8;
    std::int64_t rotationOffset = 0;
    Axis axis = Axis::combined;
    double stepSize = 0.05; // plane units at zoom 1
    double rate = 1.0;      // rhythm steps per clock tick, at most one per tick

    friend bool operator==(const EuclideanConfig&, const EuclideanConfig&) = default;
};

struct MarkovConfig {
    double driftAmount = 0.3; // plane units at zoom 1
    double jumpProbability = 0.1;
    std::int64_t memory = 2;         // recent targets averaged into the momentum
    double boundaryAttraction = 0.5; // 0 or less switches the detail probes off

    friend bool operator==(const MarkovConfig&, const MarkovConfig&) = default;
};

struct LSystemConfig {
    using Rules = std::map<std::string, std::string>; // only the first byte of a key counts

    struct Preset {
        std::string_view id;
        std::string_view name;
        std::string_view axiom;
        std::span<const std::pair<std::string_view, std::string_view>> rules;
        double angle; // degrees

        Rules ruleMap() const;
    };

    // Hilbert, Dragon, Sierpinski, Koch, in menu order.
    static std::span<const Preset> presets() noexcept;

    std::string preset = "hilbert"; // informational: the engine reads only the fields below
    std::string axiom = "A";
    Rules rules{{"A", "-BF+AFA+FB-"}, {"B", "+AF-BFB-FA+"}};
    std::int64_t iterations = 3;
    double stepSize = 0.02; // plane units at zoom 1
    double angle = 90.0;    // degrees
    double rate = 2.0;      // path points per clock tick

    friend bool operator==(const LSystemConfig&, const LSystemConfig&) = default;
};

struct MovementSettings {
    bool enabled = false;
    MovementMode mode = MovementMode::arpeggiator;
    double bpm = 120.0;
    std::int64_t subdivision = 4; // clock ticks per beat
    ArpeggiatorConfig arp;
    EuclideanConfig euclidean;
    MarkovConfig markov;
    LSystemConfig lsystem;
    double lerpSpeed = 0.15;        // share of the remaining way covered per 1/60 s
    double manualResumeDelay = 2.0; // seconds

    // Seconds per clock tick: 60 / (bpm × subdivision).
    double tickDuration() const noexcept { return 60.0 / (bpm * static_cast<double>(subdivision)); }

    // A new engine for `mode`, built from its configuration and anchored at (0, 0), zoom 1, rotation
    // 0; the arpeggiator and the Markov walk take over `random`, the others ignore it. Declared here,
    // defined with the engines (Movement/MovementEngine.h).
    MovementEngine makeEngine(OwnedRandomSource random) const;

    friend bool operator==(const MovementSettings&, const MovementSettings&) = default;
};

template <>
struct EnumTexts<ArpeggiatorConfig::Pattern> {
    static constexpr std::array table{
        std::pair{ArpeggiatorConfig::Pattern::up, std::string_view{"up"}},
        std::pair{ArpeggiatorConfig::Pattern::down, std::string_view{"down"}},
        std::pair{ArpeggiatorConfig::Pattern::random, std::string_view{"random"}},
        std::pair{ArpeggiatorConfig::Pattern::pendulum, std::string_view{"pendulum"}},
    };
};

template <>
struct EnumTexts<ArpeggiatorConfig::Axis> {
    static constexpr std::array table{
        std::pair{ArpeggiatorConfig::Axis::xy, std::string_view{"xy"}},
        std::pair{ArpeggiatorConfig::Axis::x, std::string_view{"x"}},
        std::pair{ArpeggiatorConfig::Axis::y, std::string_view{"y"}},
    };
};

template <>
struct EnumTexts<EuclideanConfig::Axis> {
    static constexpr std::array table{
        std::pair{EuclideanConfig::Axis::x, std::string_view{"x"}},
        std::pair{EuclideanConfig::Axis::y, std::string_view{"y"}},
        std::pair{EuclideanConfig::Axis::zoom, std::string_view{"zoom"}},
        std::pair{EuclideanConfig::Axis::rotation, std::string_view{"rotation"}},
        std::pair{EuclideanConfig::Axis::combined, std::string_view{"combined"}},
    };
};

void to_json(Json::Value& json, MovementMode value);
void from_json(const Json::Value& json, MovementMode& value);
void to_json(Json::Value& json, const ArpeggiatorConfig& value);
void from_json(const Json::Value& json, ArpeggiatorConfig& value);
void to_json(Json::Value& json, const EuclideanConfig& value);
void from_json(const Json::Value& json, EuclideanConfig& value);
void to_json(Json::Value& json, const MarkovConfig& value);
void from_json(const Json::Value& json, MarkovConfig& value);
void to_json(Json::Value& json, const LSystemConfig& value);
void from_json(const Json::Value& json, LSystemConfig& value);
void to_json(Json::Value& json, const MovementSettings& value);
void from_json(const Json::Value& json, MovementSettings& value);

} // namespace veltrane
