#pragma once
// Paces a frame loop to at most a given rate: frames start on a grid of 1 / rate seconds. A frame
// that ran past its slot starts a new grid at its own start, so a slow frame is never followed by a
// burst of catch-up frames. Needed because presentation does not pace every display (FIFO under
// Xvfb returns at once).
//
// A value on an injected time: the caller reads its clock, asks how long to wait, waits, and marks
// the frame's start.

namespace veltrane {

class FramePacer {
public:
    explicit FramePacer(double maxFramesPerSecond = 120) : interval_(1.0 / maxFramesPerSecond) {}

    double interval() const { return interval_; }
    // Seconds to wait at `now` before the next frame may start; 0 when it may start at once.
    double wait(double now) const
    {
        if (!started_) return 0;
        double due = last_ + interval_;
        return due > now ? due - now : 0;
    }
    // A frame starts at `now`: on the grid when it is on time, else a new grid from `now`.
    void frameStarted(double now)
    {
        double due = last_ + interval_;
        last_ = started_ && now - due < interval_ && now >= due ? due : now;
        started_ = true;
    }

private:
    double interval_;
    double last_ = 0;
    bool started_ = false;
};

} // namespace veltrane
