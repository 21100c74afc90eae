#include "Synth/ProbeTest.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <numbers>
#include <stdexcept>

#include "FractalCore/Orbits.h"
#include "FractalCore/RandomSource.h"
#include "Platform/Json/JsonFields.h"
#include "Support/EnumTextJson.h"
#include "Synth/OfflineRenderer.h"
#include "Synth/Waveform.h"

namespace veltrane {

namespace {

// Frames are counted in doubles first, so that a time far beyond any render cannot overflow.
double roundedFrames(double seconds, double sampleRate) { return std::round(seconds * sampleRate); }

int64_t eventFrame(double seconds, double sampleRate)
{
    constexpr double limit = 0x1p62;
    return (int64_t)std::clamp(roundedFrames(seconds, sampleRate), -limit, limit);
}

void requireRate(double sampleRate, const char* what)
{
    if (!(sampleRate > 1000) || !std::isfinite(sampleRate))
        throw std::invalid_argument(std::string(what) + ": sample rate " +
                                    (std::isfinite(sampleRate) ? Json::formatNumber(sampleRate) : "(not finite)") +
                                    " Hz is not above 1000 Hz");
}

std::optional<std::string> inputFault(const ProbeTest::Input& in)
{
    if (!std::isfinite(in.at) || in.at < 0) return "input start must be a finite time of 0 s or more";
    if (in.until && (!std::isfinite(*in.until) || *in.until < in.at))
        return "input end must be a finite time not before its start";
    if (in.steps)
        for (const std::vector<double>& step : *in.steps)
            if (step.size() < 2 || !std::isfinite(step[0]))
                return "every amplitude step must be [time, amplitude] with a finite time";
    return std::nullopt;
}

std::optional<std::string> orbitFault(const ProbeTest::Orbit& orbit)
{
    if (orbit.length < 0) return "orbit length " + std::to_string(orbit.length) + " is negative";
    if ((size_t)orbit.length > orbit.points.size() / 2)
        return "orbit length " + std::to_string(orbit.length) + " exceeds its " +
               std::to_string(orbit.points.size() / 2) + " points";
    return std::nullopt;
}

std::optional<std::string> caseFault(const ProbeTest& t)
{
    if (!std::isfinite(t.seconds) || t.seconds < 0) return "length must be a finite number of seconds, 0 or more";
    if (!std::isfinite(t.measureFrom) || t.measureFrom < 0) return "measureFrom must be a finite time of 0 s or more";
    for (const ProbeTest::Event& e : t.events)
        if (!std::isfinite(e.at)) return "event times must be finite";
    if (t.input)
        if (auto fault = inputFault(*t.input)) return fault;
    if (t.orbit)
        if (auto fault = orbitFault(*t.orbit)) return fault;
    return std::nullopt;
}

// The shortest text that reads back as the same double, always with a decimal point (0.3, 1.0).
std::string idNumber(double x)
{
    std::string text = Json::formatNumber(x);
    if (text.find_first_of(".e") == std::string::npos) text += ".0";
    return text;
}

std::string fourDecimals(double x)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.4f", x);
    return text;
}

ProbeTest::Input sineInput(double freq) { return {ProbeTest::Input::Kind::sine, 0.5, freq, 7, 0, {}, {}}; }
ProbeTest::Input whiteNoise() { return {ProbeTest::Input::Kind::noise, 0.5, 440, 7, 0, {}, {}}; }
ProbeTest::Input impulse() { return {ProbeTest::Input::Kind::impulse, 1.0, 440, 7, 0.1, {}, {}}; }
ProbeTest::Input steppedSine()
{
    return {ProbeTest::Input::Kind::sine,
            0.03,
            440,
            7,
            0,
            {},
            std::vector<std::vector<double>>{{1, 0.1}, {2, 0.3}, {3, 0.6}, {4, 1.0}}};
}

} // namespace

const AudioParams& ProbeTest::neutral()
{
    static const AudioParams params = [] {
        AudioParams p;
        p.frequency = 220;
        p.harmonicRatio = 1;
        p.filterCutoff = 14000;
        p.filterQ = 0;
        p.filterType = AudioParams::FilterType::lowpass;
        p.filterRolloff = AudioParams::Rolloff::db12;
        p.distortionAmount = 0;
        p.reverbWet = 0;
        p.reverbDecay = 2.5;
        p.delayTime = 0.25;
        p.delayFeedback = 0;
        p.delayWet = 0;
        p.lfoRate = 0.0001;
        p.volume = 0.5;
        p.fmModIndex = 2;
        p.chorusAmount = 0;
        p.stereoWidth = 0.5;
        p.noiseLevel = 0;
        p.noiseType = AudioParams::defaults().noiseType;
        p.bitCrushDepth = 16;
        p.phaserRate = 0.5;
        p.phaserDepth = 0;
        p.pitchShift = 0;
        p.freqShift = 0;
        p.subLevel = 0;
        p.glide = 0.005;
        p.glue = 0;
        p.synthMode = AudioParams::SynthMode::subtractive;
        return p;
    }();
    return params;
}

std::vector<ProbeTest> ProbeTest::all(const std::vector<Preset>& presets)
{
    using Mode = AudioParams::SynthMode;
    std::vector<ProbeTest> table;
    table.reserve(fixedCount + 2 * presets.size());
    const auto add = [&](std::string id, Tap tap, bool drone, double seconds, double measureFrom = 0.5) -> ProbeTest& {
        ProbeTest t;
        t.id = std::move(id);
        t.tap = tap;
        t.drone = drone;
        t.seconds = seconds;
        t.params = neutral();
        t.measureFrom = measureFrom;
        return table.emplace_back(std::move(t));
    };

    for (const char* name : {"sawtooth", "sine", "square", "triangle", "pulse", "pwm"}) {
        const std::string waveform = name;
        add("v-" + waveform, Tap::voices, true, waveform == "pwm" ? 3 : 2).waveform = waveform;
    }
    {
        const char* ids[] = {"v-fm", "v-fm-b", "v-fm-c"};
        const double ratios[] = {1, 4.25, 7.37}, indices[] = {2, 7.23, 0.5};
        for (int i = 0; i < 3; ++i) {
            AudioParams& p = add(ids[i], Tap::voices, true, 2).params;
            p.synthMode = Mode::fm;
            p.harmonicRatio = ratios[i];
            p.fmModIndex = indices[i];
        }
    }
    {
        const char* ids[] = {"v-am", "v-am-b", "v-am-sine"};
        const double ratios[] = {2, 4.55, 2};
        for (int i = 0; i < 3; ++i) {
            ProbeTest& t = add(ids[i], Tap::voices, true, 2);
            t.params.synthMode = Mode::am;
            t.params.harmonicRatio = ratios[i];
            if (i == 2) t.waveform = "sine";
        }
    }
    {
        ProbeTest& t = add("v-sub", Tap::voices, true, 2);
        t.waveform = "sine";
        t.params.subLevel = 1;
    }
    add("v-release", Tap::voices, true, 2, 0).events = {{1.0, Event::Kind::droneOff, 0, 0, 0.8}};
    for (const char* name : {"saw", "tri"}) {
        ProbeTest& t = add(std::string("v-step-") + name, Tap::voices, false, 2, 0);
        if (std::string(name) == "tri") t.waveform = "triangle";
        t.events = {{0.1, Event::Kind::step, 440, 0.3, 0.8},
                    {0.6, Event::Kind::step, 660, 0.1, 0.5},
                    {1.0, Event::Kind::step, 220, 0.6, 1.0}};
    }
    add("v-keys", Tap::voices, false, 2, 0).events = {
        {0.1, Event::Kind::keyOn, 220, 0, 0.8},  {0.3, Event::Kind::keyOn, 330, 0, 0.8},
        {0.5, Event::Kind::keyOn, 440, 0, 0.6},  {1.2, Event::Kind::keyOff, 220, 0, 0.8},
        {1.2, Event::Kind::keyOff, 330, 0, 0.8}, {1.2, Event::Kind::keyOff, 440, 0, 0.8}};
    {
        const char* names[] = {"inside", "escape", "cycle"};
        const Complex centres[] = {{-0.7436, 0.1318}, {0.3, 0.5}, {-1.0, 0.05}};
        for (int i = 0; i < 3; ++i) {
            ProbeTest& t = add(std::string("v-orbit-") + names[i], Tap::voices, true, 2);
            t.params.synthMode = Mode::orbit;
            const Orbits::Centre c =
                Orbits::centre(FractalType::mandelbrot, centres[i].x, centres[i].y, Complex{-0.7, 0.27015}, 128);
            t.orbit = Orbit{c.points, c.length, c.escaped};
        }
    }
    for (AudioParams::NoiseType type : allCases<AudioParams::NoiseType>) {
        AudioParams& p = add("v-noise-" + std::string(toText(type)), Tap::voices, false, 2).params;
        p.noiseLevel = 0.3;
        p.noiseType = type;
    }

    const auto filterCase = [&](std::string id, double seconds = 2) -> AudioParams& {
        ProbeTest& t = add(std::move(id), Tap::filter, false, seconds);
        t.input = whiteNoise();
        return t.params;
    };
    for (double q : {0.0, 6.0}) {
        AudioParams& p = filterCase(q == 0 ? "f-lp12-1k-q0" : "f-lp12-1k-q6");
        p.filterCutoff = 1000;
        p.filterQ = q;
    }
    {
        AudioParams& p = filterCase("f-lp24-500-q2");
        p.filterCutoff = 500;
        p.filterQ = 2;
        p.filterRolloff = AudioParams::Rolloff::db24;
    }
    {
        AudioParams& p = filterCase("f-lp48-300-q1");
        p.filterCutoff = 300;
        p.filterQ = 1;
        p.filterRolloff = AudioParams::Rolloff::db48;
    }
    {
        AudioParams& p = filterCase("f-hp24-300-q1");
        p.filterType = AudioParams::FilterType::highpass;
        p.filterRolloff = AudioParams::Rolloff::db24;
        p.filterCutoff = 300;
        p.filterQ = 1;
    }
    {
        AudioParams& p = filterCase("f-bp12-500-q1.5");
        p.filterType = AudioParams::FilterType::bandpass;
        p.filterCutoff = 500;
        p.filterQ = 1.5;
    }
    {
        AudioParams& p = filterCase("f-notch12-400-q1.3");
        p.filterType = AudioParams::FilterType::notch;
        p.filterCutoff = 400;
        p.filterQ = 1.3;
    }
    {
        AudioParams& p = filterCase("f-lfo-2hz", 3);
        p.filterCutoff = 1000;
        p.filterQ = 3;
        p.lfoRate = 2;
    }

    for (double amount : {0.0, 0.0386, 0.0827, 0.171, 0.477, 0.7}) {
        ProbeTest& t = add("d-" + fourDecimals(amount), Tap::distortion, false, 1.5);
        t.params.distortionAmount = amount;
        t.input = sineInput(220);
    }
    add("d-saw-0.7", Tap::distortion, true, 2).params.distortionAmount = 0.7;
    for (int depth : {8, 6, 5}) {
        ProbeTest& t = add("b-" + std::to_string(depth), Tap::crusher, false, 1.5);
        t.params.bitCrushDepth = depth;
        t.input = sineInput(220);
    }
    for (double amount : {0.3, 0.55}) add("c-" + idNumber(amount), Tap::chorus, true, 3).params.chorusAmount = amount;
    for (double depth : {0.179, 1.0}) {
        AudioParams& p = add(depth == 1.0 ? "p-1" : "p-0.18", Tap::phaser, true, 3).params;
        p.phaserRate = 0.5;
        p.phaserDepth = depth;
    }
    for (double shift : {7.0, -5.0}) {
        ProbeTest& t = add(shift > 0 ? "ps-7" : "ps-m5", Tap::pitch, false, 2);
        t.params.pitchShift = shift;
        t.input = sineInput(440);
    }
    for (double shift : {15.0, -30.0}) {
        ProbeTest& t = add(shift > 0 ? "fs-15" : "fs-m30", Tap::freqshift, false, 2);
        t.params.freqShift = shift;
        t.input = sineInput(440);
    }
    {
        const char* ids[] = {"dl-a", "dl-b"};
        const double times[] = {0.375, 0.25}, feedbacks[] = {0.5, 0.3}, wets[] = {0.5, 0.2};
        for (int i = 0; i < 2; ++i) {
            ProbeTest& t = add(ids[i], Tap::delay, false, 3, 0);
            t.params.delayTime = times[i];
            t.params.delayFeedback = feedbacks[i];
            t.params.delayWet = wets[i];
            t.input = impulse();
        }
    }
    {
        const char* ids[] = {"r-2.5-w0.5", "r-6-w0.73", "r-4.3-w1"};
        const double seconds[] = {4, 6, 5}, decays[] = {2.5, 6, 4.3}, wets[] = {0.5, 0.733, 1.0};
        for (int i = 0; i < 3; ++i) {
            ProbeTest& t = add(ids[i], Tap::reverb, false, seconds[i], 0);
            t.params.reverbDecay = decays[i];
            t.params.reverbWet = wets[i];
            t.input = impulse();
        }
        ProbeTest& t = add("r-burst", Tap::reverb, false, 5, 0);
        t.params.reverbDecay = 5;
        t.params.reverbWet = 0.6;
        t.input = Input{Input::Kind::noise, 0.5, 440, 7, 0.1, 0.6, {}};
    }
    for (double width : {0.2, 0.5, 0.8}) {
        AudioParams& p = add("w-" + idNumber(width), Tap::widener, true, 3).params;
        p.chorusAmount = 0.5;
        p.stereoWidth = width;
    }
    for (double glue : {0.0, 0.35, 1.0}) {
        ProbeTest& t = add("k-glue" + idNumber(glue), Tap::compressor, false, 5, 0);
        t.params.glue = glue;
        t.input = steppedSine();
    }
    {
        ProbeTest& loud = add("l-vol0.9", Tap::output, false, 5, 0);
        loud.params.volume = 0.9;
        loud.input = steppedSine();
        ProbeTest& quiet = add("l-vol0.3", Tap::output, false, 5, 0);
        quiet.params.volume = 0.3;
        quiet.params.glue = 0.35;
        quiet.input = steppedSine();
    }

    for (const Preset& preset : presets) {
        ProbeTest& t = add("fp-" + preset.id, Tap::output, true, 6, 1.5);
        t.params = preset.params;
        t.orbit = preset.orbit;
    }
    for (const Preset& preset : presets) {
        const std::string_view prefix = "factory-";
        const std::string id = preset.id.starts_with(prefix) ? preset.id.substr(prefix.size()) : preset.id;
        ProbeTest& t = add("nr-" + id, Tap::output, true, 6, 1.5);
        t.params = preset.params;
        t.params.reverbWet = 0;
        t.orbit = preset.orbit;
    }
    return table;
}

int ProbeTest::waveformValue() const
{
    if (waveform == "sine") return 1;
    if (waveform == "square") return 2;
    if (waveform == "triangle") return 3;
    if (waveform == "pulse") return 4;
    if (waveform == "pwm") return 5;
    return 0;
}

int ProbeTest::webLatencyFrames() const
{
    switch (tap) {
    case Tap::voices:
    case Tap::filter: return 0;
    case Tap::distortion:
    case Tap::crusher:
    case Tap::chorus:
    case Tap::phaser: return 97;
    default: return 2497;
    }
}

int64_t ProbeTest::frames(double sampleRate) const { return (int64_t)roundedFrames(seconds, sampleRate); }

void ProbeTest::validate() const
{
    if (auto fault = caseFault(*this)) throw std::invalid_argument("probe case \"" + id + "\": " + *fault);
}

std::vector<float> ProbeTest::Input::render(int64_t frames, double sampleRate) const
{
    requireRate(sampleRate, "probe input");
    if (frames < 0) throw std::invalid_argument("probe input: negative frame count");
    if (auto fault = inputFault(*this)) throw std::invalid_argument("probe input: " + *fault);

    std::vector<float> out((size_t)frames, 0.0f);
    // Clamped to 0...frames in doubles: a start or end past the render touches nothing.
    const double n = (double)frames;
    const int64_t start = (int64_t)std::min(roundedFrames(at, sampleRate), n);
    const int64_t end = until ? (int64_t)std::min(roundedFrames(*until, sampleRate), n) : frames;

    switch (kind) {
    case Kind::noise: {
        Mulberry32 generator(seed);
        for (int64_t i = 0; i < frames; ++i) {
            const double u = generator.next(); // advances on every frame, inside the window or not
            if (i >= start && i < end) out[(size_t)i] = (float)((2.0 * u - 1.0) * amp);
        }
        break;
    }
    case Kind::impulse:
        if (start < frames) out[(size_t)start] = (float)amp;
        break;
    case Kind::sine: {
        double amplitude = amp;
        size_t next = 0;
        const size_t stepCount = steps ? steps->size() : 0;
        for (int64_t i = std::max<int64_t>(start, 0); i < end; ++i) {
            while (next < stepCount && (*steps)[next][0] * sampleRate <= (double)i) amplitude = (*steps)[next++][1];
            out[(size_t)i] = (float)(std::sin(2.0 * std::numbers::pi * freq * (double)i / sampleRate) * amplitude);
        }
        break;
    }
    }
    return out;
}

std::vector<vk_event> ProbeTest::kernelEvents(double sampleRate) const
{
    std::vector<Event> sorted = events;
    std::stable_sort(sorted.begin(), sorted.end(), [](const Event& a, const Event& b) { return a.at < b.at; });
    std::vector<vk_event> out;
    std::map<double, int> keys;
    for (const Event& e : sorted) {
        const int64_t frame = eventFrame(e.at, sampleRate);
        switch (e.kind) {
        case Event::Kind::droneOff: out.push_back({frame, VK_EVENT_DRONE_OFF, 0, 0, 0, 0, 0}); break;
        case Event::Kind::step:
            out.push_back({frame, VK_EVENT_STEP, 0, 0, (float)e.freq, (float)e.dur, (float)e.vel});
            break;
        case Event::Kind::keyOn: {
            const int key = (int)keys.size() + 1;
            keys[e.freq] = key;
            out.push_back({frame, VK_EVENT_KEY_ON, 0, key, (float)e.freq, 0, (float)e.vel});
            break;
        }
        case Event::Kind::keyOff: {
            const auto it = keys.find(e.freq);
            out.push_back({frame, VK_EVENT_KEY_OFF, 0, it == keys.end() ? 0 : it->second, 0, 0, 0});
            break;
        }
        }
    }
    return out;
}

std::pair<std::vector<float>, std::vector<float>> ProbeTest::renderNative(double sampleRate) const
{
    requireRate(sampleRate, ("probe case \"" + id + "\"").c_str());
    validate();

    OfflineRenderer renderer(sampleRate);
    vk_state* kernel = renderer.kernel();
    vk_set_tap(kernel, static_cast<int>(tap));
    const Waveform wave = waveformFromRawValue(waveformValue()).value_or(Waveform::sawtooth);
    renderer.apply(params, wave, wave, input ? 1.0 : 0.0, int64_t{0});
    // The parameter event above ramps the microphone gain up; the test signal is heard at full
    // gain from the first frame.
    if (input) renderer.push(vk_event{0, VK_EVENT_PARAM_NO_RAMP, VK_P_MIC_GAIN, 0, 1.0f, 0, 0});
    if (orbit) renderer.setOrbit(orbit->points, orbit->length, 0);
    if (drone) renderer.play(int64_t{0});

    for (const vk_event& e : kernelEvents(sampleRate)) renderer.push(e);

    const int64_t n = frames(sampleRate);
    const std::vector<float> signal = input ? input->render(n, sampleRate) : std::vector<float>();
    std::vector<float> left, right;
    left.reserve((size_t)n);
    right.reserve((size_t)n);
    for (int64_t p = 0; p < n; p += block) {
        const int m = (int)std::min<int64_t>(block, n - p);
        if (input) vk_push_input(kernel, signal.data() + p, m);
        const auto [l, r] = renderer.render(m, block);
        left.insert(left.end(), l.begin(), l.end());
        right.insert(right.end(), r.begin(), r.end());
    }
    return {std::move(left), std::move(right)};
}

// ---------------------------------------------------------------- JSON

void to_json(Json::Value& json, const ProbeTest::Input& in)
{
    json = Json::Value::object();
    enumToJson(json["kind"], in.kind);
    json["amp"] = in.amp;
    json["freq"] = in.freq;
    json["seed"] = in.seed;
    json["at"] = in.at;
    if (in.until) json["until"] = *in.until;
    if (in.steps) json["steps"] = *in.steps;
}

void from_json(const Json::Value& json, ProbeTest::Input& in)
{
    using namespace Json;
    constexpr const char* what = "probe input";
    ProbeTest::Input r;
    enumFromJson(field(json, "kind", what), r.kind, "probe input \"kind\"");
    r.amp = requiredNumber(json, "amp", what);
    r.freq = requiredNumber(json, "freq", what);
    const double seed = requiredNumber(json, "seed", what);
    if (!(seed >= 0 && seed <= 4294967295.0 && seed == std::floor(seed)))
        throw Json::Error("probe input: \"seed\" is not an unsigned 32-bit integer");
    r.seed = (uint32_t)seed;
    r.at = requiredNumber(json, "at", what);
    if (const auto it = json.find("until"); it != json.end()) r.until = number(*it, "until", what);
    if (const auto it = json.find("steps"); it != json.end()) {
        if (!it->is_array()) throw wrongType("steps", what, "a list of [time, amplitude] lists");
        std::vector<std::vector<double>> steps;
        for (const Json::Value& step : *it) steps.push_back(numbers(step, "steps", what));
        r.steps = std::move(steps);
    }
    if (auto fault = inputFault(r)) throw Json::Error("probe input: " + *fault);
    in = std::move(r);
}

void to_json(Json::Value& json, const ProbeTest::Event& e)
{
    json = Json::Value::object();
    json["at"] = e.at;
    enumToJson(json["kind"], e.kind);
    json["freq"] = e.freq;
    json["dur"] = e.dur;
    json["vel"] = e.vel;
}

void from_json(const Json::Value& json, ProbeTest::Event& e)
{
    using namespace Json;
    constexpr const char* what = "probe event";
    ProbeTest::Event r;
    r.at = requiredNumber(json, "at", what);
    enumFromJson(field(json, "kind", what), r.kind, "probe event \"kind\"");
    r.freq = requiredNumber(json, "freq", what);
    r.dur = requiredNumber(json, "dur", what);
    r.vel = requiredNumber(json, "vel", what);
    e = r;
}

void to_json(Json::Value& json, const ProbeTest::Orbit& orbit)
{
    json = Json::Value::object();
    json["points"] = orbit.points;
    json["length"] = orbit.length;
    json["escaped"] = orbit.escaped;
}

void from_json(const Json::Value& json, ProbeTest::Orbit& orbit)
{
    using namespace Json;
    constexpr const char* what = "probe orbit";
    ProbeTest::Orbit r;
    r.points = requiredNumbers(json, "points", what);
    const Json::Value& length = field(json, "length", what);
    if (!length.is_number_integer()) throw wrongType("length", what, "an integer");
    if (length.is_number_unsigned() ? length.get<uint64_t>() > (uint64_t)r.points.size()
                                    : length.get<int64_t>() > (int64_t)r.points.size())
        throw Json::Error("probe orbit: length exceeds its points");
    r.length = length.get<long>();
    r.escaped = requiredBool(json, "escaped", what);
    if (auto fault = orbitFault(r)) throw Json::Error("probe orbit: " + *fault);
    orbit = std::move(r);
}

void to_json(Json::Value& out, const ProbeTest& t)
{
    // Built aside (see AudioParams' to_json): `params` may throw.
    Json::Value json = Json::Value::object();
    json["id"] = t.id;
    json["seconds"] = t.seconds;
    enumToJson(json["tap"], t.tap);
    json["waveform"] = t.waveform;
    json["drone"] = t.drone;
    json["params"] = t.params;
    if (t.input) json["input"] = *t.input;
    json["events"] = t.events;
    if (t.orbit) json["orbit"] = *t.orbit;
    json["measureFrom"] = t.measureFrom;
    out = std::move(json);
}

void from_json(const Json::Value& json, ProbeTest& t)
{
    using namespace Json;
    constexpr const char* what = "probe case";
    ProbeTest r;
    r.id = requiredText(json, "id", what);
    r.seconds = requiredNumber(json, "seconds", what);
    enumFromJson(field(json, "tap", what), r.tap, "probe case \"tap\"");
    r.waveform = requiredText(json, "waveform", what);
    r.drone = requiredBool(json, "drone", what);
    const Json::Value& params = field(json, "params", what);
    if (!params.is_object()) throw wrongType("params", what, "an object");
    r.params = params.get<AudioParams>();
    if (const auto it = json.find("input"); it != json.end()) r.input = it->get<ProbeTest::Input>();
    const Json::Value& events = field(json, "events", what);
    if (!events.is_array()) throw wrongType("events", what, "a list");
    for (const Json::Value& e : events) r.events.push_back(e.get<ProbeTest::Event>());
    if (const auto it = json.find("orbit"); it != json.end()) r.orbit = it->get<ProbeTest::Orbit>();
    r.measureFrom = requiredNumber(json, "measureFrom", what);
    if (auto fault = caseFault(r)) throw Json::Error("probe case \"" + r.id + "\": " + *fault);
    t = std::move(r);
}

} // namespace veltrane
