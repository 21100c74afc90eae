#pragma once
// Finding the notes of a tune in a recording: a spectral-flux onset curve (how much new energy
// appears in the spectrum, bin by bin, from one moment to 10 ms later), the offset at which the
// tune's note times line up with it best, and the moment of each note's onset near its expected time.
#include "Platform/Dsp/Dsp.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace veltrane::test {

struct OnsetCurve {
    double hopSeconds = 0;
    std::vector<double> flux; // one value per hop

    double at(double seconds) const
    {
        const auto i = static_cast<std::ptrdiff_t>(std::lround(seconds / hopSeconds));
        return i >= 0 && i < static_cast<std::ptrdiff_t>(flux.size()) ? flux[static_cast<std::size_t>(i)] : 0;
    }
};

// Hann-windowed spectra of `window` samples every `hop` samples; the flux at a hop sums the rise in
// decibels of every bin between `low` and `high` Hz from `lag` hops earlier. The defaults time the
// attack of a key voice (10 ms) to a millisecond or two.
inline OnsetCurve onsetCurve(const std::vector<float>& samples, double rate, int window = 1024, int hop = 48,
                             int lag = 5, double low = 60, double high = 4000, double range = 50)
{
    const dsp::RealFft fft(window);
    dsp::AlignedFloats time(static_cast<std::size_t>(window)), spectrum(static_cast<std::size_t>(window + 2));
    const int firstBin = static_cast<int>(low * window / rate), lastBin = static_cast<int>(high * window / rate);
    const int bins = lastBin - firstBin + 1;
    std::vector<std::vector<float>> levels;
    for (std::size_t start = 0; start + static_cast<std::size_t>(window) <= samples.size();
         start += static_cast<std::size_t>(hop)) {
        for (int j = 0; j < window; ++j) {
            const double w = 0.5 - 0.5 * std::cos(2 * M_PI * j / window);
            time[static_cast<std::size_t>(j)] = static_cast<float>(samples[start + static_cast<std::size_t>(j)] * w);
        }
        fft.forward(time.data(), spectrum.data());
        std::vector<float> level(static_cast<std::size_t>(bins));
        for (int k = 0; k < bins; ++k) {
            const float re = spectrum[static_cast<std::size_t>(2 * (firstBin + k))];
            const float im = spectrum[static_cast<std::size_t>(2 * (firstBin + k) + 1)];
            level[static_cast<std::size_t>(k)] = 10 * std::log10(re * re + im * im + 1e-10f);
        }
        levels.push_back(std::move(level));
    }
    // Levels more than `range` dB below the loudest count as that floor: a note entering silence
    // rises as far as one entering a sounding chord, so both peak at the same point of their attack.
    float loudest = -1e30f;
    for (const auto& level : levels)
        for (float l : level) loudest = std::max(loudest, l);
    for (auto& level : levels)
        for (float& l : level) l = std::max(l, loudest - static_cast<float>(range));
    OnsetCurve curve;
    curve.hopSeconds = hop / rate;
    // Centred on the window: the hop's time is the middle of the spectrum that saw the rise.
    const std::size_t centre = static_cast<std::size_t>(window / 2 / hop);
    curve.flux.assign(levels.size() + centre, 0.0);
    for (std::size_t t = static_cast<std::size_t>(lag); t < levels.size(); ++t) {
        double sum = 0;
        for (int k = 0; k < bins; ++k)
            sum += std::max(0.0f, levels[t][static_cast<std::size_t>(k)] -
                                      levels[t - static_cast<std::size_t>(lag)][static_cast<std::size_t>(k)]);
        curve.flux[t + centre] = sum;
    }
    return curve;
}

// The shift (seconds, within [0, maxShift]) that puts the note times on the most flux.
inline double alignment(const OnsetCurve& curve, const std::vector<double>& times, double maxShift)
{
    double best = 0, bestScore = -1;
    for (double shift = 0; shift <= maxShift; shift += curve.hopSeconds) {
        double score = 0;
        for (double t : times)
            for (int d = -5; d <= 5; ++d) score += curve.at(t + shift + d * curve.hopSeconds);
        if (score > bestScore) {
            bestScore = score;
            best = shift;
        }
    }
    return best;
}

// The time of the strongest flux within `radius` seconds of `expected`.
inline double onsetNear(const OnsetCurve& curve, double expected, double radius)
{
    double best = expected, bestFlux = -1;
    for (double t = expected - radius; t <= expected + radius; t += curve.hopSeconds)
        if (curve.at(t) > bestFlux) {
            bestFlux = curve.at(t);
            best = t;
        }
    return best;
}

} // namespace veltrane::test
