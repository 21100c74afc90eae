#pragma once
// The L-system engine: rewrites the axiom with the rules, turns the result into a turtle path once,
// and walks the path `rate` points per clock tick around the anchor, wrapping to the start (the
// anchor itself) at the end.
//
// Strings are bytes (the UTF-8 of the axiom and the rules); a rule's key counts by its first byte.
// No string the engine builds is longer than maxStringLength symbols, and no rewriting pass
// allocates more than that, whatever the rules: a pass that would outgrow the cap stops there and
// ends the rewriting.
#include "FractalCore/FractalTarget.h"
#include "Movement/MovementSettings.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace veltrane {

struct LSystemEngine {
    static constexpr std::size_t maxStringLength = 50000;
    // The most rewriting passes taken, whatever the settings ask for: beyond it only rule sets that
    // grow by a symbol or two a pass, or permute symbols forever, still change the string.
    static constexpr std::int64_t maxPasses = 1000;

    struct Point {
        double x = 0;
        double y = 0;
        friend constexpr bool operator==(const Point&, const Point&) = default;
    };

    explicit LSystemEngine(LSystemConfig config);

    // `iterations` rewriting passes (none for 0 or fewer). Where two keys share their first byte the
    // first key in the rules' order applies. The result holds at most maxStringLength bytes: a pass
    // is cut there and no further pass runs, and with no pass a longer axiom is cut to the cap.
    static std::string expand(std::string_view axiom, const LSystemConfig::Rules& rules, std::int64_t iterations);
    // Turtle positions from (0, 0), heading along +x: "F" and "G" step forward (a new point), "+" and
    // "−" turn by ±angle, "[" saves and "]" restores position and heading (an unmatched "]" is
    // ignored); other bytes do nothing. Never empty.
    static std::vector<Point> generatePath(std::string_view symbols, double stepSize, double angleDeg);

    // Nothing for 0 ticks, a path of one point or a rate that is not positive and finite; otherwise,
    // once a point's worth has gathered, the path point that many points on, scaled by stepSize
    // divided by the zoom of `current` (whose zoom and rotation it keeps).
    std::optional<FractalTarget> update(std::int64_t ticks, const FractalTarget& current);
    // Anchor at `origin`, path rebuilt, walk and ticks started over.
    void reset(const FractalTarget& origin);
    // Anchor at `target`, the walk back at its start; gathered ticks are kept.
    void reanchor(const FractalTarget& target);

    LSystemConfig config;
    std::vector<Point> path; // unit steps from (0, 0)
    std::int64_t pathIndex = 0;
    FractalTarget anchor;
    double tickAccumulator = 0;

private:
    void buildPath();
};

} // namespace veltrane
