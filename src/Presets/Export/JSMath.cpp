#include "Presets/Export/JSMath.h"

#include "Platform/Json/Json.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

namespace veltrane::JSMath {

namespace {

std::int32_t highWord(double x) noexcept { return static_cast<std::int32_t>(std::bit_cast<std::uint64_t>(x) >> 32); }
std::uint32_t lowWord(double x) noexcept { return static_cast<std::uint32_t>(std::bit_cast<std::uint64_t>(x)); }
double withHighWord(double x, std::int32_t high) noexcept
{
    return std::bit_cast<double>((std::uint64_t(std::uint32_t(high)) << 32) | lowWord(x));
}
double withLowWord(double x, std::uint32_t low) noexcept
{
    return std::bit_cast<double>((std::bit_cast<std::uint64_t>(x) & 0xffffffff00000000ull) | low);
}

constexpr double two54 = 1.80143985094819840000e+16;
constexpr double ln2_hi = 6.93147180369123816490e-01;
constexpr double ln2_lo = 1.90821492927058770002e-10;
constexpr double Lg1 = 6.666666666666735130e-01;
constexpr double Lg2 = 3.999999999940941908e-01;
constexpr double Lg3 = 2.857142874366239149e-01;
constexpr double Lg4 = 2.222219843214978396e-01;
constexpr double Lg5 = 1.818357216161805012e-01;
constexpr double Lg6 = 1.531383769920937332e-01;
constexpr double Lg7 = 1.479819860511658591e-01;

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// The two halves of the Remez polynomial in s² (odd and even powers), evaluated by Horner's rule.
struct Poly {
    double t1, t2;
};
Poly remez(double z, double w) noexcept
{
    return {w * std::fma(w, std::fma(w, Lg6, Lg4), Lg2), z * std::fma(w, std::fma(w, std::fma(w, Lg7, Lg5), Lg3), Lg1)};
}

// Splits a normal or subnormal positive x into k and the normalised high word; handles the special
// inputs. Returns true with `special` set when the answer is already known.
struct Reduced {
    std::int32_t k;
    std::int32_t hx; // high word of x with the exponent removed
    double x;
};
bool specialOrReduce(double x, double& special, Reduced& r) noexcept
{
    std::int32_t hx = highWord(x);
    const std::uint32_t lx = lowWord(x);
    std::int32_t k = 0;
    if (hx < 0x00100000) {
        if (((hx & 0x7fffffff) | std::int32_t(lx)) == 0) {
            special = -inf;
            return true;
        }
        if (hx < 0) {
            special = nan;
            return true;
        }
        k -= 54;
        x *= two54;
        hx = highWord(x);
    }
    if (hx >= 0x7ff00000) {
        special = x + x;
        return true;
    }
    r = {k + (hx >> 20) - 1023, hx & 0x000fffff, x};
    return false;
}

// Brings x or x/2 into about [√2/2, √2], counting the halving in k.
void centreOnOne(Reduced& r) noexcept
{
    const std::int32_t i = (r.hx + 0x95f64) & 0x100000;
    r.x = withHighWord(r.x, r.hx | (i ^ 0x3ff00000));
    r.k += i >> 20;
}

// log(1 + f) − f + f²/2 for f in about [√2/2 − 1, √2 − 1] (FreeBSD k_log1p).
double kLog1p(double f) noexcept
{
    const double s = f / (2.0 + f);
    const double z = s * s;
    const double w = z * z;
    const Poly p = remez(z, w);
    const double R = p.t2 + p.t1;
    const double hfsq = 0.5 * f * f;
    return s * (hfsq + R);
}

} // namespace

std::string string(double x)
{
    if (std::isnan(x)) return "NaN";
    if (x == inf) return "Infinity";
    if (x == -inf) return "-Infinity";
    return Json::formatNumber(x); // the same rules for finite numbers, -0 printed as "0"
}

double clamp(double x, double lo, double hi) noexcept
{
    if (std::isnan(x) || std::isnan(lo) || std::isnan(hi)) return nan;
    double m = x < hi ? x : hi;
    if (x == 0 && hi == 0) m = (std::signbit(x) || std::signbit(hi)) ? -0.0 : 0.0;
    double r = lo > m ? lo : m;
    if (lo == 0 && m == 0) r = (std::signbit(lo) && std::signbit(m)) ? -0.0 : 0.0;
    return r;
}

double log(double x) noexcept
{
    double special;
    Reduced r;
    if (specialOrReduce(x, special, r)) return special;
    const std::int32_t hx = r.hx;
    centreOnOne(r);
    const std::int32_t k = r.k;
    x = r.x;
    const double f = x - 1.0;
    if ((0x000fffff & (2 + hx)) < 3) { // |f| < 2^-20
        if (f == 0) {
            if (k == 0) return 0;
            const double dk = k;
            return std::fma(dk, ln2_hi, dk * ln2_lo);
        }
        const double R = f * f * std::fma(-0.33333333333333333, f, 0.5);
        if (k == 0) return f - R;
        const double dk = k;
        return std::fma(dk, ln2_hi, -(std::fma(-dk, ln2_lo, R) - f));
    }
    const double s = f / (2.0 + f);
    const double dk = k;
    const double z = s * s;
    std::int32_t i = hx - 0x6147a;
    const double w = z * z;
    const std::int32_t j = 0x6b851 - hx;
    const Poly p = remez(z, w);
    i |= j;
    const double R = p.t2 + p.t1;
    if (i > 0) {
        const double hfsq = 0.5 * f * f;
        if (k == 0) return f - std::fma(-s, hfsq + R, hfsq);
        return std::fma(dk, ln2_hi, -((hfsq - std::fma(s, hfsq + R, dk * ln2_lo)) - f));
    }
    if (k == 0) return std::fma(-s, f - R, f);
    return std::fma(dk, ln2_hi, -(std::fma(s, f - R, -(dk * ln2_lo)) - f));
}

double log10(double x) noexcept
{
    constexpr double ivln10 = 4.34294481903251816668e-01;
    constexpr double log10_2hi = 3.01029995663611771306e-01;
    constexpr double log10_2lo = 3.69423907715893078616e-13;
    if (x == 1.0) return 0;
    double special;
    Reduced r;
    if (specialOrReduce(x, special, r)) return special;
    const std::int32_t k = r.k;
    const std::int32_t i = static_cast<std::int32_t>((static_cast<std::uint32_t>(k) & 0x80000000u) >> 31);
    const double y = k + i;
    const double m = withHighWord(r.x, r.hx | ((0x3ff - i) << 20));
    const double z = std::fma(y, log10_2lo, ivln10 * log(m));
    return std::fma(y, log10_2hi, z);
}

double log2(double x) noexcept
{
    constexpr double ivln2hi = 1.44269504072144627571e+00;
    constexpr double ivln2lo = 1.67517131648865118353e-10;
    if (x == 1.0) return 0;
    double special;
    Reduced r;
    if (specialOrReduce(x, special, r)) return special;
    centreOnOne(r);
    x = r.x;
    const double y = r.k;
    const double f = x - 1.0;
    const double hfsq = 0.5 * f * f;
    const double rr = kLog1p(f);
    // hi has its low 32 bits cleared so that hi * ivln2hi is exact.
    const double hi = withLowWord(f - hfsq, 0);
    const double lo = (f - hi) - hfsq + rr;
    double valHi = hi * ivln2hi;
    double valLo = std::fma(lo + hi, ivln2lo, lo * ivln2hi);
    const double w = y + valHi;
    valLo += (y - w) + valHi;
    valHi = w;
    return valLo + valHi;
}

} // namespace veltrane::JSMath
