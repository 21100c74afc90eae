#pragma once
// Off-screen benchmark runs of a renderer: a scripted motion path at 60 frames per second summarised
// per segment, and a timed camera flight between two exact views with optional snapshots.
//
// Both occupy the calling thread and the renderer for their whole length, and wait for every frame's
// GPU work before encoding the next, so frames never overlap and GPU times are not inflated by
// queueing. Texture and command-buffer failures throw RendererError::noDevice with no partial result,
// as does a frame the renderer refuses (FractalRenderer::refusal); errors of frame encoding, of a command buffer's execution (RendererError::pipeline) and of a
// snapshot pass to the caller.

#include <functional>
#include <vector>

#include "FractalCore/BigComplex.h"
#include "FractalCore/Flight.h"
#include "FractalRender/BenchRecords.h"
#include "FractalRender/FractalRenderer.h"
#include "FractalRender/Motion.h"
#include "FractalRender/RenderTypes.h"
#include "Platform/Image/Image.h"

namespace veltrane {

// One end of a benchmark flight: an exact centre and a zoom.
struct FlightEnd {
    BigComplex centre;
    double zoom = 1;
};

// The camera of a benchmark flight, frame by frame: the flight itself, then half a second holding
// the end. The exact centre blends the two exact ends with the flight's start weight, so the path
// starts on `from` and lands exactly on `to`.
class FlightPath {
public:
    static constexpr double baseDurationMs = 2600;
    static constexpr int holdFrames = 30;

    FlightPath(FractalType type, Palette palette, Complex juliaC, const FlightEnd& from, const FlightEnd& to,
               int iterationCap);

    const Flight& flight() const { return flight_; }
    // ceil(duration x 60) + 30.
    int frameCount() const { return frameCount_; }
    // Fraction limbs both ends are carried at.
    int precision() const { return precision_; }
    // The exact centre at time t, at the precision the sampled zoom needs.
    BigComplex centre(double t) const;
    // The view of frame j, at t = j / 60.
    RenderView view(int frame) const;
    // Frames 0, every, 2 x every, ... and the last one; none when every < 1.
    static bool isSnapshotFrame(int frame, int frameCount, int every);

private:
    FractalType type_;
    Palette palette_;
    Complex juliaC_;
    FlightEnd from_, to_;
    int iterationCap_;
    Flight flight_;
    int precision_ = 1;
    int frameCount_ = 0;
    std::optional<ReferenceHint> hint_;
};

struct MotionRun {
    std::vector<BenchFrame> frames;
    std::vector<BenchSegment> segments;
    // With stage timing: per frame, the stages of its command buffer in order (GpuCommandBuffer::mark),
    // the last one "submit" (what remained at the commit, and the submission's own cost).
    std::vector<std::vector<GpuCommandBuffer::StageTime>> stages;
};

// Renders Int(durationSec x 60) frames of the script at width x height (Julia constant
// (-0.7, 0.27015), iterations capped at 4096) and summarises them per segment. Throws Json::Error for
// a script that breaks the rules of Motion::validate. `timeStages` runs each frame stage by stage and
// records the stages' times (the frames' GPU times are then the sums of their stages).
MotionRun runMotion(FractalRenderer& renderer, const Motion& motion, int width, int height, const PostSettings& post,
                    bool timeStages = false);

using FlightSnapshot = std::function<void(int frame, const Image& image)>;

// Flies from one exact view to another (see FlightPath) and records every frame. With snapshotEvery
// >= 1 and a function, the frames FlightPath::isSnapshotFrame names are read back and handed to it.
std::vector<FlightFrame> runFlight(FractalRenderer& renderer, FractalType type, Palette palette, Complex juliaC,
                                   const FlightEnd& from, const FlightEnd& to, int width, int height,
                                   const PostSettings& post, int iterationCap, int snapshotEvery,
                                   const FlightSnapshot& snapshot = {});

} // namespace veltrane
