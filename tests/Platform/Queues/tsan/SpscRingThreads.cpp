// A producer and a consumer on their own threads, each in the ring's batch and single-value styles.
// Built with -fsanitize=thread: a missing release/acquire pair fails the run.
#include <gtest/gtest.h>

#include <cstdint>
#include <thread>
#include <vector>

#include "Platform/Queues/SpscRing.h"

extern "C" const char* __tsan_default_options() { return "halt_on_error=1"; }

namespace {

struct Item {
    std::uint64_t sequence;
    std::uint64_t check; // a function of the sequence: a torn or stale slot shows
};

constexpr std::uint64_t kItems = 200000;

} // namespace

TEST(SpscRingThreads, EveryValueArrivesOnceInOrder)
{
    veltrane::SpscRing<Item> ring(64);
    std::thread producer([&] {
        std::uint64_t next = 0;
        std::vector<Item> block;
        while (next < kItems) {
            if (next % 3 == 0) {
                if (ring.push(Item{next, ~next})) ++next;
            } else {
                block.clear();
                for (std::uint64_t i = 0; i < 1 + next % 17 && next + i < kItems; ++i)
                    block.push_back(Item{next + i, ~(next + i)});
                next += ring.pushSome(block.data(), block.size());
            }
            if (next % 1024 == 0) std::this_thread::yield();
        }
    });

    std::uint64_t expected = 0;
    bool inOrder = true;
    while (expected < kItems) {
        if (expected % 2 == 0) {
            Item item{};
            if (ring.pop(item)) {
                inOrder = inOrder && item.sequence == expected && item.check == ~expected;
                ++expected;
            }
        } else {
            const std::uint64_t end = ring.readEnd();
            std::uint64_t r = ring.readBegin();
            for (; r < end; ++r, ++expected)
                inOrder = inOrder && ring.at(r).sequence == expected && ring.at(r).check == ~expected;
            ring.readTo(r);
        }
    }
    producer.join();
    EXPECT_TRUE(inOrder);
    EXPECT_EQ(ring.pushedCount(), kItems);
    EXPECT_EQ(ring.poppedCount(), kItems);
}
