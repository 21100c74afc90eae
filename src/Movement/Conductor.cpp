#include "Movement/Conductor.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace veltrane {

namespace {

// A tempo the clock can run at: clamped to 40…300, and `fallback` for one that is not finite.
double usableTempo(double bpm, double fallback) noexcept
{
    return std::isfinite(bpm) ? std::clamp(bpm, Conductor::minTempo, Conductor::maxTempo) : fallback;
}

} // namespace

Conductor::Conductor(MovementSettings settings, BigComplex anchor, double zoom, double rotation,
                     std::int64_t startFrame, double sampleRate, OwnedRandomSource random)
    : settings_(std::move(settings)), engine_(settings_.makeEngine(std::move(random))), sampleRate_(sampleRate),
      anchor_(std::move(anchor)), originFrame_(startFrame), plannedLocal_{0, 0, zoom, rotation}
{
    // Every frame of the grid is computed from it: a rate of 0, NaN or infinity has no grid.
    if (!(sampleRate > 0) || !std::isfinite(sampleRate))
        throw std::invalid_argument("conductor sample rate must be positive and finite");
    settings_.bpm = usableTempo(settings_.bpm, MovementSettings{}.bpm);
    tellEngineTheAnchor();
    engine_.reset(plannedLocal_);
}

std::int64_t Conductor::subdivision() const noexcept { return std::max<std::int64_t>(settings_.subdivision, 1); }

double Conductor::tickSeconds() const noexcept { return 60 / (settings_.bpm * static_cast<double>(subdivision())); }

double Conductor::samplesPerTick() const noexcept
{
    // Ticks of less than a frame (an absurd subdivision) would pile onto one frame and stall the
    // scheduling loop there.
    return std::max(sampleRate_ * tickSeconds(), 1.0);
}

std::int64_t Conductor::frame(std::int64_t ofTick) const noexcept
{
    return originFrame_ + std::llround(samplesPerTick() * static_cast<double>(ofTick));
}

void Conductor::setTempo(double bpm, std::int64_t subdivision)
{
    const std::int64_t newOrigin = frame(tickIndex_);
    settings_.bpm = usableTempo(bpm, settings_.bpm);
    settings_.subdivision = subdivision;
    originFrame_ = newOrigin;
    tickIndex_ = 0;
}

std::vector<Conductor::Note> Conductor::schedule(std::int64_t until, const Pitch&)
{
    std::vector<Note> notes;
    const std::int64_t ticksPerBeat = subdivision();
    const double duration = tickSeconds() * noteLength;
    const Complex origin = anchor_.doubles();
    for (std::int64_t f = frame(tickIndex_); f < until; f = frame(tickIndex_)) {
        if (const std::optional<FractalTarget> local = engine_.update(1, plannedLocal_)) {
            plannedLocal_ = *local;
            const FractalTarget target{origin.x + local->centerX, origin.y + local->centerY, local->zoom,
                                       local->rotation};
            const double accent = tickIndex_ % ticksPerBeat == 0 ? beatAccent : offBeatAccent;
            notes.push_back({f, target, *local, duration, accent});
            pending_.push_back(notes.back());
        }
        ++tickIndex_;
    }
    return notes;
}

std::optional<Conductor::Note> Conductor::follow(std::int64_t at)
{
    std::optional<Note> due;
    while (!pending_.empty() && pending_.front().frame <= at) {
        due = pending_.front();
        pending_.pop_front();
    }
    return due;
}

void Conductor::reanchor(const BigComplex& at, double zoom, double rotation, std::int64_t frame)
{
    anchor_ = at;
    plannedLocal_ = {0, 0, zoom, rotation};
    tellEngineTheAnchor();
    engine_.reanchor(plannedLocal_);
    originFrame_ = frame;
    tickIndex_ = 0;
    pending_.clear();
}

BigComplex Conductor::exactCentre(const FractalTarget& local) const
{
    const int limbs = std::max(anchor_.fracLimbs(), BigFixed::limbsForZoom(local.zoom, 64));
    return anchor_.withFracLimbs(limbs).offset(local.centerX, local.centerY);
}

void Conductor::tellEngineTheAnchor()
{
    const Complex origin = anchor_.doubles();
    engine_.setFrameOrigin(origin.x, origin.y, std::nullopt);
}

} // namespace veltrane
