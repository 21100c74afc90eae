// The route of a melody flight: one shot per phrase, planned once; and the camera pose by beat.
#include "Movement/MelodyFlight.h"

#include "FractalCore/ZoomRules.h"
#include "Movement/FlightNumbers.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace veltrane {

namespace {

bool finiteNotes(const std::vector<Melody::Note>& notes)
{
    return std::all_of(notes.begin(), notes.end(), [](const Melody::Note& n) {
        return std::isfinite(n.beat) && std::isfinite(n.length) && std::isfinite(n.velocity);
    });
}

bool inZoomRange(double zoom) { return zoom >= ZoomRules::minZoom && zoom <= ZoomRules::extremeMaxZoom; }

} // namespace

MelodyFlight::MelodyFlight(const Melody& melody, double bpm, const Pose& from, double fromBeat, double tailBeats,
                           std::uint32_t seed, double maxZoom, const Find& find)
    : start_(from)
{
    // Outside these the route and curves would be NaN, infinite or unbounded: no flight instead.
    if (!(bpm > 0 && std::isfinite(bpm)) || !inZoomRange(from.zoom) || !std::isfinite(from.rotation)) return;
    if (melody.notes().empty() && melody.bass().empty()) return;
    if (!finiteNotes(melody.notes()) || !finiteNotes(melody.bass())) return;
    if (!(melody.length() >= 0 && std::isfinite(melody.length()))) return;
    const std::vector<Bar> grid = bars(melody);
    if (grid.empty() || !(grid.back().start + grid.back().length <= maxFlightBeats)) return;

    Phrases phrases;
    phrases.lastBeat = melody.length() + (tailBeats >= 0 && std::isfinite(tailBeats) ? tailBeats : 0);
    if (!(phrases.lastBeat <= maxFlightBeats)) return;
    for (double s : MelodyFlight::phrases(melody, bpm))
        if (s >= fromBeat - 1e-9) phrases.starts.push_back(s);
    if (phrases.starts.empty()) return;
    phrases.ends.assign(phrases.starts.begin() + 1, phrases.starts.end());
    phrases.ends.push_back(phrases.lastBeat);
    phrases.energy = energy(melody, phrases.starts, phrases.ends);
    phrases.repeats = repeats(melody, phrases.starts, phrases.ends);
    const int count = static_cast<int>(phrases.starts.size());
    if (count >= 6) phrases.climax = count / 2;

    Mulberry32 random(seed);
    planShots(phrases, bpm, ZoomRules::clampZoom(maxZoom, ZoomRules::extremeMaxZoom), find, random);
    buildCurves(melody, bpm, phrases, random);
}

void MelodyFlight::planShots(const Phrases& phrases, double bpm, double maxZoom, const Find& find, Mulberry32& random)
{
    const int count = static_cast<int>(phrases.starts.size());
    const auto draw = [&random] { return random.next(); };
    // An answer the camera could not show (a zoom that is not finite, or outside the instrument's
    // range) would make the path and every later pose NaN: it counts as no answer.
    const auto ask = [&find](const BigComplex& centre, double zoom, double target) -> std::optional<Destination> {
        if (!find) return std::nullopt;
        std::optional<Destination> answer = find(centre, zoom, target);
        if (answer && !inZoomRange(answer->zoom)) return std::nullopt;
        return answer;
    };

    double sign = draw() >= 0.5 ? -1 : 1;
    BigComplex centre = start_.centre;
    double rotation = start_.rotation;
    double zoom = start_.zoom;
    double deepest = zoom;
    const double travelCap = bpm * 1.6 / 60; // beats in 1.6 seconds
    std::vector<int> modelUses(static_cast<std::size_t>(count), 0);

    for (int i = 0; i < count; ++i) {
        const double s = phrases.starts[i], e = phrases.ends[i], energy = phrases.energy[i];
        const std::optional<int> repeated = phrases.repeats[i];
        const bool last = i == count - 1;
        const bool climax = phrases.climax == i;
        // A phrase repeating the one just before it stays put instead; the climax always pulls out.
        std::optional<Pose> model;
        if (repeated && *repeated != i - 1 && !climax) model = shots_[static_cast<std::size_t>(*repeated)].to;

        double target;
        if (last) {
            const double base = model ? model->zoom : zoom;
            const double r1 = draw(), r2 = draw();
            target = std::max(std::max((20 + 40 * r1) * base, (2 + 4 * r2) * deepest), 0.8);
            if (target > maxZoom) target = maxZoom;
        } else {
            if (climax) {
                target = 2 + 4 * draw();
            } else if (!model) {
                const bool pullBack = i > 0 && energy < 0.35 && phrases.energy[i - 1] - energy > 0.3 && i < count - 2 &&
                                      (!phrases.climax || std::abs(i - *phrases.climax) >= 2);
                if (pullBack)
                    target = zoom * (0.15 + 0.25 * draw());
                else
                    target = zoom * std::exp(std::log(4.0) + energy * std::log(5.5)) * (0.8 + 0.45 * draw());
            } else {
                const int uses = ++modelUses[static_cast<std::size_t>(*repeated)];
                target = model->zoom * std::pow(6.0, uses);
            }
            target = std::max(target, 0.8);
            if (target > maxZoom) target = maxZoom / (1 + 3 * draw());
        }

        Destination destination{centre, target};
        bool search = false;
        if (!last && repeated && *repeated == i - 1) {
            // Stay: only the zoom changes.
        } else if (model) {
            if (std::optional<Destination> answer = ask(model->centre, model->zoom, target))
                destination = *answer;
            else if (!last)
                destination = {model->centre, model->zoom};
            else
                search = true;
        } else {
            search = true;
        }
        if (search) {
            const double probeZoom = std::max(std::min(target, zoom) * 0.125, 0.5);
            const double required = climax ? 0.8 : 0.6; // view widths away from the current centre
            // The probe steps are a fraction of the probe view: the centre is widened to carry them.
            const BigComplex around =
                centre.withFracLimbs(std::max(centre.fracLimbs(), BigFixed::limbsForZoom(probeZoom, 64)));
            for (int attempt = 1; attempt <= 4; ++attempt) {
                const double angle = 2 * std::numbers::pi * draw();
                const double step = (0.12 + 0.26 * draw()) * 2.5 / probeZoom;
                const std::optional<Destination> answer =
                    ask(around.offset(step * std::cos(angle), step * std::sin(angle)), probeZoom, target);
                if (!answer) continue;
                const Complex moved = answer->centre.difference(centre);
                const double widths = (climax ? answer->zoom : zoom) * std::hypot(moved.x, moved.y) / 2.5;
                if ((zoom <= 4 && !climax) || attempt == 4 || widths >= required) {
                    destination = *answer;
                    break;
                }
            }
        }

        const double duration = std::max(e - s, 0.001);
        if (draw() < 0.8) sign = -sign;
        const double turnedTo = rotation + sign * (0.25 + 0.5 * draw());
        // The coefficients are the differences of the ranges' ends as doubles (0.45 − 0.72, 1.1 − 0.9, …).
        double fraction = (0.72 - 0.26999999999999996 * energy) * (0.9 + 0.20000000000000007 * draw());
        if (model) fraction = std::max(fraction, 0.6);
        const double travel = std::min(std::max(duration * fraction, std::min(duration, travelCap)), duration);
        const double drift = (1.08 + 0.41999999999999993 * energy) * (0.95 + 0.10000000000000009 * draw());
        const double spin = (0.03 + 0.11000000000000001 * energy) * (0.8 + 0.3999999999999999 * draw()) * sign;
        const Complex moved = destination.centre.difference(centre);
        shots_.push_back({s,
                          s + travel,
                          e,
                          {centre, zoom, rotation},
                          {destination.centre, destination.zoom, turnedTo},
                          drift,
                          spin,
                          energy,
                          repeated,
                          ZoomPan(2.5 / zoom, 2.5 / destination.zoom, std::hypot(moved.x, moved.y))});

        centre = destination.centre;
        zoom = destination.zoom * drift;
        deepest = std::max(deepest, zoom);
        rotation = turnedTo + spin;
    }
}

MelodyFlight::Pose MelodyFlight::pose(double atBeat) const
{
    Pose pose = start_;
    auto shot = std::find_if(shots_.rbegin(), shots_.rend(), [atBeat](const Shot& s) { return s.start <= atBeat; });
    if (shot != shots_.rend()) {
        if (atBeat < shot->arrive) {
            const double g = 0.5 - 0.5 * std::cos(std::numbers::pi * (atBeat - shot->start) /
                                                  std::max(shot->arrive - shot->start, 1e-9));
            const ZoomPan::Progress along = shot->path.progress(g);
            const int limbs = std::max({shot->from.centre.fracLimbs(), shot->to.centre.fracLimbs(),
                                        BigFixed::limbsForZoom(std::max(shot->from.zoom, shot->to.zoom), 64)});
            const BigComplex from = shot->from.centre.withFracLimbs(limbs), to = shot->to.centre.withFracLimbs(limbs);
            // The second half is measured back from the destination: a dive of many decades ends far
            // closer to it than the rounding of a fraction of the whole distance.
            if (shot->path.distance() == 0)
                pose.centre = from.lerp(to, g);
            else if (along.k <= along.rest)
                pose.centre = from.lerp(to, along.k);
            else
                pose.centre = to.lerp(from, along.rest);
            pose.zoom = 2.5 / along.w;
            pose.rotation = shot->from.rotation + g * (shot->to.rotation - shot->from.rotation);
        } else {
            const double h = std::min((atBeat - shot->arrive) / std::max(shot->end - shot->arrive, 1e-9), 1.0);
            pose.centre = shot->to.centre;
            pose.zoom = shot->to.zoom * std::pow(shot->drift, h);
            pose.rotation = shot->to.rotation + shot->spin * h;
        }
    }
    pose.zoom *= 1 + pulseBoost(atBeat);
    pose.rotation += swayRotation(atBeat);
    return pose;
}

double MelodyFlight::pulseBoost(double atBeat) const noexcept
{
    if (std::isnan(atBeat)) return 0;
    const auto after =
        std::upper_bound(pulses_.begin(), pulses_.end(), atBeat, [](double x, const Pulse& p) { return x < p.beat; });
    double sum = 0;
    for (auto p = after; p != pulses_.begin();) {
        --p;
        const double age = atBeat - p->beat;
        if (age >= 4) break;
        sum += (1 - std::exp(-age / 0.04)) * p->size * std::exp(-age / p->decay);
    }
    return std::min(sum, 0.15);
}

double MelodyFlight::swayRotation(double atBeat) const noexcept { return sampleCurve(sway_, 8, atBeat); }

double MelodyFlight::colour(double atBeat) const noexcept { return sampleCurve(colours_, 32, atBeat); }

} // namespace veltrane
