#pragma once
// Turning a take back into sound and pictures without the live engine or the screen.
//
// renderAudio replays the take's kernel events and orbit tables through a private offline kernel,
// exactly at their frames (the kernel runs in blocks of 128), and returns the stereo sound of the
// whole take. view gives the view and post settings to draw at any frame, interpolating between the
// recorded views: zoom geometrically, the exact centre at the precision of the deeper view.
// Both are pure and may run on any thread.
#include "FractalRender/RenderTypes.h"
#include "Takes/Take.h"

#include <cstdint>
#include <utility>
#include <vector>

namespace veltrane::TakeRenderer {

// Left and right, from take frame 0: at least `length` samples each; longer only by the blocks
// rendered while a reverb rebuild or a full event ring waited. Throws std::runtime_error when the
// kernel cannot be created (a take read by Take::decode always has a rate it accepts).
std::pair<std::vector<float>, std::vector<float>> renderAudio(const Take& take);

// The view at audio frame `at` of the take `in`. Between two views of one fractal type the zoom,
// centre, rotation and colour move; the rest changes in steps, and across a change of type the view
// holds until the next sample. Without views, the home view of "mandelbrot".
std::pair<RenderView, PostSettings> view(std::int64_t at, const Take& in);

} // namespace veltrane::TakeRenderer
