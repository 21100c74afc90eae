// A builder thread rebuilds the reverb's impulse response again and again while the render thread
// runs; compiled with ThreadSanitizer. Afterwards a single-threaded replay, with each build done just
// before the block in which the render thread took it, must give bit-identical output: a build that
// touched the set in use would show up as a difference (a glitch at the swap).
#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include "CSynth/reverb.h"

namespace {

constexpr double kRate = 48000.0;
constexpr int kFrames = 48000 * 3;
constexpr float kDecays[2] = {0.3f, 0.6f};

float inputSample(int i, int channel)
{
    uint32_t x = static_cast<uint32_t>(i) * 2654435761u + static_cast<uint32_t>(channel) * 40503u;
    x ^= x >> 15;
    x *= 2246822519u;
    x ^= x >> 13;
    return static_cast<float>(static_cast<int32_t>(x)) * 0x1p-31f;
}

} // namespace

int main()
{
    vk_reverb* rv = vk_rv_create(kRate, 1.0);
    if (!rv) return 2;

    std::vector<float> out(2 * kFrames);
    std::vector<int> swapFrames;
    std::vector<float> swapDecays;
    std::atomic<bool> done{false};
    std::atomic<int> builds{0};

    std::thread builder([&] {
        int k = 0;
        while (!done.load(std::memory_order_acquire)) {
            if (vk_rv_build(rv, kDecays[k & 1]) == 0) {
                ++k;
                builds.fetch_add(1, std::memory_order_relaxed);
            } else {
                std::this_thread::yield();
            }
        }
    });
    std::thread render([&] {
        float last = vk_rv_active_decay(rv);
        for (int i = 0; i < kFrames; ++i) {
            vk_rv_tick(rv, inputSample(i, 0), inputSample(i, 1), &out[2 * i], &out[2 * i + 1]);
            const float now = vk_rv_active_decay(rv);
            if (now != last) {
                swapFrames.push_back(i);
                swapDecays.push_back(now);
                last = now;
            }
        }
        done.store(true, std::memory_order_release);
    });
    render.join();
    builder.join();
    vk_rv_destroy(rv);

    if (swapFrames.size() < 3) {
        std::fprintf(stderr, "only %zu swaps happened (%d builds)\n", swapFrames.size(), builds.load());
        return 1;
    }

    vk_reverb* replay = vk_rv_create(kRate, 1.0);
    std::size_t next = 0;
    for (int i = 0; i < kFrames; ++i) {
        if (next < swapFrames.size() && swapFrames[next] == i) {
            if (vk_rv_build(replay, swapDecays[next]) != 0) {
                std::fprintf(stderr, "replay build busy at frame %d\n", i);
                return 1;
            }
            ++next;
        }
        float l, r;
        vk_rv_tick(replay, inputSample(i, 0), inputSample(i, 1), &l, &r);
        if (l != out[2 * i] || r != out[2 * i + 1]) {
            std::fprintf(stderr, "output differs from the replay at frame %d\n", i);
            return 1;
        }
    }
    vk_rv_destroy(replay);
    std::printf("%zu swaps, %d builds, output identical to the replay\n", swapFrames.size(), builds.load());
    return 0;
}
