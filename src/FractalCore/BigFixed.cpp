#include "FractalCore/BigFixed.h"

#include "FractalCore/BigFixedKernels.h"
#include "FractalCore/ZoomRules.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace veltrane {

namespace {

using Limb = BigFixed::Limb;
using u128 = unsigned __int128;

constexpr Limb kAllOnes = std::numeric_limits<Limb>::max();
constexpr Limb kTen19 = 10000000000000000000ull; // the largest power of ten below 2^64

int clampFracLimbs(int n, int max = BigFixed::maxFracLimbs) noexcept { return std::clamp(n, 1, max); }

// A 192-bit column accumulator of the schoolbook product: lo holds 128 bits, hi the carries above.
struct Column {
    u128 lo = 0;
    Limb hi = 0;

    void add(u128 p) noexcept
    {
        lo += p;
        hi += lo < p;
    }
    // Emits the lowest 64 bits and moves the rest down one limb.
    Limb shift() noexcept
    {
        const Limb out = static_cast<Limb>(lo);
        lo = (lo >> 64) | (static_cast<u128>(hi) << 64);
        hi = 0;
        return out;
    }
};

// Columns [from, 2f] of a·b for n = f + 1 limbs; the columns from f on are written to r[0..f].
// Returns the output word of column f − 1 (0 when that column was not computed).
inline Limb mulColumns(const Limb* a, const Limb* b, Limb* r, int n, int from) noexcept
{
    const int f = n - 1;
    Column acc;
    Limb below = 0;
    for (int k = from; k <= 2 * f; ++k) {
        const int lo = std::max(0, k - f);
        const int hi = std::min(k, f);
        for (int i = lo; i <= hi; ++i) acc.add(static_cast<u128>(a[i]) * b[k - i]);
        const Limb w = acc.shift();
        if (k >= f)
            r[k - f] = w;
        else if (k == f - 1)
            below = w;
    }
    return below;
}

// The same for a·a: each cross product a_i·a_j (i < j) is formed once and doubled.
inline Limb sqrColumns(const Limb* a, Limb* r, int n, int from) noexcept
{
    const int f = n - 1;
    Column acc;
    Limb below = 0;
    for (int k = from; k <= 2 * f; ++k) {
        const int lo = std::max(0, k - f);
        const int mid = (k + 1) / 2; // cross products have i < mid ≤ j
        Column cross;
        for (int i = lo; i < mid; ++i) cross.add(static_cast<u128>(a[i]) * a[k - i]);
        // Double the cross sum (it fits: 2·Σ < 2^192 for the limb counts used here).
        cross.hi = (cross.hi << 1) | static_cast<Limb>(cross.lo >> 127);
        cross.lo <<= 1;
        if ((k & 1) == 0) cross.add(static_cast<u128>(a[k / 2]) * a[k / 2]);
        acc.lo += cross.lo;
        acc.hi += cross.hi + (acc.lo < cross.lo);
        const Limb w = acc.shift();
        if (k >= f)
            r[k - f] = w;
        else if (k == f - 1)
            below = w;
    }
    return below;
}

// r = a·b truncated to n limbs: product limbs n − 1 … 2n − 2 (the low f limbs dropped, the top limb
// discarded). Columns below f − 2 are skipped: together they are less than (f − 2)·2^(64(f−1)), so
// they can only change the kept limbs when column f − 1's word is within f of 2^64; then (about
// once in 2^60 products) the full product is formed instead. The result is exact either way.
void multiplyTruncated(const Limb* a, const Limb* b, Limb* r, int n) noexcept
{
    const int f = n - 1;
    const int from = std::max(0, f - 2);
    const bool square = a == b;
    Limb below = square ? sqrColumns(a, r, n, from) : mulColumns(a, b, r, n, from);
    if (from > 0 && below >= kAllOnes - static_cast<Limb>(n + 2)) {
        if (square)
            sqrColumns(a, r, n, 0);
        else
            mulColumns(a, b, r, n, 0);
    }
}

// Unrolled kernels for the common limb counts, indexed by limb count.
using MultiplyKernel = void (*)(const Limb*, const Limb*, Limb*) noexcept;

template <int N>
void multiplyKernel(const Limb* a, const Limb* b, Limb* r) noexcept
{
    if (a == b)
        detail::squareTruncated<N>(a, r);
    else
        detail::multiplyTruncated<N>(a, b, r);
}

template <int... N>
constexpr std::array<MultiplyKernel, sizeof...(N) + 2> makeKernels(std::integer_sequence<int, N...>)
{
    return {nullptr, nullptr, &multiplyKernel<N + 2>...};
}

constexpr auto kKernels = makeKernels(std::make_integer_sequence<int, detail::maxUnrolledLimbs - 1>{});

bool allZero(const Limb* m, int n) noexcept
{
    Limb any = 0;
    for (int i = 0; i < n; ++i) any |= m[i];
    return any == 0;
}

// Magnitude in place times 10^19 (or any multiplier); returns the carry out of the top limb.
Limb multiplyInPlace(Limb* m, int n, Limb by) noexcept
{
    Limb carry = 0;
    for (int i = 0; i < n; ++i) {
        const u128 p = static_cast<u128>(m[i]) * by + carry;
        m[i] = static_cast<Limb>(p);
        carry = static_cast<Limb>(p >> 64);
    }
    return carry;
}

void divideInPlace(Limb* m, int n, Limb by) noexcept
{
    Limb rem = 0;
    for (int i = n - 1; i >= 0; --i) {
        const u128 cur = (static_cast<u128>(rem) << 64) | m[i];
        m[i] = static_cast<Limb>(cur / by);
        rem = static_cast<Limb>(cur % by);
    }
}

Limb pow10(int k) noexcept
{
    Limb p = 1;
    while (k-- > 0) p *= 10;
    return p;
}

} // namespace

BigFixed BigFixed::zero(int fracLimbs) noexcept
{
    BigFixed v;
    v.count_ = clampFracLimbs(fracLimbs) + 1;
    std::fill_n(v.mag_.begin(), v.count_, Limb{0});
    return v;
}

BigFixed::BigFixed(double value, int fracLimbs) noexcept : count_(clampFracLimbs(fracLimbs) + 1)
{
    std::fill_n(mag_.begin(), count_, Limb{0});
    if (value == 0 || !std::isfinite(value)) return;
    const double a = std::abs(value);
    neg_ = value < 0;
    if (a >= 0x1.0p64) {
        // Beyond the integer limb: saturate rather than wrap into an unrelated value.
        std::fill_n(mag_.begin(), count_, kAllOnes);
        return;
    }
    int e = 0;
    const double m = std::frexp(a, &e);              // a = m·2^e, m in [0.5, 1)
    Limb sig = static_cast<Limb>(std::ldexp(m, 53)); // exact: 53 significant bits
    int pos = e - 53 + 64 * (count_ - 1);            // bit index of sig's bit 0
    if (pos < 0) {
        if (-pos >= 64)
            sig = 0;
        else
            sig >>= -pos; // bits below the last limb dropped
        pos = 0;
    }
    const int limb = pos / 64;
    const int bit = pos % 64;
    mag_[limb] |= sig << bit;
    if (bit != 0 && limb + 1 < count_) mag_[limb + 1] |= sig >> (64 - bit);
    clearNegativeZero();
}

int BigFixed::limbsForLog2Zoom(double log2Zoom, int guardBits) noexcept
{
    double l = log2Zoom;
    if (std::isnan(l) || l < 0) l = 0;
    if (std::isinf(l)) l = std::log2(ZoomRules::extremeMaxZoom);
    // In doubles until the clamp: a huge zoom or guard-bit count must not overflow the conversion.
    const double n = std::ceil((l + 12 + static_cast<double>(guardBits)) / 64);
    if (!(n >= 1)) return 1;
    if (n >= maxFracLimbs) return maxFracLimbs;
    return static_cast<int>(n);
}

int BigFixed::limbsForZoom(double zoom, int guardBits) noexcept
{
    if (!(zoom >= 1)) return limbsForLog2Zoom(0, guardBits); // NaN, zero and negative count as zoom 1
    if (std::isinf(zoom)) zoom = ZoomRules::extremeMaxZoom;
    return limbsForLog2Zoom(std::log2(zoom), guardBits);
}

double BigFixed::toDouble() const noexcept { return detail::limbsToDouble(mag_.data(), count_, neg_); }

bool BigFixed::isZero() const noexcept { return allZero(mag_.data(), count_); }

void BigFixed::clearNegativeZero() noexcept
{
    if (neg_ && isZero()) neg_ = false;
}

BigFixed BigFixed::magnitude() const noexcept
{
    BigFixed v = *this;
    v.neg_ = false;
    return v;
}

BigFixed BigFixed::withFracLimbs(int n) const noexcept
{
    n = clampFracLimbs(n);
    const int f = count_ - 1;
    if (n == f) return *this;
    BigFixed v;
    v.count_ = n + 1;
    v.neg_ = neg_;
    for (int i = 0; i <= n; ++i) {
        const int src = i - n + f; // aligned at the integer limb
        v.mag_[i] = src >= 0 ? mag_[src] : 0;
    }
    v.clearNegativeZero();
    return v;
}

BigFixed BigFixed::addSigned(const BigFixed& a, const BigFixed& b, bool negateB) noexcept
{
    if (a.count_ != b.count_) {
        const int f = std::max(a.count_, b.count_) - 1;
        return addSigned(a.withFracLimbs(f), b.withFracLimbs(f), negateB);
    }
    const int n = a.count_;
    const bool bNeg = b.neg_ != negateB;
    BigFixed r;
    r.count_ = n;
    std::span<Limb> out{r.mag_.data(), static_cast<std::size_t>(n)};
    if (a.neg_ == bNeg) {
        addMag(a.mag(), b.mag(), out);
        r.neg_ = a.neg_;
    } else {
        const int c = cmpMag(a.mag(), b.mag());
        if (c == 0) {
            std::fill(out.begin(), out.end(), Limb{0});
            r.neg_ = false;
        } else if (c > 0) {
            subMag(a.mag(), b.mag(), out);
            r.neg_ = a.neg_;
        } else {
            subMag(b.mag(), a.mag(), out);
            r.neg_ = bNeg;
        }
    }
    r.clearNegativeZero();
    return r;
}

BigFixed operator+(const BigFixed& a, const BigFixed& b) noexcept { return BigFixed::addSigned(a, b, false); }
BigFixed operator-(const BigFixed& a, const BigFixed& b) noexcept { return BigFixed::addSigned(a, b, true); }

BigFixed BigFixed::operator-() const noexcept
{
    BigFixed v = *this;
    v.neg_ = !neg_;
    v.clearNegativeZero();
    return v;
}

BigFixed operator*(const BigFixed& a, const BigFixed& b) noexcept
{
    if (a.count_ != b.count_) {
        const int f = std::max(a.count_, b.count_) - 1;
        return a.withFracLimbs(f) * b.withFracLimbs(f);
    }
    BigFixed r;
    r.count_ = a.count_;
    const Limb* bm = &a == &b ? a.mag_.data() : b.mag_.data(); // the same operand takes the squaring path
    if (a.count_ <= detail::maxUnrolledLimbs)
        kKernels[static_cast<std::size_t>(a.count_)](a.mag_.data(), bm, r.mag_.data());
    else
        multiplyTruncated(a.mag_.data(), bm, r.mag_.data(), a.count_);
    r.neg_ = a.neg_ != b.neg_;
    r.clearNegativeZero();
    return r;
}

BigFixed BigFixed::shiftedLeft(int bits) const noexcept
{
    if (bits <= 0) return *this;
    BigFixed v;
    v.count_ = count_;
    v.neg_ = neg_;
    const int limbShift = bits / 64;
    const int bitShift = bits % 64;
    for (int i = count_ - 1; i >= 0; --i) {
        const int src = i - limbShift;
        Limb w = 0;
        if (src >= 0) {
            w = mag_[src] << bitShift;
            if (bitShift != 0 && src >= 1) w |= mag_[src - 1] >> (64 - bitShift);
        }
        v.mag_[i] = w;
    }
    v.clearNegativeZero();
    return v;
}

BigFixed BigFixed::divided(std::uint64_t d) const noexcept
{
    if (d == 0) return *this;
    BigFixed v = *this;
    divideInPlace(v.mag_.data(), v.count_, d);
    v.clearNegativeZero();
    return v;
}

BigFixed BigFixed::multiplied(std::uint64_t m) const noexcept
{
    BigFixed v = *this;
    multiplyInPlace(v.mag_.data(), v.count_, m);
    v.clearNegativeZero();
    return v;
}

BigFixed::Scaled BigFixed::scaled() const noexcept
{
    int top = count_ - 1;
    while (top > 0 && mag_[top] == 0) --top;
    if (mag_[top] == 0) return {};
    double s = static_cast<double>(mag_[top]);
    if (top >= 1) s += std::ldexp(static_cast<double>(mag_[top - 1]), -64);
    if (top >= 2) s += std::ldexp(static_cast<double>(mag_[top - 2]), -128);
    int k = 0;
    const double m = std::frexp(s, &k);
    return {neg_ ? -m : m, static_cast<std::int64_t>(k) + 64 * static_cast<std::int64_t>(top - (count_ - 1))};
}

std::string BigFixed::decimal() const
{
    std::string out;
    if (neg_) out += '-';
    out += std::to_string(mag_[count_ - 1]);
    out += '.';
    const int f = count_ - 1;
    const int digits = static_cast<int>(std::ceil(64.0 * f * 0.3010299956639812)) + 1;
    std::array<Limb, capacity> frac;
    std::copy_n(mag_.begin(), count_, frac.begin());
    frac[f] = 0;
    std::string fraction;
    fraction.reserve(static_cast<std::size_t>(digits) + 19);
    // Nineteen digits per step: multiplying by 10^k moves the next k digits into the integer limb.
    for (int done = 0; done < digits;) {
        const int k = std::min(19, digits - done);
        multiplyInPlace(frac.data(), count_, k == 19 ? kTen19 : pow10(k));
        std::string chunk = std::to_string(frac[f]);
        fraction.append(static_cast<std::size_t>(k) - chunk.size(), '0');
        fraction += chunk;
        frac[f] = 0;
        done += k;
    }
    while (fraction.size() > 1 && fraction.back() == '0') fraction.pop_back();
    return out + fraction;
}

namespace {

std::optional<BigFixed> parseTruncating(std::string_view text, int fracLimbs)
{
    const auto isBlank = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
    const bool negative = !text.empty() && text.front() == '-';
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) text.remove_prefix(1);
    const auto point = text.find('.');
    const std::string_view intPart = text.substr(0, point);
    const std::string_view fracPart = point == std::string_view::npos ? std::string_view{} : text.substr(point + 1);
    const auto digitsOnly = [](std::string_view s) {
        return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if (!digitsOnly(intPart) || !digitsOnly(fracPart)) return std::nullopt;
    if (intPart.size() > 18) return std::nullopt;
    Limb integer = 0;
    for (char c : intPart) integer = integer * 10 + static_cast<Limb>(c - '0');

    std::array<Limb, BigFixed::capacity> m{};
    const int n = fracLimbs + 1;
    // Horner's rule from the last digit, nineteen digits at a time: floor((chunk + v) / 10^k) nested
    // is exactly the digit-by-digit truncating division by ten.
    for (std::size_t end = fracPart.size(); end > 0;) {
        const std::size_t begin = end >= 19 ? end - 19 : 0;
        Limb chunk = 0;
        for (std::size_t i = begin; i < end; ++i) chunk = chunk * 10 + static_cast<Limb>(fracPart[i] - '0');
        m[static_cast<std::size_t>(fracLimbs)] = chunk;
        divideInPlace(m.data(), n, pow10(static_cast<int>(end - begin)));
        end = begin;
    }
    m[static_cast<std::size_t>(fracLimbs)] = integer;
    return BigFixed::fromLimbs(negative, std::span<const Limb>(m.data(), static_cast<std::size_t>(n)));
}

} // namespace

std::optional<BigFixed> BigFixed::fromDecimalTruncating(std::string_view text, int fracLimbs)
{
    return parseTruncating(text, clampFracLimbs(fracLimbs));
}

std::optional<BigFixed> BigFixed::fromDecimal(std::string_view text, int fracLimbs)
{
    const int f = clampFracLimbs(fracLimbs);
    auto wide = parseTruncating(text, f + 1); // one guard limb
    if (!wide) return std::nullopt;
    BigFixed v;
    v.count_ = f + 1;
    v.neg_ = wide->neg_;
    std::copy_n(wide->mag_.begin() + 1, v.count_, v.mag_.begin());
    if (wide->mag_[0] >= (Limb{1} << 63)) {
        for (int i = 0; i < v.count_; ++i)
            if (++v.mag_[i] != 0) break; // a carry out of the integer limb is discarded
    }
    v.clearNegativeZero();
    return v;
}

int BigFixed::cmpMag(std::span<const Limb> a, std::span<const Limb> b) noexcept
{
    for (std::size_t i = a.size(); i-- > 0;)
        if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    return 0;
}

void BigFixed::addMag(std::span<const Limb> a, std::span<const Limb> b, std::span<Limb> out) noexcept
{
    Limb carry = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const Limb s = a[i] + carry;
        const Limb c1 = s < carry;
        out[i] = s + b[i];
        carry = c1 | (out[i] < s);
    }
}

void BigFixed::subMag(std::span<const Limb> a, std::span<const Limb> b, std::span<Limb> out) noexcept
{
    Limb borrow = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const Limb ai = a[i];
        const Limb d = ai - b[i];
        const Limb b1 = ai < b[i];
        out[i] = d - borrow;
        borrow = b1 | (d < borrow);
    }
}

bool operator==(const BigFixed& a, const BigFixed& b) noexcept
{
    return a.neg_ == b.neg_ && a.count_ == b.count_ &&
           std::equal(a.mag_.begin(), a.mag_.begin() + a.count_, b.mag_.begin());
}

std::size_t BigFixed::hash() const noexcept
{
    std::size_t h = static_cast<std::size_t>(neg_) * 0x9e3779b97f4a7c15ULL ^ static_cast<std::size_t>(count_);
    for (int i = 0; i < count_; ++i) h = (h ^ mag_[i]) * 0x100000001b3ULL + (h >> 29);
    return h;
}

BigFixed BigFixed::fromLimbs(bool negative, std::span<const Limb> limbs) noexcept
{
    const int given = static_cast<int>(limbs.size());
    const int n = std::clamp(given, 2, capacity);
    BigFixed v;
    v.count_ = n;
    v.neg_ = negative;
    for (int i = 0; i < n; ++i) {
        const int src = i - n + given; // aligned at the integer limb
        v.mag_[i] = src >= 0 ? limbs[static_cast<std::size_t>(src)] : 0;
    }
    v.clearNegativeZero();
    return v;
}

} // namespace veltrane
