#pragma once
// The Markov walk: small drifts that carry momentum from the last steps, now and then a long jump,
// and an optional pull towards the busiest of eight neighbouring points, judged by the view's
// complexity estimate. One step per clock tick.
//
// Every random draw comes from the owned source in a fixed order, so a seeded walk repeats exactly.
// Steps are divided by the zoom of the target passed in, so the walk keeps its pace on screen.
#include "FractalCore/FractalTarget.h"
#include "FractalCore/FractalType.h"
#include "Movement/MovementSettings.h"
#include "Movement/OwnedRandomSource.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace veltrane {

struct MarkovEngine {
    static constexpr std::size_t historyLimit = 8;
    static constexpr int probeCount = 8;        // directions k·π/4
    static constexpr int probeIterations = 128; // per complexity estimate

    MarkovEngine(MarkovConfig config, OwnedRandomSource random);

    // One step from `current` per gathered tick. With a positive boundary attraction this costs
    // eight complexity estimates; the first of equally busy directions wins.
    std::optional<FractalTarget> update(std::int64_t ticks, const FractalTarget& current);
    // History becomes [origin]; gathered ticks are dropped.
    void reset(const FractalTarget& origin);
    // History becomes [target]; gathered ticks are kept.
    void reanchor(const FractalTarget& target);
    // The anchor's absolute position (the probes run there) and the formula they evaluate; without
    // one the estimator's default z² + c.
    void setFrameOrigin(double x, double y, std::optional<FractalType> type);

    MarkovConfig config;
    std::vector<FractalTarget> history; // most recent last, at most historyLimit
    double originX = 0;
    double originY = 0;
    std::optional<FractalType> probeType;
    double tickAccumulator = 0;
    OwnedRandomSource random;
};

} // namespace veltrane
