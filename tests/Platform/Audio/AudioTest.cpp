#include "Platform/Audio/AudioOutput.h"

#include "../../Support/JackServer.h"
#include "../../Support/RealtimeWatch.h"
#include "../../Support/WaitFor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

using namespace veltrane;
namespace testsupport = veltrane::testsupport;

using veltrane::testsupport::waitFor;

namespace {

// Writes a ramp 0, 1, 2, ... continuing across calls into every plane, plane c offset by 1000 c.
struct RampSource : AudioRenderCallback {
    std::atomic<long> frames{0};
    std::atomic<int> calls{0};
    std::atomic<int> lastChannels{0};
    bool allocate = false;
    void renderAudio(float* const* planes, int channels, int n) noexcept override
    {
        if (allocate) {
            auto p = std::make_unique<int>(1);
            asm volatile("" : : "g"(p.get()) : "memory"); // keep the allocation
        }
        const long start = frames.load(std::memory_order_relaxed);
        for (int c = 0; c < channels; ++c)
            for (int i = 0; i < n; ++i) planes[c][i] = static_cast<float>(start + i + 1000 * c);
        frames.store(start + n, std::memory_order_relaxed);
        lastChannels.store(channels, std::memory_order_relaxed);
        calls.fetch_add(1, std::memory_order_relaxed);
    }
};

struct InputSink : AudioInputCallback {
    std::atomic<long> frames{0};
    std::atomic<int> channels{0};
    float first[2] = {};
    void receiveAudio(const float* const* planes, int ch, int n) noexcept override
    {
        if (n > 0)
            for (int c = 0; c < ch && c < 2; ++c) first[c] = planes[c][0];
        channels.store(ch, std::memory_order_relaxed);
        frames.fetch_add(n, std::memory_order_relaxed);
    }
};

} // namespace

TEST(AudioNull, RendersOnlyWhenDrivenAndAppliesVolumeAfterTheCallback)
{
    RampSource source;
    AudioOutput out(source, {.backend = AudioBackend::null});
    EXPECT_TRUE(out.hasDevice());
    EXPECT_EQ(out.sampleRate(), 48000);
    EXPECT_EQ(out.channels(), 2);
    EXPECT_EQ(out.renderNull(64), nullptr); // not started
    out.start();
    out.setVolume(0.5f);
    const float* const* planes = out.renderNull(64);
    ASSERT_NE(planes, nullptr);
    EXPECT_EQ(planes[0][10], 5.0f);
    EXPECT_EQ(planes[1][10], 505.0f);
    planes = out.renderNull(3);
    EXPECT_EQ(planes[0][0], 32.0f); // frame 64 at half volume
    EXPECT_EQ(source.frames.load(), 67);
    EXPECT_EQ(out.stats().callbacks, 2u);
    out.stop();
    EXPECT_EQ(out.renderNull(64), nullptr);
}

TEST(AudioNull, MicrophoneIsDrivenByTheOwnerAndMayBeAbsent)
{
    RampSource source;
    InputSink sink;
    AudioOutput out(source, {.backend = AudioBackend::null});
    AudioInput in(sink, out);
    in.start();
    const float left[2] = {0.25f, 0}, right[2] = {0.75f, 0};
    const float* planes[2] = {left, right};
    in.pushNull(planes, 2, 2);
    EXPECT_EQ(sink.frames.load(), 2);
    EXPECT_EQ(sink.channels.load(), 2);
    EXPECT_EQ(sink.first[1], 0.75f);

    AudioOutput deaf(source, {.backend = AudioBackend::null, .nullInputChannels = 0});
    AudioInput none(sink, deaf);
    try {
        none.start();
        FAIL() << "expected an error";
    } catch (const AudioError& e) {
        EXPECT_STREQ(e.what(), "No audio input");
    }
    EXPECT_FALSE(none.isRunning());
}

// The callback's own cost is told apart from time its thread spent not running: a callback that
// computes shows processor time near its wall time; one that is kept waiting shows wall time only.
TEST(AudioNull, CallbackCostIsProcessorTimeBesideWallTime)
{
    struct Timed : AudioRenderCallback {
        bool compute = false;
        void renderAudio(float* const*, int, int) noexcept override
        {
            const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(20);
            if (compute) {
                volatile double x = 0;
                while (std::chrono::steady_clock::now() < until) x = x + 1;
            } else {
                std::this_thread::sleep_until(until);
            }
        }
    };
    for (const bool compute : {false, true}) {
        Timed source;
        source.compute = compute;
        AudioOutput out(source, {.backend = AudioBackend::null});
        out.start();
        out.renderNull(16);
        const AudioStats s = out.stats();
        EXPECT_GE(s.worstCallbackSeconds, 0.020) << compute;
        EXPECT_LE(s.worstCallbackCpuSeconds, s.worstCallbackSeconds) << compute;
        EXPECT_EQ(s.totalCallbackCpuSeconds, s.worstCallbackCpuSeconds) << compute;
        if (compute)
            EXPECT_GT(s.worstCallbackCpuSeconds, 0.001);
        else
            EXPECT_LT(s.worstCallbackCpuSeconds, 0.005);
    }
}

TEST(AudioNull, TheWatchSeesAnAllocationInsideACallback)
{
    if (!testsupport::kWatching) GTEST_SKIP() << "the allocation watch is compiled out under sanitizers";
    const long before = testsupport::callbackAllocations.load();
    RampSource source;
    source.allocate = true;
    AudioOutput out(source, {.backend = AudioBackend::null});
    out.start();
    out.renderNull(16);
    EXPECT_GT(testsupport::callbackAllocations.load(), before);
}

TEST(AudioNoServer, NoDeviceIsReportedCleanlyAndNothingElseBreaks)
{
    // A server name nobody runs: JACK finds nothing, as on a machine without a sound server.
    setenv("JACK_DEFAULT_SERVER", "veltrane-nobody-runs-this", 1);
    RampSource source;
    AudioOutput out(source, {.backend = AudioBackend::jack});
    EXPECT_FALSE(out.hasDevice());
    EXPECT_EQ(out.sampleRate(), 48000);
    EXPECT_EQ(out.bufferFrames(), 0u);
    EXPECT_EQ(out.latencyFrames(), 0);
    try {
        out.start();
        FAIL() << "expected an error";
    } catch (const AudioError& e) {
        EXPECT_STREQ(e.what(), "No audio output device");
    }
    EXPECT_FALSE(out.isRunning());
    out.stop(); // harmless

    InputSink sink;
    AudioInput in(sink, out);
    EXPECT_THROW(in.start(), AudioError);
}

class AudioJack : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string why = server.start();
        ASSERT_TRUE(why.empty()) << "JACK server for the test: " << why;
    }
    testsupport::JackServer server;
};

TEST_F(AudioJack, OutputRunsAtTheServersRateWithItsBuffer)
{
    RampSource source;
    AudioOutput out(source);
    ASSERT_TRUE(out.hasDevice());
    EXPECT_EQ(out.backend(), AudioBackend::jack);
    EXPECT_EQ(out.sampleRate(), 48000);
    EXPECT_EQ(out.channels(), 2);
    EXPECT_EQ(out.bufferFrames(), 256u);
    EXPECT_GE(out.latencyFrames(), 0);
    out.start();
    EXPECT_TRUE(out.isRunning());
    ASSERT_TRUE(waitFor([&] { return source.calls.load() > 4; })) << "the callback never ran";
    // The callback keeps pace with the device: as many frames as the server played, give or take
    // the cycles in flight (the dummy backend may run slower than the wall clock on a busy machine).
    const long f0 = source.frames.load();
    const std::int64_t j0 = server.frameTime();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const long f1 = source.frames.load();
    const std::int64_t j1 = server.frameTime();
    // Never ahead of the device; behind only by the cycles a loaded machine made the client miss.
    EXPECT_GT(j1 - j0, 48000 / 10);
    EXPECT_LE(f1 - f0, j1 - j0 + 4 * 256);
    EXPECT_GE(f1 - f0, (j1 - j0) * 3 / 4);
    EXPECT_EQ(source.lastChannels.load(), 2);

    // Stop, then start again: the stream resumes.
    out.stop();
    EXPECT_FALSE(out.isRunning());
    const int calls = source.calls.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(source.calls.load(), calls);
    out.start();
    EXPECT_TRUE(waitFor([&] { return source.calls.load() > calls + 4; }));
}

// A stop that never returns cannot be failed from the same process in an orderly way: past the
// second the watchdog reports which round hung and ends the process.
TEST_F(AudioJack, StopReturnsWithinASecondAThousandTimesInARow)
{
    using Clock = std::chrono::steady_clock;
    RampSource source;
    InputSink sink;
    AudioOutput out(source);
    AudioInput in(sink, out);
    ASSERT_TRUE(out.hasDevice());
    std::atomic<int> round{-1};
    std::atomic<Clock::rep> stopBegan{0}; // 0: no stop in progress
    std::atomic<bool> finished{false};
    std::thread watchdog([&] {
        while (!finished.load()) {
            const Clock::rep began = stopBegan.load();
            if (began != 0 && Clock::now() - Clock::time_point(Clock::duration(began)) > std::chrono::seconds(1)) {
                std::fprintf(stderr, "stop %d did not return within a second\n", round.load());
                std::_Exit(1);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    struct Join {
        std::atomic<bool>& finished;
        std::thread& thread;
        ~Join()
        {
            finished.store(true);
            thread.join();
        }
    } join{finished, watchdog};

    for (int r = 0; r < 1000; ++r) {
        round.store(r);
        const int calls = source.calls.load();
        out.start();
        if (r % 10 == 0) in.start();
        // Stop while the callback runs: that is the moment a drain handshake could be missed.
        ASSERT_TRUE(waitFor([&] { return source.calls.load() > calls; })) << "round " << r;
        stopBegan.store(Clock::now().time_since_epoch().count());
        in.stop();
        out.stop();
        stopBegan.store(0);
        ASSERT_FALSE(out.isRunning());
    }
    // Stopped means stopped: no callback after the last stop.
    const int calls = source.calls.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(source.calls.load(), calls);
}

TEST_F(AudioJack, MicrophoneDeliversTheCaptureChannelsAtTheSameRate)
{
    RampSource source;
    InputSink sink;
    AudioOutput out(source);
    AudioInput in(sink, out);
    out.start();
    in.start();
    EXPECT_EQ(in.channels(), 2);
    EXPECT_TRUE(waitFor([&] { return sink.frames.load() > 4096; })) << "the input callback never ran";
    in.stop();
    in.stop();
}

TEST_F(AudioJack, CallbacksNeitherAllocateNorLock)
{
    const long allocations = testsupport::callbackAllocations.load();
    const long locks = testsupport::callbackLocks.load();
    RampSource source;
    InputSink sink;
    AudioOutput out(source);
    AudioInput in(sink, out);
    out.start();
    in.start();
    ASSERT_TRUE(waitFor([&] { return source.calls.load() > 50 && sink.frames.load() > 50 * 256; }));
    in.stop();
    out.stop();
    EXPECT_EQ(testsupport::callbackAllocations.load(), allocations);
    EXPECT_EQ(testsupport::callbackLocks.load(), locks);
}
