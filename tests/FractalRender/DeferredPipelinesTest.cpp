// Pipelines made on demand and ahead: each made once whoever asks, failures kept, prefetches made on
// the background thread, and a renderer that goes early waits for nothing it never asked for.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "FractalRender/DeferredPipelines.h"

using namespace veltrane;
using namespace std::chrono_literals;

namespace {

// Makers that count their runs and note their thread; they return no pipeline (none is needed to
// test the bookkeeping), or throw for the indices in `failing`.
struct Makers {
    explicit Makers(size_t count, std::vector<size_t> failing = {}, std::chrono::milliseconds cost = 0ms)
        : runs(count), threads(count)
    {
        for (size_t i = 0; i < count; ++i)
            list.push_back([this, i, failing, cost] {
                ++runs[i];
                threads[i] = std::this_thread::get_id();
                std::this_thread::sleep_for(cost);
                for (size_t f : failing)
                    if (f == i) throw std::runtime_error("pipeline " + std::to_string(i));
                return std::shared_ptr<GpuPipeline>();
            });
    }
    std::vector<std::atomic<int>> runs;
    std::vector<std::thread::id> threads;
    std::vector<DeferredPipelines::Make> list;
};

} // namespace

TEST(DeferredPipelines, EachIsMadeOnceHoweverManyThreadsAsk)
{
    Makers makers(3, {}, 20ms);
    DeferredPipelines pipelines(makers.list, false);
    std::vector<std::thread> askers;
    for (int t = 0; t < 6; ++t)
        askers.emplace_back([&] {
            for (size_t i = 0; i < 3; ++i) pipelines.get(i);
        });
    for (auto& a : askers) a.join();
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(makers.runs[i], 1) << i;
}

TEST(DeferredPipelines, AFailureIsThrownToEveryCallerAndNotRetried)
{
    Makers makers(2, {1});
    DeferredPipelines pipelines(makers.list, false);
    pipelines.get(0);
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            pipelines.get(1);
            FAIL();
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), "pipeline 1");
        }
    }
    EXPECT_EQ(makers.runs[1], 1);
}

TEST(DeferredPipelines, PrefetchesAreMadeAtOnceAndTheRestWhenDue)
{
    Makers makers(4);
    std::atomic<bool> allMade{false};
    {
        DeferredPipelines pipelines(makers.list, true, 300ms, [&] { allMade = true; });
        pipelines.prefetch(2);
        auto deadline = std::chrono::steady_clock::now() + 10s;
        while (makers.runs[2] == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
        pipelines.get(2);
        EXPECT_NE(makers.threads[2], std::this_thread::get_id());
        EXPECT_EQ(makers.runs[0] + makers.runs[1] + makers.runs[3], 0); // not due yet
        while (!allMade && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
        EXPECT_TRUE(allMade);
    }
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(makers.runs[i], 1) << i;
}

TEST(DeferredPipelines, GoingBeforeTheyAreDueMakesNothingAndWaitsForNothing)
{
    Makers makers(3);
    auto start = std::chrono::steady_clock::now();
    {
        DeferredPipelines pipelines(makers.list, true, 60s);
        pipelines.get(0);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(makers.runs[0], 1);
    EXPECT_EQ(makers.runs[1] + makers.runs[2], 0);
}
