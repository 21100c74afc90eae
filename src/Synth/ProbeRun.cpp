#include "Synth/ProbeRun.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

#include "Platform/Json/Json.h"
#include "Synth/WAV.h"

namespace veltrane::probe {

namespace {

// Thresholds of the baseline comparison. The same build renders every case bit for bit the same
// (the noise inputs and generators are seeded), so these only have to absorb what differs between
// machines and compilers: the kernel's AVX2 clones against its portable loops, and the 24-bit
// quantisation of the stored excerpts (a -60 dBFS excerpt quantises to about -89 dB of residual).
// Those move band and envelope values by far less than 0.01 dB. What a real change does is much larger: a filter slope or cutoff off by a
// step moves its bands by several dB, a gain law or envelope change moves the 50 ms envelope by a dB
// or more, and any change at all to a stage's samples shows in the residual far above -60 dB (one
// frame of delay on a 220 Hz tone alone gives -31 dB). A NaN anywhere counts as moved.
constexpr double bandLimitDB = 0.5;
constexpr double envelopeLimitDB = 0.5;
constexpr double levelLimitDB = 0.5;
constexpr double residualLimitDB = -60;
// Below this level an excerpt is silence: its residual would compare rounding noise with rounding
// noise, so silence is checked as silence instead.
constexpr double silentExcerpt = 1e-5;

std::vector<float> excerptOf(const std::vector<float>& left, int64_t start)
{
    const int64_t end = std::min<int64_t>(start + excerptFrames, (int64_t)left.size());
    std::vector<float> out(left.begin() + start, left.begin() + end);
    out.resize(excerptFrames, 0.0f);
    return out;
}

std::vector<uint8_t> readFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFile(const std::filesystem::path& path, const void* data, size_t size)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), (std::streamsize)size);
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

} // namespace

int64_t excerptStart(const ProbeTest& test, double sampleRate, int64_t frames)
{
    const int64_t wanted = (int64_t)std::round(std::max(test.measureFrom, 0.1) * sampleRate);
    return std::clamp<int64_t>(wanted, 0, std::max<int64_t>(frames - excerptFrames, 0));
}

std::vector<Result> renderAll(const std::vector<ProbeTest>& cases, double sampleRate, int jobs, bool keepAudio)
{
    for (const ProbeTest& t : cases) t.validate();
    if (jobs <= 0) jobs = (int)std::max(1u, std::thread::hardware_concurrency());
    std::vector<Result> results(cases.size());
    // Longest cases first, so that no core is left with a long render at the end.
    std::vector<size_t> order(cases.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return cases[a].seconds > cases[b].seconds; });

    std::atomic<size_t> next{0};
    std::vector<std::exception_ptr> errors(cases.size());
    const auto work = [&] {
        for (size_t k; (k = next.fetch_add(1)) < order.size();) {
            const size_t i = order[k];
            try {
                const ProbeTest& t = cases[i];
                auto [left, right] = t.renderNative(sampleRate);
                Result& r = results[i];
                r.id = t.id;
                r.metrics = ProbeMetrics::measure(left, right, sampleRate, t.measureFrom);
                r.excerpt = excerptOf(left, excerptStart(t, sampleRate, (int64_t)left.size()));
                if (keepAudio) {
                    r.left = std::move(left);
                    r.right = std::move(right);
                }
            } catch (...) {
                errors[i] = std::current_exception();
            }
        }
    };
    std::vector<std::thread> threads;
    for (int j = 1; j < std::min<int>(jobs, (int)cases.size()); ++j) threads.emplace_back(work);
    work();
    for (std::thread& t : threads) t.join();
    for (const std::exception_ptr& e : errors)
        if (e) std::rethrow_exception(e);
    return results;
}

Baseline makeBaseline(const std::vector<Result>& results, double sampleRate)
{
    Baseline b;
    b.sampleRate = sampleRate;
    for (const Result& r : results) {
        b.ids.push_back(r.id);
        b.metrics[r.id] = r.metrics;
        b.excerpts[r.id] = r.excerpt;
    }
    return b;
}

void writeBaseline(const std::filesystem::path& folder, const Baseline& baseline)
{
    std::filesystem::create_directories(folder);
    Json::Value json = Json::Value::object();
    json["sampleRate"] = baseline.sampleRate;
    json["cases"] = Json::Value::object();
    Json::Value order = Json::Value::array();
    for (const std::string& id : baseline.ids) {
        json["cases"][id] = baseline.metrics.at(id);
        order.push_back(id);
    }
    json["order"] = order;
    const std::string text = Json::write(json, Json::Style::pretty) + "\n";
    writeFile(folder / "metrics.json", text.data(), text.size());

    std::vector<std::vector<float>> channels;
    for (const std::string& id : baseline.ids) channels.push_back(baseline.excerpts.at(id));
    const std::vector<uint8_t> wav = WAV::encode(channels, (int)baseline.sampleRate, 24);
    writeFile(folder / "excerpts.wav", wav.data(), wav.size());
}

Baseline readBaseline(const std::filesystem::path& folder)
{
    const std::vector<uint8_t> text = readFile(folder / "metrics.json");
    const Json::Value json = Json::parse(std::string_view((const char*)text.data(), text.size()));
    Baseline b;
    b.sampleRate = json.at("sampleRate").get<double>();
    for (const Json::Value& id : json.at("order")) b.ids.push_back(id.get<std::string>());
    for (const std::string& id : b.ids) b.metrics[id] = json.at("cases").at(id).get<ProbeMetrics>();

    const auto wav = WAV::decode(readFile(folder / "excerpts.wav"));
    if (!wav || wav->channels.size() != b.ids.size())
        throw std::runtime_error("baseline excerpts.wav does not hold one channel per case");
    for (size_t i = 0; i < b.ids.size(); ++i) b.excerpts[b.ids[i]] = wav->channels[i];
    return b;
}

std::string Deviation::text() const
{
    char line[256];
    if (measure == "sample rate")
        std::snprintf(line, sizeof line, "%s: sample rate %g Hz (the check renders at %g Hz)", id.c_str(), value,
                      limit);
    else if (measure == "excerpt length")
        std::snprintf(line, sizeof line, "%s: excerpt of %.0f frames in the baseline (%.0f rendered)", id.c_str(),
                      value, limit);
    else if (measure == "missing" || measure == "new")
        std::snprintf(line, sizeof line, "%s: %s", id.c_str(),
                      measure == "missing" ? "in the baseline but not rendered" : "rendered but not in the baseline");
    else
        std::snprintf(line, sizeof line, "%s: %s %.3f dB (limit %.3f dB)", id.c_str(), measure.c_str(), value, limit);
    return line;
}

std::vector<Deviation> compare(const Baseline& baseline, const std::vector<Result>& results)
{
    std::vector<Deviation> out;
    // A baseline of another rate (or of none: 1e308, -1) measures something else; every case is
    // rendered at the baseline rate.
    if (!(baseline.sampleRate == baselineRate))
        out.push_back({"baseline", "sample rate", baseline.sampleRate, baselineRate});
    std::map<std::string, const Result*> fresh;
    for (const Result& r : results) fresh[r.id] = &r;
    for (const std::string& id : baseline.ids)
        if (!fresh.count(id)) out.push_back({id, "missing"});
    for (const Result& r : results) {
        const auto it = baseline.metrics.find(r.id);
        if (it == baseline.metrics.end()) {
            out.push_back({r.id, "new"});
            continue;
        }
        const ProbeMetrics& old = it->second;
        const double band = r.metrics.bandDistance(old);
        if (!(band <= bandLimitDB)) out.push_back({r.id, "band distance", band, bandLimitDB});
        const double envelope = r.metrics.envelopeDistance(old);
        if (!(envelope <= envelopeLimitDB) || r.metrics.envelopeDB.size() != old.envelopeDB.size())
            out.push_back({r.id, "envelope distance", envelope, envelopeLimitDB});
        // Both floored at -180 dB, so silence against silence compares equal.
        const double level = std::fabs(r.metrics.rmsDB - old.rmsDB);
        if (!(level <= levelLimitDB)) out.push_back({r.id, "level change", level, levelLimitDB});

        const std::vector<float>& reference = baseline.excerpts.at(r.id);
        // A cut excerpt would be compared over its common length only.
        if (reference.size() != r.excerpt.size())
            out.push_back({r.id, "excerpt length", double(reference.size()), double(r.excerpt.size())});
        const auto peak = [](const std::vector<float>& x) {
            float m = 0;
            for (float v : x) m = std::isnan(v) ? v : std::max(m, std::fabs(v));
            return m;
        };
        if (!(peak(reference) <= silentExcerpt)) {
            const double residual = residualDB(r.excerpt, reference, 0);
            if (!(residual <= residualLimitDB)) out.push_back({r.id, "residual", residual, residualLimitDB});
        } else if (!(peak(r.excerpt) <= silentExcerpt)) {
            out.push_back({r.id, "excerpt peak (silent in the baseline)", 20 * std::log10(peak(r.excerpt)),
                           20 * std::log10(silentExcerpt)});
        }
    }
    return out;
}

} // namespace veltrane::probe
