#include "Movement/MarkovEngine.h"

#include "FractalCore/Entropy.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace veltrane {

MarkovEngine::MarkovEngine(MarkovConfig config, OwnedRandomSource random) : config(config), random(std::move(random))
{
    history.reserve(historyLimit + 1);
}

std::optional<FractalTarget> MarkovEngine::update(std::int64_t ticks, const FractalTarget& c)
{
    if (ticks == 0) return std::nullopt;
    tickAccumulator += static_cast<double>(ticks);
    if (tickAccumulator < 1) return std::nullopt;
    tickAccumulator = 0;

    constexpr double tau = 2 * std::numbers::pi;
    const double g = config.driftAmount / c.zoom;
    double sx = 0;
    double sy = 0;
    if (random.next() < config.jumpProbability) {
        const double a = random.next();
        const double b = random.next();
        const double distance = g * (5 * b + 3); // 3g to 8g
        sx = std::cos(tau * a) * distance;
        sy = std::sin(tau * a) * distance;
    } else {
        const auto recent = static_cast<std::size_t>(
            std::clamp<std::int64_t>(config.memory, 0, static_cast<std::int64_t>(history.size())));
        if (recent >= 2) {
            const std::size_t first = history.size() - recent;
            for (std::size_t i = first + 1; i < history.size(); ++i) {
                sx += history[i].centerX - history[i - 1].centerX;
                sy += history[i].centerY - history[i - 1].centerY;
            }
            const auto differences = static_cast<double>(recent - 1);
            sx = sx / differences * 0.6;
            sy = sy / differences * 0.6;
        }
        const double a = random.next();
        const double b = random.next();
        const double length = (b + 0.5) * g * 0.4;
        sx += std::cos(tau * a) * length;
        sy += std::sin(tau * a) * length;
    }

    const double w = config.boundaryAttraction;
    if (w > 0) {
        const double r = 2 * g;
        double bestX = 0;
        double bestY = 0;
        double bestScore = -1;
        for (int k = 0; k < probeCount; ++k) {
            const double theta = k * std::numbers::pi / 4;
            const double ox = r * std::cos(theta);
            const double oy = r * std::sin(theta);
            const double score = Entropy::estimate(c.centerX + ox + originX, c.centerY + oy + originY, c.zoom,
                                                   probeIterations, probeType);
            if (score > bestScore) { // strictly: the earlier of equally busy directions stays
                bestScore = score;
                bestX = ox;
                bestY = oy;
            }
        }
        sx = sx * (1 - w) + bestX * w;
        sy = sy * (1 - w) + bestY * w;
    }

    const FractalTarget next{c.centerX + sx, c.centerY + sy, c.zoom, c.rotation};
    history.push_back(next);
    if (history.size() > historyLimit) history.erase(history.begin());
    return next;
}

void MarkovEngine::reset(const FractalTarget& origin)
{
    history.assign(1, origin);
    tickAccumulator = 0;
}

void MarkovEngine::reanchor(const FractalTarget& target) { history.assign(1, target); }

void MarkovEngine::setFrameOrigin(double x, double y, std::optional<FractalType> type)
{
    originX = x;
    originY = y;
    probeType = type;
}

} // namespace veltrane
