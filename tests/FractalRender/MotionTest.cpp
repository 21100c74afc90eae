// Motion scripts (decoding, refusals, sampling) and the benchmark records and their summaries.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <numbers>

#include "FractalRender/BenchRecords.h"
#include "FractalRender/Motion.h"
#include "Platform/Json/Json.h"

using namespace veltrane;

namespace {

Motion twoSegments()
{
    Motion m;
    m.centerX = -0.5;
    m.centerY = 0.25;
    m.durationSec = 2;
    m.segments = {{0, 1, 1, 10, std::nullopt, std::nullopt}, {1, 2, 100, 1000, std::nullopt, std::nullopt}};
    return m;
}

const char* validScript = R"({
  "centerX": -0.5, "centerY": 0.25, "durationSec": 1.999,
  "segments": [
    {"from": 0, "to": 1, "zoomFrom": 1, "zoomTo": 10},
    {"from": 1, "to": 2, "zoomFrom": 10, "zoomTo": 10, "circleRadiusViews": 0.5, "rotationAmplitude": 0.3}
  ],
  "fractalType": "burningship", "colorPalette": "void", "canvasPixels": [1440, 880]
})";

std::filesystem::path writeTemp(const std::string& name, const std::string& text)
{
    auto path = std::filesystem::temp_directory_path() / ("veltrane-motion-" + std::to_string(::getpid()) + "-" + name);
    std::ofstream(path) << text;
    return path;
}

} // namespace

TEST(Motion, SamplesTheActiveSegmentGeometrically)
{
    Motion m = twoSegments();
    struct Case {
        double t, zoom;
    } cases[] = {
        {0, 1},
        {0.5, std::sqrt(10.0)},
        {1, 100}, // a segment's end belongs to the next segment
        {1.5, std::sqrt(1e5)},
        {2, 1000}, // past the last segment: the last one, u clamped to 1
        {50, 1000},
        {-1, 100},  // before every segment: the last one, negative u taken as 0
        {NAN, 100}, // an undefined time: the last one at u = 0
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.t);
        FractalTarget target = m.at(c.t);
        EXPECT_NEAR(target.zoom, c.zoom, c.zoom * 1e-14);
        EXPECT_EQ(target.centerX, -0.5);
        EXPECT_EQ(target.centerY, 0.25);
        EXPECT_EQ(target.rotation, 0);
    }
}

TEST(Motion, CirclesOncePerSegmentWithRotationOnTheSine)
{
    Motion m = twoSegments();
    m.segments[1] = {1, 2, 50, 50, 0.4, 0.3};
    FractalTarget quarter = m.at(1.25);
    EXPECT_DOUBLE_EQ(quarter.zoom, 50);
    EXPECT_NEAR(quarter.centerX, -0.5, 1e-15);
    EXPECT_DOUBLE_EQ(quarter.centerY, 0.25 + 0.4 * 2.5 / 50);
    EXPECT_DOUBLE_EQ(quarter.rotation, 0.3);
    FractalTarget start = m.at(1);
    EXPECT_DOUBLE_EQ(start.centerX, -0.5 + 0.4 * 2.5 / 50);
    EXPECT_EQ(start.rotation, 0);
    // Radius 0: the centre stays while the rotation still follows the sine; no amplitude: no rotation.
    m.segments[1] = {1, 2, 50, 50, 0.0, 0.3};
    EXPECT_EQ(m.at(1.25).centerX, -0.5);
    EXPECT_EQ(m.at(1.25).centerY, 0.25);
    EXPECT_DOUBLE_EQ(m.at(1.75).rotation, -0.3);
    m.segments[1] = {1, 2, 50, 50, 1.0, std::nullopt};
    EXPECT_EQ(m.at(1.25).rotation, 0);
}

TEST(Motion, FrameCountTruncatesSixtyPerSecond)
{
    Motion m = twoSegments();
    for (auto [seconds, frames] : {std::pair{1.999, 119}, {2.0, 120}, {0.0, 0}, {1.0 / 60, 1}}) {
        m.durationSec = seconds;
        EXPECT_EQ(m.frameCount(), frames) << seconds;
    }
}

TEST(Motion, LoadsAScriptAndKeepsItsFields)
{
    auto path = writeTemp("valid.json", validScript);
    Motion m = Motion::load(path);
    std::filesystem::remove(path);
    EXPECT_EQ(m.frameCount(), 119);
    EXPECT_EQ(m.fractalType, FractalType::burningship);
    EXPECT_EQ(m.colorPalette, Palette::void_);
    EXPECT_EQ(m.canvasPixels, (std::vector<std::int64_t>{1440, 880}));
    ASSERT_EQ(m.segments.size(), 2u);
    EXPECT_FALSE(m.segments[0].circleRadiusViews);
    EXPECT_EQ(m.segments[1].circleRadiusViews, 0.5);
    EXPECT_EQ(m.segments[1].rotationAmplitude, 0.3);
    // Encoding leaves out the absent optionals and reads back to the same script.
    Json::Value json = m;
    EXPECT_FALSE(json["segments"][0].contains("circleRadiusViews"));
    EXPECT_EQ(json.get<Motion>(), m);
}

TEST(Motion, RefusesBrokenScriptsWithTheirReason)
{
    Json::Value valid = Json::parse(validScript);
    struct Case {
        const char* name;
        std::function<void(Json::Value&)> change;
        const char* mentions;
    } cases[] = {
        {"no segments", [](Json::Value& j) { j["segments"] = Json::Value::array(); }, "segments"},
        {"to equal to from", [](Json::Value& j) { j["segments"][1]["to"] = 1; }, "\"to\""},
        {"to before from", [](Json::Value& j) { j["segments"][0]["to"] = -1; }, "\"to\""},
        {"zero zoom", [](Json::Value& j) { j["segments"][0]["zoomFrom"] = 0; }, "zoomFrom"},
        {"negative zoom", [](Json::Value& j) { j["segments"][1]["zoomTo"] = -5; }, "zoomTo"},
        {"infinite zoom", [](Json::Value& j) { j["segments"][1]["zoomTo"] = INFINITY; }, "zoomTo"},
        {"NaN zoom", [](Json::Value& j) { j["segments"][1]["zoomFrom"] = NAN; }, "zoomFrom"},
        {"negative duration", [](Json::Value& j) { j["durationSec"] = -1; }, "durationSec"},
        {"endless duration", [](Json::Value& j) { j["durationSec"] = 1e300; }, "durationSec"},
        {"missing key", [](Json::Value& j) { j.erase("centerY"); }, "centerY"},
        {"missing segment key", [](Json::Value& j) { j["segments"][0].erase("zoomTo"); }, "zoomTo"},
        {"unknown type", [](Json::Value& j) { j["fractalType"] = "Mandelbrot"; }, "Mandelbrot"},
        {"unknown palette", [](Json::Value& j) { j["colorPalette"] = "mauve"; }, "mauve"},
        {"fractional canvas",
         [](Json::Value& j) {
             j["canvasPixels"] = {1440.5, 880};
         },
         "canvasPixels"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Json::Value json = valid;
        c.change(json);
        try {
            json.get<Motion>();
            ADD_FAILURE() << "accepted";
        } catch (const Json::Error& error) {
            EXPECT_NE(std::string(error.what()).find(c.mentions), std::string::npos) << error.what();
        }
    }
    // A zoom written past the double range reads as infinity and is refused as well.
    std::string huge = validScript;
    huge.replace(huge.find("\"zoomTo\": 10}"), 13, "\"zoomTo\": 1e999}");
    auto path = writeTemp("huge.json", huge);
    EXPECT_THROW(Motion::load(path), Json::Error);
    std::filesystem::remove(path);
    // A script built in code without segments cannot be sampled.
    Motion empty;
    EXPECT_THROW(empty.at(0), Json::Error);
}

TEST(Motion, LoadPassesReadAndParseErrorsOn)
{
    EXPECT_THROW(Motion::load("/nonexistent/veltrane/motion.json"), std::filesystem::filesystem_error);
    auto path = writeTemp("malformed.json", "{\"centerX\": ");
    EXPECT_THROW(Motion::load(path), Json::Error);
    std::filesystem::remove(path);
}

TEST(BenchSummary, SegmentStatistics)
{
    Motion::Segment segment{0, 1, 1, 1, std::nullopt, std::nullopt};
    auto framesOf = [](std::vector<double> gpuMs, double scale = 1) {
        std::vector<BenchFrame> frames;
        for (size_t i = 0; i < gpuMs.size(); ++i) frames.push_back({double(i) / 1000, gpuMs[i], scale, false});
        return frames;
    };
    // p95 index floor(0.95 k) over the sorted times.
    struct P95 {
        int k, index;
    } p95Cases[] = {{1, 0}, {10, 9}, {20, 19}, {100, 95}};
    for (const P95& c : p95Cases) {
        std::vector<double> gpu;
        for (int i = c.k; i >= 1; --i) gpu.push_back(i); // descending, so sorting matters
        BenchSegment s = Bench::summarise(framesOf(gpu), segment);
        EXPECT_EQ(s.frames, c.k);
        EXPECT_EQ(s.p95GpuMs, c.index + 1) << c.k;
        EXPECT_EQ(s.worstGpuMs, c.k);
        EXPECT_DOUBLE_EQ(s.meanGpuMs, (c.k + 1) / 2.0);
    }
    // 17 ms spans two display intervals, 0.5 ms one: 2 frames over 3 intervals is 40 fps.
    BenchSegment s = Bench::summarise(framesOf({17, 0.5}, 0.7), segment);
    EXPECT_DOUBLE_EQ(s.meanFps, 40);
    EXPECT_DOUBLE_EQ(s.meanRenderScale, 0.7);
    EXPECT_DOUBLE_EQ(Bench::summarise(framesOf({16.6, 1000.0 / 60}), segment).meanFps, 60);

    // Frames belong to from <= t < to; a segment without frames reports zeros.
    std::vector<BenchFrame> frames = {{0.5, 4, 1, false}, {1.0, 8, 0.5, true}, {1.5, 9, 0.5, true}};
    auto summaries = Bench::summarise(frames, {{0, 1, 1, 1, {}, {}}, {1, 2, 1, 1, {}, {}}, {2, 3, 1, 1, {}, {}}});
    ASSERT_EQ(summaries.size(), 3u);
    EXPECT_EQ(summaries[0].frames, 1);
    EXPECT_EQ(summaries[1].frames, 2);
    EXPECT_EQ(summaries[1].meanRenderScale, 0.5);
    EXPECT_EQ(summaries[2], (BenchSegment{2, 3, 0, 0, 0, 0, 0, 0}));
}

TEST(BenchRecords, WrittenInTheirFixedKeyOrderAndReadWithEveryKey)
{
    Json::OrderedValue frame = BenchFrame{0.5, 12.25, 0.85, true};
    EXPECT_EQ(Json::write(frame), R"({"t":0.5,"gpuMs":12.25,"renderScale":0.85,"deep":true})");
    Json::OrderedValue segment = BenchSegment{0, 2.5, 150, 58.5, 9.5, 16, 40, 0.925};
    EXPECT_EQ(Json::write(segment),
              R"({"from":0,"to":2.5,"frames":150,"meanFps":58.5,"meanGpuMs":9.5,"p95GpuMs":16,"worstGpuMs":40,)"
              R"("meanRenderScale":0.925})");
    Json::OrderedValue flight = FlightFrame{1.5, 40, 3.5, 0.25, 1, false, 120};
    EXPECT_EQ(
        Json::write(flight),
        R"({"t":1.5,"log10Zoom":40,"gpuMs":3.5,"cpuMs":0.25,"renderScale":1,"referenceStale":false,"referenceMs":120})");

    EXPECT_EQ(Json::parse(Json::write(frame)).get<BenchFrame>(), (BenchFrame{0.5, 12.25, 0.85, true}));
    EXPECT_EQ(Json::parse(Json::write(segment)).get<BenchSegment>(),
              (BenchSegment{0, 2.5, 150, 58.5, 9.5, 16, 40, 0.925}));
    EXPECT_EQ(Json::parse(Json::write(flight)).get<FlightFrame>(), (FlightFrame{1.5, 40, 3.5, 0.25, 1, false, 120}));
    Json::Value missing = Json::parse(Json::write(flight));
    missing.erase("referenceMs");
    EXPECT_THROW(missing.get<FlightFrame>(), Json::Error);
    Json::Value wrongType = Json::parse(Json::write(frame));
    wrongType["deep"] = 1;
    EXPECT_THROW(wrongType.get<BenchFrame>(), Json::Error);
}

TEST(Motion, CanonicalScriptsLoad)
{
    int count = 0;
    for (const auto& entry :
         std::filesystem::directory_iterator(std::filesystem::path(VELTRANE_SOURCE_DIR) / "bench/motions")) {
        if (entry.path().extension() != ".json") continue;
        SCOPED_TRACE(entry.path().filename().string());
        Motion m = Motion::load(entry.path());
        EXPECT_GT(m.frameCount(), 0);
        EXPECT_EQ(m.segments.back().to, m.durationSec);
        ++count;
    }
    EXPECT_GE(count, 6);
}
