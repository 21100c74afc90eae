#pragma once
// The synthesis kernel in tests: an owning pointer and a stereo render of one block.
#include <cstdint>
#include <memory>
#include <vector>

#include "CSynth/kernel.h"

namespace veltrane::testsupport {

struct KernelDeleter {
    void operator()(vk_state* s) const { vk_destroy(s); }
};
using Kernel = std::unique_ptr<vk_state, KernelDeleter>;

// Renders `frames` frames at `start` into two channels and returns the left one (the right one
// into `right` when given).
inline std::vector<float> render(vk_state* k, int frames, std::int64_t start, std::vector<float>* right = nullptr)
{
    std::vector<float> l(frames), r(frames);
    float* outs[2] = {l.data(), r.data()};
    vk_render(k, outs, 2, frames, start);
    if (right) *right = r;
    return l;
}

} // namespace veltrane::testsupport
