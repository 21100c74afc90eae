// Off-screen renders that wait for the GPU: stills, supersampled stills, linear stills and
// diagnostic escape data.
#include <cmath>
#include <cstring>
#include <filesystem>

#include "FractalRender/FractalRenderer.h"

namespace veltrane {

namespace {

// What a still reports when the exact reference orbit of its deep view cannot be built.
const char* const kNoReference = "Reference orbit";

float halfToFloat(uint16_t h)
{
    int exponent = (h >> 10) & 31, mantissa = h & 1023;
    float value;
    if (exponent == 0)
        value = std::ldexp(float(mantissa), -24);
    else if (exponent == 31)
        value = mantissa ? NAN : INFINITY;
    else
        value = std::ldexp(float(mantissa | 1024), exponent - 25);
    return (h & 0x8000) ? -value : value;
}

std::vector<float> halfsToFloats(const std::vector<uint8_t>& bytes)
{
    std::vector<float> out(bytes.size() / 2);
    for (size_t i = 0; i < out.size(); ++i) {
        uint16_t h;
        std::memcpy(&h, bytes.data() + i * 2, 2);
        out[i] = halfToFloat(h);
    }
    return out;
}

constexpr int kMaxStillFrames = 20000;

} // namespace

std::shared_ptr<GpuImage> FractalRenderer::stillTarget(int width, int height, GpuFormat format)
{
    // Movies render thousands of stills of one size: the target is kept between them.
    if (stillTarget_ && stillTarget_->width() == width && stillTarget_->height() == height &&
        stillTarget_->format() == format)
        return stillTarget_;
    try {
        stillTarget_ = device_->makeImage({width, height, format, gpuShaderRead | gpuRenderTarget, "still"});
    } catch (const GpuError& error) {
        stillTarget_.reset();
        throw RendererError::texture(error.what());
    }
    return stillTarget_;
}

std::vector<uint8_t> FractalRenderer::runUntilFinished(const RenderView& view, const PostSettings& post,
                                                       const AudioVisuals& audio, double time,
                                                       const std::shared_ptr<GpuImage>& target)
{
    reset();
    // A frame the renderer would drop leaves a picture that only looks finished.
    if (auto refused = refusal(view, *target)) throw *refused;
    synchronousReferences = true;
    PostSettings settings = post;
    settings.supersample = false;
    settings.autoQuality = false;
    size_t bytes = size_t(target->width()) * size_t(target->height()) * target->bytesPerPixel();
    try {
        for (int frame = 0; frame < kMaxStillFrames; ++frame) {
            auto cb = device_->makeCommandBuffer("still frame");
            encodeFrame(view, audio, settings, time, target, *cb, frame / 60.0);
            if (droppedFrame_) throw *droppedFrame_;
            // A still is drawn against the exact orbit or not at all: a stand-in would pass for finished.
            if (stats_.deep && stats_.referenceStale) throw RendererError::pipeline(kNoReference);
            bool final = stats_.tier == RenderStats::Tier::full || stats_.tier == RenderStats::Tier::supersampled;
            // The last frame copies the picture out in the same submission.
            if (final || frame + 1 == kMaxStillFrames) {
                if (!readBack_ || readBack_->size() != bytes) readBack_ = device_->makeBuffer(bytes, "still read-back");
                cb->copyImageToBuffer(target, readBack_);
            }
            cb->commit();
            cb->waitUntilCompleted();
            if (cb->status() != GpuCommandBuffer::Status::completed) throw RendererError::pipeline(cb->errorText());
            if (final) break;
        }
    } catch (...) {
        synchronousReferences = false;
        throw;
    }
    synchronousReferences = false;
    const auto* data = static_cast<const uint8_t*>(readBack_->contents());
    return std::vector<uint8_t>(data, data + bytes);
}

Image FractalRenderer::renderStill(const RenderView& view, int width, int height, const PostSettings& post,
                                   const AudioVisuals& audio, double time, int samples)
{
    if (auto fault = view.fault()) throw RendererError::view(*fault);
    auto target = stillTarget(width, height, GpuFormat::bgra8Unorm);
    if (samples < 2) {
        Image image;
        image.width = width;
        image.height = height;
        image.bgrx = runUntilFinished(view, post, audio, time, target);
        return image;
    } else {
        PostSettings settings = post;
        settings.supersample = true;
        settings.autoQuality = false;
        encodeAveraged(view, samples, audio, settings, time, target);
    }
    return cgImage(*device_, target);
}

std::vector<float> FractalRenderer::renderStillLinear(const RenderView& view, int width, int height,
                                                      const PostSettings& post, double time)
{
    if (auto fault = view.fault()) throw RendererError::view(*fault);
    auto target = stillTarget(width, height, GpuFormat::rgba16Float);
    return halfsToFloats(runUntilFinished(view, post, AudioVisuals{}, time, target));
}

void FractalRenderer::encodeAveraged(const RenderView& view, int samples, const AudioVisuals& audio,
                                     const PostSettings& post, double time, const std::shared_ptr<GpuImage>& target)
{
    prefetchPipeline(view.type);
    reset();
    if (auto refused = refusal(view, *target)) throw *refused;
    bool deep = view.type != FractalType::newton && view.zoom > deepZoomThreshold;
    if (deep) {
        prepareReference(view, true);
        if (stats_.referenceStale) throw RendererError::pipeline(kNoReference);
    }
    Complex juliaOffset = audioJuliaOffset(view, audio, deep);

    int n = std::clamp(samples, 1, maxSamples);
    for (int i = 0; i < n; ++i) {
        auto cb = device_->makeCommandBuffer("averaged sample");
        const auto& texture = i == 0 ? accum_ : sampleTex_;
        std::array<float, 2> jitter = samples > 1 ? filmJitter()[size_t(i)] : std::array<float, 2>{0, 0};
        FractalUniforms u = uniforms(view, *texture, deep, juliaOffset, jitter);
        for (int y = 0; y < height_; y += tileSide)
            for (int x = 0; x < width_; x += tileSide)
                dispatchRegion(*cb, view, texture, u, x, y, std::min(width_ - x, tileSide),
                               std::min(height_ - y, tileSide));
        if (i >= 1) {
            cb->setComputePipeline(accumulatePipeline());
            float weight = 1.0f / float(i + 1);
            cb->setBytes(&weight, sizeof weight);
            cb->setImage(0, sampleTex_);
            cb->setImage(1, accum_);
            cb->dispatch(uint32_t((width_ + 7) / 8), uint32_t((height_ + 7) / 8));
        }
        cb->commit(); // the queue keeps them in order; only the post chain is waited for
    }
    auto cb = device_->makeCommandBuffer("averaged post");
    encodePost(*cb, accum_, audio, post, time, target);
    cb->commit();
    cb->waitUntilCompleted();
    if (cb->status() != GpuCommandBuffer::Status::completed) throw RendererError::pipeline(cb->errorText());
    stats_.deep = deep;
    stats_.samples = n;
    reset();
}

FractalRenderer::Diagnostic FractalRenderer::renderDiagnostic(const RenderView& view, int width, int height,
                                                              const std::optional<BigComplex>& standIn)
{
    if (auto fault = view.fault()) throw RendererError::view(*fault);
    std::shared_ptr<GpuImage> target;
    try {
        target = device_->makeImage({width, height, GpuFormat::rgba16Float, gpuShaderWrite, "diagnostic"});
    } catch (const GpuError& error) {
        throw RendererError::texture(error.what());
    }
    bool deep = view.type != FractalType::newton && view.zoom > deepZoomThreshold;
    if (deep && standIn) {
        // The view is computed against an orbit that starts elsewhere (glitch and flight checks).
        BigComplex centre = view.exactCentre();
        reference_ = references_->buildNow(view.type, *standIn, view.juliaC, view.maxIterations + 2);
        deltaOffset_ = {0, 0};
        deltaOffsetScaled_ = ScaledComplex::zero();
        if (reference_) {
            Complex d = standIn->difference(centre);
            deltaOffset_ = {float(d.x), float(d.y)};
            deltaOffsetScaled_ = standIn->scaledDifference(centre);
        }
    } else if (deep) {
        prepareReference(view, true);
    }

    auto cb = device_->makeCommandBuffer("diagnostic");
    FractalUniforms u = uniforms(view, *target, deep, Complex{}, {0, 0});
    u.diagnostic = 1;
    for (int y = 0; y < height; y += tileSide)
        for (int x = 0; x < width; x += tileSide)
            dispatchRegion(*cb, view, target, u, x, y, std::min(width - x, tileSide), std::min(height - y, tileSide),
                           !singlePrecisionDiagnostics);
    cb->commit();
    cb->waitUntilCompleted();
    if (cb->status() != GpuCommandBuffer::Status::completed) throw RendererError::pipeline(cb->errorText());

    std::vector<float> texels = halfsToFloats(device_->readImage(target));
    Diagnostic result;
    size_t count = size_t(width) * size_t(height);
    result.escaped.resize(count);
    result.mu.resize(count);
    for (size_t i = 0; i < count; ++i) {
        result.escaped[i] = texels[i * 4] > 0.5f;
        result.mu[i] =
            ((double(texels[i * 4 + 3]) + double(texels[i * 4 + 1])) * 64.0 + double(texels[i * 4 + 2])) * 64.0;
    }
    return result;
}

Image FractalRenderer::cgImage(GpuDevice& device, const std::shared_ptr<GpuImage>& texture)
{
    if (texture->format() != GpuFormat::bgra8Unorm) throw RendererError::pipeline("CGImage");
    Image image;
    image.width = texture->width();
    image.height = texture->height();
    try {
        image.bgrx = device.readImage(texture);
    } catch (const GpuError&) {
        throw RendererError::pipeline("CGImage");
    }
    return image;
}

void FractalRenderer::writePNG(const Image& image, const std::filesystem::path& path)
{
    if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path());
    try {
        veltrane::writePNG(image, path);
    } catch (const PngError& error) {
        throw RendererError::pipeline(error.what());
    }
}

} // namespace veltrane
