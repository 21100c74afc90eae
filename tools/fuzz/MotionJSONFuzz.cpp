// libFuzzer target: any bytes as a benchmark motion script. A script that decodes keeps the rules
// the decoder checks (segments, finite numbers, positive zooms), samples to finite cameras, and
// writes and reads back equal.
#include "FractalRender/Motion.h"
#include "Platform/Json/Json.h"
#include "Require.h"

#include <cmath>
#include <string_view>

using namespace veltrane;
using fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Motion motion;
    try {
        motion = Json::parse(std::string_view(reinterpret_cast<const char*>(data), size)).get<Motion>();
    } catch (const Json::Error&) {
        return 0;
    } catch (const Json::Value::exception&) {
        std::fprintf(stderr, "a library exception escaped the decoder\n");
        std::abort();
    }
    require(!motion.segments.empty(), "at least one segment");
    require(motion.frameCount() >= 0, "a frame count");
    for (double t : {0.0, motion.durationSec / 2, motion.durationSec}) {
        const FractalTarget at = motion.at(t);
        require(std::isfinite(at.zoom) && at.zoom > 0 && std::isfinite(at.centerX) && std::isfinite(at.centerY),
                "a finite camera");
    }
    const Json::Value written = motion;
    require(Json::parse(Json::write(written)).get<Motion>() == motion, "written and read back equal");
    return 0;
}
