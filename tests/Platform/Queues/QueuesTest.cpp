#include "Platform/Clock/Clock.h"
#include "Platform/Queues/MainQueue.h"
#include "Platform/Queues/ParallelFor.h"
#include "Platform/Queues/SerialQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <pthread.h>

using namespace veltrane;

TEST(Clock, SteadyNeverGoesBackAndManualMovesOnlyWhenTold)
{
    const Clock& steady = Clock::steady();
    const double a = steady.now();
    const double b = steady.now();
    EXPECT_GT(a, 0.0);
    EXPECT_GE(b, a);

    ManualClock manual(5.0);
    EXPECT_EQ(manual.now(), 5.0);
    manual.advance(0.25);
    EXPECT_EQ(manual.now(), 5.25);
    manual.set(9.0);
    EXPECT_EQ(manual.now(), 9.0);
}

TEST(SerialQueue, RunsTasksInOrderOnOneNamedThread)
{
    SerialQueue queue("com.korvat.veltrane.reverb");
    EXPECT_EQ(queue.name(), "com.korvat.veltrane.reverb");
    std::vector<int> order;
    std::vector<std::thread::id> threads;
    for (int i = 0; i < 100; ++i)
        queue.async([&, i] {
            order.push_back(i);
            threads.push_back(std::this_thread::get_id());
        });
    std::string threadName;
    queue.sync([&] {
        char buffer[16] = {};
        pthread_getname_np(pthread_self(), buffer, sizeof buffer);
        threadName = buffer;
    });
    ASSERT_EQ(order.size(), 100u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
    for (auto id : threads) {
        EXPECT_EQ(id, threads.front());
        EXPECT_NE(id, std::this_thread::get_id());
    }
    EXPECT_EQ(threadName, "veltrane.reverb");
}

TEST(SerialQueue, SyncFromItsOwnTaskRunsInlineAndErrorsReachTheCaller)
{
    SerialQueue queue("test.queue");
    bool inner = false;
    queue.sync([&] {
        EXPECT_TRUE(queue.isCurrent());
        queue.sync([&] { inner = true; });
    });
    EXPECT_TRUE(inner);
    EXPECT_FALSE(queue.isCurrent());
    EXPECT_THROW(queue.sync([] { throw std::runtime_error("boom"); }), std::runtime_error);

    // A failing async task does not stop the queue.
    std::atomic<int> after{0};
    queue.async([] { throw std::runtime_error("ignored"); });
    queue.async([&] { after = 1; });
    queue.drain();
    EXPECT_EQ(after.load(), 1);
}

TEST(SerialQueue, DestructionRunsWhatWasSubmitted)
{
    std::atomic<int> count{0};
    {
        SerialQueue queue("test.queue");
        queue.async([&] { std::this_thread::sleep_for(std::chrono::milliseconds(20)); });
        for (int i = 0; i < 10; ++i) queue.async([&] { ++count; });
    }
    EXPECT_EQ(count.load(), 10);
}

TEST(MainQueue, PostedWorkRunsOnlyWhenPumpedAndNotTheSamePump)
{
    ManualClock clock;
    MainQueue queue(clock);
    std::vector<int> log;
    queue.post([&] {
        log.push_back(1);
        queue.post([&] { log.push_back(3); }); // posted during a pump: next pump
    });
    queue.post([&] { log.push_back(2); });
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(queue.pump(), 2u);
    EXPECT_EQ(log, (std::vector<int>{1, 2}));
    EXPECT_EQ(queue.pump(), 1u);
    EXPECT_EQ(log, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(queue.pump(), 0u);
}

TEST(MainQueue, DelayedTasksRunWhenDueEarliestFirst)
{
    // Binary fractions keep the clock arithmetic exact.
    ManualClock clock(100.0);
    MainQueue queue(clock);
    std::vector<int> log;
    queue.postAfter(0.5, [&] { log.push_back(10); });
    queue.postAfter(0.25, [&] { log.push_back(5); });
    queue.postAfter(0.25, [&] { log.push_back(6); });
    EXPECT_EQ(queue.secondsUntilDue(), 0.25);
    clock.advance(0.125);
    EXPECT_EQ(queue.pump(), 0u);
    clock.advance(0.125);
    queue.pump();
    EXPECT_EQ(log, (std::vector<int>{5, 6}));
    clock.advance(1.0);
    queue.pump();
    EXPECT_EQ(log, (std::vector<int>{5, 6, 10}));
    EXPECT_LT(queue.secondsUntilDue(), 0.0);
}

TEST(MainQueue, RepeatingTimersFireOncePerPumpAndCanCancelThemselves)
{
    ManualClock clock;
    MainQueue queue(clock);
    int fired = 0;
    MainQueue::TimerId id = 0;
    id = queue.addTimer(0.5, [&] {
        if (++fired == 3) queue.cancelTimer(id);
    });
    queue.pump();
    EXPECT_EQ(fired, 0);
    clock.advance(0.5);
    queue.pump();
    EXPECT_EQ(fired, 1);
    clock.advance(10.0); // far behind: one firing, no catch-up burst
    queue.pump();
    EXPECT_EQ(fired, 2);
    queue.pump();
    EXPECT_EQ(fired, 2);
    clock.advance(0.5);
    queue.pump();
    EXPECT_EQ(fired, 3);
    clock.advance(0.5);
    queue.pump();
    EXPECT_EQ(fired, 3);
    queue.cancelTimer(12345); // unknown: ignored
}

TEST(MainQueue, InvokeSyncRunsOnThePumpingThread)
{
    MainQueue queue; // steady clock
    queue.pump();    // this thread becomes the main thread
    EXPECT_TRUE(queue.isMainThread());
    int inlineRuns = 0;
    queue.invokeSync([&] { ++inlineRuns; });
    EXPECT_EQ(inlineRuns, 1);

    std::thread::id ranOn;
    std::atomic<bool> threw{false}; // written by the worker while this thread polls it
    std::thread worker([&] {
        queue.invokeSync([&] { ranOn = std::this_thread::get_id(); });
        try {
            queue.invokeSync([] { throw std::runtime_error("x"); });
        } catch (const std::runtime_error&) {
            threw = true;
        }
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!threw && std::chrono::steady_clock::now() < deadline) {
        queue.pump();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    worker.join();
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_TRUE(threw);
}

TEST(ParallelFor, CoversEveryIndexOnceAndRethrowsAfterAllChunks)
{
    for (std::size_t count : {std::size_t(0), std::size_t(1), std::size_t(63), std::size_t(64), std::size_t(127),
                              std::size_t(128), std::size_t(129), std::size_t(1000), std::size_t(100003)}) {
        std::vector<std::atomic<int>> seen(count);
        veltrane::parallelFor(count, 64, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) seen[i]++;
        });
        for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(seen[i].load(), 1) << "count " << count << " index " << i;
    }
    std::atomic<int> finished{0};
    EXPECT_THROW(veltrane::parallelFor(100000, 64,
                                       [&](std::size_t begin, std::size_t) {
                                           if (begin > 0) throw std::runtime_error("chunk failed");
                                           std::this_thread::sleep_for(std::chrono::milliseconds(20));
                                           finished++;
                                       }),
                 std::runtime_error);
    EXPECT_EQ(finished.load(), 1);
}
