// JavaScript number texts, clamping and the fdlibm logarithms.
#include "Presets/Export/JSMath.h"

#include <gtest/gtest.h>
#include <mpfr.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <unistd.h>
#include <vector>
#include <sstream>
#include <string>

namespace veltrane {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();

TEST(JSMath, StringFollowsNumberToString)
{
    const std::pair<double, const char*> cases[] = {
        {0.0, "0"},
        {-0.0, "0"},
        {std::nan(""), "NaN"},
        {inf, "Infinity"},
        {-inf, "-Infinity"},
        {1e21, "1e+21"},
        {1e20, "100000000000000000000"},
        {1e-6, "0.000001"},
        {1e-7, "1e-7"},
        {1.5e-7, "1.5e-7"},
        {0.1 + 0.2, "0.30000000000000004"},
        {0.1, "0.1"},
        {100, "100"},
        {123.456, "123.456"},
        {-2.5, "-2.5"},
        {1e300, "1e+300"},
        {5e-324, "5e-324"},
        {1.7976931348623157e308, "1.7976931348623157e+308"},
        {-36, "-36"},
        {123456789012345680000.0, "123456789012345680000"},
    };
    for (const auto& [x, text] : cases) EXPECT_EQ(JSMath::string(x), text) << text;
}

TEST(JSMath, ClampHasMathMinMaxSemantics)
{
    struct Case {
        double x, lo, hi, expected;
        bool negativeZero = false;
    };
    const Case cases[] = {
        {std::nan(""), 0, 1, std::nan("")},
        {0.5, std::nan(""), 1, std::nan("")},
        {-0.0, 0, 1, 0.0},
        {0.0, -0.0, -0.0, -0.0, true},
        {5, 3, 1, 3},
        {-inf, 0, 127, 0},
        {inf, 0, 127, 127},
        {0.25, 0, 1, 0.25},
    };
    for (const Case& c : cases) {
        const double r = JSMath::clamp(c.x, c.lo, c.hi);
        if (std::isnan(c.expected)) {
            EXPECT_TRUE(std::isnan(r));
            continue;
        }
        EXPECT_EQ(r, c.expected) << c.x;
        EXPECT_EQ(std::signbit(r), c.negativeZero) << c.x;
    }
}

// fdlibm's logarithms are within one unit in the last place of the true value.
TEST(JSMath, LogarithmsAgreeWithMPFRWithinOneUlp)
{
    std::mt19937_64 random(27);
    std::uniform_real_distribution<double> exponent(-1070, 1020), mantissa(1, 2);
    mpfr_t x, y;
    mpfr_inits2(200, x, y, (mpfr_ptr) nullptr);
    using Fn = double (*)(double) noexcept;
    using Ref = int (*)(mpfr_ptr, mpfr_srcptr, mpfr_rnd_t);
    const std::tuple<const char*, Fn, Ref> functions[] = {
        {"log", JSMath::log, mpfr_log}, {"log10", JSMath::log10, mpfr_log10}, {"log2", JSMath::log2, mpfr_log2}};
    for (int i = 0; i < 20000; ++i) {
        double v = std::ldexp(mantissa(random), static_cast<int>(exponent(random)));
        if (i % 4 == 0) v = 1 + (mantissa(random) - 1.5) * 1e-3;           // near 1, where cancellation bites
        if (i % 97 == 0) v = std::ldexp(mantissa(random), -1074 + i % 50); // subnormal
        for (const auto& [name, fn, ref] : functions) {
            mpfr_set_d(x, v, MPFR_RNDN);
            ref(y, x, MPFR_RNDN);
            const double exact = mpfr_get_d(y, MPFR_RNDN);
            const double got = fn(v);
            const double ulp = std::nextafter(std::fabs(exact), inf) - std::fabs(exact);
            ASSERT_LE(std::fabs(got - exact), ulp) << name << "(" << v << ")";
        }
    }
    mpfr_clears(x, y, (mpfr_ptr) nullptr);
}

// The reference the exports must match: a JavaScript engine's own Math.log, Math.log10, Math.log2 and
// number texts, bit for bit, where node is installed.
TEST(JSMath, LogarithmsAndTextsMatchNodeBitForBit)
{
    if (std::system("node --version > /dev/null 2>&1") != 0) GTEST_SKIP() << "node is not installed";
    std::mt19937_64 random(11);
    std::uniform_real_distribution<double> exponent(-1074, 1023), mantissa(1, 2);
    std::vector<double> values;
    for (int i = 0; i < 3000; ++i) {
        double v = std::ldexp(mantissa(random), static_cast<int>(exponent(random)));
        if (i % 3 == 0) v = 1 + (mantissa(random) - 1.5) * 1e-2;
        values.push_back(v);
    }
    const auto input = std::filesystem::temp_directory_path() / ("jsmath-" + std::to_string(::getpid()) + ".txt");
    {
        std::ofstream out(input);
        out.precision(17);
        for (double v : values) out << v << '\n';
    }
    const std::string script =
        "const v=require('fs').readFileSync('" + input.string() +
        "','utf8').trim().split('\\n').map(Number);"
        "for(const x of v)console.log([x,Math.log(x),Math.log10(x),Math.log2(x)].map(String).join(' '))";
    FILE* pipe = ::popen(("node -e \"" + script + "\"").c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
    ::pclose(pipe);
    std::filesystem::remove(input);
    std::istringstream lines(output);
    std::size_t i = 0;
    for (std::string x, l, l10, l2; lines >> x >> l >> l10 >> l2; ++i) {
        ASSERT_LT(i, values.size());
        const double v = values[i];
        EXPECT_EQ(JSMath::string(v), x);
        EXPECT_EQ(JSMath::string(JSMath::log(v)), l) << "log(" << x << ")";
        EXPECT_EQ(JSMath::string(JSMath::log10(v)), l10) << "log10(" << x << ")";
        EXPECT_EQ(JSMath::string(JSMath::log2(v)), l2) << "log2(" << x << ")";
    }
    EXPECT_EQ(i, values.size());
}

TEST(JSMath, LogarithmSpecialValues)
{
    for (auto fn : {JSMath::log, JSMath::log10, JSMath::log2}) {
        EXPECT_TRUE(std::isnan(fn(std::nan(""))));
        EXPECT_TRUE(std::isnan(fn(-1)));
        EXPECT_TRUE(std::isnan(fn(-inf)));
        EXPECT_EQ(fn(inf), inf);
        EXPECT_EQ(fn(0.0), -inf);
        EXPECT_EQ(fn(-0.0), -inf);
        EXPECT_EQ(fn(1), 0);
        EXPECT_FALSE(std::signbit(fn(1)));
    }
    EXPECT_EQ(JSMath::log2(8), 3);
    EXPECT_EQ(JSMath::log2(5e-324), -1074);
    EXPECT_EQ(JSMath::log2(0x1p-1030), -1030);
    EXPECT_EQ(JSMath::log10(100), 2);
    EXPECT_EQ(JSMath::log(std::exp(1.0)), 1);
}

} // namespace
} // namespace veltrane
