#include "Synth/OfflineRenderer.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "Synth/OrbitTable.h"

namespace veltrane {

OfflineRenderer::OfflineRenderer(double sampleRate) : kernel_(vk_create(sampleRate)), sampleRate_(sampleRate)
{
    if (!kernel_) throw std::runtime_error("synthesis kernel could not be created");
}

OfflineRenderer::~OfflineRenderer() { vk_destroy(kernel_); }

int OfflineRenderer::push(const vk_event& event) { return vk_push_event(kernel_, &event); }

std::pair<std::vector<float>, std::vector<float>> OfflineRenderer::render(int64_t frames, int block)
{
    if (block <= 0) throw std::invalid_argument("render block must be positive");
    if (frames < 0) frames = 0;
    std::vector<float> left((size_t)frames), right((size_t)frames);
    for (int64_t p = 0; p < frames;) {
        const int m = (int)std::min<int64_t>(frames - p, block);
        float* outs[2] = {left.data() + p, right.data() + p};
        vk_render(kernel_, outs, 2, m, frame_);
        frame_ += m;
        p += m;
    }
    return {std::move(left), std::move(right)};
}

void OfflineRenderer::apply(const AudioParams& params, Waveform waveform, Waveform stepWaveform, double micGain,
                            std::optional<int64_t> at)
{
    for (const vk_event& e : params_.events(params, waveform, stepWaveform, micGain, at.value_or(frame_))) push(e);

    // Compared in double: the record's decay is a double, and a difference just over 0.05 s must
    // not vanish in float rounding.
    const double current = vk_reverb_decay(kernel_);
    if (!(std::fabs(current - params.reverbDecay) > 0.05)) return;
    const float wanted = (float)std::clamp(params.reverbDecay, -1e30, 1e30);
    if (vk_reverb_build(kernel_, wanted) == 0) return;
    // The render side takes a built impulse response on a 2048-frame boundary.
    std::vector<float> left(128), right(128);
    float* outs[2] = {left.data(), right.data()};
    for (int block = 0; block < 16; ++block) {
        vk_render(kernel_, outs, 2, 128, frame_);
        frame_ += 128;
    }
    vk_reverb_build(kernel_, wanted);
}

void OfflineRenderer::play(std::optional<int64_t> at)
{
    push(vk_event{at.value_or(frame_), VK_EVENT_DRONE_ON, 0, 0, 0, 0, 0});
}

void OfflineRenderer::stopDrone(std::optional<int64_t> at)
{
    push(vk_event{at.value_or(frame_), VK_EVENT_DRONE_OFF, 0, 0, 0, 0, 0});
}

void OfflineRenderer::step(double frequency, double duration, double velocity, std::optional<int64_t> at)
{
    push(vk_event{at.value_or(frame_), VK_EVENT_STEP, 0, 0, (float)frequency, (float)duration, (float)velocity});
}

void OfflineRenderer::setOrbit(std::span<const double> points, long length, int slot)
{
    const auto [re, im] = OrbitTable::make(points, length);
    vk_write_orbit(kernel_, slot, re.data(), im.data());
    push(vk_event{frame_, VK_EVENT_ORBIT_SLOT, 0, slot, 0, 0, 0});
}

} // namespace veltrane
