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
#include <map>
#include <memory>
#include <string>

#include "FractalCore/BigFixed.h"
#include "FractalRender/FractalRenderer.h"
#include "Platform/Json/Json.h"

using namespace veltrane;

namespace {

int usage(const char* message) {
  std::fprintf(stderr, "veltrane-still: %s\n", message);
  std::fprintf(stderr,
               "usage: veltrane-still [--type T] [--cx X] [--cy Y] [--zoom Z] [--rotation R] [--iterations N]\n"
               "                      [--palette P] [--shift S] [--julia-x X --julia-y Y] [--size WxH]\n"
               "                      [--samples N] [--out file.png]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::map<std::string, std::string> args = {{"--type", "mandelbrot"}, {"--cx", ""},           {"--cy", ""},
                                             {"--zoom", ""},           {"--rotation", "0"},    {"--iterations", "500"},
                                             {"--palette", "obsidian"}, {"--shift", "0"},       {"--julia-x", "-0.8"},
                                             {"--julia-y", "0.156"},   {"--size", "1280x720"}, {"--samples", "1"},
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

  RenderView view(*type, std::strtod(args["--cx"].c_str(), nullptr), std::strtod(args["--cy"].c_str(), nullptr),
                  std::strtod(args["--zoom"].c_str(), nullptr), std::strtod(args["--rotation"].c_str(), nullptr),
                  std::strtoll(args["--iterations"].c_str(), nullptr, 10),
                  Complex{std::strtod(args["--julia-x"].c_str(), nullptr), std::strtod(args["--julia-y"].c_str(), nullptr)},
                  *palette, std::strtod(args["--shift"].c_str(), nullptr));
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
    Image image = renderer->renderStill(view, width, height, PostSettings{}, AudioVisuals{}, 0,
                                        std::atoi(args["--samples"].c_str()));
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
