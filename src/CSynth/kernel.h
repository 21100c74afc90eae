#pragma once
// The synthesis kernel: a plain procedural module with one state block per instance.
//
// Threads, one per role and per state: one render thread (vk_render), one event producer
// (vk_push_event, vk_write_orbit, vk_orbit_slot_in_use), one microphone producer (vk_push_input),
// one analysis reader (vk_read_analysis), one reverb builder (vk_reverb_build). Every exchange
// between them is a single-producer single-consumer ring or a slot published with release/acquire;
// nothing takes a lock. vk_render is real-time code: it allocates nothing, takes no lock, makes no
// system call and runs no unbounded loop.
//
// The kernel never reports through text: it returns a null state or an integer code, and it
// clamps or ignores out-of-range event fields (non-finite values included).

#include <stdint.h>

#ifdef __cplusplus
#include <cstddef>
extern "C" {
#endif

// One kernel event, 32 bytes, fields in this order, native little-endian, no padding.
typedef struct vk_event {
    int64_t frame; // absolute sample frame; a frame not after the sample being rendered applies at once
    int32_t type;  // VK_EVENT_*; other values are ignored
    int32_t param; // parameter index 0..30 (types 0 and 9)
    int32_t id;    // key voice id (types 4, 5) or orbit slot (type 7)
    float value;   // parameter value or frequency in Hz
    float value2;  // step duration in seconds
    float value3;  // velocity
} vk_event;

enum {
    VK_EVENT_PARAM = 0, // ramped parameter
    VK_EVENT_DRONE_ON = 1,
    VK_EVENT_DRONE_OFF = 2,
    VK_EVENT_STEP = 3,    // step note: value Hz, value2 seconds, value3 velocity
    VK_EVENT_KEY_ON = 4,  // id, value Hz, value3 velocity
    VK_EVENT_KEY_OFF = 5, // id
    VK_EVENT_ALL_KEYS_OFF = 6,
    VK_EVENT_ORBIT_SLOT = 7, // id 0 or 1
    VK_EVENT_SILENCE = 8,
    VK_EVENT_PARAM_NO_RAMP = 9, // parameter set at once
};

enum {
    VK_PARAM_COUNT = 31,
    VK_EVENT_RING_SIZE = 4096,
    VK_PENDING_MAX = 256,
    VK_ORBIT_HARMONICS = 128,
    VK_ANALYSIS_SIZE = 4096,
    VK_KEY_VOICES = 32,
};

// Indices of the parameter vector.
enum {
    VK_P_FREQUENCY = 0,
    VK_P_HARMONIC_RATIO = 1,
    VK_P_FILTER_CUTOFF = 2,
    VK_P_FILTER_Q = 3,
    VK_P_FILTER_TYPE = 4,
    VK_P_FILTER_ROLLOFF = 5,
    VK_P_DISTORTION = 6,
    VK_P_REVERB_WET = 7,
    VK_P_REVERB_DECAY = 8,
    VK_P_DELAY_TIME = 9,
    VK_P_DELAY_FEEDBACK = 10,
    VK_P_DELAY_WET = 11,
    VK_P_LFO_RATE = 12,
    VK_P_VOLUME = 13,
    VK_P_FM_MOD_INDEX = 14,
    VK_P_CHORUS = 15,
    VK_P_STEREO_WIDTH = 16,
    VK_P_NOISE_LEVEL = 17,
    VK_P_NOISE_TYPE = 18,
    VK_P_BIT_CRUSH = 19,
    VK_P_PHASER_RATE = 20,
    VK_P_PHASER_DEPTH = 21,
    VK_P_PITCH_SHIFT = 22,
    VK_P_FREQ_SHIFT = 23,
    VK_P_SUB_LEVEL = 24,
    VK_P_GLIDE = 25,
    VK_P_GLUE = 26,
    VK_P_SYNTH_MODE = 27,
    VK_P_WAVEFORM = 28,
    VK_P_MIC_GAIN = 29,
    VK_P_STEP_WAVEFORM = 30,
};

typedef struct vk_state vk_state;

// Null for a sample rate not above 1000 (NaN included) or a failed allocation.
vk_state* vk_create(double sampleRate);
void vk_destroy(vk_state* state); // null: nothing happens
// Back to the start state; the owner calls it only while no render runs. The tap is kept.
void vk_reset(vk_state* state);
// 0 queued, 1 dropped (ring full).
int vk_push_event(vk_state* state, const vk_event* event);
// Renders `frames` frames starting at the absolute frame `startFrame` into `channels` buffers.
void vk_render(vk_state* state, float* const* outputs, int channels, int frames, int64_t startFrame);
int64_t vk_frames_rendered(const vk_state* state);
// Copies 128 + 128 floats into slot 0 or 1 (other slots are ignored). No synchronisation: the
// producer writes only the slot not in use, then selects it with a VK_EVENT_ORBIT_SLOT event.
void vk_write_orbit(vk_state* state, int slot, const float* re, const float* im);
int vk_orbit_slot_in_use(const vk_state* state); // 0, 1, or -1 before any slot event
void vk_push_input(vk_state* state, const float* samples, int count);
// Copies the newest min(count, 4096) analysis samples, oldest first.
void vk_read_analysis(const vk_state* state, float* destination, int count);
// 0 built, 1 busy (the previous build has not been taken by the render side yet).
int vk_reverb_build(vk_state* state, float decaySeconds);
float vk_reverb_decay(const vk_state* state); // decay of the impulse response in use, 0 if none
// The signal output: 0 the full output, 1 the voices, 2..13 after that stage of the effect chain (in
// C++ the numbers are vk_tap's); anything else the full output.
void vk_set_tap(vk_state* state, int tap);

#ifdef __cplusplus
} // extern "C"

// The signals vk_set_tap selects: the full output, the voices, then the signal after each stage of the
// effect chain. The one list of the chain's stages: the chain runs them in this order, the probe
// listens at them by these names.
enum class vk_tap : int32_t {
    output,
    voices,
    filter,
    distortion,
    crusher,
    chorus,
    phaser,
    pitch,
    freqshift,
    delay,
    reverb,
    widener,
    compressor,
    master,
};
inline constexpr std::size_t vk_tap_count = static_cast<std::size_t>(vk_tap::master) + 1;

static_assert(sizeof(vk_event) == 32);
static_assert(offsetof(vk_event, frame) == 0);
static_assert(offsetof(vk_event, type) == 8);
static_assert(offsetof(vk_event, param) == 12);
static_assert(offsetof(vk_event, id) == 16);
static_assert(offsetof(vk_event, value) == 20);
static_assert(offsetof(vk_event, value2) == 24);
static_assert(offsetof(vk_event, value3) == 28);
#endif
