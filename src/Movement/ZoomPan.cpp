#include "Movement/ZoomPan.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace veltrane {

namespace {

constexpr double ln2 = 0.69314718055994530942;

// ln cosh x and ln sinh x (x >= 0) without forming cosh or sinh, which overflow past |x| = 710.
double logCosh(double x) noexcept
{
    x = std::abs(x);
    return x + std::log1p(std::exp(-2 * x)) - ln2;
}

double logSinh(double x) noexcept
{
    // expm1 keeps the small arguments of the first frames accurate; ln sinh 0 = −∞.
    return x + std::log(-std::expm1(-2 * x)) - ln2;
}

// sign · e^log, a number that may lie far outside the range of a double; sign 0 is zero.
struct LogNumber {
    double sign = 0;
    double log = 0;
};

LogNumber plus(LogNumber a, LogNumber b) noexcept
{
    if (a.sign == 0) return b;
    if (b.sign == 0) return a;
    if (a.log < b.log) std::swap(a, b);
    const double d = b.log - a.log; // <= 0
    if (a.sign == b.sign) return {a.sign, a.log + std::log1p(std::exp(d))};
    if (d == 0) return {};
    return {a.sign, a.log + std::log(-std::expm1(d))};
}

LogNumber scaled(LogNumber a, double logFactor) noexcept { return {a.sign, a.log + logFactor}; }

double asinhOf(LogNumber b) noexcept
{
    if (b.sign == 0) return 0;
    // Past e^700 asinh b = ln 2|b| to far below a double's resolution.
    if (b.log < 700) return std::asinh(b.sign * std::exp(b.log));
    return b.sign * (b.log + ln2);
}

// ln(a / b) for positive finite a and b, from the quotient while it is a normal double (the closed
// form's own rounding), else from the two logarithms.
double logRatio(double a, double b) noexcept
{
    const double q = a / b;
    if (std::isnormal(q)) return std::log(q);
    return std::log(a) - std::log(b);
}

} // namespace

ZoomPan::ZoomPan(double w0, double w1, double distance) noexcept : w0_(w0), w1_(w1)
{
    const double logE = logRatio(w1, w0);
    logE_ = logE;
    if (distance > std::min(w0, w1) * 1e-9) {
        distance_ = distance;
        logH_ = logRatio(distance, w0);
        // b0 = (e² − 1 + rho⁴h²) / (2 rho² h) and b1 = (e² − 1 − rho⁴h²) / (2 e rho² h), summed as
        // logarithms: (e² − 1) / (2 rho² h), where e² − 1 = ±(e^|2 ln e| − 1), and rho⁴h / (2 rho²).
        LogNumber eSquaredLessOne;
        if (logE > 0)
            eSquaredLessOne = {1, 2 * logE + std::log(-std::expm1(-2 * logE))};
        else if (logE < 0)
            eSquaredLessOne = {-1, std::log(-std::expm1(2 * logE))};
        const LogNumber first = scaled(eSquaredLessOne, -std::log(twoRho2) - logH_);
        const LogNumber second{1, std::log(rho4) + logH_ - std::log(twoRho2)};
        const LogNumber b0 = plus(first, second);
        const LogNumber b1 = scaled(plus(first, {-1, second.log}), -logE);
        const double asinhB0 = asinhOf(b0);
        r0_ = -asinhB0;
        length_ = (asinhB0 - asinhOf(b1)) / rho;
        logCoshR0_ = logCosh(r0_);
    } else {
        length_ = std::abs(logE) / rho;
    }
}

ZoomPan::Progress ZoomPan::progress(double s) const noexcept
{
    if (s >= 1) return {distance_ > 0 ? 1.0 : 0.0, distance_ > 0 ? 0.0 : 1.0, w1_};
    const double S = (s > 0 ? s : 0) * length_;
    if (distance_ == 0) return {0, 1, w0_ * std::exp(w1_ >= w0_ ? rho * S : -rho * S)};
    // With r = rho S + r0: w = w0 cosh r0 / cosh r, and u = w0 / rho² (cosh r0 tanh r − sinh r0) whose
    // exact rewritings k = u / distance = sinh(rho S) / (rho² h cosh r) and
    // 1 − k = e sinh(rho (length − S)) / (rho² h cosh r) have no cancellation.
    const double logCoshR = logCosh(rho * S + r0_);
    const double common = -std::log(rho2) - logH_ - logCoshR;
    const double w = w0_ * std::exp(logCoshR0_ - logCoshR);
    const double k = std::exp(logSinh(rho * S) + common);
    const double rest = std::exp(logE_ + logSinh(rho * (length_ - S)) + common);
    return {std::min(k, 1.0), std::min(rest, 1.0), w};
}

ZoomPan::Point ZoomPan::at(double s) const noexcept
{
    if (s >= 1) return {distance_, w1_};
    const Progress p = progress(s);
    return {p.k <= p.rest ? p.k * distance_ : distance_ - p.rest * distance_, p.w};
}

} // namespace veltrane
