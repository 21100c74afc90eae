#pragma once
// A render workload that touches every event type, every drone mode, every noise type, the
// microphone and the orbit slots: shared by the allocation test and the thread-sanitizer test.

#include <cstdint>
#include <vector>

#include "CSynth/kernel.h"

namespace csynth_test {

// The events of one block of 128 frames starting at `start`; `block` picks the variation.
inline std::vector<vk_event> eventMix(int64_t block, int64_t start)
{
    std::vector<vk_event> events;
    auto add = [&](int type, int offset, int param = 0, float value = 0, int id = 0, float v2 = 0, float v3 = 0) {
        events.push_back(vk_event{start + offset, type, param, id, value, v2, v3});
    };
    const int b = (int)(block % 16);
    add(VK_EVENT_PARAM, 0, VK_P_FREQUENCY, 110.0f + 20.0f * b);
    add(VK_EVENT_PARAM, 3, VK_P_SYNTH_MODE, (float)(b % 4));
    add(VK_EVENT_PARAM_NO_RAMP, 5, VK_P_NOISE_TYPE, (float)(b % 3));
    add(VK_EVENT_PARAM, 6, VK_P_NOISE_LEVEL, 0.05f);
    add(VK_EVENT_PARAM, 7, VK_P_GLIDE, 0.01f * b);
    add(VK_EVENT_PARAM, 8, VK_P_SUB_LEVEL, 0.3f);
    add(VK_EVENT_PARAM, 9, VK_P_HARMONIC_RATIO, 1.0f + b);
    add(VK_EVENT_PARAM, 10, VK_P_WAVEFORM, (float)(b % 7));
    add(VK_EVENT_PARAM_NO_RAMP, 11, VK_P_STEP_WAVEFORM, (float)((b + 3) % 7));
    add(VK_EVENT_PARAM, 12, VK_P_MIC_GAIN, 0.5f);
    add(VK_EVENT_PARAM, 13, VK_P_FREQ_SHIFT, b % 2 ? 5.0f : -5.0f);
    add(VK_EVENT_DRONE_ON, 14);
    add(VK_EVENT_STEP, 20, 0, 330.0f, 0, 0.1f, 0.9f);
    for (int k = 0; k < 6; ++k) add(VK_EVENT_KEY_ON, 21 + k, 0, 200.0f + 50 * k, (int)(block * 8 + k), 0, 0.7f);
    add(VK_EVENT_KEY_OFF, 40, 0, 0, (int)(block * 8 + 1));
    add(VK_EVENT_ORBIT_SLOT, 50, 0, 0, (int)(block % 2));
    if (b == 7) add(VK_EVENT_ALL_KEYS_OFF, 60);
    if (b == 11) add(VK_EVENT_DRONE_OFF, 70);
    if (b == 15) add(VK_EVENT_SILENCE, 80);
    add(VK_EVENT_PARAM, 90, 99, 1.0f);            // out of range: ignored
    add(42, 100);                                 // unknown type: ignored
    add(VK_EVENT_PARAM, 300, VK_P_VOLUME, 0.45f); // future: goes through the pending list
    return events;
}

} // namespace csynth_test
