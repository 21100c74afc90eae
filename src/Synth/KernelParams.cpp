#include "Synth/KernelParams.h"

#include <cmath>
#include <limits>

#include "CSynth/params.h"
#include "Music/Notes.h"
#include "Support/EnumText.h"

namespace veltrane {

namespace {

// Double to float without leaving float's range (a larger double would be undefined behaviour to
// convert); NaN passes through and the kernel ignores it.
constexpr float toFloat(double x)
{
    constexpr double top = std::numeric_limits<float>::max();
    if (x > top) return std::numeric_limits<float>::infinity();
    if (x < -top) return -std::numeric_limits<float>::infinity();
    return (float)x;
}

// A field of the sound record as the kernel reads it: enumerations as their case position, the
// rolloff as its count of filter sections.
constexpr float kernelValue(double x) { return toFloat(x); }
constexpr float kernelValue(AudioParams::Rolloff r) { return (float)stages(r); }
template <TextEnum E>
constexpr float kernelValue(E e)
{
    return (float)caseIndex(e);
}

// The sound record fills indices 0..27 in its field order: the same names as the kernel's table, and
// its defaults are the kernel's start state.
constexpr bool recordMatchesKernelTable()
{
    int i = 0;
    bool same = true;
    const AudioParams defaults = AudioParams::defaults();
    AudioParams::forEachField([&](const char* key, auto member) {
        const vk_param_info& info = vk_param_table[(std::size_t)i];
        same = same && i < vk_sound_record_params && info.name == key &&
               kernelValue(defaults.*member) == info.defaultValue;
        ++i;
    });
    return same && i == vk_sound_record_params;
}
static_assert(recordMatchesKernelTable(), "the sound record's fields are the kernel vector's indices 0..27");
static_assert(VK_P_WAVEFORM == vk_sound_record_params && VK_P_MIC_GAIN == VK_P_WAVEFORM + 1 &&
                  VK_P_STEP_WAVEFORM == VK_P_MIC_GAIN + 1 && VK_P_STEP_WAVEFORM + 1 == VK_PARAM_COUNT,
              "after the record: the waveform, the microphone gain and the step waveform");

} // namespace

KernelParams::KernelParams() { last.fill(std::numeric_limits<float>::quiet_NaN()); }

std::array<float, KernelParams::count> KernelParams::values(const AudioParams& p, Waveform waveform,
                                                            Waveform stepWaveform)
{
    std::array<float, count> v{};
    std::size_t i = 0;
    AudioParams::forEachField([&](const char*, auto member) { v[i++] = kernelValue(p.*member); });
    v[VK_P_WAVEFORM] = (float)rawValue(waveform);
    v[VK_P_MIC_GAIN] = 0.0f;
    v[VK_P_STEP_WAVEFORM] = (float)rawValue(stepWaveform);
    return v;
}

std::vector<vk_event> KernelParams::events(const AudioParams& params, Waveform waveform, Waveform stepWaveform,
                                           double micGain, int64_t frame)
{
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

vk_event kernelEvent(const MelodyPlayer::Event& event)
{
    vk_event e{event.frame, VK_EVENT_KEY_OFF, 0, event.id, 0, 0, 0};
    if (event.kind == MelodyPlayer::Event::Kind::on) {
        e.type = VK_EVENT_KEY_ON;
        e.value = toFloat(Notes::midiToFrequency(event.note));
        e.value3 = toFloat(event.velocity);
    }
    return e;
}

} // namespace veltrane
