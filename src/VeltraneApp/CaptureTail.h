#pragma once
// The two seconds a melody capture keeps recording after its melody stops.
//
// The tail is measured in audio frames of the engine (`captureTailEnd`), so the take holds exactly
// two seconds of sound after the last note. A silent engine (no audio device: the program goes on
// without sound) renders nothing and its frame stands still; then the tail is measured by the
// clock, so a capture always ends. An engine that stops during the tail hands over to the clock.
#include <cmath>
#include <cstdint>
#include <optional>

namespace veltrane {

struct CaptureTail {
    static constexpr double seconds = 2;

    std::optional<std::int64_t> endFrame; // the frame at which the tail ends (captureTailEnd)
    std::optional<double> endTime;        // the same moment on the clock, in seconds

    bool active() const { return endFrame.has_value(); }
    void clear()
    {
        endFrame.reset();
        endTime.reset();
    }

    // Starts the tail at the first call (frame and clock as they are now), then answers whether it
    // is over: the engine's frame has reached the end while the engine runs, or the clock has
    // while it does not.
    bool reached(bool engineRunning, std::int64_t frame, double sampleRate, double now)
    {
        if (!endFrame) {
            endFrame = frame + static_cast<std::int64_t>(std::floor(sampleRate * seconds));
            endTime = now + seconds;
        }
        return engineRunning ? frame >= *endFrame : now >= *endTime;
    }
};

} // namespace veltrane
