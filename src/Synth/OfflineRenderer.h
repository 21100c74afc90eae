#pragma once
// Drives a private kernel outside the audio device, as fast as the caller asks, with a frame clock
// of its own. Used from one thread at a time; not shared with the audio device.

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "CSynth/kernel.h"
#include "Music/AudioParams.h"
#include "Synth/Analyser.h"
#include "Synth/KernelParams.h"
#include "Synth/Waveform.h"

namespace veltrane {

class OfflineRenderer {
public:
    // Throws std::runtime_error when the kernel cannot be created.
    explicit OfflineRenderer(double sampleRate);
    ~OfflineRenderer();
    OfflineRenderer(const OfflineRenderer&) = delete;
    OfflineRenderer& operator=(const OfflineRenderer&) = delete;

    double sampleRate() const { return sampleRate_; }
    int64_t frame() const { return frame_; }

    // One event into the kernel's ring: 0 queued, 1 when the ring is full (4096 between renders)
    // and the event is lost.
    int push(const vk_event& event);

    // Sends the changed parameters as type-0 events stamped `at` (default: frame()), glide last,
    // then keeps the reverb's impulse response in step with reverbDecay: a rebuild when the decay
    // in use differs by more than 0.05 s; if the previous build is still waiting for the render
    // side, 2048 frames are rendered (and thrown away) to let it take that one, and the build is
    // asked once more.
    void apply(const AudioParams& params, Waveform waveform, Waveform stepWaveform, double micGain,
               std::optional<int64_t> at = std::nullopt);

    // `frames` frames in blocks of at most `block` (> 0, else std::invalid_argument); returns
    // (left, right) and advances the clock.
    std::pair<std::vector<float>, std::vector<float>> render(int64_t frames, int block = 128);

    void play(std::optional<int64_t> at = std::nullopt);
    void stopDrone(std::optional<int64_t> at = std::nullopt);
    void step(double frequency, double duration, double velocity, std::optional<int64_t> at = std::nullopt);

    // Orbit tables from `points` (x, y interleaved) written into `slot`, then selected at `frame`.
    // The slot is written whether or not it is in use: the caller alternates slots.
    void setOrbit(std::span<const double> points, long length, int slot);

    vk_state* kernel() const { return kernel_; }
    const KernelParams& params() const { return params_; }
    // Created with the renderer, for the caller's use on rendered audio.
    Analyser& analyser() { return analyser_; }

private:
    vk_state* kernel_;
    double sampleRate_;
    KernelParams params_;
    int64_t frame_ = 0;
    Analyser analyser_;
};

} // namespace veltrane
