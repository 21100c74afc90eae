#pragma once
// Vector DSP layer over FFTW3 (single precision): real FFTs, windows, RMS and magnitudes.
//
// What it does:
//  - RealFft plans a real transform of one power-of-two size once (plan creation is serialised by a
//    process-wide mutex, because FFTW's planner is not thread-safe) and executes it on caller buffers.
//    Execution is thread-safe: one RealFft may be shared by several threads as long as each passes its
//    own buffers.
//  - Two conventions are offered. The natural one (forward/inverse) is FFTW's: N/2 + 1 interleaved
//    complex bins, both directions unscaled (forward then inverse multiplies by N). The packed one
//    (forwardPacked) reproduces the classic vector-library form: N/2 split-complex values, each twice
//    the plain DFT value, with bin 0 carrying 2 x DC in its real part and 2 x Nyquist in its imaginary
//    part. Code written for that form (analyser levels, probe spectra) gets the same numbers.
// What it does not do: allocate while executing, normalise, or accept unaligned buffers. Buffers passed
// to forward/inverse must come from AlignedFloats (FFTW's SIMD alignment); forwardPacked takes any memory.
#include <cstddef>
#include <vector>

namespace veltrane::dsp {

// A zeroed float array with FFTW's SIMD alignment. Move-only.
class AlignedFloats {
public:
    AlignedFloats() = default;
    explicit AlignedFloats(std::size_t count); // throws std::bad_alloc
    ~AlignedFloats();
    AlignedFloats(AlignedFloats&& other) noexcept;
    AlignedFloats& operator=(AlignedFloats&& other) noexcept;
    AlignedFloats(const AlignedFloats&) = delete;
    AlignedFloats& operator=(const AlignedFloats&) = delete;

    float* data() noexcept { return data_; }
    const float* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    float& operator[](std::size_t i) noexcept { return data_[i]; }
    float operator[](std::size_t i) const noexcept { return data_[i]; }

private:
    float* data_ = nullptr;
    std::size_t size_ = 0;
};

class RealFft {
public:
    // n: a power of two, at least 4 (256, 1024, 4096 and 8192 are the sizes in use). Throws
    // std::invalid_argument for another size and std::bad_alloc when FFTW cannot plan.
    explicit RealFft(int n);
    ~RealFft();
    RealFft(const RealFft&) = delete;
    RealFft& operator=(const RealFft&) = delete;

    // One process-wide instance per size, planned on first use and kept for the life of the process:
    // the plans of a size are made once however many users come and go. Only forward and inverse may
    // be called on it (forwardPacked uses the instance's scratch).
    static const RealFft& shared(int n);

    int size() const noexcept { return n_; }
    // Floats of one natural spectrum: N/2 + 1 complex bins, interleaved (re, im).
    int spectrumFloats() const noexcept { return n_ + 2; }

    // time: n floats; spectrum: n + 2 floats. Both from AlignedFloats (any offset that is a multiple of
    // 4 floats keeps the alignment). Unscaled: X[k] = sum_j x[j] e^(-2 pi i j k / N).
    void forward(const float* time, float* spectrum) const noexcept;
    // Unscaled inverse (returns N x the signal). Destroys the spectrum it reads.
    void inverse(float* spectrum, float* time) const noexcept;

    // Packed form (see above): re and im receive n / 2 values each. Uses internal scratch, so calls on
    // one RealFft must not overlap. Not for the real-time thread's shared instances.
    void forwardPacked(const float* time, float* re, float* im) const noexcept;

private:
    int n_;
    void* forwardPlan_ = nullptr;
    void* inversePlan_ = nullptr;
    mutable AlignedFloats scratchTime_;
    mutable AlignedFloats scratchSpectrum_;
};

// Full (not half) windows of n points, as the classic vector library defines them:
// Blackman w[k] = 0.42 - 0.5 cos(2 pi k / n) + 0.08 cos(4 pi k / n);
// denormalised Hann w[k] = 0.5 - 0.5 cos(2 pi k / n).
std::vector<float> blackmanWindow(int n);
std::vector<float> hannWindow(int n);

// Root mean square of n floats, accumulated in single precision (0 for n <= 0).
float rms(const float* x, int n) noexcept;
// out[k] = a[k] x b[k]; out may alias a or b.
void multiply(const float* a, const float* b, float* out, int n) noexcept;
// out[k] = sqrt(re[k]^2 + im[k]^2).
void magnitudes(const float* re, const float* im, float* out, int n) noexcept;
// Largest |x[k]| (0 for n <= 0).
float maxMagnitude(const float* x, int n) noexcept;

} // namespace veltrane::dsp
