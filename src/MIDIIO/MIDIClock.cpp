#include "MIDIIO/MIDIClock.h"

#include "MIDIIO/HostTime.h"

#include <cmath>

namespace veltrane {

namespace {
bool validTempo(double bpm) noexcept { return std::isfinite(bpm) && bpm > 0; }
} // namespace

MIDIClockOut::MIDIClockOut(double bpm) { setBpm(bpm); }

bool MIDIClockOut::setBpm(double bpm) noexcept
{
    if (!validTempo(bpm)) return false;
    bpm_ = bpm;
    return true;
}

std::uint64_t MIDIClockOut::start(double lead)
{
    next_ = HostTime::fromNow(lead);
    running_ = true;
    return next_;
}

std::vector<std::uint64_t> MIDIClockOut::pump(double horizon)
{
    std::vector<std::uint64_t> pulses;
    if (!running_) return pulses;
    const std::uint64_t limit = HostTime::fromNow(horizon);
    while (next_ < limit && pulses.size() < maxPulsesPerPump) {
        pulses.push_back(next_);
        // Whole host units, truncated, recomputed from the tempo for every pulse; at least one unit,
        // so that an extreme tempo cannot stall the clock.
        const std::int64_t step = HostTime::seconds(tickSeconds());
        next_ = HostTime::add(next_, step > 0 ? step : 1);
    }
    return pulses;
}

void MIDIClockIn::tick(double at)
{
    times_.push_back(at);
    if (times_.size() > window) times_.erase(times_.begin(), times_.end() - window);
    if (times_.size() < minimumPulses) return;
    const double first = times_.front(), last = times_.back();
    if (!(first < last)) return;
    const double estimate = 60.0 / ((last - first) / static_cast<double>(times_.size() - 1) * 24.0);
    if (estimate >= 20 && estimate <= 400) bpm_ = estimate;
}

void MIDIClockIn::reset()
{
    times_.clear();
    bpm_.reset();
}

} // namespace veltrane
