#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "Platform/Queues/SpscRing.h"

// Allocations made on this thread, to show that a constructed ring never allocates.
namespace {
thread_local long allocations = 0;
}
void* operator new(std::size_t n)
{
    ++allocations;
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

using veltrane::SpscRing;

TEST(SpscRing, CapacityIsThePowerOfTwoAtOrAboveTheOneAskedFor)
{
    struct Case {
        std::size_t asked, capacity;
    };
    for (const Case c : {Case{0, 1}, Case{1, 1}, Case{2, 2}, Case{3, 4}, Case{4096, 4096}, Case{24000, 32768}})
        EXPECT_EQ(SpscRing<int>(c.asked).capacity(), c.capacity) << c.asked;
}

TEST(SpscRing, FirstInFirstOutAcrossManyWrapsAndRefusesWhenFull)
{
    SpscRing<int> ring(4);
    int next = 0, expected = 0;
    for (int round = 0; round < 50; ++round) {
        while (ring.push(next)) ++next;
        EXPECT_EQ(ring.pushedCount() - ring.poppedCount(), 4u);
        // Take one fewer than there is, so the positions drift against the slot boundaries.
        for (int i = 0; i < 3; ++i) {
            int value = -1;
            ASSERT_TRUE(ring.pop(value));
            EXPECT_EQ(value, expected++);
        }
    }
    int value = -1;
    while (ring.pop(value)) EXPECT_EQ(value, expected++);
    EXPECT_EQ(expected, next);
    EXPECT_FALSE(ring.pop(value));
    EXPECT_EQ(ring.pushedCount(), ring.poppedCount());
}

TEST(SpscRing, PushSomeTakesWhatFitsAndBatchesPublishOnce)
{
    SpscRing<float> ring(8);
    const std::vector<float> block{1, 2, 3, 4, 5, 6};
    EXPECT_EQ(ring.pushSome(block.data(), block.size()), 6u);
    EXPECT_EQ(ring.pushSome(block.data(), block.size()), 2u);
    EXPECT_EQ(ring.pushSome(block.data(), 0), 0u);

    // A consumer's batch: the end is taken once; slots are freed only when it says so.
    const std::uint64_t end = ring.readEnd();
    std::uint64_t r = ring.readBegin();
    EXPECT_EQ(end - r, 8u);
    while (r < end && ring.at(r) < 4) ++r;
    EXPECT_EQ(ring.poppedCount(), 0u);
    EXPECT_FALSE(ring.push(9.0f));
    ring.readTo(r);
    EXPECT_EQ(ring.poppedCount(), 3u);
    EXPECT_EQ(ring.writeEnd() - ring.writeBegin(), 3u);

    // A producer's batch is invisible until published.
    const std::uint64_t w = ring.writeBegin();
    ring.slotAt(w) = 7.0f;
    EXPECT_EQ(ring.readEnd(), w);
    ring.writeTo(w + 1);
    EXPECT_EQ(ring.readEnd(), w + 1);
    EXPECT_EQ(ring.at(w), 7.0f);

    ring.discardAll();
    EXPECT_EQ(ring.readBegin(), ring.readEnd());
    ring.reset();
    EXPECT_EQ(ring.pushedCount(), 0u);
    EXPECT_EQ(ring.writeEnd() - ring.writeBegin(), 8u);
}

TEST(SpscRing, NothingAllocatesAfterConstruction)
{
    struct Frame {
        float left, right;
    };
    SpscRing<Frame> ring(1024);
    std::vector<Frame> out(1);
    const long before = allocations;
    for (int i = 0; i < 5000; ++i) {
        ring.push(Frame{float(i), -float(i)});
        if (i % 3 == 0) ring.pop(out[0]);
        if (i % 1000 == 0) ring.discardAll();
    }
    ring.reset();
    const long after = allocations;
    EXPECT_EQ(after, before);
}
