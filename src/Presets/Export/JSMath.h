#pragma once
// Numbers as JavaScript computes and prints them, so the exports write the texts a JavaScript
// implementation of them writes, bit for bit:
// - string: ECMAScript Number::toString (radix 10) of any double, NaN and infinities included;
// - clamp: Math.max(lo, Math.min(x, hi)), NaN-propagating and ordering -0 below +0;
// - log, log10, log2: fdlibm's algorithms (e_log, e_log10 on top of e_log, the FreeBSD e_log2)
//   with the fused multiply-adds a contracting compiler makes of them, written out with std::fma so
//   that no compiler setting changes a result.
// Pure functions; any thread.
#include <string>

namespace veltrane::JSMath {

std::string string(double x);
double clamp(double x, double lo, double hi) noexcept;
double log(double x) noexcept;
double log10(double x) noexcept;
double log2(double x) noexcept;

} // namespace veltrane::JSMath
