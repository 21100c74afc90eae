// REAL-TIME CODE below the "render side" marker: vk_rv_tick runs on the render thread inside
// vk_render. It allocates nothing, locks nothing and waits for nothing; its work per 128 samples is
// bounded (one 256-point transform pair per channel, at most 32 short and ceil(P / 16) long
// multiply-accumulates, and once per 2048 samples one 4096-point transform pair per channel).

#include "CSynth/reverb.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>

#include "Platform/Dsp/Dsp.h"

using veltrane::dsp::AlignedFloats;
using veltrane::dsp::RealFft;

namespace {

constexpr int kBlock = 128;
constexpr int kShortFft = 256;
constexpr int kShortMax = 32;
constexpr int kLong = 2048;
constexpr int kLongFft = 4096;
constexpr int kBlocksPerLong = kLong / kBlock;       // 16
constexpr int kLongStart = 128 + kShortMax * kBlock; // 4224: first tap of the long partitions
constexpr int kOutSlots = 4;

// Spectra are stored in blocks of kLane bins: the block's kLane real parts, then its kLane imaginary
// parts. The multiply-accumulate then reads each spectrum as one contiguous stream and keeps a block
// of the accumulator in registers across all partitions of a pass. Bins past the last used one are
// padding and stay zero.
constexpr int kLane = 16;
constexpr int kShortBins = 144; // 129 used
constexpr int kLongBins = 2064; // 2049 used
constexpr int kShortSpec = 2 * kShortBins;
constexpr int kLongSpec = 2 * kLongBins;

constexpr float kDefaultDecay = 2.5f;

// The active and pending set indices in one word: bits 0-1 active, bits 2-3 pending; 3 = none.
constexpr uint32_t kNone = 3;
constexpr uint32_t packState(uint32_t active, uint32_t pending) { return active | (pending << 2); }
constexpr uint32_t activeOf(uint32_t s) { return s & 3u; }
constexpr uint32_t pendingOf(uint32_t s) { return (s >> 2) & 3u; }

struct IrSet {
    AlignedFloats ir[2];        // time domain, maxLength floats
    AlignedFloats shortSpec[2]; // kShortMax x kShortSpec, scaled for an exact convolution
    AlignedFloats longSpec[2];  // maxLong x kLongSpec
    int length = 0;
    int shortCount = 0;
    int longCount = 0;
    float decay = 0.0f; // only read by the render thread after it took the set (acquire)
};

void interleavedToBlocked(const float* in, float* out, int bins, float scale)
{
    for (int k = 0; k < bins; ++k) {
        float* block = out + (k / kLane) * 2 * kLane + k % kLane;
        block[0] = in[2 * k] * scale;
        block[kLane] = in[2 * k + 1] * scale;
    }
}

void blockedToInterleaved(const float* in, float* out, int bins)
{
    for (int k = 0; k < bins; ++k) {
        const float* block = in + (k / kLane) * 2 * kLane + k % kLane;
        out[2 * k] = block[0];
        out[2 * k + 1] = block[kLane];
    }
}

// Instruction-set clones are resolved through ifuncs, which run before ThreadSanitizer's runtime is
// up; the instrumented build does without them.
#if defined(__SANITIZE_THREAD__)
#define VK_SIMD_CLONES
#else
#define VK_SIMD_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#endif

// acc += x[i] * h[i] for i = 0 .. count - 1, in that order, over `bins` bins (a multiple of kLane) of
// blocked spectra. Each accumulator bin sees exactly the additions of a partition-by-partition loop in
// the same order, element-wise only (no reassociation, no fused multiply-add), so every
// instruction-set clone gives the same bits.
constexpr int kPrefetch = 8 * 2 * kLane; // floats ahead of the block in use

VK_SIMD_CLONES void complexMultiplyAccumulate(float* __restrict acc, const float* const* __restrict x,
                                              const float* const* __restrict h, int count, int bins)
{
    for (int b = 0; b < bins; b += kLane) {
        float* __restrict block = acc + 2 * b;
        float re[kLane], im[kLane];
        for (int k = 0; k < kLane; ++k) {
            re[k] = block[k];
            im[k] = block[kLane + k];
        }
        for (int i = 0; i < count; ++i) {
            const float* __restrict xb = x[i] + 2 * b;
            const float* __restrict hb = h[i] + 2 * b;
            // Dozens of streams at once are more than the hardware prefetcher follows; the long
            // partitions come from far beyond the caches.
            __builtin_prefetch(xb + kPrefetch, 0, 0);
            __builtin_prefetch(xb + kPrefetch + kLane, 0, 0);
            __builtin_prefetch(hb + kPrefetch, 0, 0);
            __builtin_prefetch(hb + kPrefetch + kLane, 0, 0);
            for (int k = 0; k < kLane; ++k) {
                const float xr = xb[k], xi = xb[kLane + k], hr = hb[k], hi = hb[kLane + k];
                re[k] += xr * hr - xi * hi;
                im[k] += xr * hi + xi * hr;
            }
        }
        for (int k = 0; k < kLane; ++k) {
            block[k] = re[k];
            block[kLane + k] = im[k];
        }
    }
}

} // namespace

struct vk_reverb {
    double rate = 0.0;
    int maxLength = 0;                 // Lmax
    int maxLong = 0;                   // C
    const RealFft* fftShort = nullptr; // shared plans: execution on our own buffers is thread-safe
    const RealFft* fftLong = nullptr;
    AlignedFloats noise[2];
    IrSet sets[2];
    std::atomic<uint32_t> state{packState(kNone, kNone)};
    std::atomic<float> activeDecay{0.0f};

    // Builder scratch (never touched by the render thread).
    AlignedFloats buildTime;     // kLongFft
    AlignedFloats buildSpectrum; // kLongFft + 2

    // ---- render side ----
    struct Channel {
        AlignedFloats input;     // 256: previous block, current block
        AlignedFloats shortRing; // kShortMax x kShortSpec input spectra
        AlignedFloats shortAcc;  // kShortSpec
        AlignedFloats longInput; // 4096: previous 2048, collected 2048
        AlignedFloats longRing;  // maxLong x kLongSpec input spectra
        AlignedFloats longAcc;   // kLongSpec
        AlignedFloats outRing;   // kOutSlots x 2048 tail output
        float outBlock[kBlock];
    } ch[2];
    AlignedFloats time;     // kLongFft
    AlignedFloats spectrum; // kLongFft + 2
    int position = 0;
    int64_t blockCounter = 0;
    int shortPos = 0;
    int longPos = 0;
};

namespace {

void fillNoise(vk_reverb* rv)
{
    uint32_t x = 625341585u;
    auto next = [&x]() {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return static_cast<int32_t>(x);
    };
    for (int c = 0; c < 2; ++c) {
        float* out = rv->noise[c].data();
        for (int i = 0; i < rv->maxLength; ++i) {
            const double a = next();
            const double b = next();
            out[i] = static_cast<float>((a + b) * 0x1p-32);
        }
    }
}

void takePending(vk_reverb* rv)
{
    uint32_t s = rv->state.load(std::memory_order_acquire);
    const uint32_t pending = pendingOf(s);
    if (pending == kNone) return;
    // The new set becomes active in the same store that clears the mark: a builder that sees no
    // pending set also sees the new active one and picks the other set.
    rv->activeDecay.store(rv->sets[pending].decay, std::memory_order_relaxed);
    rv->state.store(packState(pending, kNone), std::memory_order_release);
}

void clearHistory(vk_reverb* rv)
{
    for (auto& c : rv->ch) {
        std::fill_n(c.input.data(), c.input.size(), 0.0f);
        std::fill_n(c.shortRing.data(), c.shortRing.size(), 0.0f);
        std::fill_n(c.shortAcc.data(), c.shortAcc.size(), 0.0f);
        std::fill_n(c.longInput.data(), c.longInput.size(), 0.0f);
        std::fill_n(c.longRing.data(), c.longRing.size(), 0.0f);
        std::fill_n(c.longAcc.data(), c.longAcc.size(), 0.0f);
        std::fill_n(c.outRing.data(), c.outRing.size(), 0.0f);
        std::fill_n(c.outBlock, kBlock, 0.0f);
    }
    rv->position = 0;
    rv->blockCounter = 0;
    rv->shortPos = 0;
    rv->longPos = 0;
}

} // namespace

vk_reverb* vk_rv_create(double rate, double maxSeconds)
{
    if (!(rate > 0.0) || !(maxSeconds > 0.0)) return nullptr;
    if (!(std::ceil(maxSeconds * rate) < 2147483647.0)) return nullptr; // taps are indexed with int
    vk_reverb* rv = new (std::nothrow) vk_reverb;
    if (!rv) return nullptr;
    try {
        rv->rate = rate;
        rv->maxLength = static_cast<int>(std::ceil(maxSeconds * rate));
        rv->maxLong = rv->maxLength <= kBlock ? 1 : (rv->maxLength - kLongStart) / kLong + 2;
        if (rv->maxLong < 1) rv->maxLong = 1;
        // A build never makes fewer than 129 taps; keep room for them whatever the maximum.
        const std::size_t irFloats = static_cast<std::size_t>(std::max(rv->maxLength, 129));
        rv->fftShort = &RealFft::shared(kShortFft);
        rv->fftLong = &RealFft::shared(kLongFft);
        for (int c = 0; c < 2; ++c) {
            rv->noise[c] = AlignedFloats(irFloats);
            for (auto& set : rv->sets) {
                set.ir[c] = AlignedFloats(irFloats);
                set.shortSpec[c] = AlignedFloats(static_cast<std::size_t>(kShortMax) * kShortSpec);
                set.longSpec[c] = AlignedFloats(static_cast<std::size_t>(rv->maxLong) * kLongSpec);
            }
            auto& h = rv->ch[c];
            h.input = AlignedFloats(kShortFft);
            h.shortRing = AlignedFloats(static_cast<std::size_t>(kShortMax) * kShortSpec);
            h.shortAcc = AlignedFloats(kShortSpec);
            h.longInput = AlignedFloats(kLongFft);
            h.longRing = AlignedFloats(static_cast<std::size_t>(rv->maxLong) * kLongSpec);
            h.longAcc = AlignedFloats(kLongSpec);
            h.outRing = AlignedFloats(static_cast<std::size_t>(kOutSlots) * kLong);
        }
        rv->buildTime = AlignedFloats(kLongFft);
        rv->buildSpectrum = AlignedFloats(kLongFft + 2);
        rv->time = AlignedFloats(kLongFft);
        rv->spectrum = AlignedFloats(kLongFft + 2);
    } catch (...) {
        delete rv;
        return nullptr;
    }
    fillNoise(rv);
    vk_rv_build(rv, kDefaultDecay);
    vk_rv_reset(rv); // takes the set just built
    return rv;
}

void vk_rv_destroy(vk_reverb* rv) { delete rv; }

int vk_rv_build(vk_reverb* rv, float decay)
{
    const uint32_t s = rv->state.load(std::memory_order_acquire);
    if (pendingOf(s) != kNone) return 1;
    const uint32_t active = activeOf(s);
    const uint32_t target = active == 0 ? 1 : 0;
    IrSet& set = rv->sets[target];

    float clamped = decay;
    if (!(clamped >= 0.1f)) clamped = 0.1f; // NaN too
    if (clamped > 10.0f) clamped = 10.0f;
    const double x = clamped;
    const double rate = rv->rate;
    int n = static_cast<int>(std::min(static_cast<double>(rv->maxLength), std::floor(rate * (x + 0.01))));
    if (n < 130) n = 129;

    // Envelope: 10 ms predelay, then a fall by a factor 200 every ln(x + 1) seconds until 0.9 x,
    // then a straight fade to zero at x + 0.01.
    const double ln200 = std::log(200.0);
    const double lnx1 = std::log(x + 1.0);
    const double fadeStart = 0.9 * x + 0.01;
    const double k = std::exp(-0.9 * x * ln200 / lnx1);
    double sumSquares = 0.0;
    for (int c = 0; c < 2; ++c) {
        float* ir = set.ir[c].data();
        const float* noise = rv->noise[c].data();
        for (int i = 0; i < n; ++i) {
            const double t = i / rate;
            double env;
            if (t < 0.01)
                env = 0.0;
            else if (t < fadeStart)
                env = std::exp(-(t - 0.01) * ln200 / lnx1);
            else
                env = k * std::max((x + 0.01 - t) * 10.0 / x, 0.0);
            ir[i] = static_cast<float>(noise[i] * env);
            sumSquares += static_cast<double>(ir[i]) * ir[i];
        }
    }
    const double rms = std::sqrt(sumSquares / (2.0 * n));
    const double gain = 55.51749 / (std::max(rms, 1.25e-4) * rate);

    const int shortCount = std::min((n - 1) / kBlock, kShortMax);
    const int longCount = n > kLongStart ? std::min((n - 2177) / kLong, rv->maxLong) : 0;
    float* time = rv->buildTime.data();
    float* spectrum = rv->buildSpectrum.data();
    for (int c = 0; c < 2; ++c) {
        float* ir = set.ir[c].data();
        for (int i = 0; i < n; ++i) ir[i] = static_cast<float>(ir[i] * gain);
        // Partition p of `size` taps from tap `start + size p`, zero-padded to twice its size.
        // FFTW's transforms are unscaled both ways: 1/N on the stored spectra makes forward, product
        // and inverse an exact linear convolution.
        auto transform = [&](int count, int start, int size, const RealFft& fft, float* spectra, int stride) {
            for (int p = 0; p < count; ++p) {
                const int first = start + size * p;
                for (int j = 0; j < size; ++j) time[j] = first + j < n ? ir[first + j] : 0.0f;
                std::fill(time + size, time + 2 * size, 0.0f);
                fft.forward(time, spectrum);
                interleavedToBlocked(spectrum, spectra + static_cast<std::size_t>(p) * stride, size + 1,
                                     1.0f / float(2 * size));
            }
        };
        transform(shortCount, kBlock, kBlock, *rv->fftShort, set.shortSpec[c].data(), kShortSpec);
        transform(longCount, kLongStart, kLong, *rv->fftLong, set.longSpec[c].data(), kLongSpec);
    }
    set.length = n;
    set.shortCount = shortCount;
    set.longCount = longCount;
    set.decay = clamped;

    uint32_t expected = s;
    return rv->state.compare_exchange_strong(expected, packState(active, target), std::memory_order_release,
                                             std::memory_order_relaxed)
               ? 0
               : 1;
}

void vk_rv_reset(vk_reverb* rv)
{
    takePending(rv);
    clearHistory(rv);
}

float vk_rv_active_decay(const vk_reverb* rv) { return rv->activeDecay.load(std::memory_order_relaxed); }

const float* vk_rv_impulse(const vk_reverb* rv, int channel, int* length)
{
    const uint32_t active = activeOf(rv->state.load(std::memory_order_acquire));
    if (active == kNone || channel < 0 || channel > 1) {
        if (length) *length = 0;
        return nullptr;
    }
    if (length) *length = rv->sets[active].length;
    return rv->sets[active].ir[channel].data();
}

int vk_rv_max_length(const vk_reverb* rv) { return rv->maxLength; }

// ---------------------------------------------------------------- render side

namespace {

void processBlock(vk_reverb* rv)
{
    // The render thread is the only one that changes the active index, so a relaxed load sees its own
    // last store; the set's contents were acquired when it was taken.
    const uint32_t active = activeOf(rv->state.load(std::memory_order_relaxed));
    const IrSet* set = active == kNone ? nullptr : &rv->sets[active];
    const int shortCount = set ? set->shortCount : 0;
    const int longCount = set ? set->longCount : 0;
    const int64_t q = rv->blockCounter / kBlocksPerLong;
    const int d = static_cast<int>(rv->blockCounter % kBlocksPerLong);
    float* time = rv->time.data();
    float* spectrum = rv->spectrum.data();

    for (int c = 0; c < 2; ++c) {
        auto& h = rv->ch[c];
        float* input = h.input.data();

        // Short partitions: overlap-save over [previous block, current block].
        float* newest = h.shortRing.data() + static_cast<std::size_t>(rv->shortPos) * kShortSpec;
        rv->fftShort->forward(input, spectrum);
        interleavedToBlocked(spectrum, newest, kShortFft / 2 + 1, 1.0f);
        float* acc = h.shortAcc.data();
        std::fill_n(acc, kShortSpec, 0.0f);
        const float* xs[kShortMax];
        const float* hs[kShortMax];
        for (int k = 0; k < shortCount; ++k) {
            const int slot = (rv->shortPos - k) & (kShortMax - 1);
            xs[k] = h.shortRing.data() + static_cast<std::size_t>(slot) * kShortSpec;
            hs[k] = set->shortSpec[c].data() + static_cast<std::size_t>(k) * kShortSpec;
        }
        complexMultiplyAccumulate(acc, xs, hs, shortCount, kShortBins);
        blockedToInterleaved(acc, spectrum, kShortFft / 2 + 1);
        rv->fftShort->inverse(spectrum, time);
        std::memcpy(h.outBlock, time + kBlock, sizeof(float) * kBlock); // tail added below
        std::memcpy(h.longInput.data() + kLong + d * kBlock, input + kBlock, sizeof(float) * kBlock);
        std::memcpy(input, input + kBlock, sizeof(float) * kBlock);

        // Long partitions: during 2048-block q, X(q - 1 - i) x H_i, a sixteenth of them per block.
        if (q >= 1) {
            const int first = longCount * d / kBlocksPerLong;
            const int last = longCount * (d + 1) / kBlocksPerLong;
            // A pass covers at most ceil(C / 16) partitions; take them in groups that fit the pointer
            // arrays (one group in practice).
            constexpr int kGroup = 64;
            const float* xs[kGroup];
            const float* hs[kGroup];
            for (int start = first; start < last; start += kGroup) {
                const int count = std::min(kGroup, last - start);
                for (int j = 0; j < count; ++j) {
                    const int i = start + j;
                    int slot = (rv->longPos - i) % rv->maxLong;
                    if (slot < 0) slot += rv->maxLong;
                    xs[j] = h.longRing.data() + static_cast<std::size_t>(slot) * kLongSpec;
                    hs[j] = set->longSpec[c].data() + static_cast<std::size_t>(i) * kLongSpec;
                }
                complexMultiplyAccumulate(h.longAcc.data(), xs, hs, count, kLongBins);
            }
        }
        if (d == kBlocksPerLong - 1) {
            if (q >= 1) {
                blockedToInterleaved(h.longAcc.data(), spectrum, kLongFft / 2 + 1);
                rv->fftLong->inverse(spectrum, time);
                const int slot = static_cast<int>((q - 1) % kOutSlots);
                std::memcpy(h.outRing.data() + static_cast<std::size_t>(slot) * kLong, time + kLong,
                            sizeof(float) * kLong);
            }
            const int next = (rv->longPos + 1) % rv->maxLong;
            rv->fftLong->forward(h.longInput.data(), spectrum);
            interleavedToBlocked(spectrum, h.longRing.data() + static_cast<std::size_t>(next) * kLongSpec,
                                 kLongFft / 2 + 1, 1.0f);
            std::memcpy(h.longInput.data(), h.longInput.data() + kLong, sizeof(float) * kLong);
            std::fill_n(h.longAcc.data(), kLongSpec, 0.0f);
        }
    }
    if (d == kBlocksPerLong - 1) {
        rv->longPos = (rv->longPos + 1) % rv->maxLong;
        takePending(rv); // a new set takes effect on a 2048-sample boundary
    }

    // Tail output for the next 128 samples: the part of 2048-block q - 2's accumulation that falls here.
    if (q >= 2) {
        const int slot = static_cast<int>((q - 2) % kOutSlots);
        for (auto& h : rv->ch) {
            const float* tail = h.outRing.data() + static_cast<std::size_t>(slot) * kLong + d * kBlock;
            for (int j = 0; j < kBlock; ++j) h.outBlock[j] += tail[j];
        }
    }
    rv->shortPos = (rv->shortPos + 1) & (kShortMax - 1);
    ++rv->blockCounter;
}

} // namespace

void vk_rv_tick(vk_reverb* rv, float left, float right, float* outLeft, float* outRight)
{
    const int p = rv->position;
    rv->ch[0].input[kBlock + p] = left;
    rv->ch[1].input[kBlock + p] = right;
    *outLeft = rv->ch[0].outBlock[p];
    *outRight = rv->ch[1].outBlock[p];
    if (p == kBlock - 1) {
        processBlock(rv);
        rv->position = 0;
    } else {
        rv->position = p + 1;
    }
}
