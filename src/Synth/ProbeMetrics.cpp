#include "Synth/ProbeMetrics.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "Platform/Dsp/Dsp.h"
#include "Platform/Json/JsonFields.h"

namespace veltrane {

namespace {

constexpr double levelFloor = 1e-9;   // -180 dB
constexpr double energyFloor = 1e-20; // band and total energies
constexpr double residualFloor = 1e-30;

// NaN is kept: a render that went to NaN must not measure as silence.
double floored(double x, double floor) { return x > floor || std::isnan(x) ? x : floor; }

// Power spectrum of mid summed over half-overlapping Hann frames; empty below one frame.
std::vector<double> powerSpectrum(const std::vector<float>& mid)
{
    constexpr int n = AudioMetrics::fftSize;
    std::vector<double> power(n / 2, 0.0);
    if (mid.size() < (size_t)n) return power;
    const dsp::RealFft fft(n);
    const std::vector<float> window = dsp::hannWindow(n);
    std::vector<float> windowed(n), re(n / 2), im(n / 2);
    for (size_t start = 0; start + n <= mid.size(); start += n / 2) {
        dsp::multiply(mid.data() + start, window.data(), windowed.data(), n);
        fft.forwardPacked(windowed.data(), re.data(), im.data());
        for (int k = 0; k < n / 2; ++k) power[k] += (double)re[k] * re[k] + (double)im[k] * im[k];
    }
    return power;
}

std::string rateText(double sampleRate)
{
    return std::isfinite(sampleRate) ? Json::formatNumber(sampleRate) : std::string("(not finite)");
}

} // namespace

std::pair<int, int> AudioMetrics::octaveBins(int band, double sampleRate)
{
    const double binHz = sampleRate / fftSize;
    const double edge = 22.0 * std::ldexp(1.0, band);
    const int lo = std::max((int)std::trunc(edge / binHz), 1);
    const int hi = (int)std::min(std::trunc(2.0 * edge / binHz), (double)(fftSize / 2));
    return {lo, hi};
}

AudioMetrics AudioMetrics::measure(std::span<const float> left, std::span<const float> right, double sampleRate)
{
    if (left.empty() || right.empty())
        throw std::invalid_argument("audio metrics need at least one sample per channel");
    if (!(sampleRate > 0) || sampleRate > maxSampleRate)
        throw std::invalid_argument("audio metrics: sample rate " + rateText(sampleRate) +
                                    " Hz is outside 0 < rate <= 360448 Hz (the lowest octave band would hold no bin)");
    const size_t n = std::min(left.size(), right.size());

    std::vector<float> mid(n), side(n);
    for (size_t i = 0; i < n; ++i) {
        mid[i] = (left[i] + right[i]) * 0.5f;
        side[i] = (left[i] - right[i]) * 0.5f;
    }
    const double rmsMid = dsp::rms(mid.data(), (int)n);
    const double rmsSide = dsp::rms(side.data(), (int)n);
    const double peakL = dsp::maxMagnitude(left.data(), (int)left.size());
    const double peakR = dsp::maxMagnitude(right.data(), (int)right.size());

    const std::vector<double> power = powerSpectrum(mid);
    const double binHz = sampleRate / fftSize;
    double total = 0, weighted = 0;
    for (int k = 1; k < fftSize / 2; ++k) {
        total += power[k];
        weighted += k * binHz * power[k];
    }

    AudioMetrics m;
    m.centroidHz = total > 0 ? weighted / total : 0;
    m.octaveDB.resize(bands);
    for (int i = 0; i < bands; ++i) {
        const auto [lo, hi] = octaveBins(i, sampleRate);
        double band = 0;
        for (int k = lo; k < hi; ++k) band += power[k];
        m.octaveDB[i] = 10.0 * std::log10(floored(band, energyFloor) / floored(total, energyFloor));
    }
    m.rmsDB = 20.0 * std::log10(floored(rmsMid, levelFloor));
    m.sideToMidDB = 20.0 * std::log10(floored(rmsSide, levelFloor) / floored(rmsMid, levelFloor));
    m.peak = std::max(peakL, peakR);

    if (n > 1) {
        std::vector<float> jumps(n - 1);
        for (size_t i = 0; i + 1 < n; ++i) jumps[i] = std::fabs(left[i + 1] - left[i]);
        if (std::any_of(jumps.begin(), jumps.end(), [](float j) { return std::isnan(j); })) {
            m.jumpRatio = NAN; // and NaN has no place in an ordering the selection below relies on
        } else {
            const size_t at = (size_t)std::trunc(0.999 * (double)jumps.size());
            const float largest = *std::max_element(jumps.begin(), jumps.end());
            std::nth_element(jumps.begin(), jumps.begin() + (long)at, jumps.end());
            const float p = jumps[at];
            m.jumpRatio = p > 0 ? (double)largest / p : 0;
        }
    }
    m.firstSample = left.front();
    m.lastSample = left.back();
    return m;
}

double AudioMetrics::bandDistance(const AudioMetrics& other) const
{
    if (octaveDB.empty()) return 0;
    const size_t n = std::min(octaveDB.size(), other.octaveDB.size());
    double sum = 0;
    for (size_t i = 0; i < n; ++i) sum += std::fabs(octaveDB[i] - other.octaveDB[i]);
    return sum / (double)octaveDB.size();
}

ProbeMetrics ProbeMetrics::measure(std::span<const float> left, std::span<const float> right, double sampleRate,
                                   double from)
{
    if (right.size() < left.size())
        throw std::invalid_argument("probe metrics: the right channel (" + std::to_string(right.size()) +
                                    " frames) is shorter than the left (" + std::to_string(left.size()) + ")");
    if (!(sampleRate >= 20))
        throw std::invalid_argument("probe metrics: sample rate " + rateText(sampleRate) +
                                    " Hz is below 20 Hz, where a 50 ms envelope window holds no frame");
    if (!(from >= 0)) throw std::invalid_argument("probe metrics: the start second must be 0 or more");
    const double wanted = std::trunc(sampleRate * from);
    const size_t start = wanted < (double)left.size() ? (size_t)wanted : left.size();
    if (start >= left.size())
        throw std::invalid_argument("probe metrics: the start second " + Json::formatNumber(from) +
                                    " is at or beyond the end of the render (" + std::to_string(left.size()) +
                                    " frames)");

    const AudioMetrics a = AudioMetrics::measure(left.subspan(start), right.subspan(start), sampleRate);
    ProbeMetrics m;
    m.rmsDB = a.rmsDB;
    m.peak = a.peak;
    m.centroidHz = a.centroidHz;
    m.octaveDB = a.octaveDB;
    m.sideToMidDB = a.sideToMidDB;

    const size_t window = (size_t)std::trunc(sampleRate * envelopeWindowSeconds);
    for (size_t w = 0; w + window <= left.size(); w += window) {
        double sum = 0;
        for (size_t i = w; i < w + window; ++i) {
            const double v = 0.5 * (double)(left[i] + right[i]);
            sum += v * v;
        }
        const double mean = sum / (double)window;
        m.envelopeDB.push_back(mean > 1e-14 || std::isnan(mean) ? 10.0 * std::log10(mean) : -140.0);
    }
    return m;
}

double ProbeMetrics::bandDistance(const ProbeMetrics& other) const
{
    const size_t n = std::min(octaveDB.size(), other.octaveDB.size());
    double sum = 0;
    int counted = 0;
    for (size_t i = 0; i < n; ++i) {
        if (std::max(octaveDB[i], other.octaveDB[i]) > -60) {
            sum += std::fabs(octaveDB[i] - other.octaveDB[i]);
            ++counted;
        }
    }
    return counted ? sum / counted : 0;
}

double ProbeMetrics::envelopeDistance(const ProbeMetrics& other) const
{
    const size_t n = std::min(envelopeDB.size(), other.envelopeDB.size());
    double sum = 0;
    int counted = 0;
    for (size_t i = 0; i < n; ++i) {
        const double a = std::max(envelopeDB[i], -90.0), b = std::max(other.envelopeDB[i], -90.0);
        if (std::max(a, b) > -70) {
            sum += std::fabs(a - b);
            ++counted;
        }
    }
    return counted ? sum / counted : 0;
}

double residualDB(std::span<const float> test, std::span<const float> reference, long start)
{
    const size_t n = std::min(test.size(), reference.size());
    if (start < 0 || (size_t)start > n)
        throw std::invalid_argument("residual: start frame " + std::to_string(start) + " lies outside 0..." +
                                    std::to_string(n));
    double d = 0, e = 0;
    for (size_t i = (size_t)start; i < n; ++i) {
        const double diff = test[i] - reference[i];
        d += diff * diff;
        e += (double)reference[i] * reference[i];
    }
    return 10.0 * std::log10(floored(d, residualFloor) / floored(e, residualFloor));
}

namespace {

void writeCommon(Json::Value& json, double rmsDB, double peak, double centroidHz, const std::vector<double>& octaveDB,
                 double sideToMidDB)
{
    json["rmsDB"] = rmsDB;
    json["peak"] = peak;
    json["centroidHz"] = centroidHz;
    json["octaveDB"] = octaveDB;
    json["sideToMidDB"] = sideToMidDB;
}

// The fields both metric records share, read (and checked) for either of them.
template <typename Metrics>
void readCommon(const Json::Value& json, const char* what, Metrics& r)
{
    r.rmsDB = Json::requiredNumber(json, "rmsDB", what);
    r.peak = Json::requiredNumber(json, "peak", what);
    r.centroidHz = Json::requiredNumber(json, "centroidHz", what);
    r.octaveDB = Json::requiredNumbers(json, "octaveDB", what);
    r.sideToMidDB = Json::requiredNumber(json, "sideToMidDB", what);
}

} // namespace

void to_json(Json::Value& json, const AudioMetrics& m)
{
    json = Json::Value::object();
    writeCommon(json, m.rmsDB, m.peak, m.centroidHz, m.octaveDB, m.sideToMidDB);
    json["jumpRatio"] = m.jumpRatio;
    json["firstSample"] = m.firstSample;
    json["lastSample"] = m.lastSample;
}

void from_json(const Json::Value& json, AudioMetrics& m)
{
    using namespace Json;
    constexpr const char* what = "AudioMetrics";
    AudioMetrics r;
    readCommon(json, what, r);
    r.jumpRatio = requiredNumber(json, "jumpRatio", what);
    r.firstSample = requiredNumber(json, "firstSample", what);
    r.lastSample = requiredNumber(json, "lastSample", what);
    m = std::move(r);
}

void to_json(Json::Value& json, const ProbeMetrics& m)
{
    json = Json::Value::object();
    writeCommon(json, m.rmsDB, m.peak, m.centroidHz, m.octaveDB, m.sideToMidDB);
    json["envelopeDB"] = m.envelopeDB;
}

void from_json(const Json::Value& json, ProbeMetrics& m)
{
    using namespace Json;
    constexpr const char* what = "ProbeMetrics";
    ProbeMetrics r;
    readCommon(json, what, r);
    r.envelopeDB = requiredNumbers(json, "envelopeDB", what);
    m = std::move(r);
}

} // namespace veltrane
