#pragma once
// Audio output and input streams on the machine's sound system (RtAudio over JACK, PulseAudio or
// ALSA), with a null backend for headless runs.
//
// What it does:
//   - finds a device: with `AudioBackend::automatic`, JACK when a JACK server runs, else PulseAudio,
//     else ALSA; an API with no device counts as absent, and no device anywhere means "no audio":
//     construction still succeeds (sample rate 48000) and `start` throws `AudioError`;
//   - runs an output callback with up to 8 deinterleaved float planes and a frame count that may
//     change from one call to the next, then applies the output volume to what it wrote;
//   - runs an input callback (microphone) at the output's sample rate with the input's planes;
//   - reports the device's sample rate (48000 when it reports none), output latency and buffer size;
//   - counts callbacks and output underruns and keeps the longest callback time, on the wall clock
//     and in the processor time of the callback's thread.
// What it does not do: resample, mix several sources, convert channel layouts, or keep time: the
// callbacks get no timestamps, so their owner counts frames itself and a restart or a device change
// cannot strand its events in the future. It never starts a sound server.
//
// The null backend opens no device. Its streams run only when the owner drives them with
// `renderNull` / `pushNull` on its own thread (tests, offline tools); it reports 48000 Hz, a
// 256-frame buffer and no latency.
//
// Callbacks run on the audio thread: they must not allocate, lock or wait. `isInAudioCallback()`
// is true on a thread while it is inside one of these callbacks, for checks of that rule.
#include <atomic>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

namespace veltrane {

class AudioError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class AudioBackend { automatic, jack, pulse, alsa, null };

const char* toText(AudioBackend backend);

class AudioRenderCallback {
public:
    virtual ~AudioRenderCallback() = default;
    // Fill `channels` planes of `frames` floats each. Real-time: no allocation, lock or wait.
    virtual void renderAudio(float* const* planes, int channels, int frames) noexcept = 0;
};

class AudioInputCallback {
public:
    virtual ~AudioInputCallback() = default;
    // `channels` planes of `frames` floats each, valid only during the call. Real-time.
    virtual void receiveAudio(const float* const* planes, int channels, int frames) noexcept = 0;
};

struct AudioOutputDesc {
    AudioBackend backend = AudioBackend::automatic;
    int channels = 0;          // 0: 2, or 1 on a mono device; at most 8
    unsigned bufferFrames = 0; // 0: 256 (a JACK server imposes its own period)
    std::string clientName;    // "": "Veltrane" (the JACK client name)
    int nullInputChannels = 2; // null backend only: channels of its microphone, 0 for none
};

struct AudioStats {
    std::uint64_t callbacks = 0;
    std::uint64_t underruns = 0;     // callbacks the device flagged as late (xruns)
    double worstCallbackSeconds = 0; // longest time spent inside the output callback (wall clock)
    // The callback's own cost: processor time its thread spent inside it. Against the wall-clock
    // figure it tells a slow callback (both high) from a thread the system did not run (wall high,
    // processor time low).
    double worstCallbackCpuSeconds = 0;
    double totalCallbackCpuSeconds = 0;
};

bool isInAudioCallback() noexcept;

class AudioOutput {
public:
    // Finds and opens the device without starting it; never throws for a missing device.
    AudioOutput(AudioRenderCallback& callback, const AudioOutputDesc& desc = {});
    ~AudioOutput();
    AudioOutput(const AudioOutput&) = delete;
    AudioOutput& operator=(const AudioOutput&) = delete;

    bool hasDevice() const { return api_ != AudioBackend::automatic; }
    AudioBackend backend() const { return api_; }
    const std::string& deviceName() const { return deviceName_; }
    double sampleRate() const { return sampleRate_; }
    int channels() const { return channels_; }

    // Starts the stream, opening the device first if it is not open (a server that appeared since
    // construction is found then, at the same sample rate). Throws AudioError; idempotent.
    void start();
    // Stops the stream (waits for a running callback to return); never fails.
    void stop();
    bool isRunning() const { return running_.load(std::memory_order_acquire); }

    // Output latency in frames and the device's buffer size; 0 when no stream is open.
    long latencyFrames() const;
    unsigned bufferFrames() const;

    // Gain applied to the planes after the callback returns (so a recording taken inside the
    // callback does not carry it). 1 at start.
    void setVolume(float volume) { volume_.store(volume, std::memory_order_relaxed); }
    float volume() const { return volume_.load(std::memory_order_relaxed); }

    AudioStats stats() const;

    // Null backend: runs one output callback of `frames` frames (at most 8192) on the calling
    // thread when started and returns the planes it filled (valid until the next call), or
    // nullptr when not started or not on the null backend.
    const float* const* renderNull(int frames);

    struct Stream; // backend state, shared with AudioInput

private:
    friend class AudioInput;
    void open();
    void runCallback(float* const* planes, int frames, bool underrun) noexcept;
    static int rtCallback(void* out, void* in, unsigned frames, double, unsigned status, void* self);

    AudioRenderCallback& callback_;
    AudioOutputDesc desc_;
    AudioBackend api_ = AudioBackend::automatic; // automatic: no device
    std::string deviceName_;
    double sampleRate_ = 48000;
    bool rateFixed_ = false;
    int channels_ = 2;
    std::unique_ptr<Stream> stream_;
    std::atomic<bool> running_{false};
    std::atomic<float> volume_{1.0f};
    std::atomic<std::uint64_t> callbacks_{0};
    std::atomic<std::uint64_t> underruns_{0};
    std::atomic<std::int64_t> worstNanos_{0};
    std::atomic<std::int64_t> worstCpuNanos_{0};
    std::atomic<std::int64_t> totalCpuNanos_{0};
    float* planes_[8] = {};
    std::unique_ptr<float[]> nullBuffer_;
};

// The microphone: an input stream on the output's backend at the output's sample rate, with at
// most the device's first two channels (on JACK: the capture ports of a device other than our own
// clients).
class AudioInput {
public:
    AudioInput(AudioInputCallback& callback, const AudioOutput& output);
    ~AudioInput();
    AudioInput(const AudioInput&) = delete;
    AudioInput& operator=(const AudioInput&) = delete;

    // Opens and starts the default input device; throws AudioError("No audio input") when the
    // backend has none, or AudioError with the system's reason when it cannot be opened.
    void start();
    void stop();
    bool isRunning() const { return running_; }
    int channels() const { return channels_; }

    // Null backend: delivers one block to the callback on the calling thread when started.
    void pushNull(const float* const* planes, int channels, int frames);

private:
    static int rtCallback(void* out, void* in, unsigned frames, double, unsigned status, void* self);

    AudioInputCallback& callback_;
    AudioBackend api_;
    double sampleRate_;
    std::string clientName_;
    std::string ownName_;
    int nullChannels_;
    int channels_ = 0;
    bool running_ = false;
    std::unique_ptr<AudioOutput::Stream> stream_;
    const float* planes_[8] = {};
};

} // namespace veltrane
