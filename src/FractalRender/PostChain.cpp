// The post chain: glow at half and quarter size, then the composite into the caller's target.
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

void FractalRenderer::blur(GpuCommandBuffer& cb, const std::shared_ptr<GpuImage>& texture,
                           const std::shared_ptr<GpuImage>& scratch)
{
    BlurBlock horizontal = makeBlurBlock(texture->width(), texture->height(), true);
    drawFullscreen(cb, blurPipeline_, scratch, {texture}, &horizontal, sizeof horizontal);
    BlurBlock vertical = makeBlurBlock(texture->width(), texture->height(), false);
    drawFullscreen(cb, blurPipeline_, texture, {scratch}, &vertical, sizeof vertical);
}

void FractalRenderer::encodePost(GpuCommandBuffer& cb, const std::shared_ptr<GpuImage>& source,
                                 const AudioVisuals& audio, const PostSettings& post, double time,
                                 const std::shared_ptr<GpuImage>& target)
{
    if (!bloomA_ || !bloomA2_ || !bloomB_ || !bloomB2_) return;
    // Built first: a format that cannot be drawn into fails before any pass is recorded.
    auto composite = compositePipeline(target->format());

    BrightBlock first = makeBrightBlock(source->width(), source->height(), true);
    drawFullscreen(cb, brightPipeline_, bloomA_, {source}, &first, sizeof first);
    cb.mark("bright half");
    blur(cb, bloomA_, bloomA2_);
    cb.mark("blur half");
    BrightBlock second = makeBrightBlock(bloomA_->width(), bloomA_->height(), false);
    drawFullscreen(cb, brightPipeline_, bloomB_, {bloomA_}, &second, sizeof second);
    cb.mark("bright quarter");
    blur(cb, bloomB_, bloomB2_);
    blur(cb, bloomB_, bloomB2_);
    cb.mark("blur quarter");

    CompositeBlock block = makeCompositeBlock(target->width(), target->height(), target->format(), audio, post, time);
    drawFullscreen(cb, composite, target, {source, bloomA_, bloomB_}, &block, sizeof block);
    cb.mark("composite");
}

} // namespace veltrane
