#include "Synth/Analyser.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace veltrane {

namespace {

// Level of bins lo..hi-1: the band's mean power in dB plus the band's offset, mapped from
// -78...-22 dB onto 0...1.
double bandLevel(const std::array<float, Analyser::bins>& spectrumDB, int lo, int hi, double offset)
{
    double power = 0;
    for (int k = lo; k < hi; ++k) {
        const double amplitude = std::pow(10.0, spectrumDB[k] / 20.0);
        power += amplitude * amplitude;
    }
    if (!(power > 0)) return 0;
    return std::clamp((10.0 * std::log10(power / (hi - lo)) + offset + 78.0) / 56.0, 0.0, 1.0);
}

} // namespace

Analyser::Analyser()
{
    const std::vector<float> w = dsp::blackmanWindow(size);
    std::copy(w.begin(), w.end(), window_.begin());
    spectrumDB_.fill(-100.0f);
}

Analyser::BandEdges Analyser::bandEdges(double sampleRate)
{
    const double w = sampleRate / size;
    return {(int)std::min(std::ceil(250.0 / w), (double)bins), (int)std::min(std::ceil(2000.0 / w), (double)bins),
            (int)std::min(std::ceil(16000.0 / w), (double)bins)};
}

AnalysisFrame Analyser::update(const vk_state* engine, double sampleRate, double dt)
{
    vk_read_analysis(engine, samples_.data(), size);
    waveform_ = samples_;
    return analyse(sampleRate, dt);
}

AnalysisFrame Analyser::update(std::span<const float> samples, double sampleRate, double dt)
{
    const size_t m = std::min(samples.size(), (size_t)size);
    std::fill(samples_.begin(), samples_.end() - (long)m, 0.0f);
    std::copy(samples.end() - (long)m, samples.end(), samples_.end() - (long)m);
    waveform_ = samples_;
    return analyse(sampleRate, dt);
}

AnalysisFrame Analyser::analyse(double sampleRate, double dt)
{
    const double raw = std::tanh(4.5 * (double)dsp::rms(waveform_.data(), size));
    const double c = std::exp(-dt / (envelope_ < raw ? 0.008 : 0.3));
    envelope_ += (raw - envelope_) * (1.0 - c);

    std::array<float, size> windowed;
    dsp::multiply(samples_.data(), window_.data(), windowed.data(), size);
    std::array<float, bins> re, im, magnitude;
    setup_.forwardPacked(windowed.data(), re.data(), im.data());
    dsp::magnitudes(re.data(), im.data(), magnitude.data(), bins);
    magnitude[0] = 0; // DC and Nyquist share bin 0

    for (int k = 0; k < bins; ++k) {
        const float s = 0.6f * smoothed_[k] + 0.4f * magnitude[k] / 2048.0f;
        // Without flushing, 0.6 x the smallest subnormal rounds back to itself and a silent bin
        // would never reach 0 (and -200 dB).
        smoothed_[k] = s < std::numeric_limits<float>::min() ? 0.0f : s;
        spectrumDB_[k] = smoothed_[k] > 0 ? 20.0f * std::log10(smoothed_[k]) : -200.0f;
    }

    int best = 1;
    for (int b = 2; b < bins; ++b)
        if (spectrumDB_[b] > spectrumDB_[best]) best = b;

    const double w = sampleRate / size;
    const double nb = std::ceil(250.0 / w), nm = std::ceil(2000.0 / w);
    const auto [B, M, T] = bandEdges(sampleRate);
    const double bass = nb < 1 ? 0 : bandLevel(spectrumDB_, 0, B, 0);
    const double mid = nb < M ? bandLevel(spectrumDB_, B, M, 6) : 0;
    const double treble = nm < T ? bandLevel(spectrumDB_, M, T, 14) : 0;
    sBass_ += (bass - sBass_) * 0.2;
    sMid_ += (mid - sMid_) * 0.2;
    sTreble_ += (treble - sTreble_) * 0.2;

    bool detected;
    if (raw - prevRaw_ > 0.18) {
        transient_ = 1;
        detected = true;
        pulse_ = 1;
    } else {
        transient_ *= 0.94;
        if (transient_ > 0.1) {
            detected = true;
            pulse_ = 1;
        } else {
            detected = false;
            pulse_ *= 0.94;
        }
    }
    prevRaw_ = raw;

    return {envelope_, sampleRate * best / size, sBass_, sMid_, sTreble_, pulse_, detected};
}

} // namespace veltrane
