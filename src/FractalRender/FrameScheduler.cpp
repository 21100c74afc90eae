#include "FractalRender/FrameScheduler.h"

#include <algorithm>

namespace veltrane {

void FrameScheduler::Timing::record(double ms, bool hadFractalWork, int tiles)
{
    gpuMs = ms;
    lastFrameHadFractal = hadFractalWork;
    if (!hadFractalWork) postMs += (ms - postMs) * postSmoothing;
    if (tiles > 0) {
        refineMs = std::max(ms - postMs, 0.0);
        refineTiles = tiles;
    }
}

FrameScheduler::TickResult FrameScheduler::tick(double now, bool moving, bool autoQuality, const Timing& timing)
{
    TickResult result;
    if (lastFrameTime > 0) {
        // A clock that steps back (or a renderer reused after a pause) must not poison the averages.
        const double dt = std::clamp((now - lastFrameTime) * 1000.0, 0.0, longestFrameMs);
        frameEma += (dt - frameEma) * frameSmoothing;
        fpsAccum += dt;
        fpsCount += 1;
        if (fpsAccum >= fpsWindowMs) {
            result.fps = 1000.0 / (fpsAccum / fpsCount);
            fpsAccum = 0;
            fpsCount = 0;
        }
    }
    lastFrameTime = now;

    gpuEma += (timing.gpuMs - gpuEma) * gpuSmoothing;

    if (timing.refineTiles >= 1 && timing.refineMs > shortestRefineMs) {
        const double target = std::clamp(refineBudgetMs / (timing.refineMs / double(timing.refineTiles)),
                                         minTilesPerFrame, maxTilesPerFrame);
        tilesPerFrame += (target - tilesPerFrame) * tileSmoothing;
    }

    if (!autoQuality) {
        if (scaleIndex != 0) {
            scaleIndex = 0;
            result.scaleChanged = true;
        }
        return result;
    }
    if (!moving) return result;
    const double load = frameEma > slowFrameMs ? std::max(gpuEma, frameEma) : gpuEma;
    if (load > overloadMs) {
        badFrames += 1;
        goodFrames = 0;
        if (badFrames >= overloadFrames && now - lastScaleChange > stepDownGapSeconds && scaleIndex < lastScaleIndex) {
            scaleIndex += 1;
            result.scaleChanged = true;
            lastScaleChange = now;
            badFrames = 0;
        }
        return result;
    }
    if (load < comfortableMs)
        goodFrames += 1;
    else
        goodFrames = 0;
    badFrames = 0;
    const bool stepUp = load < idleMs
                            ? (goodFrames >= quickStepUpFrames && now - lastScaleChange > quickStepUpGapSeconds)
                            : (goodFrames >= slowStepUpFrames && now - lastScaleChange > slowStepUpGapSeconds);
    if (stepUp && scaleIndex > 0) {
        scaleIndex -= 1;
        result.scaleChanged = true;
        lastScaleChange = now;
        goodFrames = 0;
    }
    return result;
}

} // namespace veltrane
