#pragma once
// Turns the newest 1024 samples of the synthesizer's output into a smoothed loudness, the dominant
// frequency, bass/mid/treble levels and a transient flag, and keeps a smoothed dB spectrum and the
// analysed waveform for display. Not synchronised: each owner calls it from one thread.

#include <array>
#include <span>

#include "CSynth/kernel.h"
#include "Platform/Dsp/Dsp.h"

namespace veltrane {

struct AnalysisFrame {
    double amplitude = 0;         // smoothed loudness 0..1
    double dominantFrequency = 0; // Hz of the strongest bin above DC
    double bass = 0;              // smoothed level 0..1 below 250 Hz
    double mid = 0;               // 250 to 2000 Hz
    double treble = 0;            // 2000 to 16000 Hz
    double transientPulse = 0;    // 1 at and shortly after an onset, then decaying
    bool transientDetected = false;

    friend bool operator==(const AnalysisFrame&, const AnalysisFrame&) = default;
};

class Analyser {
public:
    static constexpr int size = 1024;
    static constexpr int bins = size / 2;

    Analyser();
    Analyser(const Analyser&) = delete;
    Analyser& operator=(const Analyser&) = delete;

    // The newest 1024 mono samples of the kernel's analysis ring. dt: seconds since the previous call.
    AnalysisFrame update(const vk_state* engine, double sampleRate, double dt);
    // The last min(count, 1024) samples, after leading zeros when fewer are given.
    AnalysisFrame update(std::span<const float> samples, double sampleRate, double dt);
    // Measures `samples` as they stand; every call moves the smoothed state on (there is no reset).
    AnalysisFrame analyse(double sampleRate, double dt);

    // Exclusive upper bins of the bass, mid and treble bands (mid starts at bass's end, treble at
    // mid's): 6, 43 and 342 at 48 kHz; none beyond bin 511.
    struct BandEdges {
        int bass, mid, treble;
    };
    static BandEdges bandEdges(double sampleRate);

    const std::array<float, bins>& spectrumDB() const { return spectrumDB_; }
    const std::array<float, size>& waveform() const { return waveform_; }

private:
    dsp::RealFft setup_{size}; // its packed transform keeps scratch: one per analyser
    std::array<float, size> window_{};
    std::array<float, bins> smoothed_{};
    std::array<float, size> samples_{};
    double envelope_ = 0;
    double prevRaw_ = 0;
    double transient_ = 0;
    double pulse_ = 0;
    double sBass_ = 0, sMid_ = 0, sTreble_ = 0;
    std::array<float, bins> spectrumDB_;
    std::array<float, size> waveform_{};
};

} // namespace veltrane
