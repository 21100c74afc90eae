// What the renderer refuses to draw, and how each path says so: stills and diagnostics throw, a live
// frame is dropped and reported once.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "RendererFixture.h"

using namespace veltrane;
using veltrane::testing::RendererTest;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Each view breaks one rule; the text is part of what the error says.
struct FaultyView {
    const char* name;
    void (*spoil)(RenderView&);
    const char* text;
};
const FaultyView kFaultyViews[] = {
    {"zoom nan", [](RenderView& v) { v.zoom = kNaN; }, "zoom"},
    {"zoom inf", [](RenderView& v) { v.zoom = kInf; }, "zoom"},
    {"zoom 0", [](RenderView& v) { v.zoom = 0; }, "zoom"},
    {"zoom -1", [](RenderView& v) { v.zoom = -1; }, "zoom"},
    {"centre nan", [](RenderView& v) { v.centerY = kNaN; }, "centre"},
    {"rotation nan", [](RenderView& v) { v.rotation = kNaN; }, "rotation"},
    {"julia inf", [](RenderView& v) { v.juliaC.x = -kInf; }, "Julia"},
    {"shift nan", [](RenderView& v) { v.colourShift = kNaN; }, "colour shift"},
    {"iterations 0", [](RenderView& v) { v.maxIterations = 0; }, "iteration"},
    {"iterations -5", [](RenderView& v) { v.maxIterations = -5; }, "iteration"},
};

template <typename F>
void expectRefusal(F&& render, RendererError::Kind kind, const std::string& text)
{
    try {
        render();
        ADD_FAILURE() << "drawn";
    } catch (const RendererError& error) {
        EXPECT_EQ(error.kind, kind);
        EXPECT_NE(std::string(error.what()).find(text), std::string::npos) << error.what();
    }
}

} // namespace

TEST_F(RendererTest, ViewsBreakingTheViewRulesAreRefusedByEveryPath)
{
    makeTarget(32, 24);
    const RenderView good = homeView(FractalType::julia, 64);
    EXPECT_FALSE(good.fault());
    for (const FaultyView& f : kFaultyViews) {
        SCOPED_TRACE(f.name);
        RenderView view = good;
        f.spoil(view);
        ASSERT_TRUE(view.fault());
        expectRefusal([&] { renderer->renderStill(view, 32, 24); }, RendererError::Kind::view, f.text);
        expectRefusal([&] { renderer->renderStill(view, 32, 24, {}, {}, 0, 4); }, RendererError::Kind::view, f.text);
        expectRefusal([&] { renderer->renderDiagnostic(view, 32, 24); }, RendererError::Kind::view, f.text);
        auto cb = device->makeCommandBuffer("refused frame");
        renderer->encodeFrame(view, {}, {}, 0, target, *cb, 0);
        ASSERT_TRUE(renderer->droppedFrame());
        EXPECT_EQ(renderer->droppedFrame()->kind, RendererError::Kind::view);
        cb->commit();
        cb->waitUntilCompleted();
    }
    frame(good, 1);
    EXPECT_FALSE(renderer->droppedFrame());
}

TEST(RendererTextures, TexturesTheDeviceRefusesFailStillsAndDropLiveFramesReportedOnce)
{
    Resources::setRoot(std::filesystem::path(VELTRANE_SOURCE_DIR) / "resources");
    // 24 KiB in one allocation: a 64 x 64 target of 4 bytes a pixel is made, the renderer's 8-byte
    // textures of that size are not (the way a huge still fails on a device's real limit).
    auto device = GpuDevice::create({.validation = true, .preferCpu = true, .maxAllocationBytes = 24576});
    FractalRenderer renderer(device);
    const FractalTarget home = veltrane::home(FractalType::mandelbrot);
    const RenderView view(FractalType::mandelbrot, home.centerX, home.centerY, home.zoom, 0, 64, {}, Palette::obsidian);

    expectRefusal([&] { renderer.renderStill(view, 64, 64); }, RendererError::Kind::noDevice, "64 x 64");
    expectRefusal([&] { renderer.renderStill(view, 64, 64, {}, {}, 0, 4); }, RendererError::Kind::noDevice, "64 x 64");
    expectRefusal([&] { renderer.renderDiagnostic(view, 64, 64); }, RendererError::Kind::noDevice, "diagnostic");

    auto large = device->makeImage({64, 64, GpuFormat::bgra8Unorm, gpuShaderRead | gpuRenderTarget, "large"});
    auto small = device->makeImage({32, 32, GpuFormat::bgra8Unorm, gpuShaderRead | gpuRenderTarget, "small"});
    auto draw = [&](const std::shared_ptr<GpuImage>& target, double now) {
        auto cb = device->makeCommandBuffer("frame");
        renderer.encodeFrame(view, {}, {}, now, target, *cb, now);
        cb->commit();
        cb->waitUntilCompleted();
        EXPECT_EQ(cb->status(), GpuCommandBuffer::Status::completed);
    };
    ::testing::internal::CaptureStderr();
    for (int i = 0; i < 3; ++i) draw(large, i / 60.0);
    const std::string said = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(renderer.droppedFrame());
    EXPECT_EQ(renderer.droppedFrame()->kind, RendererError::Kind::noDevice);
    const std::string reason = renderer.droppedFrame()->what();
    EXPECT_EQ(said, "Frame dropped: " + reason + "\n"); // three frames dropped, said once

    draw(small, 0.1); // a size the device takes draws again
    EXPECT_FALSE(renderer.droppedFrame());
    Image still = renderer.renderStill(view, 32, 32);
    EXPECT_EQ(still.width, 32);
    for (const auto& message : device->validationErrors()) ADD_FAILURE() << "validation: " << message;
}
