#include "Music/Scale.h"

#include "Support/EnumTextJson.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace veltrane {

namespace {

struct ScaleInfo {
    std::string_view label;
    std::array<int, 12> degrees;
    int count;
};

constexpr std::array<ScaleInfo, 14> infos{{
    {"Free", {}, 0},
    {"Chromatic", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, 12},
    {"Major", {0, 2, 4, 5, 7, 9, 11}, 7},
    {"Minor", {0, 2, 3, 5, 7, 8, 10}, 7},
    {"Dorian", {0, 2, 3, 5, 7, 9, 10}, 7},
    {"Lydian", {0, 2, 4, 6, 7, 9, 11}, 7},
    {"Mixolydian", {0, 2, 4, 5, 7, 9, 10}, 7},
    {"Pent. Major", {0, 2, 4, 7, 9}, 5},
    {"Pent. Minor", {0, 3, 5, 7, 10}, 5},
    {"Blues", {0, 3, 5, 6, 7, 10}, 6},
    {"Whole Tone", {0, 2, 4, 6, 8, 10}, 6},
    {"Harm. Minor", {0, 2, 3, 5, 7, 8, 11}, 7},
    {"Hirajoshi", {0, 2, 3, 7, 8}, 5},
    {"Fifths", {0, 7}, 2},
}};

const ScaleInfo& info(Scale scale) noexcept { return infos[static_cast<size_t>(scale)]; }

} // namespace

std::string_view label(Scale scale) noexcept { return info(scale).label; }

std::span<const int> degrees(Scale scale) noexcept
{
    const ScaleInfo& i = info(scale);
    return {i.degrees.data(), static_cast<size_t>(i.count)};
}

double quantize(Scale scale, double frequency, int root) noexcept
{
    const auto steps = degrees(scale);
    if (steps.empty()) return frequency;
    const double m = 12 * std::log2(std::max(frequency, 0.001) / 440) + 69 - root;
    const double g = 12 * std::floor(m / 12);
    const double p = m - g;
    double best = 0;
    double bestDistance = std::numeric_limits<double>::infinity();
    for (int k : steps) {
        // The upper octave of each degree lets a pitch just below the next root snap up to it.
        for (int candidate : {k, k + 12}) {
            const double distance = std::abs(candidate - p);
            if (distance < bestDistance) {
                best = candidate;
                bestDistance = distance;
            }
        }
    }
    return 440 * std::pow(2.0, (g + root + best - 69) / 12);
}

void to_json(Json::Value& json, Scale value) { enumToJson(json, value); }
void from_json(const Json::Value& json, Scale& value) { enumFromJson(json, value, "scale"); }

} // namespace veltrane
