#pragma once
// The fixed mapping between MIDI control-change numbers and 23 sound parameters: a controller value
// 0...127 sets a parameter along its curve (incoming controllers play the sound), and a parameter
// gives back the controller value that stands for it (the sound sent out or exported as controllers).
#include "Music/AudioParams.h"
#include "Music/LockedTone.h"
#include "Support/EnumText.h"

#include <array>
#include <cstdint>
#include <optional>
#include <utility>

namespace veltrane {

namespace MIDIControlMap {

// The raw value is the controller number; each case is named after the field it drives.
enum class Controller : std::uint8_t {
    harmonicRatio = 1,
    fmModIndex = 3,
    volume = 7,
    stereoWidth = 10,
    chorusAmount = 12,
    noiseLevel = 20,
    bitCrushDepth = 21,
    phaserRate = 22,
    phaserDepth = 23,
    pitchShift = 24,
    freqShift = 25,
    filterType = 26,
    filterRolloff = 27,
    noiseType = 28,
    filterQ = 71,
    reverbDecay = 73,
    filterCutoff = 74,
    lfoRate = 76,
    reverbWet = 91,
    distortionAmount = 92,
    delayTime = 93,
    delayFeedback = 94,
    delayWet = 95,
};

// Handled by MIDIKeyboard, not a Controller.
inline constexpr std::uint8_t sustainPedal = 64;

// The order in which a sound is sent and exported as controller values.
inline constexpr std::array<Controller, 23> exportOrder{
    Controller::volume,           Controller::filterCutoff,  Controller::filterQ,       Controller::reverbWet,
    Controller::reverbDecay,      Controller::delayTime,     Controller::delayFeedback, Controller::delayWet,
    Controller::distortionAmount, Controller::lfoRate,       Controller::harmonicRatio, Controller::fmModIndex,
    Controller::chorusAmount,     Controller::stereoWidth,   Controller::noiseLevel,    Controller::bitCrushDepth,
    Controller::phaserRate,       Controller::phaserDepth,   Controller::pitchShift,    Controller::freqShift,
    Controller::filterType,       Controller::filterRolloff, Controller::noiseType,
};

constexpr std::uint8_t rawValue(Controller c) noexcept { return static_cast<std::uint8_t>(c); }
std::optional<Controller> controller(std::uint8_t number) noexcept;

// Sets the one parameter from the value (bytes above 127 act as 127); true if the parameters differ
// afterwards.
bool apply(Controller controller, std::uint8_t value, AudioParams& params) noexcept;
// False and no change for a number that drives no parameter.
bool apply(std::uint8_t controllerNumber, std::uint8_t value, AudioParams& params) noexcept;
// The tone's parameters only; its waveform and base pitch stay.
bool apply(std::uint8_t controllerNumber, std::uint8_t value, LockedTone& tone) noexcept;

// The controller value 0...127 standing for the parameter's current value (outside the curve's
// range: 0 or 127; not a number: 0).
std::uint8_t value(Controller controller, const AudioParams& params) noexcept;
// The 23 pairs of a sound, in exportOrder.
std::array<std::pair<Controller, std::uint8_t>, 23> controllerValues(const AudioParams& params) noexcept;
// The controller value of p on a logarithmic scale from min to max.
std::uint8_t logScale(double p, double min, double max) noexcept;

} // namespace MIDIControlMap

template <>
struct EnumTexts<MIDIControlMap::Controller> {
    using C = MIDIControlMap::Controller;
    static constexpr std::array table{
        std::pair{C::harmonicRatio, std::string_view{"harmonicRatio"}},
        std::pair{C::fmModIndex, std::string_view{"fmModIndex"}},
        std::pair{C::volume, std::string_view{"volume"}},
        std::pair{C::stereoWidth, std::string_view{"stereoWidth"}},
        std::pair{C::chorusAmount, std::string_view{"chorusAmount"}},
        std::pair{C::noiseLevel, std::string_view{"noiseLevel"}},
        std::pair{C::bitCrushDepth, std::string_view{"bitCrushDepth"}},
        std::pair{C::phaserRate, std::string_view{"phaserRate"}},
        std::pair{C::phaserDepth, std::string_view{"phaserDepth"}},
        std::pair{C::pitchShift, std::string_view{"pitchShift"}},
        std::pair{C::freqShift, std::string_view{"freqShift"}},
        std::pair{C::filterType, std::string_view{"filterType"}},
        std::pair{C::filterRolloff, std::string_view{"filterRolloff"}},
        std::pair{C::noiseType, std::string_view{"noiseType"}},
        std::pair{C::filterQ, std::string_view{"filterQ"}},
        std::pair{C::reverbDecay, std::string_view{"reverbDecay"}},
        std::pair{C::filterCutoff, std::string_view{"filterCutoff"}},
        std::pair{C::lfoRate, std::string_view{"lfoRate"}},
        std::pair{C::reverbWet, std::string_view{"reverbWet"}},
        std::pair{C::distortionAmount, std::string_view{"distortionAmount"}},
        std::pair{C::delayTime, std::string_view{"delayTime"}},
        std::pair{C::delayFeedback, std::string_view{"delayFeedback"}},
        std::pair{C::delayWet, std::string_view{"delayWet"}},
    };
};

} // namespace veltrane
