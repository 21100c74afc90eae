// Deep frames on a validating device: orbits and approximation tables are replaced while earlier
// frames that read them are still in flight (run under AddressSanitizer to check their lifetime).
#include <gtest/gtest.h>

#include <vector>

#include "FractalCore/BigFixed.h"
#include "FractalRender/FractalRenderer.h"

using namespace veltrane;

TEST(DeepFrames, OrbitsAndTablesReplacedWithFramesInFlight)
{
    auto device = GpuDevice::create({.validation = true});
    FractalRenderer renderer(device);
    renderer.synchronousReferences = true; // every frame gets its exact orbit: one new orbit per view
    auto target = device->makeImage({160, 90, GpuFormat::bgra8Unorm, gpuRenderTarget | gpuShaderRead, "target"});
    const BigComplex centre(*BigFixed::fromDecimal("-0.743643887037158704752191506114774", 3),
                            *BigFixed::fromDecimal("0.131825904205311970493132056385139", 3));
    std::vector<std::shared_ptr<GpuCommandBuffer>> inFlight;
    for (int frame = 0; frame < 12; ++frame) {
        const double zoom = frame % 2 ? 1e12 * (1 + frame) : 1e31 * (1 + frame); // both deep paths
        BigComplex c = centre.offset(1e-40 * frame, 0);
        Complex d = c.doubles();
        RenderView view(FractalType::mandelbrot, d.x, d.y, zoom, 0, 400 + 50 * frame, Complex{}, Palette::ember, 0, c);
        auto cb = device->makeCommandBuffer("deep frame");
        renderer.encodeFrame(view, AudioVisuals{}, PostSettings{}, frame / 60.0, target, *cb, frame / 60.0);
        cb->commit(); // not waited for: the next frame replaces the orbit and table this one reads
        inFlight.push_back(cb);
        EXPECT_TRUE(renderer.stats().deep);
        EXPECT_FALSE(renderer.stats().referenceStale);
    }
    for (auto& cb : inFlight) {
        cb->waitUntilCompleted();
        EXPECT_EQ(cb->status(), GpuCommandBuffer::Status::completed) << cb->errorText();
    }
    EXPECT_EQ(device->validationErrorCount(), 0)
        << (device->validationErrors().empty() ? "" : device->validationErrors()[0]);
}
