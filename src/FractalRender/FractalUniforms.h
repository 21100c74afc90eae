#pragma once
// The fixed binary blocks handed to the shaders as push constants, and the pure functions that fill
// them. Little-endian, every field 4-byte aligned; the layouts are shared with resources/Shaders.

#include <array>
#include <cstddef>
#include <cstdint>

#include "FractalCore/ScaledComplex.h"
#include "FractalRender/RenderTypes.h"
#include "Platform/Gpu/Gpu.h"

namespace veltrane {

struct FractalUniforms {
    float resolution[2]; // target texture, pixels
    std::uint32_t tileOrigin[2];
    std::uint32_t tileSize[2];
    float centre[2];
    float jitter[2]; // pixels
    float zoom;      // mode 2: the significand, zoom * 2^-E in [1, 2)
    float rotation;
    float pixelScale;    // 2.5 / (zoom field * min(width, height))
    float typeParameter; // 3 for newton, 2.5 otherwise
    std::int32_t maxIterations;
    std::int32_t palette;
    std::int32_t mode; // 0 direct, 1 perturbation, 2 rescaled
    std::int32_t referenceLength;
    float juliaC[2];
    float juliaOffset[2];
    float deltaOffset[2];
    std::int32_t diagnostic;
    std::int32_t scaleExponent; // mode 2: -E
    std::int32_t blaLevels;
    float colourShift; // fractional part
};
static_assert(sizeof(FractalUniforms) == 112);
static_assert(offsetof(FractalUniforms, tileOrigin) == 8);
static_assert(offsetof(FractalUniforms, tileSize) == 16);
static_assert(offsetof(FractalUniforms, centre) == 24);
static_assert(offsetof(FractalUniforms, jitter) == 32);
static_assert(offsetof(FractalUniforms, zoom) == 40);
static_assert(offsetof(FractalUniforms, rotation) == 44);
static_assert(offsetof(FractalUniforms, pixelScale) == 48);
static_assert(offsetof(FractalUniforms, typeParameter) == 52);
static_assert(offsetof(FractalUniforms, maxIterations) == 56);
static_assert(offsetof(FractalUniforms, palette) == 60);
static_assert(offsetof(FractalUniforms, mode) == 64);
static_assert(offsetof(FractalUniforms, referenceLength) == 68);
static_assert(offsetof(FractalUniforms, juliaC) == 72);
static_assert(offsetof(FractalUniforms, juliaOffset) == 80);
static_assert(offsetof(FractalUniforms, deltaOffset) == 88);
static_assert(offsetof(FractalUniforms, diagnostic) == 96);
static_assert(offsetof(FractalUniforms, scaleExponent) == 100);
static_assert(offsetof(FractalUniforms, blaLevels) == 104);
static_assert(offsetof(FractalUniforms, colourShift) == 108);

// The formulas of the fractal kernel (its specialisation constant 0): FractalType's order without
// newton, which has a kernel of its own. Fractal.glsl names the numbers (kMandelbrot to kMultibrot4);
// a test reads it to check that they agree, as do its palette numbers with shaderIndex(Palette).
inline constexpr std::size_t formulaCount = allCases<FractalType>.size() - 1;

// The fractal kernel's number for a formula; -1 for newton.
constexpr int formulaIndex(FractalType type) noexcept
{
    if (type == FractalType::newton) return -1;
    int index = caseIndex(type);
    return index > caseIndex(FractalType::newton) ? index - 1 : index;
}

// What the uniform block takes from the renderer's reference state besides the view.
struct ReferenceInputs {
    bool forceExtremePath = false;
    std::int64_t referenceLength = 1; // 1 without a reference
    std::array<float, 2> deltaOffset{0, 0};
    ScaledComplex deltaOffsetScaled;
    std::int32_t blaLevels = 0; // levels of the approximation table, mode 2 only
};

// The block for one pass over a target of width x height. tileOrigin, tileSize and diagnostic are
// left zero for the caller.
FractalUniforms makeUniforms(const RenderView& view, int width, int height, bool deep, Complex juliaOffset,
                             std::array<float, 2> jitter, const ReferenceInputs& reference);

// The audio's Julia offset as the shader gets it: only for julia views that are not deep, each
// component moved in steps of 1/400 (halves away from zero), so that small wobbles of the analysis
// do not restart refinement every frame.
Complex audioJuliaOffset(const RenderView& view, const AudioVisuals& audio, bool deep);

// Mode of a pass: 0 direct, 1 perturbation, 2 rescaled.
std::int32_t uniformMode(const RenderView& view, bool deep, bool forceExtremePath);

struct BrightBlock {
    float texel[2];
    float threshold;
    float knee;
};
static_assert(sizeof(BrightBlock) == 16);

struct BlurBlock {
    float step[2];
};
static_assert(sizeof(BlurBlock) == 8);

struct CompositeBlock {
    float size[2];
    float time;
    float bloomGain;
    float audioTerm;
    float vignette;
    float grain;
    float exposure;
    float amplitude;
    float bass;
    float transientPulse;
    float drift;
    float headroom;
    std::uint32_t extendedRange;
};
static_assert(sizeof(CompositeBlock) == 56);
static_assert(offsetof(CompositeBlock, bloomGain) == 12);
static_assert(offsetof(CompositeBlock, audioTerm) == 16);
static_assert(offsetof(CompositeBlock, exposure) == 28);
static_assert(offsetof(CompositeBlock, drift) == 44);
static_assert(offsetof(CompositeBlock, headroom) == 48);
static_assert(offsetof(CompositeBlock, extendedRange) == 52);

// First pass (from the scene): threshold 0.6, knee 0.35; second (half to quarter size): 0, 0.01.
BrightBlock makeBrightBlock(int inputWidth, int inputHeight, bool firstPass);
BlurBlock makeBlurBlock(int width, int height, bool horizontal);
CompositeBlock makeCompositeBlock(int targetWidth, int targetHeight, GpuFormat targetFormat, const AudioVisuals& audio,
                                  const PostSettings& post, double time);

} // namespace veltrane
