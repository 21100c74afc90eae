#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "FractalCore/FractalType.h"
#include "Synth/OrbitTable.h"
#include "Synth/Waveform.h"

using namespace veltrane;

namespace {

// The waveform the tables describe, evaluated directly at 1024 phases: its largest magnitude.
double peakOf(const OrbitTable::Table& re, const OrbitTable::Table& im)
{
    double peak = 0;
    for (int j = 0; j < 1024; ++j) {
        const double t = 2 * M_PI * j / 1024;
        double sum = 0;
        for (int k = 1; k < 128; ++k) sum += re[k] * std::cos(k * t) + im[k] * std::sin(k * t);
        peak = std::max(peak, std::fabs(sum));
    }
    return peak;
}

std::vector<double> spiral(int n)
{
    std::vector<double> p;
    for (int i = 0; i < n; ++i) {
        p.push_back(0.9 * std::cos(i * 0.7) * (1 + 0.01 * i));
        p.push_back(0.9 * std::sin(i * 0.7));
    }
    return p;
}

} // namespace

TEST(OrbitTable, FewerThanTwoPointsGiveAPureSine)
{
    for (long length : {-5L, 0L, 1L}) {
        const std::vector<double> points = {0.3, 0.4, 0.5, 0.6};
        const auto [re, im] = OrbitTable::make(points, length);
        for (int k = 0; k < 128; ++k) {
            EXPECT_EQ(re[k], k == 1 ? 1.0f : 0.0f);
            EXPECT_EQ(im[k], 0.0f);
        }
    }
}

TEST(OrbitTable, UsesAtMost48PointsAndNoMoreThanGiven)
{
    const std::vector<double> points = spiral(100);
    const auto [re, im] = OrbitTable::make(points, 100);
    EXPECT_NE(re[47], 0.0f);
    for (int k = 48; k < 128; ++k) EXPECT_EQ(re[k] == 0.0f && im[k] == 0.0f, true) << k;
    EXPECT_EQ(re[0], 0.0f);
    EXPECT_NEAR(peakOf(re, im), 1.0, 1e-5);

    // A length beyond the points given is trusted only as far as the points go.
    const std::vector<double> ten(points.begin(), points.begin() + 20);
    const auto [re10, im10] = OrbitTable::make(ten, 1000000);
    const auto [exact, exactIm] = OrbitTable::make(ten, 10);
    EXPECT_EQ(re10, exact);
    EXPECT_EQ(im10, exactIm);
    const std::vector<double> odd = {0.1, 0.2, 0.3}; // one and a half points
    EXPECT_EQ(OrbitTable::make(odd, 2).first[1], 1.0f);
}

TEST(OrbitTable, WeakFundamentalIsRaisedToSixTenthsOfThePeak)
{
    std::vector<double> points = spiral(20);
    points[2] = 1e-9; // point 1: tiny, positive
    points[3] = 0.0;
    const auto [re, im] = OrbitTable::make(points, 20);
    float largest = 0;
    for (int k = 2; k < 128; ++k) largest = std::max({largest, std::fabs(re[k]), std::fabs(im[k])});
    EXPECT_NEAR(re[1] / largest, 0.6f, 1e-5);
    EXPECT_GT(re[1], 0.0f);
}

TEST(OrbitTable, NormalisedWaveformPeaksAtOne)
{
    OrbitTable::Table re{}, im{};
    re[1] = 3.0f;
    im[3] = -1.5f;
    re[0] = 7.0f; // scaled too
    OrbitTable::normalise(re, im);
    EXPECT_NEAR(peakOf(re, im), 1.0, 1e-6);
    EXPECT_FLOAT_EQ(re[0] / re[1], 7.0f / 3.0f);

    OrbitTable::Table zero{}, zeroIm{};
    OrbitTable::normalise(zero, zeroIm);
    EXPECT_EQ(zero[1], 0.0f);
}

TEST(OrbitTable, NonFinitePointsAddNothing)
{
    std::vector<double> points = spiral(10);
    points[8] = INFINITY;
    points[11] = NAN;
    const auto [re, im] = OrbitTable::make(points, 10);
    for (int k = 0; k < 128; ++k) ASSERT_TRUE(std::isfinite(re[k]) && std::isfinite(im[k])) << k;
    EXPECT_EQ(re[4], 0.0f);
    EXPECT_EQ(re[5], 0.0f);
}

TEST(Waveform, RawValuesAndLabels)
{
    const char* labels[] = {"SAW", "SIN", "SQU", "TRI", "PLS", "PWM"};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(rawValue(Waveforms::allCases[i]), i);
        EXPECT_EQ(waveformFromRawValue(i), Waveforms::allCases[i]);
        EXPECT_EQ(label(Waveforms::allCases[i]), labels[i]);
    }
    EXPECT_FALSE(waveformFromRawValue(6));
    EXPECT_FALSE(waveformFromRawValue(-1));
}

TEST(OrbitTable, FromACentreOrbit)
{
    const Orbits::Centre orbit = Orbits::centre(FractalType::mandelbrot, -0.1, 0.65, Complex{0, 0}, 64);
    ASSERT_GE(orbit.length, 48);
    const auto [re, im] = OrbitTable::make(orbit);
    EXPECT_EQ(re, OrbitTable::make(orbit.points, orbit.length).first);
    EXPECT_NEAR(peakOf(re, im), 1.0, 1e-5);
    EXPECT_NE(im[47], 0.0f);
}
