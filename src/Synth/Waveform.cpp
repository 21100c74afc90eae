#include "Synth/Waveform.h"

namespace veltrane {

std::string_view label(Waveform w)
{
    switch (w) {
    case Waveform::sawtooth: return "SAW";
    case Waveform::sine: return "SIN";
    case Waveform::square: return "SQU";
    case Waveform::triangle: return "TRI";
    case Waveform::pulse: return "PLS";
    case Waveform::pwm: return "PWM";
    }
    return "SAW";
}

} // namespace veltrane
