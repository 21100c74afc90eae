#include "Takes/TakeRecorder.h"

#include "Platform/Clock/Clock.h"

#include <algorithm>
#include <cmath>

namespace veltrane {

namespace {

// A take must survive its file, which holds finite numbers only. What the kernel would make of a
// non-finite value is kept as the same sound: a parameter event without a finite value changes
// nothing (the kernel ignores it), and a point pair with a non-finite part adds nothing to the
// orbit voice's tables, exactly like the pair (0, 0).
bool ignoredByTheKernel(const vk_event& e)
{
    return (e.type == VK_EVENT_PARAM || e.type == VK_EVENT_PARAM_NO_RAMP) && !std::isfinite(e.value);
}

std::vector<double> finitePairs(const std::vector<double>& points)
{
    std::vector<double> out = points;
    for (std::size_t i = 0; i + 1 < out.size(); i += 2)
        if (!std::isfinite(out[i]) || !std::isfinite(out[i + 1])) out[i] = out[i + 1] = 0;
    if (out.size() % 2 == 1 && !std::isfinite(out.back())) out.back() = 0; // an unpaired value is never read
    return out;
}

} // namespace

TakeRecorder::~TakeRecorder()
{
    if (isRecording_ && engine_) {
        engine_->eventTap = nullptr;
        engine_->orbitTap = nullptr;
    }
}

std::int64_t TakeRecorder::now() const { return std::max<std::int64_t>(0, engine_->currentFrame() - start_); }

double TakeRecorder::seconds() const
{
    if (!isRecording_ || !engine_) return 0;
    return static_cast<double>(engine_->currentFrame() - start_) / engine_->sampleRate();
}

void TakeRecorder::start(SoundEngine& engine)
{
    if (isRecording_) return;
    engine_ = &engine;
    start_ = engine.currentFrame();
    events_.clear();
    orbits_.clear();
    views_.clear();
    hud_.clear();

    const auto& sent = engine.sentParameters();
    for (int i = 0; i < static_cast<int>(sent.size()); ++i)
        if (!std::isnan(sent[i])) events_.push_back({0, VK_EVENT_PARAM_NO_RAMP, i, 0, sent[i], 0, 0});
    if (const auto& orbit = engine.lastOrbit()) orbits_.push_back({0, finitePairs(orbit->points), orbit->length});
    if (engine.isPlaying()) events_.push_back({0, VK_EVENT_DRONE_ON, 0, 0, 0, 0, 0});

    std::weak_ptr<TakeRecorder*> weak = self_;
    engine.eventTap = [weak](const vk_event& event) {
        if (const auto self = weak.lock(); self && !ignoredByTheKernel(event))
            (*self)->events_.emplace_back(event, (*self)->start_);
    };
    engine.orbitTap = [weak](const std::vector<double>& points, int length, std::int64_t frame) {
        if (const auto self = weak.lock()) {
            TakeRecorder& r = **self;
            r.orbits_.push_back({std::max(frame, r.start_) - r.start_, finitePairs(points), length});
        }
    };
    isRecording_ = true;
}

void TakeRecorder::add(const std::vector<vk_event>& events)
{
    if (!isRecording_) return;
    for (const vk_event& e : events)
        if (!ignoredByTheKernel(e)) events_.emplace_back(e, start_);
}

void TakeRecorder::addView(Take::View view)
{
    if (!isRecording_ || !engine_) return;
    view.frame = now();
    if (!views_.empty() && views_.back().sameAs(view)) return;
    views_.push_back(std::move(view));
}

void TakeRecorder::addHUD(std::string state)
{
    if (!isRecording_ || !engine_) return;
    if (!hud_.empty() && hud_.back().state == state) return;
    hud_.push_back({now(), std::move(state)});
}

std::optional<Take> TakeRecorder::stop()
{
    if (!isRecording_ || !engine_) return std::nullopt;
    engine_->eventTap = nullptr;
    engine_->orbitTap = nullptr;
    isRecording_ = false;
    const std::int64_t length = engine_->currentFrame() - start_;
    const double rate = engine_->sampleRate();
    std::stable_sort(events_.begin(), events_.end(), [](const auto& a, const auto& b) { return a.frame < b.frame; });
    Take take(rate, internetDateTime(), length, events_, orbits_, views_, hud_);
    engine_ = nullptr;
    return take;
}

} // namespace veltrane
