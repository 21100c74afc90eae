#include "Takes/TakeRecorder.h"

#include "Platform/Clock/Clock.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <regex>

using namespace veltrane;

namespace {

struct Recording : ::testing::Test {
    MainQueue queue;
    SoundEngine engine{AudioOutputDesc{.backend = AudioBackend::null}, queue};
    TakeRecorder recorder;

    void SetUp() override { engine.start(); }
    void advance(int frames) { engine.audio().renderNull(frames); }
};

Take::View viewAt(const char* x)
{
    Take::View v;
    v.x = x;
    v.y = "0";
    return v;
}

} // namespace

TEST_F(Recording, SeedsTheSoundTheEngineHasAtFrameZero)
{
    advance(1000);
    // Nothing sent yet: no parameter seeds, no orbit, no drone.
    recorder.start(engine);
    EXPECT_TRUE(recorder.isRecording());
    EXPECT_EQ(recorder.startFrame(), 1000);
    EXPECT_TRUE(recorder.events().empty());
    EXPECT_TRUE(recorder.orbits().empty());
    recorder.stop();

    engine.apply(AudioParams::defaults(), Waveform::sine, Waveform::triangle, 0.25, 0);
    engine.setOrbit({0, 0, 0.25, 0.5, -0.1, 0.2}, 3);
    engine.play();
    advance(500);
    recorder.start(engine);
    const auto& events = recorder.events();
    ASSERT_EQ(events.size(), 32u);
    for (int i = 0; i < 31; ++i) {
        EXPECT_EQ(events[i], (Take::Event{0, VK_EVENT_PARAM_NO_RAMP, i, 0, engine.sentParameters()[i], 0, 0})) << i;
    }
    EXPECT_EQ(events[31], (Take::Event{0, VK_EVENT_DRONE_ON, 0, 0, 0, 0, 0}));
    ASSERT_EQ(recorder.orbits().size(), 1u);
    EXPECT_EQ(recorder.orbits()[0], (Take::OrbitSnapshot{0, {0, 0, 0.25, 0.5, -0.1, 0.2}, 3}));
}

TEST_F(Recording, EventsLandRelativeToTheStartAndAreSortedAtTheEnd)
{
    advance(2000);
    recorder.start(engine);
    engine.keyOff(5, 3000); // scheduled ahead, received first
    engine.keyOn(5, 440, 0.5, 2500);
    engine.step(220, 0.1, 1, 0); // at once: the current frame
    recorder.add({vk_event{.frame = 100, .type = VK_EVENT_KEY_ON, .id = 9, .value = 330}}); // before the start
    advance(256);
    engine.setOrbit({0, 0, 0.5, 0.5}, 2);
    recorder.start(engine); // a second start changes nothing
    EXPECT_EQ(recorder.startFrame(), 2000);
    advance(300);
    EXPECT_NEAR(recorder.seconds(), 556 / 48000.0, 1e-12);

    const auto take = recorder.stop();
    ASSERT_TRUE(take);
    EXPECT_FALSE(recorder.isRecording());
    EXPECT_EQ(recorder.seconds(), 0);
    EXPECT_EQ(take->length, 556);
    EXPECT_EQ(take->sampleRate, 48000);
    EXPECT_EQ(take->version, 1);
    EXPECT_TRUE(std::regex_match(take->createdAt, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)"))) << take->createdAt;
    const std::vector<std::pair<int, std::int64_t>> want{
        {VK_EVENT_STEP, 0}, {VK_EVENT_KEY_ON, 0}, {VK_EVENT_KEY_ON, 500}, {VK_EVENT_KEY_OFF, 1000}};
    ASSERT_EQ(take->events.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(take->events[i].type, want[i].first) << i;
        EXPECT_EQ(take->events[i].frame, want[i].second) << i;
    }
    EXPECT_EQ(take->events[1].id, 9) << "equal frames keep the order received";
    ASSERT_EQ(take->orbits.size(), 1u);
    EXPECT_EQ(take->orbits[0].frame, 256);

    // Stopped: the engine's observers are gone and nothing more is taken.
    EXPECT_FALSE(engine.eventTap);
    EXPECT_FALSE(engine.orbitTap);
    engine.keyOn(1, 100, 1);
    recorder.add({vk_event{.frame = 0, .type = VK_EVENT_KEY_OFF}});
    recorder.addHUD("x");
    EXPECT_EQ(recorder.events().size(), 4u);
    EXPECT_TRUE(recorder.hud().empty());
    EXPECT_FALSE(recorder.stop());
}

TEST_F(Recording, StillViewsAndRepeatedHudStatesCostOneEntry)
{
    recorder.addView(viewAt("1"));
    EXPECT_TRUE(recorder.views().empty()) << "idle";
    recorder.start(engine);
    recorder.addView(viewAt("1"));
    advance(100);
    recorder.addView(viewAt("1"));
    recorder.addView(viewAt("2"));
    advance(100);
    recorder.addView(viewAt("1"));
    for (const char* s : {"A", "A", "B", "A"}) {
        recorder.addHUD(s);
        advance(10);
    }
    ASSERT_EQ(recorder.views().size(), 3u);
    EXPECT_EQ(recorder.views()[0].frame, 0);
    EXPECT_EQ(recorder.views()[1].frame, 100);
    EXPECT_EQ(recorder.views()[2].frame, 200);
    ASSERT_EQ(recorder.hud().size(), 3u);
    EXPECT_EQ(recorder.hud()[1], (Take::HUDFrame{220, "B"}));
}

TEST_F(Recording, ARecorderThatIsGoneLeavesTheEngineAlone)
{
    {
        TakeRecorder shortLived;
        shortLived.start(engine);
    }
    EXPECT_FALSE(engine.eventTap);
    engine.play(); // no observer to call
}

// Numbers a file cannot hold are kept as the sound they make: a parameter the kernel ignores is
// left out, an orbit point that went to infinity becomes the (0, 0) it counts as.
TEST_F(Recording, ATakeWithEscapedOrbitsAndUnsentValuesStillSaves)
{
    recorder.start(engine);
    const double inf = std::numeric_limits<double>::infinity();
    engine.setOrbit({0, 0, 0.5, 0.25, inf, 1, std::nan(""), 2}, 4);
    AudioParams params = AudioParams::defaults();
    params.filterQ = std::nan("");
    engine.apply(params, Waveform::sine, Waveform::triangle, 0, 0);
    advance(100);
    const auto take = recorder.stop();
    ASSERT_TRUE(take);
    EXPECT_EQ(take->orbits[0].points, (std::vector<double>{0, 0, 0.5, 0.25, 0, 0, 0, 0}));
    EXPECT_EQ(take->events.size(), 30u);
    for (const auto& e : take->events) EXPECT_NE(e.param, VK_P_FILTER_Q);
    EXPECT_EQ(Take::decode(take->encoded()), *take);
}

TEST(InternetDateTime, WritesUtcWithoutFractions)
{
    const auto moment =
        std::chrono::system_clock::time_point(std::chrono::seconds(1714564800)) + std::chrono::milliseconds(999);
    EXPECT_EQ(internetDateTime(moment), "2024-05-01T12:00:00Z");
}
