#include "Movement/LSystemEngine.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>

namespace veltrane {

std::string LSystemEngine::expand(std::string_view axiom, const LSystemConfig::Rules& rules, std::int64_t iterations)
{
    if (iterations <= 0) return std::string(axiom.substr(0, maxStringLength));

    std::array<std::optional<std::string_view>, 256> table{};
    for (const auto& [key, value] : rules) {
        if (key.empty()) continue;
        auto& entry = table[static_cast<unsigned char>(key.front())];
        if (!entry) entry = value;
    }

    // The first pass reads the axiom in place (it may be longer than the cap, and with rules that
    // shrink it every byte of it still counts); later passes read the previous result.
    std::string current;
    std::string_view source = axiom;
    // Settings arrive from files too: rules that keep permuting symbols would otherwise rewrite the
    // string for as many passes as a file asks.
    for (std::int64_t pass = 0; pass < std::min(iterations, maxPasses); ++pass) {
        // Size the pass first, so it allocates its exact length and never more than the cap.
        std::size_t length = 0;
        bool cut = false;
        for (const unsigned char b : source) {
            length += table[b] ? table[b]->size() : 1;
            if (length > maxStringLength) {
                length = maxStringLength;
                cut = true;
                break;
            }
        }
        std::string out;
        out.reserve(length);
        for (const unsigned char b : source) {
            const std::string_view replacement =
                table[b] ? *table[b] : std::string_view(reinterpret_cast<const char*>(&b), 1);
            out.append(replacement.substr(0, length - out.size()));
            if (out.size() == length && cut) return out;
        }
        // A pass that changes nothing leaves every later pass the same.
        const bool settled = out == source;
        current = std::move(out);
        if (settled) break;
        source = current;
    }
    return current;
}

std::vector<LSystemEngine::Point> LSystemEngine::generatePath(std::string_view symbols, double stepSize,
                                                              double angleDeg)
{
    struct Turtle {
        double x = 0;
        double y = 0;
        double heading = 0;
    };
    const double turn = angleDeg * std::numbers::pi / 180;
    Turtle turtle;
    std::vector<Turtle> stack;
    std::vector<Point> path;
    const auto moves = std::ranges::count_if(symbols, [](char c) { return c == 'F' || c == 'G'; });
    path.reserve(1 + static_cast<std::size_t>(moves));
    path.push_back({0, 0});
    for (const char symbol : symbols) {
        switch (symbol) {
        case '+': turtle.heading += turn; break;
        case '-': turtle.heading -= turn; break;
        case 'F':
        case 'G':
            turtle.x += stepSize * std::cos(turtle.heading);
            turtle.y += stepSize * std::sin(turtle.heading);
            path.push_back({turtle.x, turtle.y});
            break;
        case '[': stack.push_back(turtle); break;
        case ']':
            if (!stack.empty()) {
                turtle = stack.back();
                stack.pop_back();
            }
            break;
        default: break;
        }
    }
    return path;
}

LSystemEngine::LSystemEngine(LSystemConfig config) : config(std::move(config)) { buildPath(); }

void LSystemEngine::buildPath()
{
    path = generatePath(expand(config.axiom, config.rules, config.iterations), 1, config.angle);
}

std::optional<FractalTarget> LSystemEngine::update(std::int64_t ticks, const FractalTarget& current)
{
    const double rate = config.rate;
    if (ticks == 0 || path.size() < 2 || !(rate > 0) || !std::isfinite(rate)) return std::nullopt;
    tickAccumulator += rate * static_cast<double>(ticks);
    if (tickAccumulator < 1) return std::nullopt;
    const double n = std::floor(tickAccumulator);
    tickAccumulator -= n;
    // Reduced in doubles first: a huge rate must not overflow the index.
    const auto size = static_cast<std::int64_t>(path.size());
    pathIndex = (pathIndex + static_cast<std::int64_t>(std::fmod(n, static_cast<double>(size)))) % size;

    const double s = config.stepSize / current.zoom;
    const Point& p = path[static_cast<std::size_t>(pathIndex)];
    return FractalTarget{anchor.centerX + p.x * s, anchor.centerY + p.y * s, current.zoom, current.rotation};
}

void LSystemEngine::reset(const FractalTarget& origin)
{
    anchor = origin;
    buildPath();
    pathIndex = 0;
    tickAccumulator = 0;
}

void LSystemEngine::reanchor(const FractalTarget& target)
{
    anchor = target;
    pathIndex = 0;
}

} // namespace veltrane
