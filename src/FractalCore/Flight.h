#pragma once
// A timed camera move between two targets, sampled once per frame by its owner.
#include "FractalCore/FractalTarget.h"

namespace veltrane {

struct Flight {
    FractalTarget from;
    FractalTarget to;
    double start = 0;    // seconds on the caller's clock
    double duration = 0; // seconds

    // Duration = min(base + 420 ms per decade of zoom + 500 ms per unit of travel (at most 3), 9 s).
    Flight(const FractalTarget& from, const FractalTarget& to, double start, double baseDurationMs) noexcept;

    struct CentreWeight {
        double zoom;
        double fromWeight; // weight of `from`'s centre: 1 at the start, 0 at the end
    };

    // (t − start) / duration, at most 1 (not clamped below 0). A flight of no duration is complete
    // from its start on.
    double progress(double t) const noexcept;
    bool isFinished(double t) const noexcept;
    // Zoom interpolated geometrically, centre so that the view moves consistently on screen, rotation
    // linearly; all along the cubic ease-in-out of the progress.
    FractalTarget sample(double t) const noexcept;
    // The sampled zoom and the weight of the start centre, for callers that blend exact centres.
    CentreWeight centreWeight(double t) const noexcept;

private:
    double eased(double t) const noexcept;
    double rawProgress(double t) const noexcept;
};

} // namespace veltrane
