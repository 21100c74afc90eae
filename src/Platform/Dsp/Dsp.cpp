#include "Platform/Dsp/Dsp.h"

#include <fftw3.h>

#include <algorithm>
#include <bit>
#include <memory>
#include <cmath>
#include <mutex>
#include <new>
#include <numbers>
#include <stdexcept>
#include <utility>

namespace veltrane::dsp {

namespace {
std::mutex& plannerMutex()
{
    static std::mutex m;
    return m;
}
} // namespace

AlignedFloats::AlignedFloats(std::size_t count)
{
    if (count == 0) return;
    data_ = fftwf_alloc_real(count);
    if (!data_) throw std::bad_alloc();
    size_ = count;
    for (std::size_t i = 0; i < count; ++i) data_[i] = 0.0f;
}

AlignedFloats::~AlignedFloats() { fftwf_free(data_); }

AlignedFloats::AlignedFloats(AlignedFloats&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0))
{}

AlignedFloats& AlignedFloats::operator=(AlignedFloats&& other) noexcept
{
    if (this != &other) {
        fftwf_free(data_);
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

RealFft::RealFft(int n) : n_(n)
{
    if (n < 4 || (n & (n - 1)) != 0) throw std::invalid_argument("RealFft: size must be a power of two >= 4");
    scratchTime_ = AlignedFloats(static_cast<std::size_t>(n));
    scratchSpectrum_ = AlignedFloats(static_cast<std::size_t>(n) + 2);
    // FFTW_ESTIMATE: deterministic plans (the same arithmetic on every run), and it leaves the arrays alone.
    std::lock_guard lock(plannerMutex());
    auto* spectrum = reinterpret_cast<fftwf_complex*>(scratchSpectrum_.data());
    forwardPlan_ = fftwf_plan_dft_r2c_1d(n, scratchTime_.data(), spectrum, FFTW_ESTIMATE);
    inversePlan_ = fftwf_plan_dft_c2r_1d(n, spectrum, scratchTime_.data(), FFTW_ESTIMATE);
    if (!forwardPlan_ || !inversePlan_) {
        if (forwardPlan_) fftwf_destroy_plan(static_cast<fftwf_plan>(forwardPlan_));
        if (inversePlan_) fftwf_destroy_plan(static_cast<fftwf_plan>(inversePlan_));
        throw std::bad_alloc();
    }
}

const RealFft& RealFft::shared(int n)
{
    if (n < 4 || (n & (n - 1)) != 0) throw std::invalid_argument("RealFft: size must be a power of two >= 4");
    static std::mutex mutex;
    static std::unique_ptr<RealFft> instances[31];
    std::lock_guard lock(mutex);
    auto& slot = instances[std::countr_zero(static_cast<unsigned>(n))];
    if (!slot) slot = std::make_unique<RealFft>(n);
    return *slot;
}

RealFft::~RealFft()
{
    std::lock_guard lock(plannerMutex());
    fftwf_destroy_plan(static_cast<fftwf_plan>(forwardPlan_));
    fftwf_destroy_plan(static_cast<fftwf_plan>(inversePlan_));
}

void RealFft::forward(const float* time, float* spectrum) const noexcept
{
    // FFTW's new-array execute takes a non-const input; r2c leaves it untouched.
    fftwf_execute_dft_r2c(static_cast<fftwf_plan>(forwardPlan_), const_cast<float*>(time),
                          reinterpret_cast<fftwf_complex*>(spectrum));
}

void RealFft::inverse(float* spectrum, float* time) const noexcept
{
    fftwf_execute_dft_c2r(static_cast<fftwf_plan>(inversePlan_), reinterpret_cast<fftwf_complex*>(spectrum), time);
}

void RealFft::forwardPacked(const float* time, float* re, float* im) const noexcept
{
    float* t = scratchTime_.data();
    float* s = scratchSpectrum_.data();
    for (int i = 0; i < n_; ++i) t[i] = time[i];
    forward(t, s);
    const int half = n_ / 2;
    re[0] = 2.0f * s[0];
    im[0] = 2.0f * s[2 * half];
    for (int k = 1; k < half; ++k) {
        re[k] = 2.0f * s[2 * k];
        im[k] = 2.0f * s[2 * k + 1];
    }
}

std::vector<float> blackmanWindow(int n)
{
    std::vector<float> w(static_cast<std::size_t>(std::max(n, 0)));
    for (int k = 0; k < n; ++k) {
        const double x = 2.0 * std::numbers::pi * k / n;
        w[k] = static_cast<float>(0.42 - 0.5 * std::cos(x) + 0.08 * std::cos(2.0 * x));
    }
    return w;
}

std::vector<float> hannWindow(int n)
{
    std::vector<float> w(static_cast<std::size_t>(std::max(n, 0)));
    for (int k = 0; k < n; ++k) w[k] = static_cast<float>(0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * k / n));
    return w;
}

float rms(const float* x, int n) noexcept
{
    if (n <= 0) return 0.0f;
    float sum = 0.0f;
    for (int i = 0; i < n; ++i) sum += x[i] * x[i];
    return std::sqrt(sum / static_cast<float>(n));
}

void multiply(const float* a, const float* b, float* out, int n) noexcept
{
    for (int i = 0; i < n; ++i) out[i] = a[i] * b[i];
}

void magnitudes(const float* re, const float* im, float* out, int n) noexcept
{
    for (int i = 0; i < n; ++i) out[i] = std::sqrt(re[i] * re[i] + im[i] * im[i]);
}

float maxMagnitude(const float* x, int n) noexcept
{
    float m = 0.0f;
    for (int i = 0; i < n; ++i) m = std::max(m, std::fabs(x[i]));
    return m;
}

} // namespace veltrane::dsp
