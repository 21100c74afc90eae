#include "Movement/ArpeggiatorEngine.h"

#include "Movement/EngineTicks.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace veltrane {

ArpeggiatorEngine::ArpeggiatorEngine(ArpeggiatorConfig config, OwnedRandomSource random)
    : config(config), random(std::move(random))
{}

void ArpeggiatorEngine::computeSteps()
{
    steps.clear();
    // Settings arrive from files too: a figure of more points than any view can show would only
    // exhaust memory.
    const std::int64_t n = std::min(config.stepCount, maxFigureSteps);
    if (n <= 0) return;
    steps.reserve(static_cast<std::size_t>(n));
    const double r = config.radius / anchor.zoom;
    for (std::int64_t i = 0; i < n; ++i) {
        FractalTarget step = anchor;
        if (config.axis == ArpeggiatorConfig::Axis::xy) {
            const double a = 2 * std::numbers::pi * static_cast<double>(i) / static_cast<double>(n);
            step.centerX += r * std::cos(a);
            step.centerY += r * std::sin(a);
        } else {
            // Evenly from −r to +r; a single step sits at −r.
            const auto gaps = static_cast<double>(std::max<std::int64_t>(n - 1, 1));
            const double d = r * (2 * static_cast<double>(i) / gaps - 1);
            (config.axis == ArpeggiatorConfig::Axis::x ? step.centerX : step.centerY) += d;
        }
        steps.push_back(step);
    }
}

std::optional<FractalTarget> ArpeggiatorEngine::update(std::int64_t ticks, const FractalTarget&)
{
    if (steps.empty() || !stepDue(tickAccumulator, ticks, config.rate)) return std::nullopt;
    const auto n = static_cast<std::int64_t>(steps.size());
    switch (config.pattern) {
    case ArpeggiatorConfig::Pattern::up: currentStep = (currentStep + 1) % n; break;
    case ArpeggiatorConfig::Pattern::down: currentStep = (currentStep + n - 1) % n; break;
    case ArpeggiatorConfig::Pattern::random:
        currentStep = static_cast<std::int64_t>(std::floor(random.next() * static_cast<double>(n)));
        break;
    case ArpeggiatorConfig::Pattern::pendulum:
        currentStep += direction;
        if (currentStep >= n - 1 || currentStep < 1) direction = currentStep < 1 ? 1 : -1;
        break;
    }
    return steps[static_cast<std::size_t>(std::clamp<std::int64_t>(currentStep, 0, n - 1))];
}

void ArpeggiatorEngine::reset(const FractalTarget& origin)
{
    anchor = origin;
    currentStep = 0;
    direction = 1;
    tickAccumulator = 0;
    computeSteps();
}

void ArpeggiatorEngine::reanchor(const FractalTarget& target)
{
    anchor = target;
    computeSteps();
    currentStep %= std::max<std::int64_t>(static_cast<std::int64_t>(steps.size()), 1);
}

} // namespace veltrane
