#pragma once
// Signed fixed-point numbers of any precision the program uses: a sign and little-endian 64-bit limbs,
// the top limb the integer part (0 ≤ integer < 2^64), the limbs below it the fraction.
//
// Value = (−1 if neg) · Σ mag[i] · 2^(64·(i − fracLimbs)).
// - At least one fraction limb and at most maxFracLimbs: requests outside are raised or lowered.
// - Zero is never negative: every operation clears the sign of a zero result.
// - Overflow of the integer limb wraps modulo 2^64; products and divisions truncate towards zero.
// - Equality is structural: the same value at two precisions is unequal.
//
// Limbs live inline (no heap allocation per operation); limbs beyond the count are unspecified and
// never read. The heavy user is the reference orbit: its multiply takes the squaring shortcut when both
// operands are the same object and skips the low partial products whose carry cannot reach the kept
// limbs, so it stays exactly the truncation of the full product.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace veltrane {

class BigFixed {
public:
    using Limb = std::uint64_t;

    // 32 fraction limbs carry zooms up to about 2^1972 with 64 guard bits, well past the 1e300 the
    // instrument allows (17 limbs); one more limb is the decimal reader's guard.
    static constexpr int maxFracLimbs = 32;
    static constexpr int capacity = maxFracLimbs + 2;

    // Zero with one fraction limb.
    BigFixed() noexcept : count_(2) { mag_[0] = mag_[1] = 0; }

    static BigFixed zero(int fracLimbs) noexcept;

    // The double exactly, its bits below the last limb dropped (truncation towards zero). Zero, infinite
    // and NaN inputs give zero; magnitudes of 2^64 or more saturate to the largest magnitude.
    BigFixed(double value, int fracLimbs) noexcept;

    // Fraction limbs for a zoom: max(1, ceil((L + 12 + guardBits) / 64)) with L = log2(zoom) for
    // zoom ≥ 1 and 0 otherwise. NaN counts as zoom 1, +∞ as extremeMaxZoom (1e300); the result is at
    // most maxFracLimbs.
    static int limbsForZoom(double zoom, int guardBits) noexcept;
    // The same from log2 of the zoom (L = max(l, 0); NaN counts as 0, +∞ as log2(1e300)).
    static int limbsForLog2Zoom(double log2Zoom, int guardBits) noexcept;

    bool neg() const noexcept { return neg_; }
    std::span<const Limb> mag() const noexcept { return {mag_.data(), static_cast<std::size_t>(count_)}; }
    int limbCount() const noexcept { return count_; }
    int fracLimbs() const noexcept { return count_ - 1; }
    int precisionBits() const noexcept { return 64 * (count_ - 1); }
    Limb integerLimb() const noexcept { return mag_[count_ - 1]; }

    // Nearest-ish double: the highest non-zero limb and at most two below it, summed in doubles.
    double toDouble() const noexcept;
    bool isZero() const noexcept;
    BigFixed magnitude() const noexcept;
    // Same value at n fraction limbs: more appends zero limbs, fewer truncates the magnitude.
    BigFixed withFracLimbs(int n) const noexcept;

    // Operands of different precision are first brought to the larger one.
    friend BigFixed operator+(const BigFixed& a, const BigFixed& b) noexcept;
    friend BigFixed operator-(const BigFixed& a, const BigFixed& b) noexcept;
    friend BigFixed operator*(const BigFixed& a, const BigFixed& b) noexcept;
    BigFixed operator-() const noexcept;

    // Magnitude times 2^bits, bits lost off the integer limb; bits ≤ 0 leaves the value unchanged.
    BigFixed shiftedLeft(int bits) const noexcept;
    // Magnitude divided by d, truncated. Division by zero is refused: the value is returned unchanged.
    BigFixed divided(std::uint64_t d) const noexcept;
    // Magnitude times m, the carry out of the integer limb discarded.
    BigFixed multiplied(std::uint64_t m) const noexcept;

    // Scaled form: mantissa in ±[0.5, 1) and exponent with value mantissa · 2^exponent; (0, 0) for zero.
    struct Scaled {
        double mantissa = 0;
        std::int64_t exponent = 0;
        friend constexpr bool operator==(const Scaled&, const Scaled&) = default;
    };
    Scaled scaled() const noexcept;

    // Exact decimal text: "-", integer, ".", then ceil(64·fracLimbs·log10 2) + 1 digits with trailing
    // zeros removed (at least one digit remains). A file format: presets and takes store centres so.
    std::string decimal() const;
    // Reads what `decimal` writes at fracLimbs, rounding half up on one guard limb; nothing for a text
    // that does not parse (see fromDecimalTruncating). Write-then-read at one precision is the identity.
    static std::optional<BigFixed> fromDecimal(std::string_view text, int fracLimbs);
    // The truncating reader under fromDecimal: optional spaces/tabs around, one optional sign, at most
    // 18 integer digits, an optional point and fraction digits. Anything else gives nothing.
    static std::optional<BigFixed> fromDecimalTruncating(std::string_view text, int fracLimbs);

    // Limb arrays of equal length. cmpMag: −1, 0, 1 from the top limb down. addMag: carry out of the top
    // discarded. subMag: a − b with a ≥ b. `out` may alias an input.
    static int cmpMag(std::span<const Limb> a, std::span<const Limb> b) noexcept;
    static void addMag(std::span<const Limb> a, std::span<const Limb> b, std::span<Limb> out) noexcept;
    static void subMag(std::span<const Limb> a, std::span<const Limb> b, std::span<Limb> out) noexcept;

    friend bool operator==(const BigFixed& a, const BigFixed& b) noexcept;

    std::size_t hash() const noexcept;

    // Builds a value from raw limbs (little-endian, top limb the integer part); for tests and readers.
    static BigFixed fromLimbs(bool negative, std::span<const Limb> limbs) noexcept;

private:
    void clearNegativeZero() noexcept;
    static BigFixed addSigned(const BigFixed& a, const BigFixed& b, bool negateB) noexcept;

    bool neg_ = false;
    int count_; // limbs in use: fracLimbs + 1
    std::array<Limb, capacity> mag_;
};

} // namespace veltrane

template <>
struct std::hash<veltrane::BigFixed> {
    std::size_t operator()(const veltrane::BigFixed& v) const noexcept { return v.hash(); }
};
