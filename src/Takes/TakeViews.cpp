#include "Takes/TakeRenderer.h"

#include <algorithm>
#include <cmath>

namespace veltrane::TakeRenderer {

namespace {

constexpr int kGuardBits = 64;
constexpr double kDeepZoom = 1e11; // past this zoom the renderer needs the exact centre

} // namespace

std::pair<RenderView, PostSettings> view(std::int64_t at, const Take& in)
{
    const auto held = in.heldView(at);
    if (!held)
        return {RenderView(FractalType::mandelbrot, -0.5, 0, 1, 0, 128, Complex{-0.7, 0.27015}, Palette::obsidian),
                PostSettings{.bloom = 0.7, .grain = 0.5}};

    const Take::View& v0 = in.views[*held];
    BigComplex centre = v0.centre();
    double zoom = v0.zoom;
    double rotation = v0.rotation;
    double colour = v0.colour.value_or(0);
    if (*held + 1 < in.views.size()) {
        const Take::View& v1 = in.views[*held + 1];
        // In doubles: frames far apart cannot overflow.
        const double k = (double(at) - double(v0.frame)) / (double(v1.frame) - double(v0.frame));
        if (v1.frame > v0.frame && k > 0 && v1.type == v0.type) {
            zoom = std::exp2(std::log2(v0.zoom) + k * (std::log2(v1.zoom) - std::log2(v0.zoom)));
            const int limbs = BigFixed::limbsForZoom(std::max(v0.zoom, v1.zoom), kGuardBits);
            centre =
                centre.withFracLimbs(std::max(limbs, centre.fracLimbs())).lerp(v1.centre().withFracLimbs(limbs), k);
            rotation = v0.rotation + k * (v1.rotation - v0.rotation);
            const double c1 = v1.colour.value_or(0);
            colour = colour + k * (c1 - colour);
        }
    }
    std::optional<BigComplex> deep;
    if (zoom > kDeepZoom) deep = centre;
    return {RenderView(v0.type, centre.x().toDouble(), centre.y().toDouble(), zoom, rotation, v0.maxIterations,
                       v0.juliaC, v0.palette, colour, std::move(deep)),
            PostSettings{.bloom = v0.bloom, .grain = v0.grain}};
}

} // namespace veltrane::TakeRenderer
