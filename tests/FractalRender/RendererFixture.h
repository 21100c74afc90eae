#pragma once
// A renderer on lavapipe with the validation layers (synchronization validation on); every test
// fails on any validation error.

#include <gtest/gtest.h>

#include "FractalRender/FractalRenderer.h"
#include "Platform/Resources/Resources.h"

namespace veltrane::testing {

class RendererTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { Resources::setRoot(std::filesystem::path(VELTRANE_SOURCE_DIR) / "resources"); }

    void SetUp() override
    {
        device = GpuDevice::create({.validation = true, .preferCpu = true});
        renderer = std::make_unique<FractalRenderer>(device);
    }

    void TearDown() override
    {
        renderer.reset();
        for (const auto& message : device->validationErrors()) ADD_FAILURE() << "validation: " << message;
    }

    // One frame, committed and waited for.
    void frame(const RenderView& view, double now, const PostSettings& post = {}, const AudioVisuals& audio = {})
    {
        auto cb = device->makeCommandBuffer("test frame");
        renderer->encodeFrame(view, audio, post, now, target, *cb, now);
        cb->commit();
        cb->waitUntilCompleted();
        ASSERT_EQ(cb->status(), GpuCommandBuffer::Status::completed);
    }

    void makeTarget(int width, int height, GpuFormat format = GpuFormat::bgra8Unorm)
    {
        target = device->makeImage({width, height, format, gpuShaderRead | gpuRenderTarget, "canvas"});
    }

    static RenderView homeView(FractalType type, int64_t iterations, Palette palette = Palette::obsidian)
    {
        FractalTarget home = veltrane::home(type);
        return RenderView(type, home.centerX, home.centerY, home.zoom, 0, iterations, Complex{-0.8, 0.156}, palette);
    }

    std::shared_ptr<GpuDevice> device;
    std::unique_ptr<FractalRenderer> renderer;
    std::shared_ptr<GpuImage> target;
};

} // namespace veltrane::testing
