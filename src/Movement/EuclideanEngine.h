#pragma once
// The Euclidean engine: moves on the onsets of a Euclidean rhythm (pulses spread as evenly as they go
// over the steps), one rhythm step every 1/rate clock ticks. Each onset moves the view further round
// a circle, or swings it wider along one axis, in zoom or in rotation.
#include "FractalCore/FractalTarget.h"
#include "Movement/MovementSettings.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace veltrane {

// The Bjorklund rhythm of `pulses` onsets over `steps` steps, true at the onsets: bjorklund(3, 8) is
// x..x..x. and bjorklund(5, 8) is x.xx.xx. Pulses ≥ steps give all onsets; negative counts count as 0.
std::vector<bool> bjorklund(std::int64_t pulses, std::int64_t steps);

struct EuclideanEngine {
    explicit EuclideanEngine(EuclideanConfig config);

    // Nothing for an empty rhythm, a rate that is not positive and finite, or a rest; on an onset
    // the next move, its size divided by the zoom of `current`, whose fields the axis does not move
    // are kept.
    std::optional<FractalTarget> update(std::int64_t ticks, const FractalTarget& current);
    // Starts the rhythm and the onset count over, around `origin`.
    void reset(const FractalTarget& origin);
    // Moves the anchor only: rhythm position, onset count and ticks are kept.
    void reanchor(const FractalTarget& target);
    // The rhythm rotated left by `rotationOffset` (a negative offset rotates right).
    void rebuildPattern();

    EuclideanConfig config;
    FractalTarget anchor;
    std::vector<bool> pattern;
    std::int64_t stepIndex = 0;     // position in the rhythm
    std::int64_t waypointIndex = 0; // onsets played since the last reset
    double tickAccumulator = 0;
};

} // namespace veltrane
