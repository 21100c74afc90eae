#include "FractalCore/Flight.h"

#include <cmath>

namespace veltrane {

Flight::Flight(const FractalTarget& from, const FractalTarget& to, double start, double baseDurationMs) noexcept
    : from(from), to(to), start(start)
{
    const double d = std::hypot(to.centerX - from.centerX, to.centerY - from.centerY);
    const double ms =
        baseDurationMs + 420 * std::abs(std::log10(to.zoom) - std::log10(from.zoom)) + 500 * std::fmin(d, 3);
    // fmin: a NaN sum (a zoom that is not positive) takes the 9 s cap instead of poisoning every sample.
    duration = std::fmin(ms, 9000) / 1000;
}

double Flight::rawProgress(double t) const noexcept
{
    // A flight without positive duration would divide by zero (NaN at its start, so never finished):
    // it is complete from its start on.
    if (!(duration > 0)) return t >= start ? 1 : 0;
    return (t - start) / duration;
}

double Flight::progress(double t) const noexcept
{
    const double p = rawProgress(t);
    return p < 1 ? p : 1;
}

bool Flight::isFinished(double t) const noexcept { return progress(t) >= 1; }

double Flight::eased(double t) const noexcept
{
    const double p = rawProgress(t);
    if (p < 0.5) return 4 * p * p * p;
    if (p < 1) {
        const double q = 2 - 2 * p;
        return 1 - q * q * q / 2;
    }
    return 1;
}

FractalTarget Flight::sample(double t) const noexcept
{
    const double e = eased(t);
    const double zoom = std::exp((1 - e) * std::log(from.zoom) + e * std::log(to.zoom));
    FractalTarget out;
    out.zoom = zoom;
    if (from.zoom <= to.zoom) {
        const double w = (1 - e) * from.zoom / zoom;
        out.centerX = to.centerX + (from.centerX - to.centerX) * w;
        out.centerY = to.centerY + (from.centerY - to.centerY) * w;
    } else {
        const double w = e * to.zoom / zoom;
        out.centerX = from.centerX - (from.centerX - to.centerX) * w;
        out.centerY = from.centerY - (from.centerY - to.centerY) * w;
    }
    out.rotation = from.rotation + e * (to.rotation - from.rotation);
    return out;
}

Flight::CentreWeight Flight::centreWeight(double t) const noexcept
{
    const double e = eased(t);
    const double zoom = std::exp((1 - e) * std::log(from.zoom) + e * std::log(to.zoom));
    const double fromWeight = from.zoom > to.zoom ? 1 - e * to.zoom / zoom : (1 - e) * from.zoom / zoom;
    return {zoom, fromWeight};
}

} // namespace veltrane
