// One event producer, one microphone producer and one analysis reader against the render thread.
// Built with -fsanitize=thread: any data race in the kernel's exchanges fails the run.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "CSynth/kernel.h"
#include "../EventMix.h"

// The first report ends the run with a failure.
extern "C" const char* __tsan_default_options() { return "halt_on_error=1"; }

TEST(KernelThreads, ProducersAndRenderThreadDoNotRace)
{
    vk_state* k = vk_create(48000);
    ASSERT_NE(k, nullptr);
    constexpr int64_t kBlocks = 400;
    std::atomic<int64_t> rendered{0};
    std::atomic<bool> done{false};

    std::thread render([&] {
        std::vector<float> l(128), r(128);
        float* outs[2] = {l.data(), r.data()};
        for (int64_t b = 0; b < kBlocks; ++b) {
            vk_render(k, outs, 2, 128, b * 128);
            rendered.store(b + 1, std::memory_order_release);
        }
        done = true;
    });
    std::thread events([&] {
        // Orbit tables: write only the slot not in use, and only once the last selection took effect.
        std::vector<float> re(128), im(128);
        int selected = -1;
        int64_t block = 0;
        while (!done.load()) {
            const int64_t ahead = rendered.load(std::memory_order_acquire);
            if (block > ahead + 4) {
                std::this_thread::yield();
                continue;
            }
            for (const vk_event& e : csynth_test::eventMix(block, block * 128))
                if (e.type != VK_EVENT_ORBIT_SLOT) vk_push_event(k, &e);
            if (vk_orbit_slot_in_use(k) == selected) {
                const int slot = selected == 0 ? 1 : 0;
                for (int h = 0; h < 128; ++h) re[h] = im[h] = (h % 7 == 1) ? 0.1f * (float)(block % 5) : 0.0f;
                vk_write_orbit(k, slot, re.data(), im.data());
                const vk_event select{block * 128, VK_EVENT_ORBIT_SLOT, 0, slot, 0, 0, 0};
                if (vk_push_event(k, &select) == 0) selected = slot;
            }
            ++block;
        }
    });
    std::thread mic([&] {
        std::vector<float> samples(64, 0.1f);
        while (!done.load()) {
            vk_push_input(k, samples.data(), 64);
            std::this_thread::yield();
        }
    });
    std::thread analysis([&] {
        std::vector<float> buffer(1024);
        while (!done.load()) {
            vk_read_analysis(k, buffer.data(), 1024);
            (void)vk_frames_rendered(k);
            std::this_thread::yield();
        }
    });
    render.join();
    events.join();
    mic.join();
    analysis.join();
    EXPECT_EQ(vk_frames_rendered(k), kBlocks * 128);
    vk_destroy(k);
}
