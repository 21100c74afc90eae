// The kernel's interface and its render loop.
//
// REAL-TIME CODE: vk_render and everything it calls (the event appliers below, the voices) run on
// the audio thread. They allocate nothing, take no lock, make no system call and run no unbounded
// loop: every buffer is sized in vk_create, and per sample the work is bounded by the 256 pending
// events, the ring contents, 31 ramps and a fixed set of voices.

#include "CSynth/kernel.h"

#include <array>
#include <cmath>
#include <cstring>
#include <exception>
#include <new>
#include <utility>

#include "CSynth/params.h"
#include "CSynth/state.h"

#if defined(__x86_64__) || defined(__SSE__)
#include <xmmintrin.h>
#define VK_HAVE_MXCSR 1
#endif

namespace {

constexpr int64_t kAnalysisMask = VK_ANALYSIS_SIZE - 1;
constexpr int64_t kNoPending = INT64_MAX;
constexpr double kReverbSeconds = 10.01; // the longest impulse response the reverb can hold

// Flush-to-zero and denormals-are-zero for the duration of a render: decaying filters and
// envelopes would otherwise fall into denormals and cost a hundred times more per operation.
// The caller's floating-point state is restored on the way out.
struct DenormalGuard {
#ifdef VK_HAVE_MXCSR
    unsigned saved = _mm_getcsr();
    DenormalGuard() { _mm_setcsr(saved | 0x8040u); } // FTZ (bit 15) | DAZ (bit 6)
    ~DenormalGuard() { _mm_setcsr(saved); }
#endif
};

inline int modeOf(float value) { return vk_int_clamped(value, -1, 4); } // -1 and 4: no such voice

void droneSubTo(vk_state* st, float level, float seconds, bool ramped)
{
    if (ramped)
        vk_ramp_start(&st->voices.subLevel, level, seconds, st->rate);
    else
        vk_ramp_set(&st->voices.subLevel, level);
}

// Types 0 and 9. A type-9 event is a type-0 event without the ramps: it has the same side effects
// (glide, mode change, sub level) applied at once, so a take seeded with type-9 events replays
// exactly as the live performance sounded.
void applyParam(vk_state* st, int index, float value, bool ramped)
{
    if (index < 0 || index >= VK_PARAM_COUNT) return;
    if (!std::isfinite(value)) return; // the parameter keeps its value
    const float old = st->params[index];
    st->params[index] = value;
    vk_voices* v = &st->voices;
    if (ramped)
        vk_ramp_start(&st->ramps[index], value, st->ramps[index].time, st->rate);
    else
        vk_ramp_set(&st->ramps[index], value);
    if (st->ramps[index].count > 0)
        st->rampsRunning |= 1u << index;
    else
        st->rampsRunning &= ~(1u << index);

    switch (index) {
    case VK_P_GLIDE:
        st->ramps[VK_P_FREQUENCY].time = value > 0.005f ? value : 0.005f;
        v->glideCoefficient = vk_glide_coefficient(st->ratef, value);
        break;
    case VK_P_SYNTH_MODE:
        if (modeOf(value) != modeOf(old) && v->droneOn) {
            vk_voice_stop(v, v->mode, st->ratef);
            v->mode = modeOf(value);
            vk_voice_start(v, v->mode, st->params, st->ratef);
            droneSubTo(st, st->params[VK_P_SUB_LEVEL] * 0.5f, 0.05f, ramped);
        }
        break;
    case VK_P_SUB_LEVEL:
        if (v->droneOn) droneSubTo(st, value * 0.5f, 0.1f, ramped);
        break;
    case VK_P_HARMONIC_RATIO:
        if (ramped)
            vk_ramp_start(&v->amRatio, value, v->amRatio.time, st->rate);
        else
            vk_ramp_set(&v->amRatio, value);
        break;
    default: break;
    }
}

void applyEvent(vk_state* st, const vk_event& ev, int64_t frame)
{
    vk_voices* v = &st->voices;
    switch (ev.type) {
    case VK_EVENT_PARAM:
    case VK_EVENT_PARAM_NO_RAMP: applyParam(st, ev.param, ev.value, ev.type == VK_EVENT_PARAM); break;
    case VK_EVENT_DRONE_ON:
        if (v->droneOn) break;
        v->mode = modeOf(st->params[VK_P_SYNTH_MODE]);
        v->droneOn = 1;
        vk_voice_start(v, v->mode, st->params, st->ratef);
        droneSubTo(st, st->params[VK_P_SUB_LEVEL] * 0.5f, 0.05f, true);
        break;
    case VK_EVENT_DRONE_OFF:
        if (!v->droneOn) break;
        v->droneOn = 0;
        vk_voice_stop(v, v->mode, st->ratef);
        droneSubTo(st, 0.0f, 0.4f, true);
        break;
    case VK_EVENT_STEP: vk_step_note(v, ev.value, ev.value2, ev.value3, frame, st->ratef); break;
    case VK_EVENT_KEY_ON: vk_key_on(v, ev.id, ev.value, ev.value3); break;
    case VK_EVENT_KEY_OFF: vk_key_off(v, ev.id); break;
    case VK_EVENT_ALL_KEYS_OFF: vk_all_keys_off(v); break;
    case VK_EVENT_ORBIT_SLOT:
        if (ev.id == 0 || ev.id == 1) st->selectedSlot.store(ev.id, std::memory_order_release);
        break;
    case VK_EVENT_SILENCE: vk_voices_silence(v); break;
    default: break;
    }
}

// Applies the pending events due at `frame`, keeping the others in arrival order.
void drainPending(vk_state* st, int64_t frame)
{
    int kept = 0;
    int64_t earliest = kNoPending;
    for (int i = 0; i < st->pendingCount; ++i) {
        const vk_event ev = st->pending[i];
        if (ev.frame <= frame) {
            applyEvent(st, ev, frame);
        } else {
            st->pending[kept++] = ev;
            if (ev.frame < earliest) earliest = ev.frame;
        }
    }
    st->pendingCount = kept;
    st->pendingEarliest = earliest;
}

// ---- OUTPUT STAGE ----------------------------------------------------------------------------
// The stereo voice signal becomes the kernel's output here, and only here: the effect chain, fed
// with this frame's ramp values or the values last received, as vk_fx_reads says.

// Unrolled at compile time: one load and one store per field, as if written out.
template <std::size_t... I>
inline void readFxParams(const vk_ramp* ramp, const float* param, vk_fx_params* p, std::index_sequence<I...>)
{
    ((p->*vk_fx_reads[I].field =
          vk_fx_reads[I].source == VK_FX_CURRENT ? ramp[vk_fx_reads[I].index].current : param[vk_fx_reads[I].index]),
     ...);
}

inline void outputStage(vk_state* st, float left, float right, float* outL, float* outR)
{
    vk_fx_params p;
    readFxParams(st->ramps, st->params, &p, std::make_index_sequence<vk_fx_reads.size()>{});
    vk_fx_process(&st->fx, &p, left, right, outL, outR);
}

} // namespace

extern "C" {

vk_state* vk_create(double sampleRate)
{
    // NaN fails the comparison; infinity would make every size computed from the rate meaningless.
    if (!(sampleRate > 1000.0) || !std::isfinite(sampleRate)) return nullptr;
    // The reverb and the delay lines index their buffers with 32-bit integers; a rate whose longest
    // buffer (the 10.01 s impulse response) cannot be indexed so is refused before anything is
    // allocated, like any other allocation that cannot succeed.
    if (sampleRate * kReverbSeconds >= 2147483647.0) return nullptr;
    vk_state* st = new (std::nothrow) vk_state();
    if (!st) return nullptr;
    st->rate = sampleRate;
    st->ratef = (float)sampleRate;

    bool rings = true;
    try {
        st->events.emplace(VK_EVENT_RING_SIZE);
        st->input.emplace((size_t)std::floor(sampleRate * 0.5)); // rounded up to a power of two
    } catch (const std::exception&) {
        rings = false;
    }
    const bool fxMemory = vk_fx_init(&st->fx, sampleRate) != nullptr;
    st->reverb = vk_rv_create(sampleRate, kReverbSeconds);
    st->fx.reverb = st->reverb;
    if (!rings || !fxMemory || !st->reverb) {
        vk_rv_destroy(st->reverb);
        vk_fx_free(&st->fx);
        delete st;
        return nullptr;
    }
    st->tap = 0;
    st->fx.tap = 0;
    vk_reset(st);
    return st;
}

void vk_destroy(vk_state* state)
{
    if (!state) return;
    vk_rv_destroy(state->reverb);
    vk_fx_free(&state->fx);
    delete state;
}

void vk_reset(vk_state* st)
{
    if (!st) return;
    st->events->reset();
    st->pendingCount = 0;
    st->pendingEarliest = kNoPending;
    for (int i = 0; i < VK_PARAM_COUNT; ++i) {
        const vk_param_info& info = vk_param_table[(size_t)i];
        st->params[i] = info.defaultValue;
        vk_ramp_init(&st->ramps[i], info.defaultValue, info.rampKind, info.rampTime);
    }
    st->rampsRunning = 0;
    vk_voices_reset(&st->voices, st->ratef, vk_param_table[VK_P_GLIDE].defaultValue);
    st->selectedSlot.store(-1, std::memory_order_relaxed);
    st->input->reset();

    vk_fx_reset(&st->fx);
    vk_rv_reset(st->reverb);

    std::memset(st->analysis, 0, sizeof st->analysis);
    st->analysisWrite.value.store(0, std::memory_order_relaxed);
    st->framesRendered.store(0, std::memory_order_release);
}

int vk_push_event(vk_state* st, const vk_event* event)
{
    if (!st || !event) return 1;
    return st->events->push(*event) ? 0 : 1;
}

void vk_render(vk_state* st, float* const* outputs, int channels, int frames, int64_t startFrame)
{
    if (!st) return;
    if (frames < 0) frames = 0;
    DenormalGuard denormals;

    // Events and samples pushed while this call runs are seen by the next call.
    veltrane::SpscRing<vk_event>& events = *st->events;
    veltrane::SpscRing<float>& input = *st->input;
    const uint64_t ringEnd = events.readEnd();
    const uint64_t inputEnd = input.readEnd();
    uint64_t ringRead = events.readBegin();
    uint64_t inputRead = input.readBegin();
    int64_t analysisWrite = st->analysisWrite.value.load(std::memory_order_relaxed);
    vk_voices* v = &st->voices;
    const float rate = st->ratef;

    for (int i = 0; i < frames; ++i) {
        const int64_t frame = startFrame + i;

        if (st->pendingCount > 0 && st->pendingEarliest <= frame) drainPending(st, frame);
        while (ringRead < ringEnd) {
            const vk_event ev = events.at(ringRead);
            if (ev.frame <= frame) {
                applyEvent(st, ev, frame);
            } else if (st->pendingCount < VK_PENDING_MAX) {
                st->pending[st->pendingCount++] = ev;
                if (ev.frame < st->pendingEarliest) st->pendingEarliest = ev.frame;
            } else {
                break; // pending list full: this event and those behind it wait in the ring
            }
            ++ringRead;
        }

        for (uint32_t running = st->rampsRunning; running != 0; running &= running - 1) {
            const int index = __builtin_ctz(running); // index order, as if every ramp were visited
            vk_ramp_advance(&st->ramps[index]);
            if (st->ramps[index].count == 0) st->rampsRunning &= ~(1u << index);
        }
        vk_ramp_advance(&v->amRatio);

        float voice =
            vk_voices_tick(v, st->params, st->ramps, rate, frame, st->selectedSlot.load(std::memory_order_relaxed));

        if (inputRead < inputEnd) {
            voice += st->ramps[VK_P_MIC_GAIN].current * input.at(inputRead);
            ++inputRead;
        }

        float left = voice, right = voice;
        const float noiseLevel = st->ramps[VK_P_NOISE_LEVEL].current;
        if (noiseLevel > 1e-6f) {
            const int type = vk_int_clamped(st->params[VK_P_NOISE_TYPE], 0, 3);
            left += noiseLevel * vk_noise_tick(v, 0, type);
            right += noiseLevel * vk_noise_tick(v, 1, type);
        }

        float outL, outR;
        outputStage(st, left, right, &outL, &outR);
        if (st->tap == static_cast<int>(vk_tap::voices)) {
            outL = left;
            outR = right;
        }

        if (channels == 1) {
            outputs[0][i] = (outL + outR) * 0.5f;
        } else if (channels >= 2) {
            outputs[0][i] = outL;
            outputs[1][i] = outR;
            for (int c = 2; c < channels; ++c) outputs[c][i] = 0.0f;
        }
        // Relaxed atomic stores: the reader may overlap a render and see newer samples, by design.
        std::atomic_ref<float>(st->analysis[analysisWrite & kAnalysisMask])
            .store((outL + outR) * 0.5f, std::memory_order_relaxed);
        ++analysisWrite;
    }

    events.readTo(ringRead);
    input.readTo(inputRead);
    st->analysisWrite.value.store(analysisWrite, std::memory_order_release);
    st->framesRendered.store(startFrame + frames, std::memory_order_release);
}

int64_t vk_frames_rendered(const vk_state* st) { return st ? st->framesRendered.load(std::memory_order_acquire) : 0; }

void vk_write_orbit(vk_state* st, int slot, const float* re, const float* im)
{
    if (!st || slot < 0 || slot > 1 || !re || !im) return;
    std::memcpy(st->voices.slotRe[slot], re, sizeof(float) * VK_ORBIT_HARMONICS);
    std::memcpy(st->voices.slotIm[slot], im, sizeof(float) * VK_ORBIT_HARMONICS);
}

int vk_orbit_slot_in_use(const vk_state* st) { return st ? st->selectedSlot.load(std::memory_order_acquire) : -1; }

void vk_push_input(vk_state* st, const float* samples, int count)
{
    if (!st || !samples || count <= 0) return;
    st->input->pushSome(samples, (size_t)count); // what does not fit is dropped
}

void vk_read_analysis(const vk_state* st, float* destination, int count)
{
    if (!st || !destination || count <= 0) return;
    const int m = count < VK_ANALYSIS_SIZE ? count : VK_ANALYSIS_SIZE;
    const int64_t w = st->analysisWrite.value.load(std::memory_order_acquire);
    float* ring = const_cast<float*>(st->analysis);
    for (int j = 0; j < m; ++j)
        destination[j] = std::atomic_ref<float>(ring[(w - m + j) & kAnalysisMask]).load(std::memory_order_relaxed);
}

int vk_reverb_build(vk_state* st, float decaySeconds) { return st ? vk_rv_build(st->reverb, decaySeconds) : 1; }

float vk_reverb_decay(const vk_state* st) { return st ? vk_rv_active_decay(st->reverb) : 0.0f; }

void vk_set_tap(vk_state* st, int tap)
{
    if (!st) return;
    st->tap = tap;
    st->fx.tap = tap; // the chain stops after a stage's tap; it runs whole for the output, the voices and the rest
}

} // extern "C"
