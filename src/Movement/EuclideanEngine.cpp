#include "Movement/EuclideanEngine.h"

#include "Movement/EngineTicks.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace veltrane {

std::vector<bool> bjorklund(std::int64_t pulses, std::int64_t steps)
{
    const auto n = static_cast<std::size_t>(std::max<std::int64_t>(steps, 0));
    const auto p = static_cast<std::size_t>(std::max<std::int64_t>(pulses, 0));
    if (p >= n) return std::vector<bool>(n, true);
    if (p == 0) return std::vector<bool>(n, false);

    // Pair the onset groups with the rest groups until at most one rest group is left; the groups
    // left over from the longer list become the next round's remainder.
    std::vector<std::vector<bool>> a(p, std::vector<bool>{true});
    std::vector<std::vector<bool>> b(n - p, std::vector<bool>{false});
    while (b.size() > 1) {
        const std::size_t m = std::min(a.size(), b.size());
        std::vector<std::vector<bool>> paired(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(m));
        for (std::size_t i = 0; i < m; ++i) paired[i].insert(paired[i].end(), b[i].begin(), b[i].end());
        std::vector<std::vector<bool>> rest;
        if (a.size() > b.size())
            rest.assign(a.begin() + static_cast<std::ptrdiff_t>(m), a.end());
        else
            rest.assign(b.begin() + static_cast<std::ptrdiff_t>(m), b.end());
        a = std::move(paired);
        b = std::move(rest);
    }
    std::vector<bool> rhythm;
    rhythm.reserve(n);
    for (const auto* groups : {&a, &b})
        for (const auto& group : *groups) rhythm.insert(rhythm.end(), group.begin(), group.end());
    return rhythm;
}

EuclideanEngine::EuclideanEngine(EuclideanConfig config) : config(config) { rebuildPattern(); }

void EuclideanEngine::rebuildPattern()
{
    // Settings arrive from files too: a rhythm longer than any performance would only exhaust memory.
    const std::vector<bool> rhythm =
        bjorklund(std::min(config.pulses, maxFigureSteps), std::min(config.steps, maxFigureSteps));
    pattern.clear();
    if (rhythm.empty()) return;
    const auto size = static_cast<std::int64_t>(rhythm.size());
    const std::int64_t k = ((config.rotationOffset % size) + size) % size;
    pattern.reserve(rhythm.size());
    for (std::int64_t i = 0; i < size; ++i) pattern.push_back(rhythm[static_cast<std::size_t>((i + k) % size)]);
}

std::optional<FractalTarget> EuclideanEngine::update(std::int64_t ticks, const FractalTarget& current)
{
    if (pattern.empty() || !stepDue(tickAccumulator, ticks, config.rate)) return std::nullopt;
    const auto size = static_cast<std::int64_t>(pattern.size());
    const bool hit = pattern[static_cast<std::size_t>(stepIndex % size)];
    stepIndex = (stepIndex + 1) % size;
    if (!hit) return std::nullopt;

    waypointIndex += 1;
    const auto u = static_cast<double>(waypointIndex);
    const double v = config.stepSize / current.zoom;
    const double theta = 2 * std::numbers::pi * u / static_cast<double>(std::max<std::int64_t>(config.pulses, 1));
    FractalTarget next = current;
    switch (config.axis) {
    case EuclideanConfig::Axis::x: next.centerX = anchor.centerX + v * std::cos(theta) * u * 0.3; break;
    case EuclideanConfig::Axis::y: next.centerY = anchor.centerY + v * std::sin(theta) * u * 0.3; break;
    case EuclideanConfig::Axis::zoom: next.zoom = anchor.zoom * (1 + 0.3 * std::sin(theta)); break;
    case EuclideanConfig::Axis::rotation: next.rotation = anchor.rotation + v * u; break;
    case EuclideanConfig::Axis::combined:
        next.centerX = anchor.centerX + v * std::cos(theta);
        next.centerY = anchor.centerY + v * std::sin(theta);
        break;
    }
    return next;
}

void EuclideanEngine::reset(const FractalTarget& origin)
{
    anchor = origin;
    waypointIndex = 0;
    tickAccumulator = 0;
    stepIndex = 0;
    rebuildPattern();
}

void EuclideanEngine::reanchor(const FractalTarget& target) { anchor = target; }

} // namespace veltrane
