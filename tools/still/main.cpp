// Renders one view to a PNG file and prints how long the render took.
//
//   veltrane-still [--type mandelbrot] [--cx -0.5] [--cy 0] [--zoom 1] [--rotation 0]
//                  [--iterations 500] [--palette obsidian] [--shift 0] [--julia-x -0.8 --julia-y 0.156]
//                  [--size 1280x720] [--samples 1] [--out still.png]
//
// Centres may be given as exact decimal strings of any length; past double precision they become the
// view's exact centre. Without --cx, --cy and --zoom the type's home view is drawn.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <memory>
#include <string>

#include "FractalCore/BigFixed.h"
#include "FractalRender/FractalRenderer.h"
#include "Platform/Json/Json.h"
#include "../common/ArgNumbers.h"

using namespace veltrane;

namespace {

int usage(const char* message)
{
    std::fprintf(stderr, "veltrane-still: %s\n", message);
    std::fprintf(stderr,
                 "usage: veltrane-still [--type T] [--cx X] [--cy Y] [--zoom Z] [--rotation R] [--iterations N]\n"
                 "                      [--palette P] [--shift S] [--julia-x X --julia-y Y] [--size WxH]\n"
                 "                      [--samples N] [--out file.png]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    std::map<std::string, std::string> args = {{"--type", "mandelbrot"},
                                               {"--cx", ""},
                                               {"--cy", ""},
                                               {"--zoom", ""},
                                               {"--rotation", "0"},
                                               {"--iterations", "500"},
                                               {"--palette", "obsidian"},
                                               {"--shift", "0"},
                                               {"--julia-x", "-0.8"},
                                               {"--julia-y", "0.156"},
                                               {"--size", "1280x720"},
                                               {"--samples", "1"},
                                               {"--out", "still.png"}};
    for (int i = 1; i < argc; i += 2) {
        std::string key = argv[i];
        if (!args.count(key)) return usage(("unknown option " + key).c_str());
        if (i + 1 >= argc) return usage(("missing value for " + key).c_str());
        args[key] = argv[i + 1];
    }
    auto type = fromText<FractalType>(args["--type"]);
    if (!type) return usage("unknown fractal type");
    const FractalTarget homeView = home(*type);
    if (args["--cx"].empty()) args["--cx"] = Json::formatNumber(homeView.centerX);
    if (args["--cy"].empty()) args["--cy"] = Json::formatNumber(homeView.centerY);
    if (args["--zoom"].empty()) args["--zoom"] = Json::formatNumber(homeView.zoom);
    auto palette = fromText<Palette>(args["--palette"]);
    if (!palette) return usage("unknown palette");
    int width = 0, height = 0;
    if (std::sscanf(args["--size"].c_str(), "%dx%d", &width, &height) != 2 || width < 1 || height < 1)
        return usage("size must be WxH");

    // Every number whole and finite; the zoom positive, the iteration limit and samples at least 1.
    const auto cx = tools::argNumber(args["--cx"]), cy = tools::argNumber(args["--cy"]);
    const auto zoom = tools::argNumber(args["--zoom"], 0);
    const auto rotation = tools::argNumber(args["--rotation"]), shift = tools::argNumber(args["--shift"]);
    const auto juliaX = tools::argNumber(args["--julia-x"]), juliaY = tools::argNumber(args["--julia-y"]);
    const auto iterations = tools::argInteger(args["--iterations"], 1, std::numeric_limits<std::int32_t>::max());
    const auto samples = tools::argInteger(args["--samples"], 1, 64);
    if (!cx || !cy) return usage("centre must be finite decimal numbers");
    if (!zoom || !(*zoom > 0)) return usage("zoom must be a finite number above 0");
    if (!rotation) return usage("rotation must be a finite number");
    if (!shift) return usage("shift must be a finite number");
    if (!juliaX || !juliaY) return usage("Julia constant must be finite numbers");
    if (!iterations) return usage("iterations must be a whole number from 1 to 2147483647");
    if (!samples) return usage("samples must be a whole number from 1 to 64");
    if (width > 16384 || height > 16384) return usage("size must be at most 16384x16384");
    RenderView view(*type, *cx, *cy, *zoom, *rotation, *iterations, Complex{*juliaX, *juliaY}, *palette, *shift);
    int limbs = BigFixed::limbsForZoom(view.zoom, 64);
    auto exactX = BigFixed::fromDecimal(args["--cx"], limbs);
    auto exactY = BigFixed::fromDecimal(args["--cy"], limbs);
    if (!exactX || !exactY) return usage("centre must be decimal numbers");
    view.deepCentre = BigComplex(*exactX, *exactY);

    auto start = std::chrono::steady_clock::now();
    std::unique_ptr<FractalRenderer> renderer;
    try {
        renderer = std::make_unique<FractalRenderer>(GpuDevice::systemDefault());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", rendererStartFailure(error).c_str());
        return 1;
    }
    try {
        auto built = std::chrono::steady_clock::now();
        Image image = renderer->renderStill(view, width, height, PostSettings{}, AudioVisuals{}, 0, int(*samples));
        auto rendered = std::chrono::steady_clock::now();
        FractalRenderer::writePNG(image, args["--out"]);
        std::printf("construction %.3f s, render %.3f s, %s\n", std::chrono::duration<double>(built - start).count(),
                    std::chrono::duration<double>(rendered - built).count(), args["--out"].c_str());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "render failed: %s\n", error.what());
        return 1;
    }
    return 0;
}
