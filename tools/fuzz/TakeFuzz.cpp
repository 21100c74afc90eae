// libFuzzer target: any bytes through the take file reader, and every take it accepts through the
// writer, the reader again and the view interpolation. Besides crashes and sanitizer reports, it
// stops on an accepted take that breaks what the reader promises or that does not survive its own
// file.
#include "Takes/Take.h"
#include "Takes/TakeRenderer.h"

#include "Platform/Json/Json.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string_view>

using namespace veltrane;

namespace {

void require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "broken promise: %s\n", what);
        std::abort();
    }
}

void check(const Take& take)
{
    require(take.sampleRate >= Take::minSampleRate && take.sampleRate <= Take::maxSampleRate, "a playable rate");
    require(take.length >= 0 && double(take.length) <= Take::maxSeconds * take.sampleRate, "at most a day");
    for (const auto& e : take.events)
        require(std::isfinite(e.value) && std::isfinite(e.value2) && std::isfinite(e.value3), "finite event values");
    for (const auto& o : take.orbits) {
        require(o.length <= std::int64_t(o.points.size() / 2), "an orbit within its points");
        for (double p : o.points)
            require(std::isfinite(p), "finite points");
    }
    for (const auto& v : take.views)
        require(v.zoom > 0 && std::isfinite(v.zoom), "a zoom above 0");

    const std::string file = take.encoded(); // throws for nothing an accepted take holds
    require(Take::decode(file) == take, "a take survives its file");

    // Frames at, between and around the views, in any order they came in.
    for (const auto& v : take.views)
        for (std::int64_t d : {std::int64_t{-1}, std::int64_t{0}, std::int64_t{1}}) {
            const auto [view, post] = TakeRenderer::view(v.frame + (d > 0 && v.frame == INT64_MAX ? 0 : d), take);
            require(view.zoom > 0 && !std::isnan(view.zoom), "an interpolated zoom above 0");
            require(!view.deepCentre || view.zoom > 1e11, "a deep centre only past 1e11");
        }
    for (const auto& h : take.hud)
        require(take.hudState(h.frame).has_value(), "a HUD state at each HUD frame");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    try {
        const Take take = Take::decode(bytes);
        check(take);
    } catch (const Json::Error&) {
        // refused with a reason: what the reader is for
    }
    return 0;
}
