#include "Takes/TakeRenderer.h"

#include "Synth/OfflineRenderer.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace veltrane::TakeRenderer {

namespace {

constexpr int kBlock = 128;
// Long stretches are rendered in pieces of whole blocks, so the sound is never held twice.
constexpr std::int64_t kChunk = kBlock * 512;
constexpr double kReverbHysteresis = 0.05; // seconds of decay that do not justify a rebuild

struct Output {
    OfflineRenderer& renderer;
    std::vector<float> left, right;

    void renderTo(std::int64_t target)
    {
        while (target > renderer.frame()) {
            auto [l, r] = renderer.render(std::min(target - renderer.frame(), kChunk), kBlock);
            left.insert(left.end(), l.begin(), l.end());
            right.insert(right.end(), r.begin(), r.end());
        }
    }
    void renderBlock() { renderTo(renderer.frame() + kBlock); }
};

bool setsReverbDecay(const Take::Event& e)
{
    return (e.type == VK_EVENT_PARAM || e.type == VK_EVENT_PARAM_NO_RAMP) && e.param == VK_P_REVERB_DECAY;
}

} // namespace

std::pair<std::vector<float>, std::vector<float>> renderAudio(const Take& take)
{
    OfflineRenderer renderer(take.sampleRate);
    const std::int64_t length = std::max<std::int64_t>(take.length, 0);
    Output out{renderer, {}, {}};
    out.left.reserve(static_cast<std::size_t>(length));
    out.right.reserve(static_cast<std::size_t>(length));

    // Events and snapshots in one order: by frame, then by position, events and snapshots of one
    // frame interleaving as 2i and 2i + 1.
    struct Item {
        std::int64_t frame;
        std::size_t order;
    };
    std::vector<Item> schedule;
    schedule.reserve(take.events.size() + take.orbits.size());
    for (std::size_t i = 0; i < take.events.size(); ++i) schedule.push_back({take.events[i].frame, 2 * i});
    for (std::size_t i = 0; i < take.orbits.size(); ++i) schedule.push_back({take.orbits[i].frame, 2 * i + 1});
    std::sort(schedule.begin(), schedule.end(),
              [](const Item& a, const Item& b) { return a.frame != b.frame ? a.frame < b.frame : a.order < b.order; });

    int slot = 1;
    for (const Item& item : schedule) {
        out.renderTo(std::min(item.frame, length));
        if (item.order % 2 == 1) {
            const Take::OrbitSnapshot& orbit = take.orbits[item.order / 2];
            slot = 1 - slot;
            renderer.setOrbit(orbit.points, static_cast<long>(orbit.length), slot);
            continue;
        }
        const Take::Event& e = take.events[item.order / 2];
        vk_event k = e.kernelEvent();
        k.frame = std::max(e.frame, renderer.frame());
        // A ring filled by more than 4096 events at one frame is emptied by one block; an event
        // beyond the length would only wait behind others that never fall due, so it is let go.
        if (renderer.push(k) != 0 && e.frame <= length) {
            out.renderBlock();
            k.frame = renderer.frame();
            renderer.push(k);
        }
        if (setsReverbDecay(e) &&
            std::fabs(double(vk_reverb_decay(renderer.kernel())) - double(e.value)) > kReverbHysteresis) {
            // The kernel takes a finished impulse response only while it renders.
            while (vk_reverb_build(renderer.kernel(), e.value) == 1) out.renderBlock();
        }
    }
    out.renderTo(length);
    return {std::move(out.left), std::move(out.right)};
}

} // namespace veltrane::TakeRenderer
