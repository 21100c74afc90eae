// The unrolled limb kernels against GMP, on operands built to land next to the truncation boundary:
// limbs of 0, 1 and all ones make the skipped low columns decide the kept limbs.
#include "FractalCore/BigFixedKernels.h"

#include <gmp.h>
#include <gtest/gtest.h>

#include <random>
#include <vector>

using namespace veltrane::detail;

namespace {

// floor(a·b / 2^(64(N−1))) mod 2^(64N).
template <int N>
std::vector<Limb> truncatedProduct(const Limb* a, const Limb* b)
{
    mpz_t x, y;
    mpz_inits(x, y, nullptr);
    mpz_import(x, N, -1, sizeof(Limb), 0, 0, a);
    mpz_import(y, N, -1, sizeof(Limb), 0, 0, b);
    mpz_mul(x, x, y);
    mpz_fdiv_q_2exp(x, x, 64 * (N - 1));
    mpz_fdiv_r_2exp(x, x, 64 * N);
    std::vector<Limb> r(N, 0);
    mpz_export(r.data(), nullptr, -1, sizeof(Limb), 0, 0, x);
    mpz_clears(x, y, nullptr);
    return r;
}

template <int N>
void checkKernels(std::uint64_t seed)
{
    std::mt19937_64 rng(seed);
    const auto limb = [&]() -> Limb {
        switch (rng() % 5) {
        case 0: return 0;
        case 1: return 1;
        case 2: return ~Limb{0};
        case 3: return ~Limb{0} - 1;
        default: return rng();
        }
    };
    int undecided = 0;
    for (int i = 0; i < 20000; ++i) {
        Limb a[N], b[N], r[N];
        for (int k = 0; k < N; ++k) a[k] = limb(), b[k] = limb();
        a[N - 1] %= 4; // orbit-sized integer parts, so a + b does not overflow
        b[N - 1] %= 4;
        if (i % 3 == 0) { // a = 2^(64f) ± small, b = 2^(64f) ∓ small: the product sits on a boundary
            for (int k = 0; k < N; ++k) a[k] = b[k] = 0;
            a[N - 1] = 1;
            a[0] = 1 + rng() % 3;
            for (int k = 0; k < N - 1; ++k) b[k] = ~Limb{0};
            b[0] -= rng() % 3;
        }
        const std::vector<Limb> expected = truncatedProduct<N>(a, b);
        multiplyTruncated<N>(a, b, r);
        ASSERT_EQ(std::vector<Limb>(r, r + N), expected) << "multiply, case " << i;
        squareTruncated<N>(a, r);
        ASSERT_EQ(std::vector<Limb>(r, r + N), truncatedProduct<N>(a, a)) << "square, case " << i;

        Limb wa[N + 3], wb[N + 3];
        squareWindow<N>(a, wa);
        squareWindow<N>(b, wb);
        if (productFromSquares<N>(a, b, wa, wb, r)) {
            ASSERT_EQ(std::vector<Limb>(r, r + N), expected) << "three squares, case " << i;
        } else {
            ++undecided;
        }
        if (!truncationUncertain<N>(wa[1])) {
            ASSERT_EQ(std::vector<Limb>(wa + 2, wa + 2 + N), truncatedProduct<N>(a, a)) << "window, case " << i;
        }
    }
    EXPECT_GT(undecided, 0) << "the boundary cases must reach the direct product";
}

TEST(BigFixedKernelsTest, AgreeWithGmpNextToTheTruncationBoundary)
{
    checkKernels<4>(1);
    checkKernels<8>(2);
    checkKernels<18>(3);
}

} // namespace
