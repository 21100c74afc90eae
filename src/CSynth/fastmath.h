#pragma once
// Inline sine, cosine, exponential and logarithm for the effect chain's per-frame paths. The maths
// library's calls sit in every frame's dependency chain there, and their latency (a call, range
// reduction for arguments of any size, table look-ups) adds up frame by frame. These are evaluated in
// double precision from float-sized arguments, with short polynomials in parallel form (Estrin's
// scheme) after a cheap reduction, so that their result, rounded to float, is the correctly rounded
// value or one ulp from it, like the library's.
//
// The sine and cosine take turns (1 = a full circle) and also work lane by lane on GCC vectors, so
// several oscillators' phases can be turned into sines at once.
//
// REAL-TIME CODE: pure functions; their two small tables are computed at compile time.

#include <stdint.h>

#include <cfloat>
#include <cmath>
#include <cstring>

typedef double vk_double4 __attribute__((vector_size(32)));
typedef uint64_t vk_uint64x4 __attribute__((vector_size(32)));

namespace vk_fast {

namespace detail {

constexpr long double kLn2 = 0.693147180559945309417232121458176568L;
constexpr long double kTwoPi = 6.283185307179586476925286766559005768L;

constexpr long double expSeries(long double x)
{ // |x| < 1
    long double sum = 1.0L, term = 1.0L;
    for (int n = 1; n < 30; ++n) {
        term *= x / n;
        sum += term;
    }
    return sum;
}

constexpr long double logSeries(long double c)
{ // c in [1, 2]: 2 atanh((c - 1) / (c + 1))
    const long double s = (c - 1.0L) / (c + 1.0L);
    long double sum = 0.0L, power = s;
    for (int k = 0; k < 40; ++k) {
        sum += power / (2 * k + 1);
        power *= s * s;
    }
    return 2.0L * sum;
}

// (2 pi)^n / n! with the sign of the n-th term of the sine or cosine series.
constexpr double turnCoefficient(int n)
{
    long double v = 1.0L;
    for (int i = 1; i <= n; ++i) v *= kTwoPi / i;
    return static_cast<double>((n / 2) % 2 ? -v : v);
}

struct Exp2Table {
    double v[8]; // 2^(j / 8)
};
constexpr Exp2Table makeExp2Table()
{
    Exp2Table t{};
    for (int j = 0; j < 8; ++j) t.v[j] = static_cast<double>(expSeries(kLn2 * j / 8.0L));
    return t;
}
inline constexpr Exp2Table kExp2 = makeExp2Table();

// Mantissas in [1, 2) in 16 intervals by their top four bits: 1 / c for the centre c of each, and
// log c, consistent with the stored 1 / c.
struct LogTable {
    double inverse[16];
    double log[16];
};
constexpr LogTable makeLogTable()
{
    LogTable t{};
    for (int j = 0; j < 16; ++j) {
        t.inverse[j] = static_cast<double>(1.0L / (1.0L + (j + 0.5L) / 16.0L));
        t.log[j] = static_cast<double>(logSeries(1.0L / static_cast<long double>(t.inverse[j])));
    }
    return t;
}
inline constexpr LogTable kLog = makeLogTable();

// Adding and subtracting 1.5 x 2^(52 - b) rounds a double well below that size to a multiple of
// 2^-b (ties to even); the multiple is then also the low bits of the sum's representation.
constexpr double kQuarterShifter = 0x1.8p50;
constexpr double kEighthShifter = 0x1.8p49;

template <class V, class I>
__attribute__((always_inline)) inline void sinCosTurns(const V& x, V* sine, V* cosine)
{
    // The nearest quarter turn q / 4, and the rest f in [-1/8, 1/8] turns: an angle within pi / 4,
    // where the series below end with terms under 1e-10.
    V y = x + kQuarterShifter;
    I bits;
    std::memcpy(&bits, &y, sizeof bits);
    y -= kQuarterShifter;
    const V f = x - y;
    const V z = f * f;
    const V z2 = z * z;
    constexpr double s1 = turnCoefficient(1), s3 = turnCoefficient(3), s5 = turnCoefficient(5), s7 = turnCoefficient(7),
                     s9 = turnCoefficient(9), s11 = turnCoefficient(11);
    constexpr double c2 = turnCoefficient(2), c4 = turnCoefficient(4), c6 = turnCoefficient(6), c8 = turnCoefficient(8),
                     c10 = turnCoefficient(10);
    const V s = f * ((s1 + z * s3) + z2 * ((s5 + z * s7) + z2 * (s9 + z * s11)));
    const V c = (1.0 + z * c2) + z2 * ((c4 + z * c6) + z2 * (c8 + z * c10));
    // sin and cos of (f + q / 4) turns by q mod 4, chosen and negated bitwise: a condition per lane
    // would become a branch per lane.
    I sBits, cBits;
    std::memcpy(&sBits, &s, sizeof sBits);
    std::memcpy(&cBits, &c, sizeof cBits);
    const I odd = -(bits & 1); // all ones for an odd quadrant
    I sq = (cBits & odd) | (sBits & ~odd);
    I cq = (sBits & odd) | (cBits & ~odd);
    sq ^= (bits & 2) << 62;       // the sign bit for quadrants 2 and 3
    cq ^= ((bits + 1) & 2) << 62; // and for 1 and 2
    std::memcpy(sine, &sq, sizeof sq);
    std::memcpy(cosine, &cq, sizeof cq);
}

} // namespace detail

// sin(2 pi x) and cos(2 pi x), absolute error below 2e-10, for |x| below 2^40 turns (a float phase,
// or a small multiple of one).
__attribute__((always_inline)) inline void sinCosTurns(double x, double* sine, double* cosine)
{
    detail::sinCosTurns<double, uint64_t>(x, sine, cosine);
}
__attribute__((always_inline)) inline void sinCosTurns(const vk_double4& x, vk_double4* sine, vk_double4* cosine)
{
    detail::sinCosTurns<vk_double4, vk_uint64x4>(x, sine, cosine);
}
__attribute__((always_inline)) inline double sinTurns(double x)
{
    double s, c;
    sinCosTurns(x, &s, &c);
    return s;
}

// sin(2 pi x) for x in [0, 1/4] (a gain's quarter turn), absolute error below 1e-9: the series alone,
// with no reduction to quarters. Outside that range, sinTurns.
__attribute__((always_inline)) inline double sinQuarterTurn(double x)
{
    if (!(x >= 0.0 && x <= 0.25)) return sinTurns(x);
    using detail::turnCoefficient;
    constexpr double s1 = turnCoefficient(1), s3 = turnCoefficient(3), s5 = turnCoefficient(5), s7 = turnCoefficient(7),
                     s9 = turnCoefficient(9), s11 = turnCoefficient(11), s13 = turnCoefficient(13);
    const double z = x * x;
    const double z2 = z * z;
    return x * ((s1 + z * s3) + z2 * ((s5 + z * s7) + z2 * ((s9 + z * s11) + z2 * s13)));
}

// 2^x, relative error below 1e-10; NaN gives NaN, and beyond +-250 the result only has to round to
// float infinity or zero.
__attribute__((always_inline)) inline double exp2(double x)
{
    if (x < -250.0) x = -250.0;
    if (x > 250.0) x = 250.0;
    // x = k / 8 + f with |f| <= 1/16: 2^x = 2^(k div 8) x 2^((k mod 8) / 8) x e^(f ln 2).
    double y = x + detail::kEighthShifter;
    uint64_t bits, shifterBits;
    std::memcpy(&bits, &y, sizeof bits);
    std::memcpy(&shifterBits, &detail::kEighthShifter, sizeof shifterBits);
    y -= detail::kEighthShifter;
    const double t = (x - y) * 0.69314718055994530942;
    const double t2 = t * t;
    const double p = (1.0 + t) + t2 * ((1.0 / 2 + t * (1.0 / 6)) + t2 * (1.0 / 24 + t * (1.0 / 120)));
    const int64_t k = static_cast<int64_t>(bits - shifterBits);
    const uint64_t scaleBits = static_cast<uint64_t>((k >> 3) + 1023) << 52; // 2^floor(k / 8)
    double scale;
    std::memcpy(&scale, &scaleBits, sizeof scale);
    return p * (detail::kExp2.v[k & 7] * scale);
}

// e^x for a float argument.
__attribute__((always_inline)) inline double exp(float x)
{
    return exp2(static_cast<double>(x) * 1.44269504088896340736);
}

// Natural logarithm, absolute error below 1e-11. Zero, negative, subnormal, infinite and NaN
// arguments go to the library.
__attribute__((always_inline)) inline double log(float x)
{
    if (!(x >= FLT_MIN && x <= FLT_MAX)) return std::log(static_cast<double>(x));
    uint32_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    // x = 2^e m, m in [1, 2); log m = log c + log(1 + r) with r = m / c - 1, |r| < 1/32.
    const int e = static_cast<int>(bits >> 23) - 127;
    const int j = (bits >> 19) & 15;
    const uint32_t mantissaBits = (bits & 0x007fffffu) | 0x3f800000u;
    float m;
    std::memcpy(&m, &mantissaBits, sizeof m);
    const double r = static_cast<double>(m) * detail::kLog.inverse[j] - 1.0;
    const double r2 = r * r;
    const double r4 = r2 * r2;
    const double p = (r + r2 * (-1.0 / 2 + r * (1.0 / 3))) + r4 * ((-1.0 / 4 + r * (1.0 / 5)) + r2 * (-1.0 / 6));
    return (e * 0.69314718055994530942 + detail::kLog.log[j]) + p;
}

} // namespace vk_fast
