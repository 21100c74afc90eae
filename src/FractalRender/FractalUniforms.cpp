#include "FractalRender/FractalUniforms.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "FractalCore/BigFixed.h"

namespace veltrane {

namespace {

constexpr double kExtremeZoomThreshold = 1e30; // above it deep passes use the rescaled mode

} // namespace

BigComplex RenderView::exactCentre() const
{
    int limbs = BigFixed::limbsForZoom(zoom, 64);
    if (deepCentre) return deepCentre->fracLimbs() < limbs ? deepCentre->withFracLimbs(limbs) : *deepCentre;
    return BigComplex(centerX, centerY, limbs);
}

std::optional<std::string> RenderView::fault() const
{
    if (!std::isfinite(centerX) || !std::isfinite(centerY)) return "the centre is not finite";
    if (!(zoom > 0) || !std::isfinite(zoom)) return "the zoom must be a finite number above 0";
    if (!std::isfinite(rotation)) return "the rotation is not finite";
    if (!std::isfinite(juliaC.x) || !std::isfinite(juliaC.y)) return "the Julia constant is not finite";
    if (!std::isfinite(colourShift)) return "the colour shift is not finite";
    if (maxIterations < 1) return "the iteration limit must be 1 or more";
    return std::nullopt;
}

Complex audioJuliaOffset(const RenderView& view, const AudioVisuals& audio, bool deep)
{
    if (view.type != FractalType::julia || deep) return {};
    return {double(std::lround(audio.juliaCOffset.x * 400)) / 400,
            double(std::lround(audio.juliaCOffset.y * 400)) / 400};
}

std::int32_t uniformMode(const RenderView& view, bool deep, bool forceExtremePath)
{
    if (!deep) return 0;
    return (view.zoom > kExtremeZoomThreshold || forceExtremePath) ? 2 : 1;
}

FractalUniforms makeUniforms(const RenderView& view, int width, int height, bool deep, Complex juliaOffset,
                             std::array<float, 2> jitter, const ReferenceInputs& reference)
{
    FractalUniforms u{};
    u.resolution[0] = float(width);
    u.resolution[1] = float(height);
    u.centre[0] = float(view.centerX);
    u.centre[1] = float(view.centerY);
    u.jitter[0] = jitter[0];
    u.jitter[1] = jitter[1];
    u.mode = uniformMode(view, deep, reference.forceExtremePath);

    // E: the largest integer with 2^E <= zoom. frexp gives zoom = m * 2^k with m in [0.5, 1).
    double zoomField = view.zoom;
    int exponentE = 0;
    if (u.mode == 2) {
        int k = 0;
        double m = std::frexp(view.zoom, &k);
        exponentE = k - 1;
        zoomField = m * 2.0;
    }
    u.zoom = float(zoomField);
    u.rotation = float(view.rotation);
    u.pixelScale = float(2.5 / (zoomField * double(std::min(width, height))));
    u.typeParameter = view.type == FractalType::newton ? 3.0f : 2.5f;
    u.maxIterations =
        std::int32_t(std::clamp<std::int64_t>(view.maxIterations, 1, std::numeric_limits<std::int32_t>::max()));
    u.palette = shaderIndex(view.palette);
    u.referenceLength =
        std::int32_t(std::clamp<std::int64_t>(reference.referenceLength, 1, std::numeric_limits<std::int32_t>::max()));
    u.juliaC[0] = float(view.juliaC.x);
    u.juliaC[1] = float(view.juliaC.y);
    u.juliaOffset[0] = float(juliaOffset.x);
    u.juliaOffset[1] = float(juliaOffset.y);
    if (u.mode == 1) {
        u.deltaOffset[0] = reference.deltaOffset[0];
        u.deltaOffset[1] = reference.deltaOffset[1];
    } else if (u.mode == 2) {
        // Mantissas times 2^(e + E): the offset in units of 2^-E, where the shader works.
        Complex m = reference.deltaOffsetScaled.mantissas(-std::int64_t(exponentE));
        u.deltaOffset[0] = float(m.x);
        u.deltaOffset[1] = float(m.y);
        u.scaleExponent = -exponentE;
        u.blaLevels = reference.blaLevels;
    }
    u.colourShift = float(view.colourShift - std::floor(view.colourShift));
    return u;
}

BrightBlock makeBrightBlock(int inputWidth, int inputHeight, bool firstPass)
{
    BrightBlock b{};
    b.texel[0] = 1.0f / float(inputWidth);
    b.texel[1] = 1.0f / float(inputHeight);
    b.threshold = firstPass ? 0.6f : 0.0f;
    b.knee = firstPass ? 0.35f : 0.01f;
    return b;
}

BlurBlock makeBlurBlock(int width, int height, bool horizontal)
{
    BlurBlock b{};
    b.step[0] = horizontal ? 1.0f / float(width) : 0.0f;
    b.step[1] = horizontal ? 0.0f : 1.0f / float(height);
    return b;
}

CompositeBlock makeCompositeBlock(int targetWidth, int targetHeight, GpuFormat targetFormat, const AudioVisuals& a,
                                  const PostSettings& p, double t)
{
    CompositeBlock c{};
    c.size[0] = float(targetWidth);
    c.size[1] = float(targetHeight);
    c.time = float(t);
    c.bloomGain = float(p.bloom * (0.55 + 0.7 * a.bass + 0.8 * a.transientPulse));
    c.audioTerm = float(0.0005 + 0.012 * a.transientPulse + 0.0015 * a.treble);
    c.vignette = float(p.vignette);
    c.grain = float(p.grain * 0.022);
    c.exposure = 1.0f;
    c.amplitude = float(a.amplitude);
    c.bass = float(a.bass);
    c.transientPulse = float(a.transientPulse);
    c.drift = float(0.1 * std::sin(0.21 * t) + 0.18 * a.mid + a.dominantFrequency / 6000.0);
    // The linear headroom through the sRGB encoding curve, never below 1.
    c.headroom = float(1.055 * std::pow(std::max(p.headroom, 1.0), 1.0 / 2.4) - 0.055);
    c.extendedRange = targetFormat == GpuFormat::rgba16Float ? 1u : 0u;
    return c;
}

} // namespace veltrane
