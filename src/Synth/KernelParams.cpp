#include "Synth/KernelParams.h"

#include <cmath>
#include <limits>

#include "FractalCore/EnumText.h"
#include "Music/Notes.h"

namespace veltrane {

namespace {

// Double to float without leaving float's range (a larger double would be undefined behaviour to
// convert); NaN passes through and the kernel ignores it.
float toFloat(double x) {
    constexpr double top = std::numeric_limits<float>::max();
    if (x > top) return std::numeric_limits<float>::infinity();
    if (x < -top) return -std::numeric_limits<float>::infinity();
    return (float)x;
}

}  // namespace

KernelParams::KernelParams() { last.fill(std::numeric_limits<float>::quiet_NaN()); }

std::array<float, KernelParams::count> KernelParams::values(const AudioParams& p, Waveform waveform,
                                                            Waveform stepWaveform) {
    return {
        toFloat(p.frequency),
        toFloat(p.harmonicRatio),
        toFloat(p.filterCutoff),
        toFloat(p.filterQ),
        (float)caseIndex(p.filterType),
        (float)stages(p.filterRolloff),
        toFloat(p.distortionAmount),
        toFloat(p.reverbWet),
        toFloat(p.reverbDecay),
        toFloat(p.delayTime),
        toFloat(p.delayFeedback),
        toFloat(p.delayWet),
        toFloat(p.lfoRate),
        toFloat(p.volume),
        toFloat(p.fmModIndex),
        toFloat(p.chorusAmount),
        toFloat(p.stereoWidth),
        toFloat(p.noiseLevel),
        (float)caseIndex(p.noiseType),
        toFloat(p.bitCrushDepth),
        toFloat(p.phaserRate),
        toFloat(p.phaserDepth),
        toFloat(p.pitchShift),
        toFloat(p.freqShift),
        toFloat(p.subLevel),
        toFloat(p.glide),
        toFloat(p.glue),
        (float)caseIndex(p.synthMode),
        (float)rawValue(waveform),
        0.0f,
        (float)rawValue(stepWaveform),
    };
}

std::vector<vk_event> KernelParams::events(const AudioParams& params, Waveform waveform, Waveform stepWaveform,
                                           double micGain, int64_t frame) {
    std::array<float, count> v = values(params, waveform, stepWaveform);
    v[VK_P_MIC_GAIN] = toFloat(micGain);
    std::vector<vk_event> out;
    auto visit = [&](int i) {
        // != is true whenever either side is NaN, so a NaN in `last` always counts as changed.
        if (v[i] != last[i]) out.push_back(vk_event{frame, VK_EVENT_PARAM, i, 0, v[i], 0, 0});
    };
    for (int i = 0; i < count; ++i)
        if (i != VK_P_GLIDE) visit(i);
    visit(VK_P_GLIDE);
    last = v;
    return out;
}

vk_event kernelEvent(const MelodyPlayer::Event& event) {
    vk_event e{event.frame, VK_EVENT_KEY_OFF, 0, event.id, 0, 0, 0};
    if (event.kind == MelodyPlayer::Event::Kind::on) {
        e.type = VK_EVENT_KEY_ON;
        e.value = toFloat(Notes::midiToFrequency(event.note));
        e.value3 = toFloat(event.velocity);
    }
    return e;
}

}  // namespace veltrane
