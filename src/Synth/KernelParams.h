#pragma once
// The kernel's 31-value parameter vector built from an AudioParams record, and the events that
// send only what changed. Also the kernel event of a melody note.

#include <array>
#include <cstdint>
#include <vector>

#include "CSynth/kernel.h"
#include "Music/AudioParams.h"
#include "Music/MelodyPlayer.h"
#include "Synth/Waveform.h"

namespace veltrane {

struct KernelParams {
    static constexpr int count = VK_PARAM_COUNT;

    // The vector last sent; all NaN at first, so that the first comparison finds every index changed.
    std::array<float, count> last;

    KernelParams();

    // Indices 0...27: the fields of AudioParams in declaration order (enumerations as their case
    // position, the rolloff as position + 1); 28 the drone and key waveform, 29 microphone gain (0
    // here), 30 the step waveform. Values are sent as they are, unclamped.
    static std::array<float, count> values(const AudioParams& params, Waveform waveform, Waveform stepWaveform);

    // Type-0 events stamped `frame` for the indices that differ from `last` (ascending, glide sent
    // last so that a frequency change ramps with the glide time in force before it), then
    // last := the new vector.
    std::vector<vk_event> events(const AudioParams& params, Waveform waveform, Waveform stepWaveform, double micGain,
                                 int64_t frame);
};

// A melody note as a kernel event: on is a key-on (type 4) at the note's equal-tempered frequency
// with its velocity; off is a key-off (type 5). Both carry the note's frame and id.
vk_event kernelEvent(const MelodyPlayer::Event& event);

} // namespace veltrane
