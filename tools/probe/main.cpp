// veltrane-probe: renders the audio probe's cases through the offline kernel, measures each one and
// writes the measurements (and, on request, the renders) to a folder; or checks the cases against
// the committed baseline, or rewrites that baseline after an intended change to the sound.
//
//   veltrane-probe [--out DIR] [--wav] [--rate HZ] [--jobs N] [--case ID]... [--presets FILE]
//   veltrane-probe --check [DIR]            exit 1 when a fixed case moved beyond its thresholds
//   veltrane-probe --write-baseline [DIR]   DIR defaults to tests/Synth/probe-baseline in the source tree
//
// --presets FILE: a JSON list of {"id": text, "params": AudioParams, "orbit": {...} (optional)},
// adding the "fp-" and "nr-" cases of each preset to the fixed table.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "Platform/Json/Json.h"
#include "Synth/ProbeRun.h"
#include "Synth/WAV.h"
#include "../common/ArgNumbers.h"

using namespace veltrane;

namespace {

int usage()
{
    std::fprintf(stderr,
                 "usage: veltrane-probe [--out DIR] [--wav] [--rate HZ] [--jobs N] [--case ID]... [--presets FILE]\n"
                 "       veltrane-probe --check [DIR] | --write-baseline [DIR] [--jobs N]\n");
    return 2;
}

std::vector<ProbeTest::Preset> readPresets(const std::string& path)
{
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read " + path);
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::vector<ProbeTest::Preset> presets;
    for (const Json::Value& p : Json::parse(text)) {
        ProbeTest::Preset preset;
        preset.id = p.at("id").get<std::string>();
        // The id names the case files: plain letters, digits, '-', '_' and '.', never a path.
        const bool plain = !preset.id.empty() && preset.id.front() != '.' &&
                           preset.id.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                                       "0123456789-_.") == std::string::npos;
        if (!plain) throw std::runtime_error(path + ": preset id \"" + preset.id + "\" is not a plain name");
        preset.params = p.at("params").get<AudioParams>();
        if (p.contains("orbit")) preset.orbit = p.at("orbit").get<ProbeTest::Orbit>();
        presets.push_back(std::move(preset));
    }
    return presets;
}

void writeText(const std::filesystem::path& path, const std::string& text)
{
    std::ofstream out(path, std::ios::trunc);
    out << text;
    out.close();
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

} // namespace

int main(int argc, char** argv)
try {
    std::filesystem::path out = "probe-out";
    std::filesystem::path baselineDir = std::filesystem::path(VELTRANE_SOURCE_DIR) / "tests/Synth/probe-baseline";
    bool wav = false, check = false, writeBase = false;
    double rate = probe::baselineRate;
    int jobs = 0;
    std::set<std::string> only;
    std::vector<ProbeTest::Preset> presets;

    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw std::invalid_argument(a + " needs a value");
            return argv[++i];
        };
        const auto optionalDir = [&] {
            if (i + 1 < argc && argv[i + 1][0] != '-') baselineDir = argv[++i];
        };
        if (a == "--out")
            out = value();
        else if (a == "--wav")
            wav = true;
        else if (a == "--rate") {
            const std::string text = value();
            const auto r = tools::argNumber(text, 8000, 384000);
            if (!r)
                throw std::invalid_argument("--rate must be a number of Hz from 8000 to 384000, not \"" + text + "\"");
            rate = *r;
        } else if (a == "--jobs") {
            const std::string text = value();
            const auto n = tools::argInteger(text, 0, 1024);
            if (!n) throw std::invalid_argument("--jobs must be a whole number from 0 to 1024, not \"" + text + "\"");
            jobs = int(*n);
        } else if (a == "--case")
            only.insert(value());
        else if (a == "--presets")
            presets = readPresets(value());
        else if (a == "--check")
            check = true, optionalDir();
        else if (a == "--write-baseline")
            writeBase = true, optionalDir();
        else {
            std::fprintf(stderr, "veltrane-probe: unknown option %s\n", a.c_str());
            return usage();
        }
    }

    // The baseline holds the fixed table whole: a check of a selection would pass on what it left out.
    if ((check || writeBase) && (!only.empty() || !presets.empty())) {
        std::fprintf(stderr, "veltrane-probe: --case and --presets select what to render; --check and "
                             "--write-baseline always take every fixed case\n");
        return 2;
    }
    std::vector<ProbeTest> cases = ProbeTest::all(presets);
    if (!only.empty()) {
        std::erase_if(cases, [&](const ProbeTest& t) { return !only.count(t.id); });
        for (const ProbeTest& t : cases) only.erase(t.id);
        if (!only.empty()) {
            std::fprintf(stderr, "veltrane-probe: no case \"%s\"\n", only.begin()->c_str());
            return 2;
        }
    }
    if (check || writeBase) rate = probe::baselineRate;

    const auto started = std::chrono::steady_clock::now();
    const std::vector<probe::Result> results = probe::renderAll(cases, rate, jobs, wav);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    double audio = 0;
    for (const ProbeTest& t : cases) audio += t.seconds;
    std::fprintf(stderr, "rendered and measured %zu cases (%.1f s of audio) in %.2f s\n", cases.size(), audio, seconds);

    if (writeBase) {
        probe::writeBaseline(baselineDir, probe::makeBaseline(results, rate));
        std::fprintf(stderr, "baseline written to %s\n", baselineDir.c_str());
        return 0;
    }
    if (check) {
        const auto deviations = probe::compare(probe::readBaseline(baselineDir), results);
        for (const auto& d : deviations) std::printf("%s\n", d.text().c_str());
        std::fprintf(stderr, "%zu deviation(s) from %s\n", deviations.size(), baselineDir.c_str());
        return deviations.empty() ? 0 : 1;
    }

    std::filesystem::create_directories(out);
    Json::Value metrics = Json::Value::object();
    for (size_t i = 0; i < results.size(); ++i) {
        const probe::Result& r = results[i];
        metrics[r.id] = r.metrics;
        writeText(out / (r.id + ".case.json"), Json::write(Json::Value(cases[i]), Json::Style::pretty) + "\n");
        if (wav) {
            const auto image = WAV::encode({r.left, r.right}, (int)rate, 24);
            std::ofstream file(out / (r.id + ".wav"), std::ios::binary | std::ios::trunc);
            file.write((const char*)image.data(), (std::streamsize)image.size());
            file.close();
            if (!file) throw std::runtime_error("cannot write " + (out / (r.id + ".wav")).string());
        }
    }
    writeText(out / "metrics.json", Json::write(metrics, Json::Style::pretty) + "\n");
    std::fprintf(stderr, "measurements in %s\n", (out / "metrics.json").c_str());
    return 0;
} catch (const std::invalid_argument& e) { // a bad argument
    std::fprintf(stderr, "veltrane-probe: %s\n", e.what());
    return 2;
} catch (const std::exception& e) {
    std::fprintf(stderr, "veltrane-probe: %s\n", e.what());
    return 1;
}
