#pragma once
// Limb kernels of BigFixed for a limb count known at compile time (2 … maxUnrolledLimbs), fully
// unrolled. Internal to FractalCore: BigFixed's operators and the reference orbit's inner loop use
// them; everything else goes through BigFixed.
//
// Truncated products: the result is limbs f … 2f of the full product (n = f + 1 limbs). Columns below
// f − 2 are skipped: together they are less than (f − 2)·2^(64(f−1)), so they can only carry into the
// kept limbs when column f − 1's word is within f + 1 of 2^64. The kernels return that word; the
// caller redoes the product from column 0 in that case (about once in 2^60 products), so the result is
// always exactly the truncation of the full product.
#include <bit>
#include <cmath>
#include <cstdint>
#include <utility>

#if defined(__x86_64__)
#include <x86intrin.h>
#endif

#define VELTRANE_INLINE inline __attribute__((always_inline))

namespace veltrane::detail {

using Limb = std::uint64_t;
using u128 = unsigned __int128;

inline constexpr int maxUnrolledLimbs = 18; // 17 fraction limbs: zoom 1e300 with 64 guard bits

// Three-word column accumulator of the product-scanning (Comba) multiply.
struct Accumulator {
    Limb c0 = 0, c1 = 0, c2 = 0;

    VELTRANE_INLINE void add(u128 p) noexcept
    {
#if defined(__x86_64__)
        unsigned long long s0, s1;
        unsigned char cf = _addcarry_u64(0, c0, static_cast<Limb>(p), &s0);
        cf = _addcarry_u64(cf, c1, static_cast<Limb>(p >> 64), &s1);
        c0 = s0;
        c1 = s1;
        c2 += cf;
#else
        const u128 lo = ((static_cast<u128>(c1) << 64) | c0) + p;
        c2 += lo < p;
        c0 = static_cast<Limb>(lo);
        c1 = static_cast<Limb>(lo >> 64);
#endif
    }
    VELTRANE_INLINE void mac(Limb a, Limb b) noexcept
    {
#if defined(__x86_64__)
        // Written out because compilers tend to move the carry flag through a register between the
        // additions, which costs more than the multiply.
        asm("mulq %[b]\n\t"
            "addq %%rax, %[c0]\n\t"
            "adcq %%rdx, %[c1]\n\t"
            "adcq $0, %[c2]"
            : [c0] "+r"(c0), [c1] "+r"(c1), [c2] "+r"(c2), "+a"(a)
            : [b] "rm"(b)
            : "rdx", "cc");
#else
        add(static_cast<u128>(a) * b);
#endif
    }
    VELTRANE_INLINE Limb shift() noexcept
    {
        const Limb w = c0;
        c0 = c1;
        c1 = c2;
        c2 = 0;
        return w;
    }
};

constexpr int cmax(int a, int b) { return a > b ? a : b; }
constexpr int cmin(int a, int b) { return a < b ? a : b; }

template <int Lo, int K, int... I>
VELTRANE_INLINE void macColumn(Accumulator& acc, const Limb* a, const Limb* b,
                               std::integer_sequence<int, I...>) noexcept
{
    (acc.mac(a[Lo + I], b[K - Lo - I]), ...);
}

template <int N, int From, int K>
VELTRANE_INLINE void mulColumn(Accumulator& acc, const Limb* a, const Limb* b, Limb* r, Limb& below) noexcept
{
    constexpr int F = N - 1;
    constexpr int k = From + K;
    constexpr int lo = cmax(0, k - F);
    constexpr int hi = cmin(k, F);
    macColumn<lo, k>(acc, a, b, std::make_integer_sequence<int, hi - lo + 1>{});
    const Limb w = acc.shift();
    if constexpr (k >= F)
        r[k - F] = w;
    else if constexpr (k == F - 1)
        below = w;
}

// r[0..f] = columns f … 2f of a·b computed from column From; returns column f − 1's word.
template <int N, int From, int... K>
VELTRANE_INLINE Limb mulColumns(const Limb* a, const Limb* b, Limb* r, std::integer_sequence<int, K...>) noexcept
{
    Accumulator acc;
    Limb below = 0;
    (mulColumn<N, From, K>(acc, a, b, r, below), ...);
    return below;
}

template <int N, int From>
VELTRANE_INLINE Limb mulFrom(const Limb* a, const Limb* b, Limb* r) noexcept
{
    return mulColumns<N, From>(a, b, r, std::make_integer_sequence<int, 2 * (N - 1) - From + 1>{});
}

// Squaring: the cross products a_i·a_j (i < j) once per column, then doubled and the squares a_i²
// added in one pass.
template <int N, int From, int K>
VELTRANE_INLINE void crossColumn(Accumulator& acc, const Limb* a, Limb* t) noexcept
{
    constexpr int F = N - 1;
    constexpr int k = From + K;
    constexpr int lo = cmax(0, k - F);
    constexpr int hi = (k - 1) / 2; // i < k − i
    if constexpr (k >= 1 && hi >= lo) macColumn<lo, k>(acc, a, a, std::make_integer_sequence<int, hi - lo + 1>{});
    t[K] = acc.shift();
}

template <int N, int From, bool Window, int K>
VELTRANE_INLINE void doubleAndAddSquare(const Limb* a, const Limb* t, Limb* r, Limb& below, unsigned char& carry,
                                        Limb& squareHigh) noexcept
{
    constexpr int F = N - 1;
    constexpr int k = From + K;
    Limb twice = t[K] << 1;
    if constexpr (K > 0) twice |= t[K - 1] >> 63;
    Limb d;
    if constexpr (k % 2 == 0) {
        const u128 sq = static_cast<u128>(a[k / 2]) * a[k / 2];
        d = static_cast<Limb>(sq);
        squareHigh = static_cast<Limb>(sq >> 64); // the next column's square word
    } else if constexpr (K == 0) {
        d = static_cast<Limb>((static_cast<u128>(a[k / 2]) * a[k / 2]) >> 64);
    } else {
        d = squareHigh;
    }
    Limb w;
#if defined(__x86_64__)
    unsigned long long s;
    carry = _addcarry_u64(carry, twice, d, &s);
    w = s;
#else
    const u128 s = static_cast<u128>(twice) + d + carry;
    w = static_cast<Limb>(s);
    carry = static_cast<unsigned char>(s >> 64);
#endif
    if constexpr (Window)
        r[K] = w;
    else if constexpr (k >= F)
        r[k - F] = w;
    else if constexpr (k == F - 1)
        below = w;
}

template <int N, int From, bool Window, int... K>
VELTRANE_INLINE Limb sqrColumns(const Limb* a, Limb* r, std::integer_sequence<int, K...>) noexcept
{
    Limb t[sizeof...(K)];
    Accumulator acc;
    (crossColumn<N, From, K>(acc, a, t), ...);
    Limb below = 0, squareHigh = 0;
    unsigned char carry = 0;
    (doubleAndAddSquare<N, From, Window, K>(a, t, r, below, carry, squareHigh), ...);
    return below;
}

template <int N, int From>
VELTRANE_INLINE Limb sqrFrom(const Limb* a, Limb* r) noexcept
{
    return sqrColumns<N, From, false>(a, r, std::make_integer_sequence<int, 2 * (N - 1) - From + 1>{});
}

// Window of a² for the three-squares product: w[0 … N + 2] = columns f − 2 … 2f + 1 (column f − 2
// without the carries of the skipped columns). Needs N ≥ 4.
inline constexpr int windowWords(int n) { return n + 3; }

template <int N>
[[gnu::noinline]] void squareWindow(const Limb* a, Limb* w) noexcept
{
    static_assert(N >= 4);
    sqrColumns<N, N - 3, true>(a, w, std::make_integer_sequence<int, windowWords(N)>{});
}

inline constexpr Limb kAllOnes = ~Limb{0};

// Whether the skipped low columns could have carried into the kept limbs.
template <int N>
VELTRANE_INLINE bool truncationUncertain(Limb below) noexcept
{
    return N - 1 - 2 > 0 && below >= kAllOnes - static_cast<Limb>(N + 2);
}

// The full products behind the rare uncertain truncations, kept out of line so the hot code stays small.
template <int N>
[[gnu::noinline, gnu::cold]] void multiplyFull(const Limb* a, const Limb* b, Limb* r) noexcept
{
    mulFrom<N, 0>(a, b, r);
}

template <int N>
[[gnu::noinline, gnu::cold]] void squareFull(const Limb* a, Limb* r) noexcept
{
    sqrFrom<N, 0>(a, r);
}

// One out-of-line copy of each kernel per limb count: inlining them at every use would overflow the
// instruction cache of the reference loop.
template <int N>
[[gnu::noinline]] void multiplyTruncated(const Limb* a, const Limb* b, Limb* r) noexcept
{
    constexpr int From = cmax(0, N - 3);
    if (truncationUncertain<N>(mulFrom<N, From>(a, b, r))) [[unlikely]]
        multiplyFull<N>(a, b, r);
}

template <int N>
[[gnu::noinline]] void squareTruncated(const Limb* a, Limb* r) noexcept
{
    constexpr int From = cmax(0, N - 3);
    if (truncationUncertain<N>(sqrFrom<N, From>(a, r))) [[unlikely]]
        squareFull<N>(a, r);
}

// limb · 2^e for 64-bit limbs and e ≤ 0. Above −1022 every such product is a normal double, so
// multiplying by the power of two is exact and equals ldexp, without its call.
VELTRANE_INLINE double scaledLimb(Limb limb, int e) noexcept
{
    const double d = static_cast<double>(limb);
    if (e >= -1022) return d * std::bit_cast<double>(static_cast<std::uint64_t>(e + 1023) << 52);
    return std::ldexp(d, e);
}

// The double of a magnitude of n limbs (f = n − 1 fraction limbs): the highest non-zero limb and at
// most two below it, summed from the top.
[[gnu::noinline]] inline double limbsToDouble(const Limb* m, int n, bool neg) noexcept
{
    int top = n - 1;
    while (top > 0 && m[top] == 0) --top;
    if (m[top] == 0) return 0;
    const int f = n - 1;
    double s = scaledLimb(m[top], 64 * (top - f));
    for (int i = top - 1; i >= 0 && i >= top - 2; --i) s += scaledLimb(m[i], 64 * (i - f));
    return neg ? -s : s;
}

// Limb-array helpers of fixed length.
template <int N>
VELTRANE_INLINE bool isZero(const Limb* m) noexcept
{
    Limb any = 0;
    for (int i = 0; i < N; ++i) any |= m[i];
    return any == 0;
}

template <int N>
VELTRANE_INLINE int compare(const Limb* a, const Limb* b) noexcept
{
    for (int i = N - 1; i >= 0; --i)
        if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    return 0;
}

// Carry chains unrolled at compile time so the carry stays in the flags from limb to limb.
template <int... I>
VELTRANE_INLINE Limb addChain(const Limb* a, const Limb* b, Limb* r, std::integer_sequence<int, I...>) noexcept
{
#if defined(__x86_64__)
    unsigned char cf = 0;
    unsigned long long s;
    ((cf = _addcarry_u64(cf, a[I], b[I], &s), r[I] = s), ...);
    return cf;
#else
    Limb carry = 0;
    u128 t;
    ((t = static_cast<u128>(a[I]) + b[I] + carry, r[I] = static_cast<Limb>(t), carry = static_cast<Limb>(t >> 64)),
     ...);
    return carry;
#endif
}

template <int... I>
VELTRANE_INLINE void subChain(const Limb* a, const Limb* b, Limb* r, std::integer_sequence<int, I...>) noexcept
{
#if defined(__x86_64__)
    unsigned char bf = 0;
    unsigned long long s;
    ((bf = _subborrow_u64(bf, a[I], b[I], &s), r[I] = s), ...);
#else
    Limb borrow = 0;
    Limb d, b1;
    ((d = a[I] - b[I], b1 = a[I] < b[I], r[I] = d - borrow, borrow = b1 | (d < borrow)), ...);
#endif
}

// r = a + b; returns the carry out of the top limb.
template <int N>
VELTRANE_INLINE Limb add(const Limb* a, const Limb* b, Limb* r) noexcept
{
    return addChain(a, b, r, std::make_integer_sequence<int, N>{});
}

// r = a − b for a ≥ b (otherwise modulo 2^(64N)).
template <int N>
VELTRANE_INLINE void sub(const Limb* a, const Limb* b, Limb* r) noexcept
{
    subChain(a, b, r, std::make_integer_sequence<int, N>{});
}

// r[i] = the 64 bits of d starting at bit 1 of d[i].
template <int... I>
VELTRANE_INLINE void shiftDownOneBit(const Limb* d, Limb* r, std::integer_sequence<int, I...>) noexcept
{
    ((r[I] = (d[I] >> 1) | (d[I + 1] << 63)), ...);
}

// trunc(a·b) of magnitudes from squares: 2ab = (a + b)² − a² − b², with wa and wb the windows of a²
// and b² (squareWindow). Each window misses less than (f − 2)·2^64 units of its lowest word, so the
// difference D of the windows is 2ab / 2^(64(f−2)) up to an error in (−2f, f)·2^64; the kept limbs are
// D / 2^129, exact unless D's low 129 bits lie within that error of a boundary. Returns false then, or
// when a + b overflows: the caller multiplies directly.
template <int N>
VELTRANE_INLINE bool productFromSquares(const Limb* a, const Limb* b, const Limb* wa, const Limb* wb, Limb* r) noexcept
{
    constexpr int L = windowWords(N);
    constexpr Limb F = N - 1;
    Limb sum[N];
    if (add<N>(a, b, sum) != 0) return false;
    Limb d[L];
    squareWindow<N>(sum, d);
    sub<L>(d, wa, d); // modulo 2^(64L): the borrow out of the top is meaningless here
    sub<L>(d, wb, d);
    const bool high = (d[2] & 1) != 0;
    if (!high && d[1] < 2 * F + 1) return false;
    if (high && d[1] > kAllOnes - (F + 1)) return false;
    for (int i = 0; i < N; ++i) r[i] = (d[2 + i] >> 1) | (d[3 + i] << 63);
    return true;
}

// Signed-magnitude sum (a, an) + (b, bn) into (r, rn); zero is never negative. r may alias a or b.
template <int N>
[[gnu::noinline]] void addSigned(const Limb* a, bool an, const Limb* b, bool bn, Limb* r, bool& rn) noexcept
{
    if (an == bn) {
        // Operands flagged negative are not zero, so a zero sum needs a carry out of the integer limb.
        const Limb carry = add<N>(a, b, r);
        rn = an && !(carry != 0 && isZero<N>(r));
        return;
    }
    const int c = compare<N>(a, b);
    if (c > 0) {
        sub<N>(a, b, r);
        rn = an;
    } else if (c < 0) {
        sub<N>(b, a, r);
        rn = bn;
    } else {
        for (int i = 0; i < N; ++i) r[i] = 0;
        rn = false;
    }
}

} // namespace veltrane::detail
