#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <stdexcept>
#include <vector>

#include "Platform/Json/Json.h"
#include "Synth/ProbeMetrics.h"

using namespace veltrane;

namespace {

constexpr double pi = std::numbers::pi;

std::vector<float> sine(double hz, double amp, size_t n, double rate)
{
    std::vector<float> x(n);
    for (size_t i = 0; i < n; ++i) x[i] = (float)(amp * std::sin(2 * pi * hz * (double)i / rate));
    return x;
}

} // namespace

TEST(AudioMetrics, SilenceAndShortSignalsAreMeasuredWithoutFailure)
{
    const std::vector<float> silent(20000, 0.0f);
    const AudioMetrics m = AudioMetrics::measure(silent, silent, 48000);
    EXPECT_EQ(m.rmsDB, -180);
    EXPECT_EQ(m.sideToMidDB, 0);
    EXPECT_EQ(m.centroidHz, 0);
    EXPECT_EQ(m.octaveDB, std::vector<double>(10, 0.0));
    EXPECT_EQ(m.jumpRatio, 0);
    EXPECT_EQ(m.peak, 0);

    // Below one 8192-point frame there is no spectrum.
    const std::vector<float> short_ = sine(1000, 0.5, 8191, 48000);
    const AudioMetrics s = AudioMetrics::measure(short_, short_, 48000);
    EXPECT_EQ(s.centroidHz, 0);
    EXPECT_EQ(s.octaveDB, std::vector<double>(10, 0.0));
    EXPECT_NEAR(s.rmsDB, 20 * std::log10(0.5 / std::sqrt(2.0)), 0.01);

    const std::vector<float> one{0.25f};
    EXPECT_EQ(AudioMetrics::measure(one, one, 48000).jumpRatio, 0);
}

TEST(AudioMetrics, OctaveBandBins)
{
    EXPECT_EQ(AudioMetrics::octaveBins(0, 48000), std::make_pair(3, 7));       // 22..44 Hz at 5.859375 Hz
    EXPECT_EQ(AudioMetrics::octaveBins(9, 48000), std::make_pair(1922, 3844)); // 11264..22528 Hz
    EXPECT_EQ(AudioMetrics::octaveBins(9, 44100).second, 4096);                // capped at the last bin
    EXPECT_EQ(AudioMetrics::octaveBins(0, 8000).first, 22);
}

TEST(AudioMetrics, ToneLevelSpectrumAndStereo)
{
    constexpr double rate = 48000;
    const std::vector<float> left = sine(1000, 0.5, 48000, rate);
    std::vector<float> right = left;
    const AudioMetrics same = AudioMetrics::measure(left, right, rate);
    EXPECT_NEAR(same.rmsDB, 20 * std::log10(0.5 / std::sqrt(2.0)), 0.01);
    EXPECT_NEAR(same.sideToMidDB, 20 * std::log10(1e-9 / (0.5 / std::sqrt(2.0))), 0.01); // about -171 dB
    EXPECT_NEAR(same.centroidHz, 1000, 1.0);
    EXPECT_NEAR(same.octaveDB[5], 0, 0.01); // 704..1408 Hz holds the tone
    for (int i : {0, 1, 2, 3, 8, 9}) EXPECT_LT(same.octaveDB[(size_t)i], -60) << "band " << i;
    EXPECT_NEAR(same.peak, 0.5, 1e-6);
    EXPECT_EQ(same.firstSample, 0.0);
    EXPECT_EQ(same.lastSample, left.back());

    for (float& v : right) v = -v * 0.5f; // mid 0.25 x left, side 0.75 x left
    const AudioMetrics wide = AudioMetrics::measure(left, right, rate);
    EXPECT_NEAR(wide.sideToMidDB, 20 * std::log10(3.0), 0.01);

    AudioMetrics shifted = same;
    for (double& v : shifted.octaveDB) v += 2;
    EXPECT_DOUBLE_EQ(same.bandDistance(shifted), 2.0);
}

TEST(AudioMetrics, JumpRatioOfOneClick)
{
    std::vector<float> x(10001);
    for (size_t i = 0; i < x.size(); ++i) x[i] = (float)(i % 2) * 0.01f; // every jump 0.01
    x[5000] = 0.5f;                                                      // one click
    const AudioMetrics m = AudioMetrics::measure(x, x, 48000);
    // 10000 jumps: the 99.9th percentile is element 9990 of the sorted list, still 0.01.
    EXPECT_NEAR(m.jumpRatio, (0.5 - 0.01) / 0.01, 1e-3);
}

TEST(ProbeMetrics, MeasuresFromTheStartSecondButEnvelopesTheWholeRender)
{
    constexpr double rate = 48000;
    std::vector<float> left = sine(440, 0.1, 6 * 48000, rate);
    for (size_t i = 72000; i < left.size(); ++i) left[i] *= 5; // louder from 1.5 s on
    const std::vector<float> right = left;

    const ProbeMetrics whole = ProbeMetrics::measure(left, right, rate, 0);
    const AudioMetrics a = AudioMetrics::measure(left, right, rate);
    EXPECT_EQ(whole.rmsDB, a.rmsDB);
    EXPECT_EQ(whole.octaveDB, a.octaveDB);
    EXPECT_EQ(whole.centroidHz, a.centroidHz);

    const ProbeMetrics late = ProbeMetrics::measure(left, right, rate, 1.5);
    const AudioMetrics tail =
        AudioMetrics::measure(std::span(left).subspan(72000), std::span(right).subspan(72000), rate);
    EXPECT_EQ(late.rmsDB, tail.rmsDB);
    EXPECT_EQ(late.peak, tail.peak);
    EXPECT_EQ(late.sideToMidDB, tail.sideToMidDB);
    ASSERT_EQ(late.envelopeDB.size(), 120u);
    EXPECT_NEAR(late.envelopeDB[0], 10 * std::log10(0.01 / 2), 0.01); // mean square of a 0.1 sine
    EXPECT_NEAR(late.envelopeDB[119], 10 * std::log10(0.25 / 2), 0.01);

    EXPECT_EQ(ProbeMetrics::measure(std::vector<float>(48000), std::vector<float>(48000), rate, 0).envelopeDB,
              std::vector<double>(20, -140.0));
    EXPECT_TRUE(ProbeMetrics::measure(std::vector<float>(2352), std::vector<float>(2352), rate, 0).envelopeDB.empty());
}

TEST(ProbeMetrics, DistancesCountOnlyAudibleBandsAndWindows)
{
    ProbeMetrics a, b;
    a.octaveDB = std::vector<double>(10, -70);
    b.octaveDB = std::vector<double>(10, -65);
    EXPECT_EQ(a.bandDistance(b), 0); // all below -60 dB
    b.octaveDB[3] = -20;
    b.octaveDB[4] = -50;
    EXPECT_DOUBLE_EQ(a.bandDistance(b), (50.0 + 20.0) / 2);

    // Values at or below -90 count as -90; windows where both are at or below -70 do not count.
    a.envelopeDB = {-140, -140, -30, -10, -75};
    b.envelopeDB = {-60, -80, -31, -14, -72, -3};
    EXPECT_DOUBLE_EQ(a.envelopeDistance(b), (30.0 + 1.0 + 4.0) / 3);
    b.envelopeDB = {-100, -72};
    EXPECT_EQ(a.envelopeDistance(b), 0);
}

TEST(ProbeMetrics, Residual)
{
    const std::vector<float> x = sine(300, 0.5, 4800, 48000), silent(4800, 0.0f);
    double energy = 0;
    for (float v : x) energy += (double)v * v;
    EXPECT_NEAR(residualDB(x, x, 0), 10 * std::log10(1e-30 / energy), 1e-9);
    EXPECT_NEAR(residualDB(x, silent, 0), 10 * std::log10(energy / 1e-30), 1e-9);
    EXPECT_EQ(residualDB(x, x, 4800), 0);
    std::vector<float> half = x;
    for (float& v : half) v *= 0.5f;
    EXPECT_NEAR(residualDB(half, x, 0), 20 * std::log10(0.5), 1e-6);
    EXPECT_NEAR(residualDB(half, std::span(x).first(2400), 1200), 20 * std::log10(0.5), 1e-6);
}

TEST(ProbeMetrics, RefusesInputsOutsideTheMeasurements)
{
    const std::vector<float> x(48000, 0.1f), shorter(47999, 0.1f), empty;
    EXPECT_THROW(AudioMetrics::measure(empty, x, 48000), std::invalid_argument);
    EXPECT_THROW(AudioMetrics::measure(x, empty, 48000), std::invalid_argument);
    EXPECT_THROW(AudioMetrics::measure(x, x, 44 * 8192 + 1), std::invalid_argument);
    EXPECT_THROW(AudioMetrics::measure(x, x, 0), std::invalid_argument);
    EXPECT_THROW(AudioMetrics::measure(x, x, NAN), std::invalid_argument);
    EXPECT_NO_THROW(AudioMetrics::measure(x, x, 44 * 8192));

    EXPECT_THROW(ProbeMetrics::measure(x, x, 48000, 1.0), std::invalid_argument); // starts at the end
    EXPECT_THROW(ProbeMetrics::measure(x, x, 48000, 7.0), std::invalid_argument); // beyond it
    EXPECT_THROW(ProbeMetrics::measure(x, x, 48000, -0.1), std::invalid_argument);
    EXPECT_THROW(ProbeMetrics::measure(x, shorter, 48000, 0), std::invalid_argument);
    EXPECT_NO_THROW(ProbeMetrics::measure(shorter, x, 48000, 0));
    EXPECT_THROW(ProbeMetrics::measure(x, x, 19.9, 0), std::invalid_argument);
    EXPECT_NO_THROW(ProbeMetrics::measure(x, x, 20, 0));
    EXPECT_THROW(ProbeMetrics::measure(empty, empty, 48000, 0), std::invalid_argument);

    EXPECT_THROW(residualDB(x, shorter, 48000), std::invalid_argument);
    EXPECT_THROW(residualDB(x, x, -1), std::invalid_argument);
}

// The floors stand for silence; a render gone to NaN is not silence.
TEST(ProbeMetrics, NaNIsNotMeasuredAsSilence)
{
    std::vector<float> x(20000, 0.0f);
    x[9000] = NAN;
    const ProbeMetrics m = ProbeMetrics::measure(x, x, 48000, 0);
    EXPECT_TRUE(std::isnan(m.rmsDB));
    EXPECT_TRUE(std::isnan(m.octaveDB[0]));
    EXPECT_TRUE(std::isnan(AudioMetrics::measure(x, x, 48000).jumpRatio));
    EXPECT_EQ(m.envelopeDB[2], -140);
    EXPECT_TRUE(std::isnan(m.envelopeDB[3]));
    EXPECT_TRUE(std::isnan(residualDB(x, std::vector<float>(20000, 0.0f), 0)));
    EXPECT_TRUE(std::isnan(residualDB(std::vector<float>(20000, 0.0f), x, 0)));
    EXPECT_THROW(Json::write(Json::Value(m)), Json::Error);
}

TEST(ProbeMetrics, JsonRoundTripAndRequiredKeys)
{
    const std::vector<float> x = sine(500, 0.3, 20000, 48000);
    const ProbeMetrics m = ProbeMetrics::measure(x, x, 48000, 0.1);
    const Json::Value json = Json::parse(Json::write(Json::Value(m)));
    EXPECT_EQ(json.get<ProbeMetrics>(), m);
    for (const char* key : {"rmsDB", "peak", "centroidHz", "octaveDB", "sideToMidDB", "envelopeDB"}) {
        Json::Value missing = json;
        missing.erase(key);
        EXPECT_THROW(missing.get<ProbeMetrics>(), Json::Error) << key;
    }
    Json::Value wrong = json;
    wrong["octaveDB"] = "loud";
    EXPECT_THROW(wrong.get<ProbeMetrics>(), Json::Error);

    const AudioMetrics a = AudioMetrics::measure(x, x, 48000);
    EXPECT_EQ(Json::parse(Json::write(Json::Value(a))).get<AudioMetrics>(), a);
    Json::Value noJump = Json::Value(a);
    noJump.erase("jumpRatio");
    EXPECT_THROW(noJump.get<AudioMetrics>(), Json::Error);
}
