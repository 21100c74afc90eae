#include "Platform/Audio/AudioOutput.h"

#include "Platform/Clock/Clock.h"

#include <rtaudio/RtAudio.h>
#include <alsa/asoundlib.h>
#include <jack/jack.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <time.h>

namespace veltrane {

// Only the plain-C part of the callbacks' signature is shared with RtAudio's header.
static_assert(std::is_same_v<RtAudioStreamStatus, unsigned>);

namespace {

constexpr int kMaxPlanes = 8;
constexpr int kNullMaxFrames = 8192;
constexpr unsigned kDefaultBufferFrames = 256;
constexpr double kFallbackRate = 48000;

thread_local bool tlsInCallback = false;

struct CallbackScope {
    CallbackScope() noexcept { tlsInCallback = true; }
    ~CallbackScope() { tlsInCallback = false; }
};

void quietJack(const char*) {}

void quietAlsa(const char*, int, const char*, int, const char*, ...) {}

// libjack and libasound write several lines to standard error every time an API is asked for its
// devices while there is no server or no card; "no device" is an ordinary answer here, and the
// caller reports it in one line.
void silenceLibraries()
{
    static std::once_flag once;
    std::call_once(once, [] {
        jack_set_error_function(quietJack);
        jack_set_info_function(quietJack);
        snd_lib_error_set_handler(quietAlsa);
    });
}

std::optional<RtAudio::Api> rtApi(AudioBackend backend)
{
    switch (backend) {
    case AudioBackend::jack: return RtAudio::UNIX_JACK;
    case AudioBackend::pulse: return RtAudio::LINUX_PULSE;
    case AudioBackend::alsa: return RtAudio::LINUX_ALSA;
    default: return std::nullopt;
    }
}

struct Found {
    AudioBackend backend;
    std::unique_ptr<RtAudio> rt;
    unsigned device = 0;
    std::string name;
    unsigned rate = 0;
    int channels = 0;
};

// The default device of that direction when it has channels in it, else the first that has.
// Devices named after our own client are skipped: on JACK every client is a device, and the
// microphone must not pick up our own output (nor the output play into our microphone client).
std::optional<Found> findDevice(AudioBackend wanted, bool input, const std::string& ownName)
{
    silenceLibraries();
    std::vector<AudioBackend> order;
    if (wanted == AudioBackend::automatic)
        order = {AudioBackend::jack, AudioBackend::pulse, AudioBackend::alsa};
    else
        order = {wanted};
    std::vector<RtAudio::Api> compiled;
    RtAudio::getCompiledApi(compiled);
    for (AudioBackend backend : order) {
        const auto api = rtApi(backend);
        if (!api || std::find(compiled.begin(), compiled.end(), *api) == compiled.end()) continue;
        try {
            auto rt = std::make_unique<RtAudio>(*api);
            rt->showWarnings(false);
            const unsigned count = rt->getDeviceCount();
            if (count == 0) continue;
            const unsigned preferred = input ? rt->getDefaultInputDevice() : rt->getDefaultOutputDevice();
            std::vector<unsigned> candidates{preferred};
            for (unsigned i = 0; i < count; ++i)
                if (i != preferred) candidates.push_back(i);
            for (unsigned i : candidates) {
                if (i >= count) continue;
                // JACK answers each question through a fresh client, which a busy server now and
                // then refuses; the answer then comes back without a name (and with `probed` left
                // uninitialised by RtAudio 5.2, so that flag cannot be trusted). Ask again.
                RtAudio::DeviceInfo info{};
                for (int attempt = 0; attempt < 10; ++attempt) {
                    if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
                    try {
                        info = rt->getDeviceInfo(i);
                    } catch (const RtAudioError&) {
                        info = {};
                    }
                    if (!info.name.empty() && info.inputChannels + info.outputChannels > 0) break;
                }
                const int channels = static_cast<int>(input ? info.inputChannels : info.outputChannels);
                if (info.name.empty() || channels <= 0 || info.name.rfind(ownName, 0) == 0) continue;
                Found found{backend, std::move(rt), i, info.name, info.preferredSampleRate, channels};
                return found;
            }
        } catch (const RtAudioError&) {
            continue;
        }
    }
    return std::nullopt;
}

} // namespace

const char* toText(AudioBackend backend)
{
    switch (backend) {
    case AudioBackend::automatic: return "none";
    case AudioBackend::jack: return "JACK";
    case AudioBackend::pulse: return "PulseAudio";
    case AudioBackend::alsa: return "ALSA";
    case AudioBackend::null: return "null";
    }
    return "none";
}

bool isInAudioCallback() noexcept { return tlsInCallback; }

struct AudioOutput::Stream {
    std::unique_ptr<RtAudio> rt;
    unsigned device = 0;
    unsigned bufferFrames = 0;
    bool isOpen() const { return rt && rt->isStreamOpen(); }

    // Stops a running stream and returns once no callback runs any more. Never RtAudio's
    // stopStream: on JACK (RtAudio 5.2) it asks the callback to drain and then waits on a condition
    // variable without holding its mutex, so a signal sent before the wait is lost and the stop
    // hangs for good. abortStream skips that drain and deactivates the JACK client at once (which
    // waits for a process cycle in progress); on ALSA and PulseAudio it drops what is queued
    // instead of playing it out, which a stopping instrument wants anyway.
    void halt() noexcept
    {
        try {
            if (rt->isStreamRunning()) rt->abortStream();
        } catch (const RtAudioError&) {}
    }
};

AudioOutput::AudioOutput(AudioRenderCallback& callback, const AudioOutputDesc& desc)
    : callback_(callback), desc_(desc), stream_(std::make_unique<Stream>())
{
    if (desc_.clientName.empty()) desc_.clientName = "Veltrane";
    if (desc_.backend == AudioBackend::null) {
        api_ = AudioBackend::null;
        deviceName_ = "null";
        channels_ = std::clamp(desc_.channels == 0 ? 2 : desc_.channels, 1, kMaxPlanes);
        nullBuffer_ = std::make_unique<float[]>(static_cast<std::size_t>(kMaxPlanes) * kNullMaxFrames);
        return;
    }
    try {
        open();
    } catch (const AudioError&) {
        // Reported again by start(), which tries once more.
    }
    // From here on the rate is fixed: the owner builds its signal chain for it.
    rateFixed_ = true;
}

AudioOutput::~AudioOutput()
{
    stop();
    if (stream_->isOpen()) {
        try {
            stream_->rt->closeStream();
        } catch (const RtAudioError&) {}
    }
}

void AudioOutput::open()
{
    auto found = findDevice(desc_.backend, false, desc_.clientName);
    if (!found) throw AudioError("No audio output device");
    api_ = found->backend;
    deviceName_ = found->name;
    if (!rateFixed_) sampleRate_ = found->rate > 0 ? found->rate : kFallbackRate;
    const int wanted = desc_.channels == 0 ? 2 : desc_.channels;
    channels_ = std::clamp(std::min(wanted, found->channels), 1, kMaxPlanes);

    RtAudio::StreamParameters params;
    params.deviceId = found->device;
    params.nChannels = static_cast<unsigned>(channels_);
    params.firstChannel = 0;
    RtAudio::StreamOptions options;
    options.flags = RTAUDIO_NONINTERLEAVED;
    options.streamName = desc_.clientName;
    unsigned frames = desc_.bufferFrames ? desc_.bufferFrames : kDefaultBufferFrames;
    try {
        found->rt->openStream(&params, nullptr, RTAUDIO_FLOAT32, static_cast<unsigned>(sampleRate_), &frames,
                              &AudioOutput::rtCallback, this, &options);
    } catch (const RtAudioError& e) {
        throw AudioError(e.getMessage());
    }
    stream_->rt = std::move(found->rt);
    stream_->device = found->device;
    stream_->bufferFrames = frames;
}

void AudioOutput::start()
{
    if (running_.load()) return;
    if (api_ == AudioBackend::null) {
        running_.store(true, std::memory_order_release);
        return;
    }
    if (!stream_->isOpen()) open();
    try {
        stream_->rt->startStream();
    } catch (const RtAudioError& e) {
        throw AudioError(e.getMessage());
    }
    running_.store(true, std::memory_order_release);
}

void AudioOutput::stop()
{
    if (!running_.load()) return;
    if (api_ != AudioBackend::null && stream_->isOpen()) stream_->halt();
    running_.store(false, std::memory_order_release);
}

long AudioOutput::latencyFrames() const
{
    if (!stream_->isOpen()) return 0;
    try {
        return std::max(stream_->rt->getStreamLatency(), 0L);
    } catch (const RtAudioError&) {
        return 0;
    }
}

unsigned AudioOutput::bufferFrames() const
{
    if (api_ == AudioBackend::null) return kDefaultBufferFrames;
    return stream_->isOpen() ? stream_->bufferFrames : 0;
}

AudioStats AudioOutput::stats() const
{
    AudioStats s;
    s.callbacks = callbacks_.load(std::memory_order_relaxed);
    s.underruns = underruns_.load(std::memory_order_relaxed);
    s.worstCallbackSeconds = static_cast<double>(worstNanos_.load(std::memory_order_relaxed)) * 1e-9;
    s.worstCallbackCpuSeconds = static_cast<double>(worstCpuNanos_.load(std::memory_order_relaxed)) * 1e-9;
    s.totalCallbackCpuSeconds = static_cast<double>(totalCpuNanos_.load(std::memory_order_relaxed)) * 1e-9;
    return s;
}

// ---- real-time section: nothing below allocates, locks or waits ----

void AudioOutput::runCallback(float* const* planes, int frames, bool underrun) noexcept
{
    const auto begin = std::chrono::steady_clock::now();
    const std::int64_t cpuBegin = threadProcessorNanos();
    {
        CallbackScope scope;
        callback_.renderAudio(planes, channels_, frames);
        const float gain = volume_.load(std::memory_order_relaxed);
        if (gain != 1.0f)
            for (int c = 0; c < channels_; ++c)
                for (int i = 0; i < frames; ++i) planes[c][i] *= gain;
    }
    const std::int64_t cpuNanos = threadProcessorNanos() - cpuBegin;
    const auto nanos =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - begin).count();
    callbacks_.fetch_add(1, std::memory_order_relaxed);
    totalCpuNanos_.fetch_add(cpuNanos, std::memory_order_relaxed);
    if (cpuNanos > worstCpuNanos_.load(std::memory_order_relaxed))
        worstCpuNanos_.store(cpuNanos, std::memory_order_relaxed);
    if (underrun) underruns_.fetch_add(1, std::memory_order_relaxed);
    if (nanos > worstNanos_.load(std::memory_order_relaxed)) worstNanos_.store(nanos, std::memory_order_relaxed);
}

int AudioOutput::rtCallback(void* out, void*, unsigned frames, double, unsigned status, void* user)
{
    auto* self = static_cast<AudioOutput*>(user);
    auto* base = static_cast<float*>(out);
    // Non-interleaved: the channels follow one another, `frames` floats each.
    for (int c = 0; c < self->channels_; ++c) self->planes_[c] = base + static_cast<std::size_t>(c) * frames;
    self->runCallback(self->planes_, static_cast<int>(frames), (status & RTAUDIO_OUTPUT_UNDERFLOW) != 0);
    return 0;
}

const float* const* AudioOutput::renderNull(int frames)
{
    if (api_ != AudioBackend::null || !running_.load(std::memory_order_acquire)) return nullptr;
    frames = std::clamp(frames, 0, kNullMaxFrames);
    for (int c = 0; c < channels_; ++c) {
        planes_[c] = nullBuffer_.get() + static_cast<std::size_t>(c) * kNullMaxFrames;
        std::memset(planes_[c], 0, sizeof(float) * static_cast<std::size_t>(frames));
    }
    runCallback(planes_, frames, false);
    return planes_;
}

// ---- microphone ----

AudioInput::AudioInput(AudioInputCallback& callback, const AudioOutput& output)
    : callback_(callback), api_(output.backend()), sampleRate_(output.sampleRate()),
      clientName_(output.desc_.clientName + " input"), ownName_(output.desc_.clientName),
      nullChannels_(output.desc_.nullInputChannels), stream_(std::make_unique<AudioOutput::Stream>())
{}

AudioInput::~AudioInput()
{
    stop();
    if (stream_->isOpen()) {
        try {
            stream_->rt->closeStream();
        } catch (const RtAudioError&) {}
    }
}

void AudioInput::start()
{
    if (running_) return;
    if (api_ == AudioBackend::null) {
        if (nullChannels_ <= 0) throw AudioError("No audio input");
        channels_ = std::min(nullChannels_, kMaxPlanes);
        running_ = true;
        return;
    }
    if (!stream_->isOpen()) {
        // The microphone follows the output's backend; with no output there is no input either.
        auto found = api_ == AudioBackend::automatic ? std::nullopt : findDevice(api_, true, ownName_);
        if (!found) throw AudioError("No audio input");
        // The mixdown reads at most two channels.
        channels_ = std::min(found->channels, 2);
        RtAudio::StreamParameters params;
        params.deviceId = found->device;
        params.nChannels = static_cast<unsigned>(channels_);
        RtAudio::StreamOptions options;
        options.flags = RTAUDIO_NONINTERLEAVED;
        options.streamName = clientName_;
        unsigned frames = kDefaultBufferFrames;
        try {
            found->rt->openStream(nullptr, &params, RTAUDIO_FLOAT32, static_cast<unsigned>(sampleRate_), &frames,
                                  &AudioInput::rtCallback, this, &options);
        } catch (const RtAudioError& e) {
            throw AudioError(e.getMessage());
        }
        stream_->rt = std::move(found->rt);
        stream_->bufferFrames = frames;
    }
    try {
        stream_->rt->startStream();
    } catch (const RtAudioError& e) {
        throw AudioError(e.getMessage());
    }
    running_ = true;
}

void AudioInput::stop()
{
    if (!running_) return;
    if (stream_->isOpen()) stream_->halt();
    running_ = false;
}

int AudioInput::rtCallback(void*, void* in, unsigned frames, double, unsigned, void* user)
{
    auto* self = static_cast<AudioInput*>(user);
    if (!in) return 0;
    const auto* base = static_cast<const float*>(in);
    for (int c = 0; c < self->channels_; ++c) self->planes_[c] = base + static_cast<std::size_t>(c) * frames;
    CallbackScope scope;
    self->callback_.receiveAudio(self->planes_, self->channels_, static_cast<int>(frames));
    return 0;
}

void AudioInput::pushNull(const float* const* planes, int channels, int frames)
{
    if (api_ != AudioBackend::null || !running_) return;
    CallbackScope scope;
    callback_.receiveAudio(planes, std::clamp(channels, 0, kMaxPlanes), std::max(frames, 0));
}

} // namespace veltrane
