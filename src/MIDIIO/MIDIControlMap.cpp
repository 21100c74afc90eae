#include "MIDIIO/MIDIControlMap.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace veltrane::MIDIControlMap {

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();

// How a controller's value v = min(x, 127) / 127 becomes its parameter and back:
//   linear:      clamp(scale v + offset, lo, hi), rounded first when `round`; back: (p - offset) / scale x 127
//   exponential: clamp(lo (hi / lo)^v, lo, hi);                                back: logScale(p, lo, hi)
//   choice:      the case whose band holds the raw byte;                      back: the band's first value
enum class Shape { linear, exponential, choice };

struct Curve {
    Controller controller;
    Shape shape;
    double scale, offset, lo, hi;
    bool round;
};

constexpr std::array<Curve, 23> curves{{
    {Controller::harmonicRatio, Shape::linear, 11.5, 0.5, 0.5, 8, false},
    {Controller::fmModIndex, Shape::linear, 11.5, 0.5, 0.5, 12, false},
    {Controller::volume, Shape::linear, 1, 0, -inf, inf, false},
    {Controller::stereoWidth, Shape::linear, 1, 0, -inf, inf, false},
    {Controller::chorusAmount, Shape::linear, 1, 0, -inf, inf, false},
    {Controller::noiseLevel, Shape::linear, 1, 0, -inf, inf, false},
    {Controller::bitCrushDepth, Shape::linear, 16, 0, 1, 16, true},
    {Controller::phaserRate, Shape::exponential, 0, 0, 0.1, 8, false},
    {Controller::phaserDepth, Shape::linear, 1, 0, -inf, inf, false},
    {Controller::pitchShift, Shape::linear, 24, -12, -inf, inf, true},
    {Controller::freqShift, Shape::linear, 500, 0, -inf, inf, false},
    {Controller::filterType, Shape::choice, 0, 0, 0, 0, false},
    {Controller::filterRolloff, Shape::choice, 0, 0, 0, 0, false},
    {Controller::noiseType, Shape::choice, 0, 0, 0, 0, false},
    {Controller::filterQ, Shape::exponential, 0, 0, 0.5, 15, false},
    {Controller::reverbDecay, Shape::linear, 10, 0, 0.1, 10, false},
    {Controller::filterCutoff, Shape::exponential, 0, 0, 20, 20000, false},
    {Controller::lfoRate, Shape::exponential, 0, 0, 0.1, 20, false},
    {Controller::reverbWet, Shape::linear, 1, 0, -inf, inf, false},
    {Controller::distortionAmount, Shape::linear, 1, 0, -inf, inf, false},
    {Controller::delayTime, Shape::linear, 2, 0, -inf, 1, false},
    {Controller::delayFeedback, Shape::linear, 1, 0, -inf, 0.95, false},
    {Controller::delayWet, Shape::linear, 1, 0, -inf, inf, false},
}};

static_assert(curves.size() == allCases<Controller>.size());
static_assert([] {
    for (std::size_t i = 0; i < curves.size(); ++i)
        if (curves[i].controller != allCases<Controller>[i]) return false;
    return true;
}());

// Lower bounds of the bands of the choice controllers, in case order.
constexpr std::array<std::uint8_t, 4> filterTypeBands{0, 32, 64, 96};
constexpr std::array<std::uint8_t, 3> threeBands{0, 43, 85};

template <std::size_t N>
std::size_t band(const std::array<std::uint8_t, N>& starts, std::uint8_t x) noexcept
{
    std::size_t i = 0;
    while (i + 1 < N && x >= starts[i + 1]) ++i;
    return i;
}

double AudioParams::*numericField(Controller c) noexcept
{
    switch (c) {
    case Controller::harmonicRatio: return &AudioParams::harmonicRatio;
    case Controller::fmModIndex: return &AudioParams::fmModIndex;
    case Controller::volume: return &AudioParams::volume;
    case Controller::stereoWidth: return &AudioParams::stereoWidth;
    case Controller::chorusAmount: return &AudioParams::chorusAmount;
    case Controller::noiseLevel: return &AudioParams::noiseLevel;
    case Controller::bitCrushDepth: return &AudioParams::bitCrushDepth;
    case Controller::phaserRate: return &AudioParams::phaserRate;
    case Controller::phaserDepth: return &AudioParams::phaserDepth;
    case Controller::pitchShift: return &AudioParams::pitchShift;
    case Controller::freqShift: return &AudioParams::freqShift;
    case Controller::filterQ: return &AudioParams::filterQ;
    case Controller::reverbDecay: return &AudioParams::reverbDecay;
    case Controller::filterCutoff: return &AudioParams::filterCutoff;
    case Controller::lfoRate: return &AudioParams::lfoRate;
    case Controller::reverbWet: return &AudioParams::reverbWet;
    case Controller::distortionAmount: return &AudioParams::distortionAmount;
    case Controller::delayTime: return &AudioParams::delayTime;
    case Controller::delayFeedback: return &AudioParams::delayFeedback;
    case Controller::delayWet: return &AudioParams::delayWet;
    default: return nullptr;
    }
}

const Curve& curveOf(Controller c) noexcept { return curves[static_cast<std::size_t>(caseIndex(c))]; }

// A controller value from a real one: halves upward, then into 0...127; not a number gives 0.
std::uint8_t toControllerValue(double y) noexcept
{
    if (std::isnan(y)) return 0;
    const double f = std::floor(y);
    const double r = y - f >= 0.5 ? f + 1 : f;
    return static_cast<std::uint8_t>(std::clamp(r, 0.0, 127.0));
}

} // namespace

std::optional<Controller> controller(std::uint8_t number) noexcept
{
    for (Controller c : allCases<Controller>)
        if (rawValue(c) == number) return c;
    return std::nullopt;
}

bool apply(Controller c, std::uint8_t x, AudioParams& params) noexcept
{
    const AudioParams before = params;
    const double v = std::min<int>(x, 127) / 127.0;
    const Curve& curve = curveOf(c);
    switch (curve.shape) {
    case Shape::linear: {
        double y = curve.scale * v + curve.offset;
        if (curve.round) y = std::round(y) + 0.0; // + 0.0: never a negative zero
        params.*numericField(c) = std::min(std::max(y, curve.lo), curve.hi);
        break;
    }
    case Shape::exponential:
        params.*numericField(c) = std::clamp(curve.lo * std::pow(curve.hi / curve.lo, v), curve.lo, curve.hi);
        break;
    case Shape::choice:
        if (c == Controller::filterType)
            params.filterType = allCases<AudioParams::FilterType>[band(filterTypeBands, x)];
        else if (c == Controller::filterRolloff)
            params.filterRolloff = AudioParams::rolloffCases[band(threeBands, x)];
        else
            params.noiseType = allCases<AudioParams::NoiseType>[band(threeBands, x)];
        break;
    }
    return !(params == before);
}

bool apply(std::uint8_t number, std::uint8_t value, AudioParams& params) noexcept
{
    const auto c = controller(number);
    return c ? apply(*c, value, params) : false;
}

bool apply(std::uint8_t number, std::uint8_t value, LockedTone& tone) noexcept
{
    return apply(number, value, tone.params);
}

std::uint8_t value(Controller c, const AudioParams& params) noexcept
{
    const Curve& curve = curveOf(c);
    switch (curve.shape) {
    case Shape::linear: {
        const double p = params.*numericField(c);
        return toControllerValue((p - curve.offset) / curve.scale * 127);
    }
    case Shape::exponential: return logScale(params.*numericField(c), curve.lo, curve.hi);
    case Shape::choice: break;
    }
    if (c == Controller::filterType)
        return filterTypeBands[static_cast<std::size_t>(std::max(caseIndex(params.filterType), 0))];
    if (c == Controller::filterRolloff) {
        for (std::size_t i = 0; i < AudioParams::rolloffCases.size(); ++i)
            if (AudioParams::rolloffCases[i] == params.filterRolloff) return threeBands[i];
        return 0;
    }
    return threeBands[static_cast<std::size_t>(std::max(caseIndex(params.noiseType), 0))];
}

std::array<std::pair<Controller, std::uint8_t>, 23> controllerValues(const AudioParams& params) noexcept
{
    std::array<std::pair<Controller, std::uint8_t>, 23> pairs{};
    for (std::size_t i = 0; i < exportOrder.size(); ++i) pairs[i] = {exportOrder[i], value(exportOrder[i], params)};
    return pairs;
}

std::uint8_t logScale(double p, double min, double max) noexcept
{
    const double clamped = std::min(std::max(p, min), max);
    return toControllerValue(std::log(clamped / min) * 127 / std::log(max / min));
}

} // namespace veltrane::MIDIControlMap
