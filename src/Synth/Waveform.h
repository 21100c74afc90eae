#pragma once
// Oscillator waveform of the drone, key and step voices; the raw value is what the kernel reads.

#include "Support/EnumText.h"

#include <array>
#include <optional>
#include <string_view>

namespace veltrane {

enum class Waveform : int {
    sawtooth = 0,
    sine = 1,
    square = 2,
    triangle = 3,
    pulse = 4,
    pwm = 5,
};

namespace Waveforms {
inline constexpr std::array<Waveform, 6> allCases = {Waveform::sawtooth, Waveform::sine,  Waveform::square,
                                                     Waveform::triangle, Waveform::pulse, Waveform::pwm};
}

constexpr int rawValue(Waveform w) { return static_cast<int>(w); }

// Nothing for a raw value outside 0...5.
constexpr std::optional<Waveform> waveformFromRawValue(int raw)
{
    if (raw < 0 || raw > 5) return std::nullopt;
    return static_cast<Waveform>(raw);
}

// "SAW", "SIN", "SQU", "TRI", "PLS", "PWM".
std::string_view label(Waveform w);

// The case names, as a locked tone stores its waveform.
template <>
struct EnumTexts<Waveform> {
    static constexpr std::array table{
        std::pair{Waveform::sawtooth, std::string_view{"sawtooth"}},
        std::pair{Waveform::sine, std::string_view{"sine"}},
        std::pair{Waveform::square, std::string_view{"square"}},
        std::pair{Waveform::triangle, std::string_view{"triangle"}},
        std::pair{Waveform::pulse, std::string_view{"pulse"}},
        std::pair{Waveform::pwm, std::string_view{"pwm"}},
    };
};

} // namespace veltrane
