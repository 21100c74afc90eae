#include "Music/Mapping.h"

#include "FractalCore/Entropy.h"
#include "Support/Numeric.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace veltrane::Mapping {

namespace {

// [0, 1]; NaN and negative values give 0.
double unit(double v) noexcept { return v >= 0 ? std::min(v, 1.0) : 0; }

// Evaluated in exactly this form: the factor from 0.15 to 0.6 is the double nearest 0.6 - 0.15.
double from(double a, double b, double t) noexcept { return a + (b - a) * t; }

double unquantisedPitch(double centerX) noexcept { return 80 * std::pow(11.0, unit((centerX + 2.5) / 3.5)); }

double ratioOf(double centerY) noexcept { return from(0.5, 8, unit((centerY + 1.25) / 2.5)); }

// 0 at whole numbers, 1 at halves. A phase that is not finite has no fractional part: taken as 0.
double triangle(double p) noexcept
{
    if (!std::isfinite(p)) p = 0;
    return 1 - std::abs(2 * (p - std::floor(p)) - 1);
}

// Everything but the pitch and ratio; `depth` is already limited to [0, 1].
AudioParams common(double zoomDepth, int maxIterations, double rotation, const AudioParams& current,
                   double entropy) noexcept
{
    constexpr double turn = 2 * std::numbers::pi;
    const double angle = std::fmod(std::fmod(rotation, turn) + turn, turn);
    const double rho = unit(angle / turn);
    const double e = entropy;

    AudioParams p = current;
    p.filterCutoff = 260 * std::pow(9000.0 / 260.0, zoomDepth);
    p.filterQ = std::pow(10.0, zoomDepth);
    p.distortionAmount = from(0, 0.7, unit((static_cast<double>(maxIterations) - 16) / 2032));
    p.reverbWet = from(0.15, 0.8, e);
    p.reverbDecay = from(6, 1.2, zoomDepth);
    p.delayFeedback = from(0.1, 0.7, unit(e));
    p.delayWet = from(0, 0.6, e);
    p.lfoRate = from(0.1, 8, rho);
    p.fmModIndex = from(0.5, 8, unit(e));
    p.chorusAmount = from(0.15, 0.6, unit(e));
    p.stereoWidth = from(0.5, 0.95, zoomDepth);
    p.noiseLevel = from(0, 0.08, unit(e));
    p.phaserDepth = from(0, 0.2, unit(e));
    return p;
}

} // namespace

double positionToFrequency(double x, Scale scale, int root) noexcept
{
    return quantize(scale, unquantisedPitch(x), root);
}

AudioParams fractalToAudio(double centerX, double centerY, double zoom, int maxIterations, double rotation,
                           const AudioParams& current, std::optional<FractalType> type, Scale scale, int root) noexcept
{
    const double e = Entropy::estimate(centerX, centerY, zoom, maxIterations, type);
    const double depth = unit(std::log2(std::max(zoom, 1.0)) / 43);
    AudioParams p = common(depth, maxIterations, rotation, current, e);
    p.frequency = quantize(scale, unquantisedPitch(centerX), root);
    p.harmonicRatio = ratioOf(centerY);
    return p;
}

AudioParams fractalToAudioDepth(double centerX, double centerY, double zoom, int maxIterations, double rotation,
                                const AudioParams& current, std::optional<FractalType> type, Scale scale, int root,
                                double maxZoom, ViewPhase viewPhase) noexcept
{
    const double e = Entropy::estimate(centerX, centerY, zoom, maxIterations, type);
    // maxZoom of 1 or less makes the divisor 0 or negative; `unit` turns the quotient into 0 or 1.
    const double depth = unit(std::log2(std::max(zoom, 1.0)) / std::log2(maxZoom));
    AudioParams p = common(depth, maxIterations, rotation, current, e);

    double frequency = unquantisedPitch(centerX);
    double ratio = ratioOf(centerY);
    const double bend = std::min(std::log10(std::max(zoom, 1.0) / 1000) / 3, 1.0);
    if (bend > 0) {
        ratio = clamp(ratio * std::pow(2.0, (triangle(viewPhase.y) - 0.5) * 2 * bend), 0.5, 8.0);
        frequency = frequency * std::pow(2.0, (triangle(viewPhase.x) - 0.5) * bend);
    }
    p.frequency = quantize(scale, frequency, root);
    p.harmonicRatio = ratio;
    return p;
}

} // namespace veltrane::Mapping
