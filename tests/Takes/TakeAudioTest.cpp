#include "Takes/TakeRenderer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

using namespace veltrane;

// Every orbit slot written and every reverb build asked for, in order.
namespace {
std::vector<int> writtenSlots;
std::vector<float> builds;
} // namespace

extern "C" {
void __real_vk_write_orbit(vk_state* state, int slot, const float* re, const float* im);
int __real_vk_reverb_build(vk_state* state, float decaySeconds);
void __wrap_vk_write_orbit(vk_state* state, int slot, const float* re, const float* im)
{
    writtenSlots.push_back(slot);
    __real_vk_write_orbit(state, slot, re, im);
}
int __wrap_vk_reverb_build(vk_state* state, float decaySeconds)
{
    builds.push_back(decaySeconds);
    return __real_vk_reverb_build(state, decaySeconds);
}
}

namespace {

constexpr double kRate = 48000;

Take takeWith(std::int64_t length, std::vector<Take::Event> events, std::vector<Take::OrbitSnapshot> orbits = {})
{
    return Take(kRate, "", length, std::move(events), std::move(orbits), {}, {});
}

// The same events straight into a kernel, all at once before the first frame: the kernel holds
// the future ones itself and applies each at its frame.
std::pair<std::vector<float>, std::vector<float>> direct(const std::vector<Take::Event>& events, std::int64_t frames)
{
    vk_state* k = vk_create(kRate);
    for (const auto& e : events) {
        const vk_event ke = e.kernelEvent();
        EXPECT_EQ(vk_push_event(k, &ke), 0);
    }
    std::vector<float> l(frames), r(frames);
    for (std::int64_t at = 0; at < frames; at += 128) {
        float* planes[2] = {l.data() + at, r.data() + at};
        vk_render(k, planes, 2, int(std::min<std::int64_t>(128, frames - at)), at);
    }
    vk_destroy(k);
    return {l, r};
}

double energy(const std::vector<float>& x)
{
    double e = 0;
    for (float v : x) e += double(v) * v;
    return e;
}

} // namespace

TEST(TakeAudio, LengthIsExactAndEventsBeyondItMakeNoSound)
{
    for (std::int64_t length : {0, 1, 127, 1000, 48000}) {
        const auto [l, r] = TakeRenderer::renderAudio(takeWith(length, {}));
        EXPECT_EQ(l.size(), size_t(length));
        EXPECT_EQ(r.size(), size_t(length));
    }
    const auto silent = TakeRenderer::renderAudio(takeWith(4800, {}));
    const auto late = TakeRenderer::renderAudio(
        takeWith(4800, {{4800, VK_EVENT_DRONE_ON, 0, 0, 0, 0, 0}, {9000, VK_EVENT_KEY_ON, 0, 1, 440, 0, 1}}));
    EXPECT_EQ(late, silent);
    // A negative length renders nothing.
    EXPECT_TRUE(TakeRenderer::renderAudio(takeWith(-5, {{0, VK_EVENT_DRONE_ON, 0, 0, 0, 0, 0}})).first.empty());
}

// Unsorted events, events on and between block edges, ramped and unramped parameters: each applies
// at its own frame, as when the kernel is handed them all at once.
TEST(TakeAudio, EventsApplyAtTheirOwnFrames)
{
    const std::vector<Take::Event> events{
        {0, VK_EVENT_PARAM_NO_RAMP, VK_P_VOLUME, 0, 0.8f, 0, 0},
        {300, VK_EVENT_KEY_ON, 0, 3, 330, 0, 0.9f},
        {1, VK_EVENT_DRONE_ON, 0, 0, 0, 0, 0},
        {128, VK_EVENT_PARAM, VK_P_FILTER_CUTOFF, 0, 800, 0, 0},
        {4097, VK_EVENT_KEY_OFF, 0, 3, 0, 0, 0},
        {2000, VK_EVENT_STEP, 0, 0, 660, 0.05f, 1},
        {6000, VK_EVENT_PARAM, VK_P_FREQUENCY, 0, 110, 0, 0},
    };
    const std::int64_t length = 9000;
    auto sorted = events;
    std::stable_sort(sorted.begin(), sorted.end(), [](auto& a, auto& b) { return a.frame < b.frame; });
    const auto offline = TakeRenderer::renderAudio(takeWith(length, events));
    EXPECT_GT(energy(offline.first), 1.0);
    EXPECT_EQ(offline, direct(sorted, length));
}

TEST(TakeAudio, OrbitSnapshotsAlternateSlotsFromZero)
{
    writtenSlots.clear();
    const std::vector<double> a{0, 0, 0.3, 0.1, -0.2, 0.4}, b{0, 0, -0.5, 0.5, 0.1, 0.1};
    // The third snapshot shares its frame with the second and comes after the event of that frame.
    TakeRenderer::renderAudio(takeWith(2000,
                                       {{0, VK_EVENT_DRONE_ON, 0, 0, 0, 0, 0}, {500, VK_EVENT_KEY_ON, 0, 1, 440, 0, 1}},
                                       {{10, a, 3}, {500, b, 3}, {500, a, 2}}));
    EXPECT_EQ(writtenSlots, (std::vector<int>{0, 1, 0}));
}

TEST(TakeAudio, ReverbRebuildsOnlyWhenTheDecayMovesPastTheBand)
{
    builds.clear();
    TakeRenderer::renderAudio(takeWith(150000, {{0, VK_EVENT_PARAM_NO_RAMP, VK_P_REVERB_DECAY, 0, 2.5f, 0, 0},
                                                {48000, VK_EVENT_PARAM_NO_RAMP, VK_P_REVERB_DECAY, 0, 2.5f, 0, 0},
                                                {60000, VK_EVENT_PARAM, VK_P_REVERB_DECAY, 0, 2.54f, 0, 0},
                                                {96000, VK_EVENT_PARAM_NO_RAMP, VK_P_REVERB_DECAY, 0, 2.6f, 0, 0},
                                                {97000, VK_EVENT_KEY_ON, VK_P_REVERB_DECAY, 0, 5.0f, 0, 0}}));
    // A new kernel's response already has the default decay of 2.5 s.
    EXPECT_EQ(builds, (std::vector<float>{2.6f}));

    // Two changes a frame apart: the second waits, rendering blocks, while the kernel has not taken
    // the first; such blocks are part of the sound, which is then longer than the take.
    builds.clear();
    const auto [l, r] =
        TakeRenderer::renderAudio(takeWith(1000, {{0, VK_EVENT_PARAM_NO_RAMP, VK_P_REVERB_DECAY, 0, 1.0f, 0, 0},
                                                  {1, VK_EVENT_PARAM_NO_RAMP, VK_P_REVERB_DECAY, 0, 4.0f, 0, 0}}));
    ASSERT_GE(builds.size(), 2u);
    EXPECT_EQ(builds.front(), 1.0f);
    EXPECT_EQ(builds.back(), 4.0f);
    EXPECT_GT(l.size(), 1000u);
    EXPECT_EQ((l.size() - 1) % 128, 0u) << "whole blocks after the first frame";
}

// More than the kernel's ring holds at one frame: the ring is emptied by one block and nothing is
// lost (the key, queued last, sounds; the rest comes a block late).
TEST(TakeAudio, AFullEventRingLosesNothing)
{
    std::vector<Take::Event> events{{0, VK_EVENT_PARAM_NO_RAMP, VK_P_VOLUME, 0, 0.9f, 0, 0}};
    for (int i = 0; i < VK_EVENT_RING_SIZE + 100; ++i)
        events.push_back({1000, VK_EVENT_PARAM, VK_P_FILTER_CUTOFF, 0, 500.0f + i, 0, 0});
    events.push_back({1000, VK_EVENT_KEY_ON, 0, 1, 440, 0, 1});
    const auto [l, r] = TakeRenderer::renderAudio(takeWith(6000, events));
    EXPECT_EQ(l.size(), 6000u);
    EXPECT_GT(energy(l), 1.0);
}
