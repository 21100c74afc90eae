#pragma once
// The kernel's parameter vector as one table: for each index its name, its value in the kernel's
// start state, the span a controller or a display moves it over, and the ramp a type-0 event starts.
//
// Every list of the 31 indices derives from this table: the kernel's start state and ramps, the
// engine's vector built from a sound, and whatever presets, controller maps, takes and displays
// need. A list that names indices itself checks at compile time, with vk_each_index_once or
// vk_no_index_twice, that it covers them as it claims.

#include <array>
#include <cstddef>
#include <string_view>

#include "CSynth/effects.h"
#include "CSynth/kernel.h"
#include "CSynth/voices.h"

struct vk_param_info {
    int index;             // VK_P_*, equal to the row's position
    std::string_view name; // for 0..27 the field of the sound record that fills the index
    float defaultValue;
    // The span a controller moves the value over; the kernel clamps in its stages, not to this.
    float minimum, maximum;
    int rampKind;   // VK_RAMP_*: none = the value jumps, linear = equal steps, exponential = equal ratios
    float rampTime; // seconds; 0 for VK_RAMP_NONE
};

inline constexpr std::array<vk_param_info, VK_PARAM_COUNT> vk_param_table{{
    // The frequency's ramp time is replaced by max(glide, 0.005) when a type-0 event sets the glide.
    {VK_P_FREQUENCY, "frequency", 220.0f, 20.0f, 4000.0f, VK_RAMP_EXPONENTIAL, 0.06f},
    {VK_P_HARMONIC_RATIO, "harmonicRatio", 1.0f, 0.5f, 12.0f, VK_RAMP_LINEAR, 0.05f},
    {VK_P_FILTER_CUTOFF, "filterCutoff", 2000.0f, 20.0f, 20000.0f, VK_RAMP_NONE, 0.0f},
    {VK_P_FILTER_Q, "filterQ", 2.0f, 0.5f, 15.0f, VK_RAMP_LINEAR, 0.05f},
    {VK_P_FILTER_TYPE, "filterType", 0.0f, 0.0f, 3.0f, VK_RAMP_NONE, 0.0f},       // lowpass highpass bandpass notch
    {VK_P_FILTER_ROLLOFF, "filterRolloff", 1.0f, 1.0f, 3.0f, VK_RAMP_NONE, 0.0f}, // sections: 12, 24, 48 dB
    {VK_P_DISTORTION, "distortionAmount", 0.0f, 0.0f, 1.0f, VK_RAMP_NONE, 0.0f},
    {VK_P_REVERB_WET, "reverbWet", 0.3f, 0.0f, 1.0f, VK_RAMP_LINEAR, 0.1f},
    {VK_P_REVERB_DECAY, "reverbDecay", 2.5f, 0.0f, 10.0f, VK_RAMP_NONE, 0.0f},
    {VK_P_DELAY_TIME, "delayTime", 0.25f, 0.0f, 2.0f, VK_RAMP_LINEAR, 0.1f},
    {VK_P_DELAY_FEEDBACK, "delayFeedback", 0.3f, 0.0f, 1.0f, VK_RAMP_LINEAR, 0.1f},
    {VK_P_DELAY_WET, "delayWet", 0.2f, 0.0f, 1.0f, VK_RAMP_LINEAR, 0.1f},
    {VK_P_LFO_RATE, "lfoRate", 1.0f, 0.1f, 20.0f, VK_RAMP_EXPONENTIAL, 0.05f},
    {VK_P_VOLUME, "volume", 0.5f, 0.0f, 1.0f, VK_RAMP_LINEAR, 0.05f},
    {VK_P_FM_MOD_INDEX, "fmModIndex", 2.0f, 0.5f, 12.0f, VK_RAMP_LINEAR, 0.05f},
    {VK_P_CHORUS, "chorusAmount", 0.3f, 0.0f, 1.0f, VK_RAMP_LINEAR, 0.1f},
    {VK_P_STEREO_WIDTH, "stereoWidth", 0.7f, 0.0f, 1.0f, VK_RAMP_LINEAR, 0.1f},
    {VK_P_NOISE_LEVEL, "noiseLevel", 0.0f, 0.0f, 1.0f, VK_RAMP_LINEAR, 0.1f},
    {VK_P_NOISE_TYPE, "noiseType", 0.0f, 0.0f, 2.0f, VK_RAMP_NONE, 0.0f}, // white pink brown
    {VK_P_BIT_CRUSH, "bitCrushDepth", 16.0f, 1.0f, 16.0f, VK_RAMP_NONE, 0.0f},
    {VK_P_PHASER_RATE, "phaserRate", 0.5f, 0.1f, 8.0f, VK_RAMP_NONE, 0.0f},
    {VK_P_PHASER_DEPTH, "phaserDepth", 0.0f, 0.0f, 1.0f, VK_RAMP_LINEAR, 0.1f},
    {VK_P_PITCH_SHIFT, "pitchShift", 0.0f, -12.0f, 12.0f, VK_RAMP_NONE, 0.0f},
    {VK_P_FREQ_SHIFT, "freqShift", 0.0f, 0.0f, 500.0f, VK_RAMP_EXPONENTIAL, 0.1f},
    // The sub oscillator ramps its own level.
    {VK_P_SUB_LEVEL, "subLevel", 0.25f, 0.0f, 1.0f, VK_RAMP_NONE, 0.0f},
    {VK_P_GLIDE, "glide", 0.06f, 0.0f, 1.0f, VK_RAMP_NONE, 0.0f},
    {VK_P_GLUE, "glue", 0.35f, 0.0f, 1.0f, VK_RAMP_NONE, 0.0f},
    {VK_P_SYNTH_MODE, "synthMode", 0.0f, 0.0f, 3.0f, VK_RAMP_NONE, 0.0f}, // subtractive fm am orbit
    {VK_P_WAVEFORM, "waveform", 0.0f, 0.0f, 5.0f, VK_RAMP_NONE, 0.0f},    // of the drone and the keys
    {VK_P_MIC_GAIN, "micGain", 0.0f, 0.0f, 1.0f, VK_RAMP_LINEAR, 0.05f},
    {VK_P_STEP_WAVEFORM, "stepWaveform", 3.0f, 0.0f, 5.0f, VK_RAMP_NONE, 0.0f},
}};

// The fields of the sound record fill indices 0 up to this one; the rest come from elsewhere.
inline constexpr int vk_sound_record_params = VK_P_WAVEFORM;

// True when `indices` names valid indices, none twice (a list that reads only some of the vector).
template <std::size_t N>
constexpr bool vk_no_index_twice(const std::array<int, N>& indices)
{
    std::array<int, VK_PARAM_COUNT> seen{};
    for (int i : indices) {
        if (i < 0 || i >= VK_PARAM_COUNT || seen[(std::size_t)i]++ != 0) return false;
    }
    return true;
}

// True when `indices` names every index of the vector once and nothing else.
template <std::size_t N>
constexpr bool vk_each_index_once(const std::array<int, N>& indices)
{
    return N == VK_PARAM_COUNT && vk_no_index_twice(indices);
}

namespace vk_param_table_checks {
constexpr bool rowsInIndexOrder()
{
    for (std::size_t i = 0; i < vk_param_table.size(); ++i)
        if (vk_param_table[i].index != (int)i || vk_param_table[i].name.empty()) return false;
    return true;
}
constexpr bool rampsWellFormed()
{
    for (const vk_param_info& p : vk_param_table) {
        if ((p.rampKind == VK_RAMP_NONE) != (p.rampTime == 0.0f)) return false;
        if (!(p.minimum <= p.defaultValue && p.defaultValue <= p.maximum)) return false;
    }
    return true;
}
static_assert(rowsInIndexOrder(), "one row per index, in index order");
static_assert(rampsWellFormed(), "a ramp time exactly for the ramped indices; defaults inside their span");
} // namespace vk_param_table_checks

// How the effect chain reads the vector: each field of vk_fx_params, its index, and whether it takes
// this frame's ramp value or the value last received.
enum vk_fx_source { VK_FX_CURRENT, VK_FX_RECEIVED };

struct vk_fx_read {
    float vk_fx_params::*field;
    int index;
    vk_fx_source source;
};

inline constexpr std::array<vk_fx_read, 19> vk_fx_reads{{
    {&vk_fx_params::cutoff, VK_P_FILTER_CUTOFF, VK_FX_CURRENT},
    {&vk_fx_params::q, VK_P_FILTER_Q, VK_FX_CURRENT},
    {&vk_fx_params::filterType, VK_P_FILTER_TYPE, VK_FX_RECEIVED},
    {&vk_fx_params::rolloff, VK_P_FILTER_ROLLOFF, VK_FX_RECEIVED},
    {&vk_fx_params::lfoRate, VK_P_LFO_RATE, VK_FX_CURRENT},
    {&vk_fx_params::distortion, VK_P_DISTORTION, VK_FX_CURRENT},
    {&vk_fx_params::bitCrushDepth, VK_P_BIT_CRUSH, VK_FX_RECEIVED},
    {&vk_fx_params::chorus, VK_P_CHORUS, VK_FX_CURRENT},
    {&vk_fx_params::phaserRate, VK_P_PHASER_RATE, VK_FX_CURRENT},
    {&vk_fx_params::phaserDepth, VK_P_PHASER_DEPTH, VK_FX_CURRENT},
    {&vk_fx_params::pitchShift, VK_P_PITCH_SHIFT, VK_FX_RECEIVED},
    {&vk_fx_params::freqShift, VK_P_FREQ_SHIFT, VK_FX_CURRENT},
    {&vk_fx_params::delayTime, VK_P_DELAY_TIME, VK_FX_CURRENT},
    {&vk_fx_params::delayFeedback, VK_P_DELAY_FEEDBACK, VK_FX_CURRENT},
    {&vk_fx_params::delayWet, VK_P_DELAY_WET, VK_FX_CURRENT},
    {&vk_fx_params::reverbWet, VK_P_REVERB_WET, VK_FX_CURRENT},
    {&vk_fx_params::stereoWidth, VK_P_STEREO_WIDTH, VK_FX_CURRENT},
    {&vk_fx_params::glue, VK_P_GLUE, VK_FX_RECEIVED},
    {&vk_fx_params::volume, VK_P_VOLUME, VK_FX_CURRENT},
}};

namespace vk_param_table_checks {
constexpr bool fxReadsDistinct()
{
    std::array<int, vk_fx_reads.size()> indices{};
    for (std::size_t i = 0; i < vk_fx_reads.size(); ++i) {
        indices[i] = vk_fx_reads[i].index;
        for (std::size_t j = 0; j < i; ++j)
            if (vk_fx_reads[i].field == vk_fx_reads[j].field) return false;
    }
    return vk_no_index_twice(indices);
}
static_assert(sizeof(vk_fx_params) == vk_fx_reads.size() * sizeof(float), "every field of the chain's parameters");
static_assert(fxReadsDistinct(), "each field once, from an index of its own");
} // namespace vk_param_table_checks
