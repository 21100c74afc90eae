// vk_render must not touch the heap. Every allocation function of this executable is replaced by
// a counting one (operator new here, malloc/calloc/realloc through the linker's --wrap), and a
// render that exercises every event type runs while the counter is armed.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "CSynth/kernel.h"
#include "../EventMix.h"

namespace {
std::atomic<bool> armed{false};
std::atomic<long> allocations{0};
void note()
{
    if (armed.load(std::memory_order_relaxed)) allocations.fetch_add(1, std::memory_order_relaxed);
}
} // namespace

extern "C" {
void* __real_malloc(size_t);
void* __real_calloc(size_t, size_t);
void* __real_realloc(void*, size_t);
void* __wrap_malloc(size_t n)
{
    note();
    return __real_malloc(n);
}
void* __wrap_calloc(size_t a, size_t b)
{
    note();
    return __real_calloc(a, b);
}
void* __wrap_realloc(void* p, size_t n)
{
    note();
    return __real_realloc(p, n);
}
}

void* operator new(size_t n)
{
    note();
    if (void* p = __real_malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](size_t n) { return operator new(n); }
void* operator new(size_t n, const std::nothrow_t&) noexcept
{
    note();
    return __real_malloc(n ? n : 1);
}
void* operator new[](size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void* operator new(size_t n, std::align_val_t a)
{
    note();
    if (void* p = std::aligned_alloc((size_t)a, (n + (size_t)a - 1) / (size_t)a * (size_t)a)) return p;
    throw std::bad_alloc();
}
void* operator new(size_t n, std::align_val_t a, const std::nothrow_t&) noexcept
{
    note();
    return std::aligned_alloc((size_t)a, (n + (size_t)a - 1) / (size_t)a * (size_t)a);
}
// Every replaced new above allocates with malloc or aligned_alloc, so free is the matching release.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { std::free(p); }

TEST(RealtimeRender, AllocatesNothing)
{
    // The counter itself must see allocations, or the test proves nothing.
    static void* volatile sink;
    armed = true;
    sink = new int(3);
    delete static_cast<int*>(sink);
    sink = std::malloc(16);
    std::free(sink);
    armed = false;
    ASSERT_EQ(allocations.exchange(0), 2);

    vk_state* k = vk_create(48000);
    ASSERT_NE(k, nullptr);
    std::vector<float> left(128), right(128), third(128), mic(128, 0.25f);
    float* outs[3] = {left.data(), right.data(), third.data()};
    std::vector<float> re(128, 0.0f), im(128, 0.0f);
    re[1] = 1;
    re[5] = 0.5f;
    vk_write_orbit(k, 0, re.data(), im.data());
    vk_write_orbit(k, 1, im.data(), re.data());

    long total = 0;
    for (int64_t block = 0; block < 64; ++block) {
        const int64_t start = block * 128;
        for (const vk_event& e : csynth_test::eventMix(block, start)) vk_push_event(k, &e);
        vk_push_input(k, mic.data(), 128);
        if (block == 8) {
            ASSERT_EQ(vk_reverb_build(k, 1.0f), 0); // a swap falls inside an armed render
        }
        armed = true;
        vk_render(k, outs, 1 + (int)(block % 3), 128, start);
        armed = false;
        total += allocations.exchange(0);
    }
    EXPECT_EQ(total, 0);
    EXPECT_EQ(vk_frames_rendered(k), 64 * 128);
    EXPECT_EQ(vk_reverb_decay(k), 1.0f);
    vk_destroy(k);
}
