// The post chain: glow at half and quarter size, then the composite into the caller's target.
//
// A glow is two compute passes, one along the rows (bright light and the horizontal blurs) and one
// along the columns (the vertical blurs): the sums of a bright pass and separate blur passes with
// clamped edges, without their round trips through textures and with every texel read once per
// line (Post.glsl).
#include "FractalRender/FractalRenderer.h"

namespace veltrane {

void FractalRenderer::drawFullscreen(GpuCommandBuffer& cb, const std::shared_ptr<GpuPipeline>& pipeline,
                                     const std::shared_ptr<GpuImage>& target,
                                     std::initializer_list<std::shared_ptr<GpuImage>> inputs, const void* bytes,
                                     uint32_t size)
{
    cb.beginRendering(target);
    cb.setRenderPipeline(pipeline);
    uint32_t binding = 0;
    for (const auto& input : inputs) cb.setImage(binding++, input);
    if (size > 0) cb.setBytes(bytes, size);
    cb.draw(3);
    cb.endRendering();
}

std::shared_ptr<GpuPipeline> FractalRenderer::compositePipeline(GpuFormat format)
{
    auto found = compositePipelines_.find(format);
    if (found != compositePipelines_.end()) return found->second;
    auto pipeline =
        device_->makeRenderPipeline({postLibrary_->function("fullscreenVertex"),
                                     postLibrary_->function("compositeFragment"),
                                     {GpuBinding::sampledImage, GpuBinding::sampledImage, GpuBinding::sampledImage},
                                     sizeof(CompositeBlock),
                                     format,
                                     "compositeFragment"});
    compositePipelines_[format] = pipeline;
    return pipeline;
}

void FractalRenderer::glowPass(GpuCommandBuffer& cb, const std::shared_ptr<GpuImage>& source, const BrightBlock& bright,
                               int passes, const std::shared_ptr<GpuImage>& glow,
                               const std::shared_ptr<GpuImage>& scratch)
{
    // Eight lines to a work group.
    cb.setComputePipeline(glowRowsPipelines_[size_t(passes - 1)]);
    cb.setBytes(&bright, sizeof bright);
    cb.setImage(0, source);
    cb.setImage(1, scratch);
    cb.dispatch(uint32_t((scratch->height() + 7) / 8), 1);
    cb.setComputePipeline(glowColumnsPipelines_[size_t(passes - 1)]);
    cb.setImage(0, scratch);
    cb.setImage(1, glow);
    cb.dispatch(uint32_t((glow->width() + 7) / 8), 1);
}

void FractalRenderer::encodePost(GpuCommandBuffer& cb, const std::shared_ptr<GpuImage>& source,
                                 const AudioVisuals& audio, const PostSettings& post, double time,
                                 const std::shared_ptr<GpuImage>& target)
{
    if (!bloomA_ || !bloomA2_ || !bloomB_ || !bloomB2_) return;
    // Built first: a format that cannot be drawn into fails before any pass is recorded.
    auto composite = compositePipeline(target->format());

    glowPass(cb, source, makeBrightBlock(source->width(), source->height(), true), 1, bloomA_, bloomA2_);
    cb.mark("glow half");
    // From the half-size glow; blurred twice as often.
    glowPass(cb, bloomA_, makeBrightBlock(bloomA_->width(), bloomA_->height(), false), 2, bloomB_, bloomB2_);
    cb.mark("glow quarter");

    CompositeBlock block = makeCompositeBlock(target->width(), target->height(), target->format(), audio, post, time);
    drawFullscreen(cb, composite, target, {source, bloomA_, bloomB_}, &block, sizeof block);
    cb.mark("composite");
}

} // namespace veltrane
