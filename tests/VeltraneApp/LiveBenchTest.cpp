// The live benchmark: its switches, the settling and measuring frames, the per-segment summary and
// the report.
#include "Platform/Json/Json.h"
#include "StateFixture.h"
#include "VeltraneApp/LiveBench.h"

#include <fstream>

namespace veltrane::test {
namespace {

namespace fs = std::filesystem;

class LiveBenchTest : public StateFixture {
protected:
    fs::path script(const std::string& json)
    {
        fs::create_directories(folder);
        const fs::path file = folder / ("motion-" + std::to_string(counter()++) + ".json");
        std::ofstream(file) << json;
        return file;
    }
    static std::string motion(double duration)
    {
        return R"({"centerX": -0.75, "centerY": 0.1, "durationSec": )" + std::to_string(duration) +
               R"(, "segments": [{"from": 0, "to": 1, "zoomFrom": 2, "zoomTo": 8},
                                  {"from": 1, "to": 2, "zoomFrom": 8, "zoomTo": 8}],
                  "fractalType": "julia", "colorPalette": "ember", "canvasPixels": [1440, 880]})";
    }
};

TEST_F(LiveBenchTest, ArgumentsThatStartNoBenchmarkAndTheDefaultReport)
{
    const fs::path good = script(motion(2));
    EXPECT_FALSE(LiveBench::fromArguments({"veltrane"}));
    EXPECT_FALSE(LiveBench::fromArguments({"veltrane", "--bench"}));
    EXPECT_FALSE(LiveBench::fromArguments({"veltrane", "--bench", script("{not json")}));
    EXPECT_FALSE(LiveBench::fromArguments({"veltrane", "--bench", script(R"({"centerX": 0, "centerY": 0,
        "durationSec": 1, "segments": [], "fractalType": "mandelbrot", "colorPalette": "ember"})")}));
    EXPECT_FALSE(LiveBench::fromArguments({"veltrane", "--bench", (folder / "missing.json").string()}));

    auto bench = LiveBench::fromArguments({"veltrane", "--bench", good, "--out"});
    ASSERT_TRUE(bench);
    EXPECT_EQ(bench->out, fs::path(LiveBench::defaultOut));
    EXPECT_FALSE(bench->materials);
    bench = LiveBench::fromArguments({"veltrane", "--materials", "--out", "/x/r.json", "--bench", good});
    ASSERT_TRUE(bench);
    EXPECT_EQ(bench->out, fs::path("/x/r.json"));
    EXPECT_TRUE(bench->materials);
}

TEST_F(LiveBenchTest, SummaryPercentilesAndEmptySegments)
{
    const std::vector<Motion::Segment> segments{{0, 1}, {1, 2}, {2, 3}, {3, 4}};
    std::vector<LiveBench::Frame> frames;
    for (int i = 0; i < 20; ++i) frames.push_back({i / 20.0, double(i + 1), 2, 0.5}); // 1..20 ms
    for (int i = 0; i < 100; ++i) frames.push_back({1 + i / 100.0, double(100 - i), 4, 1});
    frames.push_back({2.5, 7, 1, 1});
    frames.push_back({3.0, 9, 1, 1}); // t equal to the third segment's end: the fourth one's
    const auto s = LiveBench::summarise(frames, segments);
    ASSERT_EQ(s.size(), 4u);
    EXPECT_EQ(s[0].frames, 20);
    EXPECT_EQ(s[0].p95FrameMs, 20); // the largest of 20
    EXPECT_NEAR(s[0].meanFps, 1000 / 10.5, 1e-9);
    EXPECT_EQ(s[0].meanGpuMs, 2);
    EXPECT_EQ(s[0].meanRenderScale, 0.5);
    EXPECT_EQ(s[1].p95FrameMs, 96); // the 96th smallest of 100
    EXPECT_EQ(s[2].frames, 1);
    EXPECT_EQ(s[2].p95FrameMs, 7);
    EXPECT_EQ(s[3].frames, 1);
    EXPECT_EQ(s[3].p95FrameMs, 9);

    const auto empty = LiveBench::summarise({}, {{0, 1}});
    EXPECT_EQ(empty[0].frames, 0);
    EXPECT_EQ(empty[0].meanFps, 1000000);
    EXPECT_EQ(empty[0].p95FrameMs, 0);
    EXPECT_EQ(empty[0].meanGpuMs, 0);
    EXPECT_EQ(empty[0].meanRenderScale, 0);
}

TEST_F(LiveBenchTest, SettlesMeasuresWritesTheReportAndEnds)
{
    const fs::path report = folder / "reports" / "bench.json";
    auto bench = LiveBench::fromArguments({"veltrane", "--bench", script(motion(2)), "--out", report});
    ASSERT_TRUE(bench);
    int ended = 0;
    bench->terminate = [&] { ++ended; };
    bench->drawableSize = {1440, 880};
    state->renderStats.modify([](RenderStats& s) {
        s.gpuMs = 12;
        s.renderScale = 0.7;
    });

    double now = 100;
    for (int i = 0; i < LiveBench::settleFrames; ++i) bench->tick(now += 0.01, *state);
    EXPECT_EQ(state->fractalType.get(), FractalType::julia);
    EXPECT_EQ(state->palette().get(), Palette::ember);
    EXPECT_EQ(state->zoom.get(), 2);
    EXPECT_NEAR(state->centre.get().doubles().x, -0.75, 1e-15);
    EXPECT_FALSE(bench->start);

    bench->tick(now += 0.02, *state); // the first measured frame only starts the clock
    EXPECT_TRUE(bench->frames.empty());
    for (int i = 0; i < 100 && !ended; ++i) bench->tick(now += 0.025, *state);
    EXPECT_EQ(ended, 1);
    bench->tick(now += 0.025, *state); // a frame drawn while the program ends changes nothing
    EXPECT_EQ(ended, 1);

    const Json::OrderedValue r =
        Json::parseOrdered(std::string(std::istreambuf_iterator<char>(*std::make_unique<std::ifstream>(report)), {}));
    std::vector<std::string> keys;
    for (const auto& item : r.items()) keys.push_back(item.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"method", "materials", "drawable", "capturedAt", "summary", "frames"}));
    EXPECT_EQ(r["method"], "live window, time between presented frames");
    EXPECT_EQ(r["drawable"], Json::OrderedValue({1440, 880}));
    ASSERT_EQ(r["summary"].size(), 2u);
    EXPECT_EQ(r["summary"][0]["frames"].get<int>() + r["summary"][1]["frames"].get<int>(), int(bench->frames.size()));
    EXPECT_NEAR(r["summary"][0]["meanFps"].get<double>(), 40, 1e-6);
    EXPECT_EQ(r["summary"][0]["meanGpuMs"].get<double>(), 12);
    EXPECT_NEAR(r["frames"][0]["dtMs"].get<double>(), 25, 1e-6);
}

TEST_F(LiveBenchTest, ZeroDurationEndsOnTheSecondMeasuredFrame)
{
    auto bench = LiveBench::fromArguments({"veltrane", "--bench", script(motion(0)), "--out", folder / "r.json"});
    ASSERT_TRUE(bench);
    int ended = 0;
    bench->terminate = [&] { ++ended; };
    bench->settle = LiveBench::settleFrames;
    bench->tick(10, *state);
    EXPECT_EQ(ended, 0);
    bench->tick(10.1, *state);
    EXPECT_EQ(ended, 1);
    EXPECT_TRUE(bench->frames.empty());
    EXPECT_TRUE(fs::exists(folder / "r.json"));
}

} // namespace
} // namespace veltrane::test
