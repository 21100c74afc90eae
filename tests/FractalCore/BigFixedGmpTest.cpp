// BigFixed against GMP: every operation on random operands at 1, 2, 7 and 17 fraction limbs, with
// limbs drawn to hit carries and borrows (0, 1, 2^63, all ones) as well as random words.
#include "FractalCore/BigFixed.h"

#include <gmp.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

using veltrane::BigFixed;
using Limb = BigFixed::Limb;

namespace {

constexpr int kCases = 10000;

struct Mpz {
    mpz_t v;
    Mpz() { mpz_init(v); }
    Mpz(const Mpz&) = delete;
    ~Mpz() { mpz_clear(v); }
    operator mpz_ptr() { return v; }
    operator mpz_srcptr() const { return v; }
};

// Signed integer value·2^(64·fracLimbs).
void toMpz(const BigFixed& a, Mpz& out)
{
    auto mag = a.mag();
    mpz_import(out, mag.size(), -1, sizeof(Limb), 0, 0, mag.data());
    if (a.neg()) mpz_neg(out, out);
}

// The BigFixed with n limbs whose magnitude is |value| mod 2^(64n) and whose sign is value's (none for zero).
BigFixed fromMpz(const Mpz& value, int n)
{
    Mpz m;
    mpz_abs(m, value);
    mpz_fdiv_r_2exp(m, m, 64 * static_cast<mp_bitcnt_t>(n));
    std::vector<Limb> limbs(static_cast<std::size_t>(n), 0);
    size_t written = 0;
    mpz_export(limbs.data(), &written, -1, sizeof(Limb), 0, 0, m);
    return BigFixed::fromLimbs(mpz_sgn(value.v) < 0, limbs);
}

class Gen {
public:
    explicit Gen(std::uint64_t seed) : rng(seed) {}

    Limb limb()
    {
        switch (rng() % 8) {
        case 0: return 0;
        case 1: return ~Limb{0};
        case 2: return Limb{1} << 63;
        case 3: return 1;
        case 4: return ~Limb{0} - (rng() % 4);
        default: return rng();
        }
    }
    BigFixed number(int fracLimbs, bool smallInteger = false)
    {
        std::vector<Limb> limbs(static_cast<std::size_t>(fracLimbs + 1));
        for (auto& l : limbs) l = limb();
        if (smallInteger)
            limbs.back() = rng() % 1000000000000000000ull;
        else if (rng() % 2)
            limbs.back() = rng() % 300; // orbit-sized integer parts
        return BigFixed::fromLimbs(rng() % 2 == 1, limbs);
    }
    std::uint64_t below(std::uint64_t n) { return rng() % n; }
    std::mt19937_64 rng;
};

std::string describe(const BigFixed& v) { return v.decimal() + " (" + std::to_string(v.fracLimbs()) + " limbs)"; }

class BigFixedGmp : public ::testing::TestWithParam<int> {};

TEST_P(BigFixedGmp, ArithmeticMatchesGmp)
{
    const int f = GetParam();
    const int n = f + 1;
    Gen gen(1000 + f);
    Mpz A, B, R, T;
    for (int i = 0; i < kCases; ++i) {
        const BigFixed a = gen.number(f);
        const BigFixed b = i % 5 == 0 ? a : gen.number(f); // the same object takes the squaring path
        toMpz(a, A);
        toMpz(b, B);

        mpz_add(R, A, B);
        ASSERT_EQ(a + b, fromMpz(R, n)) << describe(a) << " + " << describe(b);
        mpz_sub(R, A, B);
        ASSERT_EQ(a - b, fromMpz(R, n)) << describe(a) << " - " << describe(b);

        // Truncating product: floor(|A|·|B| / 2^(64f)), integer overflow discarded, sign xor.
        mpz_abs(T, A);
        mpz_abs(R, B);
        mpz_mul(R, T, R);
        mpz_fdiv_q_2exp(R, R, 64 * static_cast<mp_bitcnt_t>(f));
        if (a.neg() != b.neg()) mpz_neg(R, R);
        ASSERT_EQ(a * b, fromMpz(R, n)) << describe(a) << " * " << describe(b);

        const int bits = static_cast<int>(gen.below(64 * n + 8));
        mpz_mul_2exp(R, A, static_cast<mp_bitcnt_t>(bits));
        ASSERT_EQ(a.shiftedLeft(bits), fromMpz(R, n)) << describe(a) << " << " << bits;

        const std::uint64_t d = gen.below(3) == 0 ? 1 + gen.below(20) : (gen.rng() | 1);
        mpz_abs(T, A);
        mpz_fdiv_q_ui(R, T, d);
        if (a.neg()) mpz_neg(R, R);
        ASSERT_EQ(a.divided(d), fromMpz(R, n)) << describe(a) << " / " << d;

        const std::uint64_t m = gen.rng();
        mpz_mul_ui(R, A, m);
        ASSERT_EQ(a.multiplied(m), fromMpz(R, n)) << describe(a) << " * " << m;
    }
}

TEST_P(BigFixedGmp, DecimalWriterMatchesGmp)
{
    const int f = GetParam();
    Gen gen(2000 + f);
    const int digits = static_cast<int>(std::ceil(64.0 * f * 0.3010299956639812)) + 1;
    Mpz A, frac, ten;
    mpz_ui_pow_ui(ten, 10, static_cast<unsigned long>(digits));
    for (int i = 0; i < kCases; ++i) {
        const BigFixed a = gen.number(f);
        toMpz(a, A);
        mpz_abs(A, A);
        mpz_fdiv_r_2exp(frac, A, 64 * static_cast<mp_bitcnt_t>(f));
        mpz_mul(frac, frac, ten);
        mpz_fdiv_q_2exp(frac, frac, 64 * static_cast<mp_bitcnt_t>(f));
        char* s = mpz_get_str(nullptr, 10, frac);
        std::string fraction = s;
        free(s);
        fraction.insert(0, static_cast<std::size_t>(digits) - fraction.size(), '0');
        while (fraction.size() > 1 && fraction.back() == '0') fraction.pop_back();
        const std::string expected = (a.neg() ? "-" : "") + std::to_string(a.integerLimb()) + "." + fraction;
        ASSERT_EQ(a.decimal(), expected);
    }
}

TEST_P(BigFixedGmp, DecimalReadersMatchGmp)
{
    const int f = GetParam();
    const int n = f + 1;
    Gen gen(3000 + f);
    const int digits = static_cast<int>(std::ceil(64.0 * f * 0.3010299956639812)) + 1;
    Mpz F, P, R, I;
    for (int i = 0; i < kCases; ++i) {
        std::string intPart, fracPart;
        for (std::uint64_t k = gen.below(19); k > 0; --k) intPart += static_cast<char>('0' + gen.below(10));
        const std::uint64_t fracLen = gen.below(static_cast<std::uint64_t>(digits) + 12);
        for (std::uint64_t k = 0; k < fracLen; ++k) {
            // Runs of nines push the rounding across limbs.
            fracPart += static_cast<char>(gen.below(3) == 0 ? '9' : '0' + gen.below(10));
        }
        const bool negative = gen.below(2) == 1;
        const std::string text = (negative ? "-" : "") + intPart + "." + fracPart;

        mpz_set_str(F, fracPart.empty() ? "0" : fracPart.c_str(), 10);
        mpz_ui_pow_ui(P, 10, fracLen);
        mpz_set_str(I, intPart.empty() ? "0" : intPart.c_str(), 10);

        // Truncating: floor(F·2^(64f) / 10^len) plus the integer part.
        mpz_mul_2exp(R, F, 64 * static_cast<mp_bitcnt_t>(f));
        mpz_fdiv_q(R, R, P);
        mpz_t whole;
        mpz_init(whole);
        mpz_mul_2exp(whole, I, 64 * static_cast<mp_bitcnt_t>(f));
        mpz_add(R, R, whole);
        if (negative) mpz_neg(R, R);
        auto truncated = BigFixed::fromDecimalTruncating(text, f);
        ASSERT_TRUE(truncated.has_value()) << text;
        ASSERT_EQ(*truncated, fromMpz(R, n)) << text;

        // Rounding: floor at one more limb, then half up on the dropped limb.
        mpz_mul_2exp(R, F, 64 * static_cast<mp_bitcnt_t>(f + 1));
        mpz_fdiv_q(R, R, P);
        mpz_set_ui(P, 0);
        mpz_setbit(P, 63);
        mpz_add(R, R, P);
        mpz_fdiv_q_2exp(R, R, 64); // (t + 2^63) >> 64 with t the guard-limb floor
        mpz_add(R, R, whole);
        mpz_clear(whole);
        if (negative) mpz_neg(R, R);
        auto rounded = BigFixed::fromDecimal(text, f);
        ASSERT_TRUE(rounded.has_value()) << text;
        ASSERT_EQ(*rounded, fromMpz(R, n)) << text;
    }
}

TEST_P(BigFixedGmp, DecimalRoundTripIsExact)
{
    const int f = GetParam();
    Gen gen(4000 + f);
    for (int i = 0; i < kCases; ++i) {
        const BigFixed a = gen.number(f, /*smallInteger=*/true);
        auto back = BigFixed::fromDecimal(a.decimal(), f);
        ASSERT_TRUE(back.has_value()) << a.decimal();
        ASSERT_EQ(*back, a) << a.decimal();
    }
}

INSTANTIATE_TEST_SUITE_P(FractionLimbs, BigFixedGmp, ::testing::Values(1, 2, 7, 17, 24, 32),
                         [](const auto& info) { return "f" + std::to_string(info.param); });

} // namespace
