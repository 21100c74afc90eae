#pragma once
// The live sound engine: one synthesis kernel played on the output device.
//
// The engine creates the kernel at the device's sample rate and renders it from the output
// callback, with the kernel's own count of frames rendered as the frame clock (never the device's
// time, so a restart or a device change cannot strand events in the future). Every musical action
// of its callers becomes a `vk_event`; parameter changes are sent as the difference between the
// vector the kernel has and the new one, glide last. The reverb's impulse response is rebuilt on the
// queue "com.korvat.veltrane.reverb" when the decay moves more than 0.05 s from the one built. The
// microphone (mean of its first two channels) feeds the kernel; the kernel's output, after the
// limiter and before the speaker volume, can be recorded to a 24-bit stereo WAV file.
//
// Main thread only, except where noted: the audio and microphone callbacks run on the platform's
// audio threads and neither allocate, lock nor wait; recordings reach the disk from a writer thread
// through a preallocated ring. The reverb completion runs on the main queue, which the application
// pumps once per frame.
//
// Without an audio device the engine still exists (48000 Hz, silent): `start` throws `AudioError`
// and everything else keeps working.
#include "CSynth/kernel.h"
#include "Music/AudioParams.h"
#include "Music/MelodyPlayer.h"
#include "Platform/Audio/AudioOutput.h"
#include "Platform/Queues/MainQueue.h"
#include "Platform/Queues/SerialQueue.h"
#include "Synth/Analyser.h"
#include "Synth/KernelParams.h"
#include "Synth/Waveform.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace veltrane {

class SoundEngineError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Recording failures: the file cannot be created, a recording is already running, or the file
// did not receive every sample (a failed write, or the writer fell so far behind that samples were
// lost). A recording reported by an exception is never a saved file.
class RecordingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class SoundEngine {
public:
    struct Orbit {
        std::vector<double> points; // interleaved real and imaginary parts
        int length = 0;
    };
    using EventTap = std::function<void(const vk_event&)>;
    using OrbitTap = std::function<void(const std::vector<double>& points, int length, std::int64_t frame)>;
    static constexpr int parameterCount = KernelParams::count;

    // Opens the output device (not started). Throws SoundEngineError when the kernel cannot be made.
    explicit SoundEngine(const AudioOutputDesc& audio = {}, MainQueue& mainQueue = MainQueue::main());
    ~SoundEngine();
    SoundEngine(const SoundEngine&) = delete;
    SoundEngine& operator=(const SoundEngine&) = delete;

    vk_state* kernel() const { return kernel_; }
    double sampleRate() const { return sampleRate_; }
    bool isRunning() const { return isRunning_; }
    bool isPlaying() const { return isPlaying_; }
    bool micEnabled() const { return micEnabled_; }
    const Analyser& analyser() const { return analyser_; }
    const std::optional<Orbit>& lastOrbit() const { return lastOrbit_; }
    const std::optional<std::filesystem::path>& recordingURL() const { return recordingURL_; }
    const std::optional<std::chrono::system_clock::time_point>& recordingStarted() const { return recordingStarted_; }

    // Observers of what reached the kernel: called once an event or orbit is queued, never for one
    // that was dropped. A frame of 0 ("at once") is shown as the frame rendered at that moment.
    EventTap eventTap;
    OrbitTap orbitTap;

    // Throws AudioError when the device cannot start; `isRunning` then stays false.
    void start();
    void stop();

    std::int64_t currentFrame() const { return vk_frames_rendered(kernel_); }
    float speakerVolume() const { return output_->volume(); }
    void setSpeakerVolume(float volume) { output_->setVolume(volume); }
    std::int64_t outputLatencyFrames() const { return output_->latencyFrames(); }
    int ioBufferFrames() const { return static_cast<int>(output_->bufferFrames()); }
    // The newest output measured; `dt` is the time since the previous call, in seconds.
    AnalysisFrame analyse(double dt) { return analyser_.update(kernel_, sampleRate_, dt); }

    // The vector the kernel has been sent (NaN where nothing was sent yet).
    const std::array<float, parameterCount>& sentParameters() const { return params_.last; }

    // Sends the changed values of the sound's parameter vector (with `micGain` at index 29) as
    // type-0 events at `frame`, ascending with glide (index 25) last, then rebuilds the reverb if
    // the decay left the hysteresis band. A value counts as sent only once its event is queued:
    // when the ring is full, the rest of the batch waits for the next call, in order.
    void apply(const AudioParams& params, Waveform waveform, Waveform stepWaveform, double micGain, std::int64_t frame);
    // The same for a vector that is already built; `reverbDecay` in seconds.
    void applyVector(const std::array<float, parameterCount>& values, double reverbDecay, std::int64_t frame);

    // Event senders; each returns whether the kernel queued the event.
    bool play(std::int64_t at = 0);
    bool stopDrone(std::int64_t at = 0);
    bool step(double frequency, double duration, double velocity, std::int64_t at = 0);
    bool keyOn(std::int32_t id, double frequency, double velocity, std::int64_t at = 0);
    bool keyOff(std::int32_t id, std::int64_t at = 0);
    bool allKeysOff();
    // A melody note: key on at the note's frequency, or key off.
    bool send(const MelodyPlayer::Event& event);
    bool push(const vk_event& event);

    // `points` holds at least 2 x `length` values. Writes the orbit tables into the slot the kernel
    // is not playing and selects it; an orbit that prints the same as the last one is skipped, and
    // so is a call while the kernel still plays the other slot (the next call tries again).
    void setOrbit(const std::vector<double>& points, int length);

    // Throws AudioError("No audio input") when there is no microphone.
    void enableMic();
    void disableMic();

    // Records the kernel's output to a 24-bit stereo WAV file. Throws RecordingError when the
    // file cannot be created or a recording is already running.
    void startRecording(const std::filesystem::path& url);
    // The file just finished, or nothing when idle; throws RecordingError when the file did not
    // receive every sample.
    std::optional<std::filesystem::path> stopRecording();

    // The platform streams, for tools and tests (statistics, driving the null backend); the
    // microphone is null while it is off.
    AudioOutput& audio() { return *output_; }
    AudioInput* microphone() { return input_.get(); }

private:
    struct RenderContext;
    struct MicContext;
    struct Recorder;

    bool sendEvent(vk_event event);
    void rebuildReverbIfNeeded();

    MainQueue& main_;
    std::unique_ptr<RenderContext> ctx_;
    std::unique_ptr<MicContext> mic_;
    std::unique_ptr<AudioOutput> output_;
    std::unique_ptr<AudioInput> input_;
    vk_state* kernel_ = nullptr;
    double sampleRate_ = 48000;
    KernelParams params_;
    Analyser analyser_;
    bool isRunning_ = false;
    bool isPlaying_ = false;
    bool micEnabled_ = false;
    int orbitSlot_ = 0;
    std::string orbitKey_;
    std::optional<Orbit> lastOrbit_;
    std::unique_ptr<Recorder> recorder_;
    std::optional<std::filesystem::path> recordingURL_;
    std::optional<std::chrono::system_clock::time_point> recordingStarted_;
    bool reverbBuilding_ = false;
    double reverbWanted_ = 2.5;
    double reverbBuilt_ = 2.5;
    std::shared_ptr<bool> alive_; // completions posted to the main queue check it
    SerialQueue reverbQueue_{"com.korvat.veltrane.reverb"};
};

} // namespace veltrane
