// The progressive frame loop: low-resolution passes while the view moves, tiled refinement at full
// resolution once it stands still, then jittered samples, and the post chain every frame.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "FractalRender/FractalRenderer.h"

namespace veltrane {

void FractalRenderer::buildTiles()
{
    std::vector<std::pair<int, int>> tiles;
    for (int y = 0; y < height_; y += tileSide)
        for (int x = 0; x < width_; x += tileSide) tiles.emplace_back(x, y);
    double cx = width_ / 2.0, cy = height_ / 2.0;
    auto distance = [&](const std::pair<int, int>& t) {
        return std::hypot(t.first + tileSide / 2.0 - cx, t.second + tileSide / 2.0 - cy);
    };
    std::stable_sort(tiles.begin(), tiles.end(),
                     [&](const auto& a, const auto& b) { return distance(a) < distance(b); });
    tiles_ = std::move(tiles);
    nextTile_ = 0;
}

void FractalRenderer::tick(double now, bool moving, bool autoQuality)
{
    const FrameScheduler::TickResult result = scheduler_.tick(now, moving, autoQuality, timing_->load());
    if (result.fps) stats_.fps = *result.fps;
    stats_.gpuMs = scheduler_.gpuEma;
    if (result.scaleChanged) allocLow();
}

void FractalRenderer::bindFractal(GpuCommandBuffer& cb, const RenderView& view, const FractalUniforms& u, bool precise)
{
    cb.setComputePipeline(fractalPipeline(view.type, precise));
    if (view.type == FractalType::newton) return;
    // Reference points, scaled points, table entries and levels, point pairs and run starts: the
    // perturbation paths' inputs.
    bool orbit = u.mode != 0 && reference_ && reference_->buffer && reference_->scaledBuffer && reference_->pairBuffer;
    bool table = orbit && u.blaLevels >= 1 && passTable_;
    cb.setBuffer(1, orbit ? reference_->buffer : emptyRef_);
    cb.setBuffer(2, orbit ? reference_->scaledBuffer : emptyRef_);
    cb.setBuffer(3, table ? passTable_->buffer : emptyRef_);
    cb.setBuffer(4, table ? passTable_->levelBuffer : emptyRef_);
    cb.setBuffer(5, orbit ? reference_->pairBuffer : emptyRef_);
    cb.setBuffer(6, table ? passTable_->startBuffer : emptyRef_);
}

void FractalRenderer::dispatchRegion(GpuCommandBuffer& cb, const RenderView& view,
                                     const std::shared_ptr<GpuImage>& target, FractalUniforms u, int x, int y, int w,
                                     int h, bool precise)
{
    u.tileOrigin[0] = uint32_t(x);
    u.tileOrigin[1] = uint32_t(y);
    u.tileSize[0] = uint32_t(w);
    u.tileSize[1] = uint32_t(h);
    bindFractal(cb, view, u, precise);
    cb.setBytes(&u, sizeof u);
    cb.setImage(0, target);
    cb.dispatch(uint32_t((w + 7) / 8), uint32_t((h + 7) / 8));
}

void FractalRenderer::encodeTiles(GpuCommandBuffer& cb, const RenderView& view, const std::shared_ptr<GpuImage>& target,
                                  bool deep, Complex juliaOffset, std::array<float, 2> jitter, int budget, int& encoded)
{
    FractalUniforms u = uniforms(view, *target, deep, juliaOffset, jitter);
    for (int i = 0; i < budget && nextTile_ < int(tiles_.size()); ++i) {
        auto [x, y] = tiles_[size_t(nextTile_)];
        dispatchRegion(cb, view, target, u, x, y, std::min(width_ - x, tileSide), std::min(height_ - y, tileSide));
        ++nextTile_;
        ++encoded;
    }
}

void FractalRenderer::encodeFrame(const RenderView& view, const AudioVisuals& audio, const PostSettings& post,
                                  double time, const std::shared_ptr<GpuImage>& target, GpuCommandBuffer& cb,
                                  double now)
{
    prefetchPipeline(view.type); // made while textures and the reference orbit are prepared
    if (auto refused = refusal(view, *target)) {
        // Said once: a window too large for the device would otherwise repeat it every frame.
        if (!droppedFrame_ || std::string_view(droppedFrame_->what()) != refused->what())
            std::fprintf(stderr, "Frame dropped: %s\n", refused->what());
        droppedFrame_ = std::move(refused);
        return;
    }
    droppedFrame_.reset();

    bool deep = view.type != FractalType::newton && view.zoom > deepZoomThreshold;
    Complex juliaOffset = audioJuliaOffset(view, audio, deep);

    std::string key = geometryKey(view, juliaOffset);
    bool moving = key != geometryKey_;
    if (moving) {
        geometryKey_ = key;
        highValid_ = false;
        staticFrames_ = 0;
        sampleCount_ = 0;
        tiles_.clear();
    } else {
        staticFrames_ += 1;
    }

    tick(now, moving, post.autoQuality);

    bool stale = false;
    if (deep) {
        bool wait = synchronousReferences || (!moving && FrameScheduler::waitsForReference(staticFrames_));
        prepareReference(view, wait);
        stale = stats_.referenceStale;
    }
    cb.mark("setup");

    bool hadWork = false;
    int tileCount = 0;
    int budget = scheduler_.tileBudget();

    auto lowPass = [&] {
        if (!sceneLow_) return;
        // At full scale with the exact orbit the low image is already final: it is drawn straight into
        // the full-resolution texture, which the frame then shows, instead of being drawn and copied
        // there. The low texture keeps an older picture, which nothing reads before the next low pass
        // (the view is refined only from a low image that is not final).
        const bool final = scheduler_.scaleIndex == 0 && !stale && sceneHigh_ &&
                           sceneHigh_->width() == sceneLow_->width() && sceneHigh_->height() == sceneLow_->height();
        const std::shared_ptr<GpuImage>& into = final ? sceneHigh_ : sceneLow_;
        FractalUniforms u = uniforms(view, *into, deep, juliaOffset, {0, 0});
        dispatchRegion(cb, view, into, u, 0, 0, into->width(), into->height());
        cb.mark("fractal");
        lowKey_ = key;
        lowUsedStandIn_ = stale;
        if (final) highValid_ = true;
        hadWork = true;
    };

    auto samplePass = [&] {
        if (!post.supersample || !FrameScheduler::samples(sampleCount_, staticFrames_) || !sceneHigh_ || !sampleTex_ ||
            !accum_)
            return;
        if (sampleCount_ == 0) {
            cb.copyImage(sceneHigh_, accum_);
            cb.mark("copy");
            sampleCount_ = 1;
        }
        if (tiles_.empty()) buildTiles();
        encodeTiles(cb, view, sampleTex_, deep, juliaOffset, sampleJitter()[size_t(sampleCount_ % 16)], budget,
                    tileCount);
        cb.mark("fractal");
        if (nextTile_ >= int(tiles_.size())) {
            sampleCount_ += 1;
            cb.setComputePipeline(accumulatePipeline());
            float weight = 1.0f / float(sampleCount_);
            cb.setBytes(&weight, sizeof weight);
            cb.setImage(0, sampleTex_);
            cb.setImage(1, accum_);
            cb.dispatch(uint32_t((width_ + 7) / 8), uint32_t((height_ + 7) / 8));
            cb.mark("accumulate");
            tiles_.clear();
        }
        hadWork = true;
    };

    if (moving || lowKey_ != key || (lowUsedStandIn_ && !stale)) {
        lowPass();
    } else if (lowUsedStandIn_) {
        if (highValid_) samplePass();
    } else if (!highValid_ && !stale && FrameScheduler::refines(staticFrames_) && sceneHigh_ && sceneLow_) {
        if (tiles_.empty()) {
            buildTiles();
            // Refinement starts from the upscaled low image.
            drawFullscreen(cb, copyPipeline_, sceneHigh_, {sceneLow_}, nullptr, 0);
            cb.mark("upscale");
        }
        encodeTiles(cb, view, sceneHigh_, deep, juliaOffset, {0, 0}, budget, tileCount);
        cb.mark("fractal");
        if (nextTile_ >= int(tiles_.size())) {
            highValid_ = true;
            tiles_.clear();
        }
        hadWork = true;
    } else if (highValid_) {
        samplePass();
    }

    std::shared_ptr<GpuImage> source;
    if (sampleCount_ >= 2 && accum_)
        source = accum_;
    else if (sceneHigh_ && !lowUsedStandIn_ && (highValid_ || !tiles_.empty()))
        source = sceneHigh_;
    else
        source = sceneLow_;

    if (source) encodePost(cb, source, audio, post, time, target);

    stats_.deep = deep;
    stats_.samples = sampleCount_;
    stats_.referenceLength = deep ? refLength() : 0;
    stats_.renderScale = (highValid_ || sampleCount_ > 0) ? 1.0 : scheduler_.renderScale();
    if (sampleCount_ >= 2)
        stats_.tier = RenderStats::Tier::supersampled;
    else if (!highValid_)
        stats_.tier = tiles_.empty() ? RenderStats::Tier::motion : RenderStats::Tier::refining;
    else
        stats_.tier = RenderStats::Tier::full;
    if (!tiles_.empty())
        stats_.refineProgress = double(nextTile_) / double(tiles_.size());
    else
        stats_.refineProgress = highValid_ ? 1.0 : 0.0;

    auto box = timing_;
    std::optional<double> injected = injectedGpuMs_;
    cb.addCompletedHandler([box, hadWork, tileCount, injected](GpuCommandBuffer& done) {
        double ms = injected ? *injected : (done.gpuEndTime() - done.gpuStartTime()) * 1000.0;
        if (!(ms > 0)) return;
        box->update([&](Timing& t) { t.record(ms, hadWork, tileCount); });
    });
}

} // namespace veltrane
