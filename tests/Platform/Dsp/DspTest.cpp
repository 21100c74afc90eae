#include "Platform/Dsp/Dsp.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <random>
#include <thread>
#include <vector>

using namespace veltrane::dsp;

namespace {

std::vector<std::complex<double>> directDft(const std::vector<float>& x)
{
    const int n = static_cast<int>(x.size());
    std::vector<std::complex<double>> out(n / 2 + 1);
    for (int k = 0; k <= n / 2; ++k) {
        std::complex<double> sum = 0.0;
        for (int j = 0; j < n; ++j) {
            const double a = -2.0 * std::numbers::pi * static_cast<double>((static_cast<long>(j) * k) % n) / n;
            sum += static_cast<double>(x[j]) * std::complex<double>(std::cos(a), std::sin(a));
        }
        out[k] = sum;
    }
    return out;
}

std::vector<float> randomSignal(int n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> d(-1.0f, 1.0f);
    std::vector<float> x(n);
    for (auto& v : x) v = d(rng);
    return x;
}

class RealFftSizes : public ::testing::TestWithParam<int> {};

TEST_P(RealFftSizes, ForwardMatchesDirectDftAndInverseRoundTrips)
{
    const int n = GetParam();
    const RealFft fft(n);
    const auto x = randomSignal(n, 7u + n);
    AlignedFloats time(n), spectrum(n + 2);
    for (int i = 0; i < n; ++i) time[i] = x[i];
    fft.forward(time.data(), spectrum.data());
    const auto ref = directDft(x);
    double err = 0.0, norm = 0.0;
    for (int k = 0; k <= n / 2; ++k) {
        err = std::max(err, std::abs(std::complex<double>(spectrum[2 * k], spectrum[2 * k + 1]) - ref[k]));
        norm = std::max(norm, std::abs(ref[k]));
    }
    EXPECT_LT(err / norm, 2e-6) << "n = " << n;
    EXPECT_EQ(spectrum[1], 0.0f);
    EXPECT_EQ(spectrum[n + 1], 0.0f);

    AlignedFloats back(n);
    fft.inverse(spectrum.data(), back.data());
    for (int i = 0; i < n; ++i) ASSERT_NEAR(back[i] / n, x[i], 1e-5) << i;
}

TEST_P(RealFftSizes, PackedFormIsTwiceTheDftWithNyquistInBinZero)
{
    const int n = GetParam();
    const RealFft fft(n);
    const auto x = randomSignal(n, 99u + n);
    std::vector<float> re(n / 2), im(n / 2);
    fft.forwardPacked(x.data(), re.data(), im.data()); // plain, unaligned memory is fine here
    const auto ref = directDft(x);
    const double tol = 4e-6 * n;
    EXPECT_NEAR(re[0], 2.0 * ref[0].real(), tol);
    EXPECT_NEAR(im[0], 2.0 * ref[n / 2].real(), tol);
    for (int k = 1; k < n / 2; ++k) {
        ASSERT_NEAR(re[k], 2.0 * ref[k].real(), tol) << k;
        ASSERT_NEAR(im[k], 2.0 * ref[k].imag(), tol) << k;
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, RealFftSizes, ::testing::Values(256, 1024, 4096, 8192));

TEST(RealFft, RejectsSizesThatAreNotPowersOfTwo)
{
    EXPECT_THROW(RealFft(0), std::invalid_argument);
    EXPECT_THROW(RealFft(1000), std::invalid_argument);
    EXPECT_THROW(RealFft(2), std::invalid_argument);
}

TEST(RealFft, SharedPlanExecutesOnTwoThreadsAtOnce)
{
    const int n = 4096;
    const RealFft fft(n);
    auto run = [&](unsigned seed, double* worst) {
        const auto x = randomSignal(n, seed);
        AlignedFloats t(n), s(n + 2), b(n);
        for (int r = 0; r < 200; ++r) {
            for (int i = 0; i < n; ++i) t[i] = x[i];
            fft.forward(t.data(), s.data());
            fft.inverse(s.data(), b.data());
            for (int i = 0; i < n; ++i) *worst = std::max(*worst, static_cast<double>(std::fabs(b[i] / n - x[i])));
        }
    };
    double w1 = 0, w2 = 0;
    std::thread a(run, 1u, &w1), b(run, 2u, &w2);
    a.join();
    b.join();
    EXPECT_LT(w1, 1e-5);
    EXPECT_LT(w2, 1e-5);
}

TEST(Windows, BlackmanAndHannAreFullPeriodicWindows)
{
    const auto b = blackmanWindow(1024);
    const auto h = hannWindow(8192);
    ASSERT_EQ(b.size(), 1024u);
    ASSERT_EQ(h.size(), 8192u);
    EXPECT_NEAR(b[0], 0.0f, 1e-7);
    EXPECT_NEAR(b[512], 1.0f, 1e-6); // peak in the middle: w[n/2] = 0.42 + 0.5 + 0.08
    EXPECT_NEAR(b[256], 0.42f - 0.08f, 1e-6);
    EXPECT_NEAR(b[1], b[1023], 1e-7); // periodic: symmetric about n/2, not (n-1)/2
    EXPECT_EQ(h[0], 0.0f);
    EXPECT_NEAR(h[4096], 1.0f, 1e-7);
    EXPECT_NEAR(h[2048], 0.5f, 1e-7);
}

TEST(VectorHelpers, RmsMagnitudesAndMultiply)
{
    const std::vector<float> x{3.0f, -4.0f, 0.0f, 0.0f};
    EXPECT_FLOAT_EQ(rms(x.data(), 4), 2.5f);
    EXPECT_EQ(rms(x.data(), 0), 0.0f);
    EXPECT_FLOAT_EQ(maxMagnitude(x.data(), 4), 4.0f);
    std::vector<float> m(2);
    magnitudes(x.data(), x.data() + 1, m.data(), 2);
    EXPECT_FLOAT_EQ(m[0], 5.0f);
    EXPECT_FLOAT_EQ(m[1], 4.0f);
    std::vector<float> p(4);
    multiply(x.data(), x.data(), p.data(), 4);
    EXPECT_FLOAT_EQ(p[1], 16.0f);
}

} // namespace

namespace {
TEST(RealFft, SharedInstanceIsOnePerSize)
{
    const RealFft& a = RealFft::shared(256);
    EXPECT_EQ(&a, &RealFft::shared(256));
    EXPECT_NE(&a, &RealFft::shared(4096));
    EXPECT_EQ(RealFft::shared(4096).size(), 4096);
    EXPECT_THROW(RealFft::shared(100), std::invalid_argument);
}
} // namespace
