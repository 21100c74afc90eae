// A take recorded on the live engine (a private JACK dummy server) sounds, rendered offline, like a
// recording of the live output made at the same time.
#include "Takes/TakeRecorder.h"
#include "Takes/TakeRenderer.h"

#include "../Support/JackServer.h"
#include "../Support/WaitFor.h"
#include "../Support/WavFile.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <thread>
#include <unistd.h>

using namespace veltrane;
using namespace std::chrono_literals;

namespace {

std::vector<double> orbitPoints(int k)
{
    std::vector<double> points;
    double x = 0, y = 0;
    const double cx = -0.75 + 0.05 * std::sin(k), cy = 0.1 + 0.05 * std::cos(k);
    for (int i = 0; i < 64; ++i) {
        points.push_back(x);
        points.push_back(y);
        const double nx = x * x - y * y + cx;
        y = 2 * x * y + cy;
        x = nx;
    }
    return points;
}

} // namespace

// What may differ, by the timing rules: an event sent "at once" (frame 0) and an orbit install are
// recorded at the frame the kernel had rendered when they were sent, and apply live at the start of
// the next audio callback, which is that frame unless a callback began meanwhile (then it is one
// period later). Sends "at once" are therefore made just after a callback ended; a send that a
// callback may have overtaken is noted, and the sound is compared exactly up to the first such
// send. Events stamped ahead apply at their frames on both sides. (A reverb rebuild would also
// differ, built in the background live and inline offline; this performance keeps the decay.)
TEST(TakeLive, RecordedTakeRendersLikeTheLiveOutput)
{
    testsupport::JackServer server;
    const std::string why = server.start(48000, 256);
    ASSERT_TRUE(why.empty()) << "JACK server for the test: " << why;

    MainQueue queue;
    SoundEngine engine({}, queue);
    ASSERT_EQ(engine.audio().backend(), AudioBackend::jack);
    const auto path = std::filesystem::temp_directory_path() / ("veltrane-" + std::to_string(getpid()) + "-take.wav");
    engine.startRecording(path); // before the start: the file and the take both begin at frame 0
    TakeRecorder recorder;
    recorder.start(engine);
    engine.start();
    ASSERT_TRUE(testsupport::waitFor([&] { return engine.currentFrame() > 0; })) << "the audio callback never ran";

    std::vector<std::int64_t> overtaken;
    auto atCallbackEnd = [&](auto&& send) {
        const std::int64_t before = engine.currentFrame();
        while (engine.currentFrame() == before)
            std::this_thread::sleep_for(20us);
        const auto t0 = std::chrono::steady_clock::now();
        const std::int64_t frame = engine.currentFrame();
        send();
        if (engine.currentFrame() != frame || std::chrono::steady_clock::now() - t0 > 1500us)
            overtaken.push_back(frame);
    };

    AudioParams params = AudioParams::defaults();
    params.volume = 0.7;
    atCallbackEnd([&] {
        engine.apply(params, Waveform::sawtooth, Waveform::triangle, 0, 0);
        engine.play();
    });
    const std::int64_t ahead = std::int64_t(0.12 * 48000) + engine.outputLatencyFrames();
    int id = 1;
    for (int tick = 0; engine.currentFrame() < 10 * 48000; ++tick) {
        std::this_thread::sleep_for(16ms); // a display frame
        const std::int64_t now = engine.currentFrame();
        if (tick % 6 == 0) { // key notes, stamped ahead as the melody and movement runners send them
            engine.keyOn(id, 220 * std::pow(2.0, (tick % 24) / 12.0), 0.8, now + ahead);
            engine.keyOff(id, now + ahead + 9000);
            ++id;
        }
        if (tick % 9 == 3) { // the view moves: new parameters, at once
            params.frequency = 110 + 4 * (tick % 50);
            params.filterCutoff = 600 + 30 * (tick % 40);
            params.delayWet = 0.1 + 0.01 * (tick % 20);
            atCallbackEnd([&] { engine.apply(params, Waveform::sawtooth, Waveform::triangle, 0, 0); });
        }
        if (tick % 14 == 7) { // the orbit under the centre changes
            atCallbackEnd([&] { engine.setOrbit(orbitPoints(tick), 64); });
        }
        if (tick == 200) { // into orbit mode and back, stamped ahead
            params.synthMode = AudioParams::SynthMode::orbit;
            engine.apply(params, Waveform::sawtooth, Waveform::triangle, 0, now + ahead);
        }
        if (tick == 450) {
            params.synthMode = AudioParams::SynthMode::fm;
            atCallbackEnd([&] { engine.apply(params, Waveform::sine, Waveform::triangle, 0, 0); });
        }
        queue.pump();
    }
    auto take = recorder.stop();
    ASSERT_EQ(engine.stopRecording(), path);
    engine.stop();
    ASSERT_TRUE(take);
    EXPECT_GE(take->seconds(), 10.0);
    EXPECT_GT(take->orbits.size(), 20u);
    EXPECT_GT(take->events.size(), 300u);

    const Take decoded = Take::decode(take->encoded());
    const auto [left, right] = TakeRenderer::renderAudio(decoded);
    ASSERT_EQ(left.size(), size_t(decoded.length));
    const auto wav = testsupport::readWav(path);
    std::filesystem::remove(path);
    ASSERT_TRUE(wav);
    ASSERT_GE(wav->samples.size() / 2, size_t(decoded.length));

    const std::int64_t compared = overtaken.empty() ? decoded.length : std::min(overtaken.front(), decoded.length);
    std::int64_t mismatches = 0, first = -1;
    double energy = 0;
    for (std::int64_t i = 0; i < compared; ++i) {
        energy += double(left[i]) * left[i];
        if ((wav->samples[2 * i] != testsupport::expectedPcm24(left[i]) ||
             wav->samples[2 * i + 1] != testsupport::expectedPcm24(right[i])) && mismatches++ == 0)
            first = i;
    }
    EXPECT_EQ(mismatches, 0) << "first at frame " << first;
    EXPECT_GT(energy, 10.0);
    // A loaded machine may overtake a send now and then; most of the take is compared regardless.
    EXPECT_GE(compared, 5 * 48000) << overtaken.size() << " sends may have been overtaken";
    std::printf("compared %lld of %lld frames; %zu of the sends made at once may have been overtaken\n",
                (long long)compared, (long long)decoded.length, overtaken.size());
}
