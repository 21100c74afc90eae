#include "Synth/SoundEngine.h"

#include "../Support/JackServer.h"
#include "../Support/RealtimeWatch.h"
#include "../Support/WaitFor.h"
#include "../Support/WavFile.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

using namespace veltrane;
namespace testsupport = veltrane::testsupport;

using veltrane::testsupport::expectedPcm24;
using veltrane::testsupport::readWav;
using veltrane::testsupport::waitFor;

namespace {

constexpr int kGlide = 25;
constexpr int kMicGain = 29;

void applyDefaults(SoundEngine& engine, std::int64_t frame)
{
    engine.apply(AudioParams::defaults(), Waveform::sawtooth, Waveform::triangle, 0, frame);
}

struct Tapped {
    std::vector<vk_event> events;
    void attach(SoundEngine& engine)
    {
        engine.eventTap = [this](const vk_event& e) { events.push_back(e); };
    }
};

AudioOutputDesc nullAudio(int channels = 2) { return {.backend = AudioBackend::null, .channels = channels}; }

std::filesystem::path tempFile(const std::string& name)
{
    return std::filesystem::temp_directory_path() / ("veltrane-" + std::to_string(getpid()) + "-" + name);
}

} // namespace

TEST(SoundEngine, FirstApplySendsAllWithGlideLastThenOnlyChanges)
{
    MainQueue queue;
    SoundEngine engine(nullAudio(), queue);
    Tapped tap;
    tap.attach(engine);
    AudioParams p;
    p.filterRolloff = AudioParams::Rolloff::db48;
    engine.apply(p, Waveform::square, Waveform::sine, 0.25, 0);
    auto v = KernelParams::values(p, Waveform::square, Waveform::sine);
    v[kMicGain] = 0.25f;
    ASSERT_EQ(tap.events.size(), 31u);
    for (size_t i = 0; i < 31; ++i) {
        const int want = i < 25 ? int(i) : i < 30 ? int(i) + 1 : kGlide;
        EXPECT_EQ(tap.events[i].type, 0);
        EXPECT_EQ(tap.events[i].param, want);
        EXPECT_EQ(tap.events[i].value, v[want]);
    }
    EXPECT_EQ(tap.events[5].value, 3.0f); // db48
    tap.events.clear();
    engine.apply(p, Waveform::square, Waveform::sine, 0.25, 0);
    EXPECT_TRUE(tap.events.empty());
    p.frequency = 330;
    engine.apply(p, Waveform::square, Waveform::sine, 0.5, 480);
    ASSERT_EQ(tap.events.size(), 2u);
    EXPECT_EQ(tap.events[0].param, 0);
    EXPECT_EQ(tap.events[0].value, 330.0f);
    EXPECT_EQ(tap.events[1].param, kMicGain);
    EXPECT_EQ(tap.events[1].frame, 480);
    EXPECT_EQ(engine.sentParameters()[kMicGain], 0.5f);
}

TEST(SoundEngine, DroppedParameterEventsAreSentAgainAndNeverTapped)
{
    MainQueue queue;
    SoundEngine engine(nullAudio(), queue);
    // Fill the ring: the audio device is not running, so nothing drains it.
    int queued = 0;
    while (engine.keyOff(1)) ++queued;
    EXPECT_EQ(queued, 4096);
    Tapped tap;
    tap.attach(engine);
    applyDefaults(engine, 0);
    EXPECT_TRUE(tap.events.empty());
    for (float sent : engine.sentParameters()) EXPECT_TRUE(std::isnan(sent));

    engine.start();
    engine.audio().renderNull(64); // drains the ring
    applyDefaults(engine, 0);
    ASSERT_EQ(tap.events.size(), 31u);
    EXPECT_EQ(tap.events.back().param, kGlide);
    const auto v = KernelParams::values(AudioParams::defaults(), Waveform::sawtooth, Waveform::triangle);
    for (int i = 0; i < 31; ++i) EXPECT_EQ(engine.sentParameters()[i], v[i]);
}

TEST(SoundEngine, PartlyDroppedBatchKeepsItsOrderAcrossCalls)
{
    MainQueue queue;
    SoundEngine engine(nullAudio(), queue);
    for (int i = 0; i < 4096 - 10; ++i) ASSERT_TRUE(engine.keyOff(1));
    Tapped tap;
    tap.attach(engine);
    applyDefaults(engine, 0);
    ASSERT_EQ(tap.events.size(), 10u); // indices 0..9 made it
    EXPECT_EQ(tap.events.back().param, 9);
    EXPECT_TRUE(std::isnan(engine.sentParameters()[10]));
    EXPECT_TRUE(std::isnan(engine.sentParameters()[kGlide]));
    engine.start();
    engine.audio().renderNull(64);
    tap.events.clear();
    applyDefaults(engine, 0);
    ASSERT_EQ(tap.events.size(), 21u);
    EXPECT_EQ(tap.events.front().param, 10);
    EXPECT_EQ(tap.events.back().param, kGlide);
}

TEST(SoundEngine, SendersStampFrameZeroForTheKernelAndTheCurrentFrameForTheTap)
{
    MainQueue queue;
    SoundEngine engine(nullAudio(), queue);
    engine.start();
    for (int i = 0; i < 4; ++i) engine.audio().renderNull(250);
    ASSERT_EQ(engine.currentFrame(), 1000);
    Tapped tap;
    tap.attach(engine);
    EXPECT_TRUE(engine.play());
    EXPECT_TRUE(engine.isPlaying());
    engine.keyOn(7, 440, 0.9, 5000);
    engine.keyOff(7);
    engine.step(880, 0.2, 0.5, 0);
    engine.allKeysOff();
    EXPECT_TRUE(engine.stopDrone(2000));
    EXPECT_FALSE(engine.isPlaying());
    engine.send(MelodyPlayer::Event{
        .frame = 3000, .kind = MelodyPlayer::Event::Kind::on, .note = 69, .velocity = 0.5, .id = 9});
    engine.send(MelodyPlayer::Event{.frame = 0, .kind = MelodyPlayer::Event::Kind::off, .note = 69, .id = 9});
    const struct {
        int type;
        std::int64_t frame;
        int id;
        float value, value2, value3;
    } want[] = {{1, 1000, 0, 0, 0, 0},         {4, 5000, 7, 440, 0, 0.9f}, {5, 1000, 7, 0, 0, 0},
                {3, 1000, 0, 880, 0.2f, 0.5f}, {6, 1000, 0, 0, 0, 0},      {2, 2000, 0, 0, 0, 0},
                {4, 3000, 9, 440, 0, 0.5f},    {5, 1000, 9, 0, 0, 0}};
    ASSERT_EQ(tap.events.size(), std::size(want));
    for (size_t i = 0; i < std::size(want); ++i) {
        EXPECT_EQ(tap.events[i].type, want[i].type) << i;
        EXPECT_EQ(tap.events[i].frame, want[i].frame) << i;
        EXPECT_EQ(tap.events[i].id, want[i].id) << i;
        EXPECT_EQ(tap.events[i].value, want[i].value) << i;
        EXPECT_EQ(tap.events[i].value2, want[i].value2) << i;
        EXPECT_EQ(tap.events[i].value3, want[i].value3) << i;
    }
}

TEST(SoundEngine, SetOrbitDedupesWaitsForTheFreeSlotAndRetriesADrop)
{
    MainQueue queue;
    SoundEngine engine(nullAudio(), queue);
    Tapped tap;
    tap.attach(engine);
    std::vector<std::int64_t> orbitFrames;
    engine.orbitTap = [&](const std::vector<double>&, int, std::int64_t frame) { orbitFrames.push_back(frame); };
    std::vector<double> a(200), b(200);
    for (int i = 0; i < 200; ++i) {
        a[i] = std::sin(i * 0.1);
        b[i] = a[i];
    }
    b[2 * 4] += 1e-7; // prints the same to five decimals
    engine.start();

    engine.setOrbit(a, 100);
    ASSERT_EQ(orbitFrames.size(), 1u);
    EXPECT_TRUE(tap.events.empty()); // the slot event is not shown to the event tap
    ASSERT_TRUE(engine.lastOrbit());
    EXPECT_EQ(engine.lastOrbit()->length, 100);
    engine.setOrbit(b, 100);
    EXPECT_EQ(orbitFrames.size(), 1u);
    engine.audio().renderNull(16);
    EXPECT_EQ(vk_orbit_slot_in_use(engine.kernel()), 1);

    // The next orbit goes to slot 0; then slot 1 is wanted again while the kernel still plays it
    // (the selection of slot 0 has not been rendered): nothing changes.
    b[2 * 4] += 0.5;
    engine.setOrbit(b, 100);
    EXPECT_EQ(orbitFrames.size(), 2u);
    EXPECT_EQ(vk_orbit_slot_in_use(engine.kernel()), 1);
    engine.setOrbit(a, 100);
    EXPECT_EQ(orbitFrames.size(), 2u);
    EXPECT_EQ(engine.lastOrbit()->points, b);
    engine.audio().renderNull(16);
    EXPECT_EQ(vk_orbit_slot_in_use(engine.kernel()), 0);
    engine.setOrbit(a, 100); // tried again now that slot 1 is free
    EXPECT_EQ(orbitFrames.size(), 3u);

    // Lengths 0 and 1 are keyed by the bare length.
    engine.audio().renderNull(16);
    engine.setOrbit({}, 0);
    EXPECT_EQ(orbitFrames.size(), 4u);
    engine.audio().renderNull(16);
    engine.setOrbit({}, 0);
    EXPECT_EQ(orbitFrames.size(), 4u);

    // A dropped slot event changes nothing and is tried again.
    engine.audio().renderNull(16);
    engine.stop();
    while (engine.keyOff(1)) {}
    const int slotBefore = vk_orbit_slot_in_use(engine.kernel());
    engine.setOrbit(a, 100);
    EXPECT_EQ(orbitFrames.size(), 4u);
    EXPECT_EQ(engine.lastOrbit()->length, 0);
    engine.start();
    engine.audio().renderNull(16);
    EXPECT_EQ(vk_orbit_slot_in_use(engine.kernel()), slotBefore);
    engine.setOrbit(a, 100);
    EXPECT_EQ(orbitFrames.size(), 5u);
    engine.audio().renderNull(16);
    EXPECT_EQ(vk_orbit_slot_in_use(engine.kernel()), slotBefore ^ 1);
}

TEST(SoundEngine, StereoMicrophoneReachesTheKernelAsItsMeanAndLongBlocksAreCut)
{
    MainQueue queue;
    SoundEngine engine(nullAudio(), queue);
    vk_set_tap(engine.kernel(), 1); // voices: the microphone sum without the effect chain
    engine.push({.type = VK_EVENT_PARAM_NO_RAMP, .param = kMicGain, .value = 1.0f});
    engine.start();
    engine.enableMic();
    engine.enableMic(); // one sink
    EXPECT_TRUE(engine.micEnabled());

    std::vector<float> left(10000), right(10000);
    for (int i = 0; i < 10000; ++i) {
        left[i] = 0.25f + 1e-5f * float(i % 7);
        right[i] = -0.75f;
    }
    const float* planes[2] = {left.data(), right.data()};
    std::vector<float> got;
    engine.audio().renderNull(1); // frame 0: the no-ramp gain event
    engine.microphone()->pushNull(planes, 2, 10000);
    for (int block = 0; block < 10000 / 500; ++block) {
        const float* const* out = engine.audio().renderNull(500);
        got.insert(got.end(), out[0], out[0] + 500);
    }
    ASSERT_EQ(got.size(), 10000u);
    for (int i = 0; i < 8192; ++i) ASSERT_EQ(got[i], (left[i] + right[i]) * 0.5f) << i;
    for (int i = 8192; i < 10000; ++i) ASSERT_EQ(got[i], 0.0f) << i;

    engine.disableMic();
    engine.disableMic();
    EXPECT_FALSE(engine.micEnabled());

    SoundEngine deaf({.backend = AudioBackend::null, .nullInputChannels = 0}, queue);
    try {
        deaf.enableMic();
        FAIL();
    } catch (const AudioError& e) {
        EXPECT_STREQ(e.what(), "No audio input");
    }
    EXPECT_FALSE(deaf.micEnabled());
}

TEST(SoundEngine, RecordingHoldsTheKernelOutputBeforeTheSpeakerVolume)
{
    MainQueue queue;
    SoundEngine engine(nullAudio(), queue);
    const auto path = tempFile("take.wav");
    EXPECT_FALSE(engine.stopRecording());
    engine.startRecording(path);
    EXPECT_EQ(engine.recordingURL(), path);
    EXPECT_TRUE(engine.recordingStarted());
    EXPECT_THROW(engine.startRecording(tempFile("second.wav")), RecordingError);
    EXPECT_EQ(engine.recordingURL(), path); // the first recording goes on
    EXPECT_FALSE(std::filesystem::exists(tempFile("second.wav")));

    applyDefaults(engine, 0);
    engine.play();
    engine.keyOn(1, 440, 1.0);
    engine.setSpeakerVolume(0.5f);
    engine.start();
    std::vector<float> heard[2];
    for (int block = 0; block < 40; ++block) {
        const int frames = 100 + 37 * (block % 5); // the device's block size may vary
        const float* const* out = engine.audio().renderNull(frames);
        for (int c = 0; c < 2; ++c) heard[c].insert(heard[c].end(), out[c], out[c] + frames);
    }
    EXPECT_EQ(engine.stopRecording(), path);
    EXPECT_FALSE(engine.recordingURL());
    EXPECT_FALSE(engine.recordingStarted());

    const auto wav = readWav(path);
    ASSERT_TRUE(wav);
    EXPECT_EQ(wav->channels, 2);
    EXPECT_EQ(wav->rate, 48000);
    ASSERT_EQ(wav->samples.size(), 2 * heard[0].size());
    double energy = 0;
    for (size_t i = 0; i < heard[0].size(); ++i)
        for (int c = 0; c < 2; ++c) {
            // What the speakers got is half of what the kernel made; halving a float is exact.
            const float kernelOut = heard[c][i] * 2.0f;
            ASSERT_EQ(wav->samples[2 * i + c], expectedPcm24(kernelOut)) << i << " " << c;
            energy += double(kernelOut) * kernelOut;
        }
    EXPECT_GT(energy, 1.0);                             // the drone and the key sounded
    EXPECT_GT(engine.analyse(1.0 / 60).amplitude, 0.0); // the analyser reads the kernel's output
    std::filesystem::remove(path);
}

TEST(SoundEngine, MonoDeviceGetsTheMeanAndTheRecordingStaysStereo)
{
    MainQueue queue;
    SoundEngine engine(nullAudio(1), queue);
    const auto path = tempFile("mono.wav");
    engine.startRecording(path);
    applyDefaults(engine, 0);
    engine.play();
    engine.start();
    std::vector<float> heard;
    for (int block = 0; block < 3; ++block) {
        const float* const* out = engine.audio().renderNull(5000); // more than the engine's scratch
        heard.insert(heard.end(), out[0], out[0] + 5000);
    }
    EXPECT_EQ(engine.currentFrame(), 15000);
    ASSERT_TRUE(engine.stopRecording());
    const auto wav = readWav(path);
    ASSERT_TRUE(wav);
    ASSERT_EQ(wav->samples.size(), 2 * heard.size());
    // The mean of the recorded pair, re-quantised, is within one step of what the device got.
    for (size_t i = 0; i < heard.size(); ++i) {
        const double mean = (wav->samples[2 * i] + wav->samples[2 * i + 1]) * 0.5 / 8388607.0;
        ASSERT_NEAR(mean, heard[i], 1.5 / 8388607.0) << i;
    }
    std::filesystem::remove(path);
}

TEST(SoundEngine, RecordingFailuresAreReportedNotSaved)
{
    MainQueue queue;
    SoundEngine engine(nullAudio(), queue);
    EXPECT_THROW(engine.startRecording("/nonexistent-folder/take.wav"), RecordingError);
    EXPECT_FALSE(engine.recordingURL());

    // A device with no room: every write fails.
    engine.startRecording("/dev/full");
    applyDefaults(engine, 0);
    engine.play();
    engine.start();
    for (int block = 0; block < 20; ++block) engine.audio().renderNull(512);
    try {
        engine.stopRecording();
        FAIL() << "a failed recording was reported as saved";
    } catch (const RecordingError& e) {
        EXPECT_NE(std::string(e.what()).find("/dev/full"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(engine.recordingURL());

    // The next recording works.
    const auto path = tempFile("after.wav");
    engine.startRecording(path);
    engine.audio().renderNull(512);
    EXPECT_EQ(engine.stopRecording(), path);
    ASSERT_TRUE(readWav(path));
    EXPECT_EQ(readWav(path)->samples.size(), 1024u);
    std::filesystem::remove(path);
}

TEST(SoundEngine, WithoutAnAudioServerStartFailsCleanlyAndTheRestWorks)
{
    setenv("JACK_DEFAULT_SERVER", "veltrane-nobody-runs-this", 1);
    MainQueue queue;
    SoundEngine engine({.backend = AudioBackend::jack}, queue);
    EXPECT_EQ(engine.sampleRate(), 48000);
    EXPECT_THROW(engine.start(), AudioError);
    EXPECT_FALSE(engine.isRunning());
    EXPECT_EQ(engine.ioBufferFrames(), 0);
    EXPECT_EQ(engine.outputLatencyFrames(), 0);
    Tapped tap;
    tap.attach(engine);
    applyDefaults(engine, 0);
    EXPECT_EQ(tap.events.size(), 31u);
    EXPECT_TRUE(engine.play());
    EXPECT_THROW(engine.enableMic(), AudioError);
    EXPECT_EQ(engine.currentFrame(), 0);
    engine.stop();
}

// vk_reverb_build as the engine calls it: this executable is linked with --wrap, so every build
// request is recorded (decay and thread) and answered from a script when one is set: 0 built,
// 1 busy, 2 hold until released and then built; with no script, the kernel answers.
namespace {
struct ReverbBuilds {
    std::mutex mutex;
    std::condition_variable released;
    std::vector<float> decays;
    std::vector<std::string> threads;
    std::deque<int> script;
    bool release = false;

    std::vector<float> seen()
    {
        std::lock_guard lock(mutex);
        return decays;
    }
} reverbBuilds;
} // namespace

extern "C" int __real_vk_reverb_build(vk_state* state, float decay);
extern "C" int __wrap_vk_reverb_build(vk_state* state, float decay)
{
    std::unique_lock lock(reverbBuilds.mutex);
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    reverbBuilds.decays.push_back(decay);
    reverbBuilds.threads.push_back(name);
    if (reverbBuilds.script.empty()) {
        lock.unlock();
        return __real_vk_reverb_build(state, decay);
    }
    const int answer = reverbBuilds.script.front();
    reverbBuilds.script.pop_front();
    if (answer == 2) {
        reverbBuilds.released.wait(lock, [] { return reverbBuilds.release; });
        return 0;
    }
    return answer;
}

TEST(SoundEngine, ReverbRebuildsOnlyOutsideTheBandAndRetriesWhenBusy)
{
    ManualClock clock;
    MainQueue queue(clock);
    SoundEngine engine(nullAudio(), queue);
    AudioParams p;
    auto applyDecay = [&](double decay) {
        p.reverbDecay = decay;
        engine.apply(p, Waveform::sawtooth, Waveform::triangle, 0, 0);
    };
    // Gives the reverb queue time to run and the main queue its completions (without moving the
    // clock, so a retry timer does not fall due).
    auto settle = [&] {
        for (int i = 0; i < 40; ++i) {
            queue.pump();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    };
    auto buildsAre = [&](std::vector<float> want) {
        return waitFor([&] {
            queue.pump();
            return reverbBuilds.seen() == want;
        });
    };

    // Exactly 0.05 from the built 2.5 (or less) builds nothing; an unchanged apply neither.
    for (double decay : {2.55, 2.45, 2.5, 2.5}) {
        applyDecay(decay);
        settle();
    }
    EXPECT_TRUE(reverbBuilds.seen().empty());

    reverbBuilds.script = {0};
    applyDecay(2.56);
    ASSERT_TRUE(buildsAre({2.56f}));
    EXPECT_EQ(reverbBuilds.threads[0], "veltrane.reverb");
    settle();
    applyDecay(2.6); // within 0.05 of the decay now built
    settle();
    EXPECT_EQ(reverbBuilds.seen().size(), 1u);

    // Busy: tried again 0.05 s later on the main queue's clock.
    reverbBuilds.script = {1, 0};
    applyDecay(3.0);
    ASSERT_TRUE(buildsAre({2.56f, 3.0f}));
    settle();
    EXPECT_EQ(reverbBuilds.seen().size(), 2u);
    clock.advance(0.05);
    ASSERT_TRUE(buildsAre({2.56f, 3.0f, 3.0f}));

    // A decay asked for during a build is built right after it.
    reverbBuilds.script = {2, 0};
    applyDecay(4.0);
    ASSERT_TRUE(buildsAre({2.56f, 3.0f, 3.0f, 4.0f}));
    applyDecay(5.0);
    settle();
    EXPECT_EQ(reverbBuilds.seen().size(), 4u); // one build at a time
    {
        std::lock_guard lock(reverbBuilds.mutex);
        reverbBuilds.release = true;
    }
    reverbBuilds.released.notify_all();
    EXPECT_TRUE(buildsAre({2.56f, 3.0f, 3.0f, 4.0f, 5.0f}));
    settle();
}

namespace {

class SoundEngineJack : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string why = server.start();
        ASSERT_TRUE(why.empty()) << "JACK server for the test: " << why;
    }
    testsupport::JackServer server;
};

// Renders `events` offline from frame 0 in blocks of 128, as the take renderer would.
std::vector<float> renderOffline(const std::vector<vk_event>& events, std::int64_t frames, double rate)
{
    vk_state* k = vk_create(rate);
    for (const auto& e : events) EXPECT_EQ(vk_push_event(k, &e), 0);
    std::vector<float> out(2 * frames), l(128), r(128);
    for (std::int64_t at = 0; at < frames; at += 128) {
        const int n = int(std::min<std::int64_t>(128, frames - at));
        float* planes[2] = {l.data(), r.data()};
        vk_render(k, planes, 2, n, at);
        for (int i = 0; i < n; ++i) {
            out[2 * (at + i)] = l[i];
            out[2 * (at + i) + 1] = r[i];
        }
    }
    vk_destroy(k);
    return out;
}

} // namespace

TEST_F(SoundEngineJack, PlaysLiveAndRecordsExactlyWhatAnOfflineRenderMakes)
{
    MainQueue queue;
    SoundEngine engine({}, queue);
    ASSERT_EQ(engine.audio().backend(), AudioBackend::jack);
    EXPECT_EQ(engine.sampleRate(), 48000);
    EXPECT_EQ(engine.ioBufferFrames(), 256);
    EXPECT_GE(engine.outputLatencyFrames(), 0);
    Tapped tap;
    tap.attach(engine);
    const auto path = tempFile("live.wav");
    engine.startRecording(path); // before the start, so the file begins at frame 0
    engine.start();
    EXPECT_TRUE(engine.isRunning());
    ASSERT_TRUE(waitFor([&] { return engine.currentFrame() > 0; })) << "the audio callback never ran";

    // Everything is stamped well ahead of the render thread, so it applies at exactly those frames.
    const std::int64_t f = engine.currentFrame() + 12000;
    applyDefaults(engine, f);
    engine.play(f);
    for (int k = 0; k < 32; ++k) {
        engine.keyOn(k + 1, 220 * std::pow(2.0, k / 12.0), 0.7, f + 240 * k);
        engine.keyOff(k + 1, f + 240 * k + 4800);
    }
    // The frame clock keeps pace with the device: never ahead of the frames the server played,
    // behind only by the cycles a loaded machine made the client miss.
    const std::int64_t f0 = engine.currentFrame();
    const std::int64_t j0 = server.frameTime();
    ASSERT_TRUE(waitFor([&] { return engine.currentFrame() > f + 32 * 240 + 4800 + 9600; }));
    const std::int64_t f1 = engine.currentFrame();
    const std::int64_t j1 = server.frameTime();
    EXPECT_LE(f1 - f0, j1 - j0 + 4 * 256);
    EXPECT_GE(f1 - f0, (j1 - j0) * 3 / 4);

    ASSERT_EQ(engine.stopRecording(), path);
    engine.stop();
    EXPECT_FALSE(engine.isRunning());
    // A restart goes on from the frames rendered, whatever the device's own clock says, so events
    // stamped before the stop are not stranded in the future.
    const std::int64_t stoppedAt = engine.currentFrame();
    engine.start();
    ASSERT_TRUE(waitFor([&] { return engine.currentFrame() > stoppedAt; }));
    EXPECT_LT(engine.currentFrame(), stoppedAt + 48000);
    engine.stop();
    const auto wav = readWav(path);
    ASSERT_TRUE(wav);
    const std::int64_t frames = std::int64_t(wav->samples.size() / 2);
    ASSERT_GT(frames, f + 32 * 240 + 4800);

    const auto offline = renderOffline(tap.events, frames, engine.sampleRate());
    double energy = 0;
    std::int64_t mismatches = 0, firstMismatch = -1;
    for (std::int64_t i = 0; i < 2 * frames; ++i) {
        energy += double(offline[i]) * offline[i];
        if (wav->samples[i] != expectedPcm24(offline[i]) && mismatches++ == 0) firstMismatch = i / 2;
    }
    EXPECT_GT(energy, 1.0);
    EXPECT_EQ(mismatches, 0) << "first at frame " << firstMismatch;
    std::filesystem::remove(path);
}

TEST_F(SoundEngineJack, CallbacksNeitherAllocateNorLock)
{
    MainQueue queue;
    SoundEngine engine({}, queue);
    const auto path = tempFile("watch.wav");
    const long allocations = testsupport::callbackAllocations.load();
    const long locks = testsupport::callbackLocks.load();
    engine.startRecording(path);
    engine.start();
    engine.enableMic();
    applyDefaults(engine, 0);
    engine.play();
    for (int k = 0; k < 32; ++k) engine.keyOn(k + 1, 110 * (k + 1), 0.5);
    ASSERT_TRUE(waitFor([&] { return engine.currentFrame() > 48000 / 2; }));
    engine.disableMic();
    engine.stop();
    EXPECT_GT(engine.audio().stats().callbacks, 50u);
    EXPECT_EQ(testsupport::callbackAllocations.load(), allocations);
    EXPECT_EQ(testsupport::callbackLocks.load(), locks);
    EXPECT_EQ(engine.stopRecording(), path);
    std::filesystem::remove(path);
}
