// Runs a render benchmark head-less on an off-screen target and writes its report as JSON.
//
//   veltrane-bench-render --motion script.json [--size 1440x880] [--out report.json] [--time-scale 1] [--stages]
//   veltrane-bench-render --flight --to-x X --to-y Y --to-zoom Z [--from-x X --from-y Y --from-zoom Z]
//                         [--type mandelbrot] [--palette obsidian] [--julia-x -0.7 --julia-y 0.27015]
//                         [--iteration-cap 200000] [--snapshots folder --snapshot-every N]
//                         [--size 1440x880] [--out report.json]
//
// A motion run prints one line per segment (frames, meanFps, p95GpuMs, meanRenderScale); a flight
// prints its frame count and time. Flight centres may be exact decimal strings of any length; the
// flight starts at the type's home view unless --from-* are given. --time-scale compresses a motion
// script's times (0.1 runs it ten times faster over the same path), for smoke tests. --stages runs
// every frame stage by stage (fractal pass, copies, each post pass, the submission) and prints, per
// segment and per render scale, each stage's mean processor time to record and wall time to run, per
// frame that has it; the report gets the same per segment.
#include <algorithm>
#include <chrono>
#include <functional>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <map>
#include <vector>
#include <memory>
#include <string>

#include "FractalCore/BigFixed.h"
#include "FractalRender/RenderBenchmarks.h"
#include "Platform/Json/Json.h"
#include "../common/ArgNumbers.h"

using namespace veltrane;

namespace {

int usage(const std::string& message)
{
    std::fprintf(stderr, "veltrane-bench-render: %s\n", message.c_str());
    std::fprintf(
        stderr,
        "usage: veltrane-bench-render --motion script.json [--size WxH] [--out report.json] [--time-scale k]\n"
        "                             [--stages]\n"
        "       veltrane-bench-render --flight --to-x X --to-y Y --to-zoom Z [--from-x X --from-y Y --from-zoom Z]\n"
        "                             [--type T] [--palette P] [--julia-x X --julia-y Y] [--iteration-cap N]\n"
        "                             [--snapshots folder --snapshot-every N] [--size WxH] [--out report.json]\n");
    return 2;
}

bool writeReport(const Json::OrderedValue& report, const std::string& path)
{
    std::ofstream out(path, std::ios::binary);
    out << Json::write(report, Json::Style::pretty) << "\n";
    out.close();
    if (!out) {
        std::fprintf(stderr, "veltrane-bench-render: cannot write %s\n", path.c_str());
        return false;
    }
    return true;
}

std::optional<BigComplex> exactCentre(const std::string& x, const std::string& y, double zoom)
{
    int limbs = BigFixed::limbsForZoom(zoom, 64);
    auto bx = BigFixed::fromDecimal(x, limbs);
    auto by = BigFixed::fromDecimal(y, limbs);
    if (!bx || !by) return std::nullopt;
    return BigComplex(*bx, *by);
}

// Mean stage times over a set of frames, stages in the order they first appear.
struct StageSummary {
    std::string stage;
    int frames = 0;
    double recordMs = 0;
    double runMs = 0;
    double medianRunMs = 0;
    double processorMs = 0;
    std::vector<double> runs;
};

std::vector<StageSummary> summariseStages(const MotionRun& run, const std::function<bool(size_t)>& include)
{
    std::vector<StageSummary> out;
    for (size_t i = 0; i < run.stages.size(); ++i) {
        if (!include(i)) continue;
        for (const auto& time : run.stages[i]) {
            auto found = std::find_if(out.begin(), out.end(), [&](const auto& s) { return s.stage == time.stage; });
            if (found == out.end()) found = out.insert(out.end(), StageSummary{time.stage});
            found->frames += 1;
            found->recordMs += time.recordMs;
            found->runMs += time.runMs;
            found->runs.push_back(time.runMs);
            found->processorMs += time.processorMs;
        }
    }
    for (auto& s : out) {
        s.recordMs /= s.frames;
        s.runMs /= s.frames;
        s.processorMs /= s.frames;
        std::nth_element(s.runs.begin(), s.runs.begin() + s.runs.size() / 2, s.runs.end());
        s.medianRunMs = s.runs[s.runs.size() / 2];
    }
    return out;
}

void printStages(const std::vector<StageSummary>& stages, int frames)
{
    double record = 0, run = 0, processor = 0;
    for (const auto& s : stages) {
        std::printf("      %-15s frames %4d  record %7.3f ms  run %7.3f ms  median %7.3f ms  processor %7.3f ms\n",
                    s.stage.c_str(), s.frames, s.recordMs, s.runMs, s.medianRunMs, s.processorMs);
        record += s.recordMs * s.frames / std::max(frames, 1);
        run += s.runMs * s.frames / std::max(frames, 1);
        processor += s.processorMs * s.frames / std::max(frames, 1);
    }
    std::printf("      %-15s              record %7.3f ms  run %7.3f ms                     processor %7.3f ms "
                "(per frame)\n",
                "total", record, run, processor);
}

} // namespace

int main(int argc, char** argv)
{
    std::map<std::string, std::string> args = {
        {"--motion", ""},      {"--size", "1440x880"},     {"--out", "bench-report.json"},
        {"--time-scale", "1"}, {"--type", "mandelbrot"},   {"--palette", "obsidian"},
        {"--julia-x", "-0.7"}, {"--julia-y", "0.27015"},   {"--iteration-cap", "200000"},
        {"--snapshots", ""},   {"--snapshot-every", "60"}, {"--from-x", ""},
        {"--from-y", ""},      {"--from-zoom", ""},        {"--to-x", ""},
        {"--to-y", ""},        {"--to-zoom", ""}};
    bool flight = false, stages = false;
    for (int i = 1; i < argc; ++i) {
        std::string key = argv[i];
        if (key == "--flight") {
            flight = true;
            continue;
        }
        if (key == "--stages") {
            stages = true;
            continue;
        }
        if (!args.count(key)) return usage("unknown option " + key);
        if (i + 1 >= argc) return usage("missing value for " + key);
        args[key] = argv[++i];
    }
    if (flight == !args["--motion"].empty()) return usage("give either --motion or --flight");
    if (!flight && !args["--snapshots"].empty()) return usage("--snapshots are taken of a --flight only");
    int width = 0, height = 0;
    if (std::sscanf(args["--size"].c_str(), "%dx%d", &width, &height) != 2 || width < 1 || height < 1)
        return usage("size must be WxH");

    const auto every = tools::argInteger(args["--snapshot-every"], 1, 1000000);
    if (!every) return usage("--snapshot-every must be a whole number of frames, 1 or more");
    const auto cap = tools::argInteger(args["--iteration-cap"], 1, std::numeric_limits<int>::max());
    if (!cap) return usage("--iteration-cap must be a whole number, 1 or more");

    std::unique_ptr<FractalRenderer> renderer;
    try {
        renderer = std::make_unique<FractalRenderer>(GpuDevice::systemDefault());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", rendererStartFailure(error).c_str());
        return 1;
    }

    Json::OrderedValue report = Json::OrderedValue::object();
    report["device"] = renderer->device()->name();
    report["width"] = width;
    report["height"] = height;
    auto started = std::chrono::steady_clock::now();
    try {
        if (!flight) {
            Motion motion = Motion::load(args["--motion"]);
            const double scale = tools::argNumber(args["--time-scale"], 0, 1e6).value_or(0);
            if (!(scale > 0)) return usage("time scale must be a positive number");
            motion.durationSec *= scale;
            for (auto& segment : motion.segments) {
                segment.from *= scale;
                segment.to *= scale;
            }
            MotionRun run = runMotion(*renderer, motion, width, height, PostSettings{}, stages);
            report["motion"] = args["--motion"];
            report["timeScale"] = scale;
            report["segments"] = run.segments;
            report["frames"] = run.frames;
            std::printf("%s at %dx%d on %s: %zu frames\n", args["--motion"].c_str(), width, height,
                        renderer->device()->name().c_str(), run.frames.size());
            Json::OrderedValue stageReport = Json::OrderedValue::array();
            for (const BenchSegment& s : run.segments) {
                std::printf("  %6.2f-%6.2f s  frames %4lld  meanFps %6.2f  p95GpuMs %8.2f  meanRenderScale %.3f\n",
                            s.from, s.to, static_cast<long long>(s.frames), s.meanFps, s.p95GpuMs, s.meanRenderScale);
                if (!stages) continue;
                auto inSegment = [&](size_t i) { return run.frames[i].t >= s.from && run.frames[i].t < s.to; };
                auto summary = summariseStages(run, inSegment);
                printStages(summary, int(s.frames));
                Json::OrderedValue list = Json::OrderedValue::array();
                for (const auto& st : summary)
                    list.push_back({{"stage", st.stage},
                                    {"frames", st.frames},
                                    {"recordMs", st.recordMs},
                                    {"runMs", st.runMs},
                                    {"medianRunMs", st.medianRunMs},
                                    {"processorMs", st.processorMs}});
                stageReport.push_back({{"from", s.from}, {"to", s.to}, {"stages", list}});
            }
            if (stages) {
                report["stages"] = stageReport;
                std::map<double, int> scales;
                for (const auto& f : run.frames) scales[f.renderScale] += 1;
                for (const auto& [scale, count] : scales) {
                    std::printf("  render scale %.2f: %d frames\n", scale, count);
                    printStages(summariseStages(run, [&](size_t i) { return run.frames[i].renderScale == scale; }),
                                count);
                }
            }
        } else {
            auto type = fromText<FractalType>(args["--type"]);
            if (!type) return usage("unknown fractal type");
            auto palette = fromText<Palette>(args["--palette"]);
            if (!palette) return usage("unknown palette");
            FractalTarget home = veltrane::home(*type);
            const double fromZoom =
                args["--from-zoom"].empty() ? home.zoom : tools::argNumber(args["--from-zoom"], 0).value_or(0);
            const double toZoom = tools::argNumber(args["--to-zoom"], 0).value_or(0);
            if (!(fromZoom > 0) || !(toZoom > 0))
                return usage("zooms must be finite numbers above 0 (--to-zoom is required)");
            const auto juliaX = tools::argNumber(args["--julia-x"]), juliaY = tools::argNumber(args["--julia-y"]);
            if (!juliaX || !juliaY) return usage("the Julia constant must be finite numbers");
            auto from =
                exactCentre(args["--from-x"].empty() ? Json::formatNumber(home.centerX) : args["--from-x"],
                            args["--from-y"].empty() ? Json::formatNumber(home.centerY) : args["--from-y"], fromZoom);
            auto to = exactCentre(args["--to-x"], args["--to-y"], toZoom);
            if (!from || !to) return usage("centres must be decimal numbers (--to-x and --to-y are required)");
            std::string folder = args["--snapshots"];
            FlightSnapshot snapshot;
            if (!folder.empty()) {
                snapshot = [&](int frame, const Image& image) {
                    char name[32];
                    std::snprintf(name, sizeof name, "frame-%05d.png", frame);
                    FractalRenderer::writePNG(image, std::filesystem::path(folder) / name);
                };
            }
            auto frames = runFlight(*renderer, *type, *palette, Complex{*juliaX, *juliaY}, {*from, fromZoom},
                                    {*to, toZoom}, width, height, PostSettings{}, int(*cap), int(*every), snapshot);
            report["flight"] = {{"type", toText(*type)}, {"fromZoom", fromZoom}, {"toZoom", toZoom}};
            report["frames"] = frames;
            std::printf("flight of %s to zoom %g at %dx%d on %s: %zu frames\n", args["--type"].c_str(), toZoom, width,
                        height, renderer->device()->name().c_str(), frames.size());
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "benchmark failed: %s\n", error.what());
        return 1;
    }
    std::printf("wall time %.1f s, report %s\n",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(),
                args["--out"].c_str());
    return writeReport(report, args["--out"]) ? 0 : 1;
}
