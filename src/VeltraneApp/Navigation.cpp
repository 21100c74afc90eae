// View navigation and camera flights of the instrument state.
#include "VeltraneApp/InstrumentState.h"

#include "FractalCore/ZoomRules.h"

#include <algorithm>
#include <cmath>

namespace veltrane {

double InstrumentState::validZoom(double z) const noexcept
{
    // A NaN zoom would reach every later frame, preset and take: keep the zoom there is.
    if (std::isnan(z)) return zoom.get();
    return std::clamp(z, ZoomRules::minZoom, maxZoom);
}

void InstrumentState::setView(const BigComplex& c, double z, double r, bool autoIterations)
{
    z = validZoom(z);
    if (!std::isfinite(r)) r = rotation.get();
    if (z != zoom.get() || autoIterations) maxIterations.set(ZoomRules::autoIterations(z, iterationCap));
    zoom.set(z);
    rotation.set(r);
    const int limbs = BigFixed::limbsForZoom(z, guardBits);
    centre.set(c.fracLimbs() == limbs ? c : c.withFracLimbs(limbs));
}

void InstrumentState::zoomTo(double z, double dx, double dy)
{
    z = validZoom(z);
    if (!std::isfinite(dx) || !std::isfinite(dy)) dx = dy = 0;
    const int limbs = std::max(centre.get().fracLimbs(), BigFixed::limbsForZoom(z, guardBits));
    setView(centre.get().withFracLimbs(limbs).offset(dx, dy), z, rotation.get(), true);
}

void InstrumentState::userTookControl()
{
    flightCentres_.reset();
    flight.set(std::nullopt);
    lastManualMove.set(clock_.now());
}

void InstrumentState::fly(const BigComplex& to, double z, double r, double baseDurationMs)
{
    const Complex t = to.doubles();
    const FractalTarget from = target();
    z = validZoom(z);
    if (!std::isfinite(r)) r = rotation.get();
    const int limbs = std::max(
        {centre.get().fracLimbs(), to.fracLimbs(), BigFixed::limbsForZoom(std::max(z, zoom.get()), guardBits)});
    // The centres first: an observer of `flight` finds them in place.
    flightCentres_ = FlightCentres{centre.get().withFracLimbs(limbs), to.withFracLimbs(limbs)};
    flight.set(Flight(from, FractalTarget{t.x, t.y, z, r}, clock_.now(), baseDurationMs));
}

void InstrumentState::advance(double now)
{
    if (!flight.get() || !flightCentres_ || !std::isfinite(now)) return;
    // Copies: observers of the writes below may stop or replace the flight.
    const Flight path = *flight.get();
    const FlightCentres centres = *flightCentres_;
    const FractalTarget sampled = path.sample(now);
    const Flight::CentreWeight weight = path.centreWeight(now);
    setView(centres.to.lerp(centres.from, weight.fromWeight), sampled.zoom, sampled.rotation, true);
    if (path.isFinished(now)) {
        setView(centres.to, path.to.zoom, path.to.rotation, true);
        flightCentres_.reset();
        flight.set(std::nullopt);
    }
}

RenderView InstrumentState::renderView() const
{
    const Complex c = centre.get().doubles();
    const double z = zoom.get();
    RenderView view(fractalType.get(), c.x, c.y, z, rotation.get(), maxIterations.get(), juliaC.get(), palette_.get(),
                    colourShift.get(), z > deepCentreZoom ? std::optional(centre.get()) : std::nullopt);
    if (const auto& f = flight.get();
        f && flightCentres_ && f->to.zoom >= f->from.zoom && f->to.zoom > referenceHintZoom)
        view.referenceHint = ReferenceHint{flightCentres_->to, ZoomRules::autoIterations(f->to.zoom, iterationCap)};
    return view;
}

PostSettings InstrumentState::postSettings(double screenHeadroom) const
{
    PostSettings post;
    post.bloom = bloom.get();
    post.grain = grain.get();
    post.vignette = vignette;
    post.headroom = extendedRange.get() ? std::fmax(1.0, screenHeadroom) : 1.0;
    post.supersample = supersample.get();
    post.autoQuality = autoQuality.get();
    return post;
}

FractalTarget InstrumentState::target() const
{
    const Complex c = centre.get().doubles();
    return FractalTarget{c.x, c.y, zoom.get(), rotation.get()};
}

} // namespace veltrane
