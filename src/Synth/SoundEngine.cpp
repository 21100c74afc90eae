#include "Synth/SoundEngine.h"

#include "Synth/OrbitTable.h"
#include "Synth/WAV.h"

#include "Platform/Queues/SpscRing.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <thread>

namespace veltrane {

namespace {

constexpr int kMaxPlanes = 8;
constexpr int kMicFrames = 8192;
constexpr int kGlide = VK_P_GLIDE;
constexpr double kReverbHysteresis = 0.05; // seconds of decay that do not justify a rebuild
constexpr double kReverbRetry = 0.05;      // seconds between attempts while the kernel is busy

void putLE(unsigned char* at, std::uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

} // namespace

// ---- recording: a ring the audio thread fills and a writer thread drains into the file ----

struct SoundEngine::Recorder {
    struct Frame {
        float left, right;
    };
    // 2^17 frames is 2.7 s at 48 kHz: the writer wakes every 10 ms, so only a stalled disk fills it.
    // Producer: the audio thread. Consumer: the writer thread while it runs, the main thread otherwise.
    SpscRing<Frame> ring{std::size_t{1} << 17};
    std::atomic<bool> active{false};
    std::atomic<int> inCallback{0};
    std::atomic<std::uint64_t> lostFrames{0};

    // Writer side (the writer thread while it runs, the main thread otherwise).
    std::thread writer;
    std::atomic<bool> finishing{false};
    std::FILE* file = nullptr;
    int rate = 48000;
    std::uint64_t frames = 0;                                                   // frames in the file
    std::vector<std::vector<float>> chunk = std::vector<std::vector<float>>(2); // left, right
    std::string error;

    // Audio thread. A block that does not fit is lost whole and counted.
    void push(const float* left, const float* right, int n) noexcept
    {
        const std::uint64_t w = ring.writeBegin();
        if (ring.writeEnd() - w < static_cast<std::uint64_t>(n)) {
            lostFrames.fetch_add(static_cast<std::uint64_t>(n), std::memory_order_relaxed);
            return;
        }
        for (int i = 0; i < n; ++i) ring.slotAt(w + static_cast<std::uint64_t>(i)) = Frame{left[i], right[i]};
        ring.writeTo(w + static_cast<std::uint64_t>(n));
    }

    // Audio thread: the seq_cst pair with `finish` guarantees that once `finish` has seen the
    // callback out, no later callback writes into this recording.
    void offer(const float* left, const float* right, int n) noexcept
    {
        inCallback.store(1, std::memory_order_seq_cst);
        if (active.load(std::memory_order_seq_cst)) push(left, right, n);
        inCallback.store(0, std::memory_order_release);
    }

    void fail(const std::string& why)
    {
        if (error.empty()) error = why;
    }

    // The samples go through the WAV codec, so recordings and rendered files quantise alike.
    void drain()
    {
        const std::uint64_t w = ring.readEnd();
        std::uint64_t r = ring.readBegin();
        while (r < w) {
            const std::uint64_t n = std::min<std::uint64_t>(w - r, 4096);
            if (error.empty()) {
                try {
                    WAV::dataSize(2, frames + n, rate, 24); // throws past the format's 4 GiB
                    chunk[0].resize(n);
                    chunk[1].resize(n);
                    for (std::uint64_t i = 0; i < n; ++i) {
                        chunk[0][i] = ring.at(r + i).left;
                        chunk[1][i] = ring.at(r + i).right;
                    }
                    const std::vector<std::uint8_t> image = WAV::encode(chunk, rate, 24);
                    const std::size_t bytes = image.size() - 44;
                    if (std::fwrite(image.data() + 44, 1, bytes, file) != bytes)
                        fail(std::strerror(errno));
                    else
                        frames += n;
                } catch (const WAV::EncodeError&) {
                    fail("the recording is too long for a WAV file");
                }
            }
            r += n;
            ring.readTo(r);
        }
    }

    void run()
    {
        for (;;) {
            const bool last = finishing.load(std::memory_order_acquire);
            drain();
            if (last) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    void begin(const std::filesystem::path& path, double sampleRate)
    {
        file = std::fopen(path.c_str(), "wb");
        if (!file)
            throw RecordingError("Could not create the recording " + path.string() + ": " + std::strerror(errno));
        // Room for the header, written with the final sizes when the recording ends.
        const unsigned char placeholder[44] = {};
        if (std::fwrite(placeholder, 1, sizeof placeholder, file) != sizeof placeholder) {
            const std::string why = std::strerror(errno);
            std::fclose(file);
            file = nullptr;
            throw RecordingError("Could not create the recording " + path.string() + ": " + why);
        }
        rate = static_cast<int>(sampleRate);
        frames = 0;
        error.clear();
        lostFrames.store(0);
        finishing.store(false);
        ring.discardAll(); // anything left from an earlier recording
        writer = std::thread([this] { run(); });
        active.store(true, std::memory_order_seq_cst);
    }

    // Returns the error, empty when every sample reached the file.
    std::string finish()
    {
        active.store(false, std::memory_order_seq_cst);
        while (inCallback.load(std::memory_order_seq_cst) != 0) std::this_thread::yield();
        finishing.store(true, std::memory_order_release);
        writer.join();
        if (const std::uint64_t lost = lostFrames.load(); lost > 0)
            fail(std::to_string(lost) + " frames were lost because the disk did not keep up");

        // The codec's header for two empty channels, with the sizes of the data written.
        std::vector<std::uint8_t> header = WAV::encode({{}, {}}, rate, 24);
        const auto dataBytes = static_cast<std::uint32_t>(frames * 6);
        putLE(&header[4], 36 + dataBytes, 4);
        putLE(&header[40], dataBytes, 4);
        if (std::fseek(file, 0, SEEK_SET) != 0 || std::fwrite(header.data(), 1, header.size(), file) != header.size())
            fail(std::strerror(errno));
        if (std::fflush(file) != 0) fail(std::strerror(errno));
        if (std::fclose(file) != 0) fail(std::strerror(errno));
        file = nullptr;
        return error;
    }
};

// ---- real-time section: the callbacks below allocate nothing, lock nothing, wait for nothing ----

struct SoundEngine::RenderContext final : AudioRenderCallback {
    static constexpr int scratchFrames = 4096;
    vk_state* engine = nullptr;
    Recorder* recorder = nullptr;
    std::unique_ptr<float[]> scratch = std::make_unique<float[]>(2 * scratchFrames);

    void renderAudio(float* const* planes, int channels, int frames) noexcept override
    {
        const int n = std::min(channels, kMaxPlanes);
        if (n <= 0 || frames <= 0) return;
        // The frame clock is the count of frames this kernel has rendered.
        std::int64_t start = vk_frames_rendered(engine);
        if (n >= 2) {
            vk_render(engine, planes, n, frames, start);
            recorder->offer(planes[0], planes[1], frames);
            return;
        }
        // A mono device: render stereo, so recordings stay stereo, and send the mean.
        float* stereo[2] = {scratch.get(), scratch.get() + scratchFrames};
        for (int done = 0; done < frames;) {
            const int m = std::min(frames - done, scratchFrames);
            vk_render(engine, stereo, 2, m, start);
            for (int i = 0; i < m; ++i) planes[0][done + i] = (stereo[0][i] + stereo[1][i]) * 0.5f;
            recorder->offer(stereo[0], stereo[1], m);
            start += m;
            done += m;
        }
    }
};

struct SoundEngine::MicContext final : AudioInputCallback {
    vk_state* engine = nullptr;
    std::unique_ptr<float[]> scratch = std::make_unique<float[]>(kMicFrames);

    void receiveAudio(const float* const* planes, int channels, int frames) noexcept override
    {
        if (channels <= 0 || !planes[0]) return;
        const int n = std::min(frames, kMicFrames);
        if (n <= 0) return;
        const float* samples = planes[0];
        if (channels >= 2 && planes[1]) {
            for (int k = 0; k < n; ++k) scratch[k] = (planes[0][k] + planes[1][k]) * 0.5f;
            samples = scratch.get();
        }
        vk_push_input(engine, samples, n);
    }
};

// ---- main thread ----

SoundEngine::SoundEngine(const AudioOutputDesc& audio, MainQueue& mainQueue)
    : main_(mainQueue), ctx_(std::make_unique<RenderContext>()), mic_(std::make_unique<MicContext>()),
      recorder_(std::make_unique<Recorder>()), alive_(std::make_shared<bool>(true))
{
    output_ = std::make_unique<AudioOutput>(*ctx_, audio);
    sampleRate_ = output_->sampleRate() > 0 ? output_->sampleRate() : 48000;
    kernel_ = vk_create(sampleRate_);
    if (!kernel_)
        throw SoundEngineError("The synthesizer could not be created at " + std::to_string(sampleRate_) + " Hz");
    ctx_->engine = kernel_;
    ctx_->recorder = recorder_.get();
    mic_->engine = kernel_;
}

SoundEngine::~SoundEngine()
{
    disableMic();
    output_->stop();
    if (recordingURL_) {
        try {
            stopRecording();
        } catch (const RecordingError& e) {
            std::fprintf(stderr, "%s\n", e.what());
        }
    }
    reverbQueue_.drain();
    alive_.reset();
    output_.reset();
    vk_destroy(kernel_);
}

void SoundEngine::start()
{
    if (isRunning_) return;
    output_->start();
    isRunning_ = true;
}

void SoundEngine::stop()
{
    output_->stop();
    isRunning_ = false;
}

bool SoundEngine::sendEvent(vk_event event)
{
    // The observer sees an absolute frame; the kernel keeps 0, "at once".
    const std::int64_t shown = event.frame == 0 ? currentFrame() : event.frame;
    if (vk_push_event(kernel_, &event) != 0) return false;
    if (eventTap) {
        vk_event seen = event;
        seen.frame = shown;
        eventTap(seen);
    }
    return true;
}

bool SoundEngine::push(const vk_event& event) { return sendEvent(event); }

bool SoundEngine::send(const MelodyPlayer::Event& event) { return sendEvent(kernelEvent(event)); }

void SoundEngine::apply(const AudioParams& params, Waveform waveform, Waveform stepWaveform, double micGain,
                        std::int64_t frame)
{
    auto values = KernelParams::values(params, waveform, stepWaveform);
    values[VK_P_MIC_GAIN] = static_cast<float>(micGain);
    applyVector(values, params.reverbDecay, frame);
}

void SoundEngine::applyVector(const std::array<float, parameterCount>& values, double reverbDecay, std::int64_t frame)
{
    std::array<int, parameterCount> order;
    int k = 0;
    for (int i = 0; i < parameterCount; ++i)
        if (i != kGlide) order[k++] = i;
    order[k] = kGlide;
    for (int i : order) {
        if (values[i] == params_.last[i]) // NaN (nothing sent yet) never compares equal
            continue;
        vk_event e{};
        e.frame = frame;
        e.type = VK_EVENT_PARAM;
        e.param = i;
        e.value = values[i];
        // Stop at the first drop so the batch keeps its order (glide after the rest) when the next
        // call sends what is left.
        if (!sendEvent(e)) break;
        params_.last[i] = values[i];
    }
    reverbWanted_ = reverbDecay;
    rebuildReverbIfNeeded();
}

void SoundEngine::rebuildReverbIfNeeded()
{
    if (reverbBuilding_) return;
    if (!(std::abs(reverbWanted_ - reverbBuilt_) > kReverbHysteresis)) return;
    reverbBuilding_ = true;
    const double decay = reverbWanted_;
    std::weak_ptr<bool> alive = alive_;
    reverbQueue_.async([this, decay, alive] {
        const int result = vk_reverb_build(kernel_, static_cast<float>(decay));
        auto done = [this, decay, result, alive] {
            if (alive.expired()) return;
            reverbBuilding_ = false;
            if (result == 0) reverbBuilt_ = decay;
            rebuildReverbIfNeeded();
        };
        if (result == 1)
            main_.postAfter(kReverbRetry, done);
        else
            main_.post(done);
    });
}

bool SoundEngine::play(std::int64_t at)
{
    const bool queued = sendEvent({.frame = at, .type = VK_EVENT_DRONE_ON});
    if (queued) isPlaying_ = true;
    return queued;
}

bool SoundEngine::stopDrone(std::int64_t at)
{
    const bool queued = sendEvent({.frame = at, .type = VK_EVENT_DRONE_OFF});
    if (queued) isPlaying_ = false;
    return queued;
}

bool SoundEngine::step(double frequency, double duration, double velocity, std::int64_t at)
{
    return sendEvent({.frame = at,
                      .type = VK_EVENT_STEP,
                      .value = static_cast<float>(frequency),
                      .value2 = static_cast<float>(duration),
                      .value3 = static_cast<float>(velocity)});
}

bool SoundEngine::keyOn(std::int32_t id, double frequency, double velocity, std::int64_t at)
{
    return sendEvent({.frame = at,
                      .type = VK_EVENT_KEY_ON,
                      .id = id,
                      .value = static_cast<float>(frequency),
                      .value3 = static_cast<float>(velocity)});
}

bool SoundEngine::keyOff(std::int32_t id, std::int64_t at)
{
    return sendEvent({.frame = at, .type = VK_EVENT_KEY_OFF, .id = id});
}

bool SoundEngine::allKeysOff() { return sendEvent({.frame = 0, .type = VK_EVENT_ALL_KEYS_OFF}); }

void SoundEngine::setOrbit(const std::vector<double>& points, int length)
{
    std::string key = std::to_string(length);
    if (length >= 2) {
        const int c = std::min(length, 64);
        char text[64];
        for (int i = 1; i < c; i += 3) {
            std::snprintf(text, sizeof text, "|%.5f|%.5f", points[2 * i], points[2 * i + 1]);
            key += text;
        }
    }
    if (key == orbitKey_) return;
    const int slot = orbitSlot_ ^ 1;
    if (slot == vk_orbit_slot_in_use(kernel_)) return; // the kernel still plays that slot; the next call tries again

    const auto [re, im] = OrbitTable::make(points, length);
    vk_write_orbit(kernel_, slot, re.data(), im.data()); // the slot not in use: no race
    const std::int64_t frame = currentFrame();
    const vk_event select{.frame = 0, .type = VK_EVENT_ORBIT_SLOT, .id = slot};
    if (vk_push_event(kernel_, &select) != 0)
        return; // not selected: nothing is recorded as sent, and the next call writes it again
    orbitKey_ = std::move(key);
    orbitSlot_ = slot;
    if (orbitTap) orbitTap(points, length, frame);
    lastOrbit_ = Orbit{points, length};
}

void SoundEngine::enableMic()
{
    if (micEnabled_) return;
    auto input = std::make_unique<AudioInput>(*mic_, *output_);
    input->start(); // throws AudioError("No audio input"): nothing changes
    input_ = std::move(input);
    micEnabled_ = true;
}

void SoundEngine::disableMic()
{
    if (!input_) return;
    input_->stop();
    input_.reset();
    micEnabled_ = false;
}

void SoundEngine::startRecording(const std::filesystem::path& url)
{
    if (recordingURL_) throw RecordingError("A recording is already running: " + recordingURL_->string());
    recorder_->begin(url, sampleRate_);
    recordingURL_ = url;
    recordingStarted_ = std::chrono::system_clock::now();
}

std::optional<std::filesystem::path> SoundEngine::stopRecording()
{
    if (!recordingURL_) return std::nullopt;
    const std::string error = recorder_->finish();
    auto url = std::move(recordingURL_);
    recordingURL_.reset();
    recordingStarted_.reset();
    if (!error.empty()) throw RecordingError("The recording " + url->string() + " is incomplete: " + error);
    return url;
}

} // namespace veltrane
