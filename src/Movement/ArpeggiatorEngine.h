#pragma once
// The arpeggiator: a figure of fixed step points around the anchor (a circle, or a horizontal or
// vertical line) visited up, down, at random or back and forth, one step every 1/rate clock ticks.
//
// Targets are offsets from the conductor's anchor; the figure's radius is divided by the anchor's
// zoom so it keeps its size on screen at any depth.
#include "FractalCore/FractalTarget.h"
#include "Movement/MovementSettings.h"
#include "Movement/OwnedRandomSource.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace veltrane {

struct ArpeggiatorEngine {
    ArpeggiatorEngine(ArpeggiatorConfig config, OwnedRandomSource random);

    // Nothing until the figure exists (after reset), and nothing for a rate that is not positive
    // and finite; otherwise the next step of the pattern when 1/rate ticks have gathered. `current`
    // is not used.
    std::optional<FractalTarget> update(std::int64_t ticks, const FractalTarget& current);
    // Starts the figure over around `origin`.
    void reset(const FractalTarget& origin);
    // Redraws the figure around `target`, keeping the position in it, the direction and the ticks.
    void reanchor(const FractalTarget& target);
    // Rebuilds `steps` from `config` and `anchor`.
    void computeSteps();

    ArpeggiatorConfig config;
    FractalTarget anchor;
    std::vector<FractalTarget> steps;
    std::int64_t currentStep = 0; // the step last visited
    std::int64_t direction = 1;   // +1 or −1, for the pendulum
    double tickAccumulator = 0;
    OwnedRandomSource random; // for the random pattern
};

} // namespace veltrane
