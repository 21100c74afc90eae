#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "FractalCore/Orbits.h"
#include "FractalCore/RandomSource.h"
#include "Platform/Json/Json.h"
#include "Synth/ProbeTest.h"

using namespace veltrane;

namespace {

using Kind = ProbeTest::Input::Kind;

const std::vector<std::string> fixedIds = {"v-sawtooth",
                                           "v-sine",
                                           "v-square",
                                           "v-triangle",
                                           "v-pulse",
                                           "v-pwm",
                                           "v-fm",
                                           "v-fm-b",
                                           "v-fm-c",
                                           "v-am",
                                           "v-am-b",
                                           "v-am-sine",
                                           "v-sub",
                                           "v-release",
                                           "v-step-saw",
                                           "v-step-tri",
                                           "v-keys",
                                           "v-orbit-inside",
                                           "v-orbit-escape",
                                           "v-orbit-cycle",
                                           "v-noise-white",
                                           "v-noise-pink",
                                           "v-noise-brown",
                                           "f-lp12-1k-q0",
                                           "f-lp12-1k-q6",
                                           "f-lp24-500-q2",
                                           "f-lp48-300-q1",
                                           "f-hp24-300-q1",
                                           "f-bp12-500-q1.5",
                                           "f-notch12-400-q1.3",
                                           "f-lfo-2hz",
                                           "d-0.0000",
                                           "d-0.0386",
                                           "d-0.0827",
                                           "d-0.1710",
                                           "d-0.4770",
                                           "d-0.7000",
                                           "d-saw-0.7",
                                           "b-8",
                                           "b-6",
                                           "b-5",
                                           "c-0.3",
                                           "c-0.55",
                                           "p-0.18",
                                           "p-1",
                                           "ps-7",
                                           "ps-m5",
                                           "fs-15",
                                           "fs-m30",
                                           "dl-a",
                                           "dl-b",
                                           "r-2.5-w0.5",
                                           "r-6-w0.73",
                                           "r-4.3-w1",
                                           "r-burst",
                                           "w-0.2",
                                           "w-0.5",
                                           "w-0.8",
                                           "k-glue0.0",
                                           "k-glue0.35",
                                           "k-glue1.0",
                                           "l-vol0.9",
                                           "l-vol0.3"};

const ProbeTest& find(const std::vector<ProbeTest>& table, const std::string& id)
{
    const auto it = std::find_if(table.begin(), table.end(), [&](const ProbeTest& t) { return t.id == id; });
    if (it == table.end()) throw std::runtime_error("no case " + id);
    return *it;
}

ProbeTest::Input input(Kind kind, double amp, double at) { return {kind, amp, 440, 7, at, {}, {}}; }

} // namespace

TEST(ProbeTable, FixedCasesInOrder)
{
    const std::vector<ProbeTest> table = ProbeTest::all({});
    std::vector<std::string> ids;
    for (const ProbeTest& t : table) ids.push_back(t.id);
    EXPECT_EQ(ids, fixedIds);
    EXPECT_EQ(table.size(), 63u);

    // Spot checks of what the rows change and what they keep.
    EXPECT_EQ(find(table, "v-pwm").seconds, 3);
    EXPECT_EQ(find(table, "v-pwm").waveformValue(), 5);
    EXPECT_EQ(find(table, "v-fm-b").params.fmModIndex, 7.23);
    EXPECT_EQ(find(table, "v-am-sine").waveform, "sine");
    EXPECT_EQ(find(table, "v-release").measureFrom, 0);
    EXPECT_TRUE(find(table, "d-saw-0.7").drone);
    EXPECT_FALSE(find(table, "d-0.4770").drone);
    EXPECT_EQ(find(table, "d-0.4770").params.distortionAmount, 0.477);
    EXPECT_EQ(find(table, "p-0.18").params.phaserDepth, 0.179);
    EXPECT_EQ(find(table, "b-5").params.bitCrushDepth, 5);
    EXPECT_EQ(find(table, "r-6-w0.73").params.reverbWet, 0.733);
    EXPECT_EQ(find(table, "r-6-w0.73").seconds, 6);
    EXPECT_EQ(find(table, "l-vol0.3").params.glue, 0.35);
    EXPECT_EQ(find(table, "l-vol0.9").params.glue, 0);
    EXPECT_EQ(find(table, "f-hp24-300-q1").params.filterRolloff, AudioParams::Rolloff::db24);
    EXPECT_EQ(find(table, "f-lfo-2hz").params.lfoRate, 2);
    EXPECT_EQ(find(table, "v-noise-pink").params.noiseType, AudioParams::NoiseType::pink);

    const ProbeTest::Input& burst = *find(table, "r-burst").input;
    EXPECT_EQ(burst.kind, Kind::noise);
    EXPECT_EQ(burst.at, 0.1);
    EXPECT_EQ(burst.until, 0.6);
    EXPECT_EQ(find(table, "k-glue0.35").input->steps->size(), 4u);
    EXPECT_EQ(find(table, "dl-a").input->amp, 1.0);

    int orbits = 0;
    for (const ProbeTest& t : table) orbits += t.orbit.has_value();
    EXPECT_EQ(orbits, 3);
    const Orbits::Centre cycle = Orbits::centre(FractalType::mandelbrot, -1.0, 0.05, Complex{-0.7, 0.27015}, 128);
    const ProbeTest::Orbit& orbit = *find(table, "v-orbit-cycle").orbit;
    EXPECT_EQ(orbit.points, cycle.points);
    EXPECT_EQ(orbit.length, cycle.length);
    EXPECT_EQ(orbit.escaped, cycle.escaped);
    for (const char* id : {"v-orbit-inside", "v-orbit-escape", "v-orbit-cycle"})
        EXPECT_EQ(find(table, id).orbit->points.size(), 2 * (size_t)find(table, id).orbit->length) << id;
}

TEST(ProbeTable, NeutralSound)
{
    const AudioParams& n = ProbeTest::neutral();
    EXPECT_EQ(&n, &ProbeTest::neutral());
    EXPECT_EQ(n.filterCutoff, 14000);
    EXPECT_EQ(n.filterQ, 0);
    EXPECT_EQ(n.reverbWet, 0);
    EXPECT_EQ(n.lfoRate, 0.0001);
    EXPECT_EQ(n.glide, 0.005);
    EXPECT_EQ(n.glue, 0);
    EXPECT_EQ(n.subLevel, 0);
    EXPECT_EQ(n.stereoWidth, 0.5);
    EXPECT_EQ(n.noiseType, AudioParams::defaults().noiseType);
    for (const ProbeTest& t : ProbeTest::all()) {
        if (t.id == "v-sawtooth" || t.id == "v-release" || t.id.starts_with("v-step") || t.id == "v-keys") {
            EXPECT_EQ(t.params, n) << t.id;
        }
    }
}

TEST(ProbeTable, PresetCases)
{
    AudioParams a = AudioParams::defaults(), b = AudioParams::defaults();
    a.reverbWet = 0.4;
    b.frequency = 330;
    const ProbeTest::Orbit orbit{{0.1, 0.2, 0.3, 0.4}, 2, false};
    const std::vector<ProbeTest> table = ProbeTest::all({{"factory-glass", a, orbit}, {"mine", b, std::nullopt}});
    ASSERT_EQ(table.size(), 67u);
    EXPECT_EQ(table[63].id, "fp-factory-glass");
    EXPECT_EQ(table[64].id, "fp-mine");
    EXPECT_EQ(table[65].id, "nr-glass");
    EXPECT_EQ(table[66].id, "nr-mine");
    EXPECT_EQ(table[63].params, a);
    EXPECT_EQ(table[65].params.reverbWet, 0);
    EXPECT_EQ(table[65].params.frequency, a.frequency);
    EXPECT_EQ(table[63].orbit, orbit);
    EXPECT_EQ(table[65].orbit, orbit);
    EXPECT_FALSE(table[66].orbit);
    for (int i = 63; i < 67; ++i) {
        EXPECT_EQ(table[(size_t)i].tap, ProbeTest::Tap::output);
        EXPECT_TRUE(table[(size_t)i].drone);
        EXPECT_EQ(table[(size_t)i].seconds, 6);
        EXPECT_EQ(table[(size_t)i].measureFrom, 1.5);
    }
}

TEST(ProbeTable, WaveformValueAndLatency)
{
    ProbeTest t;
    for (const auto& [name, value] : std::vector<std::pair<std::string, int>>{{"sawtooth", 0},
                                                                              {"", 0},
                                                                              {"Sine", 0},
                                                                              {"PWM", 0},
                                                                              {"sine", 1},
                                                                              {"square", 2},
                                                                              {"triangle", 3},
                                                                              {"pulse", 4},
                                                                              {"pwm", 5}}) {
        t.waveform = name;
        EXPECT_EQ(t.waveformValue(), value) << name;
    }
    const int expected[] = {2497, 0, 0, 97, 97, 97, 97, 2497, 2497, 2497, 2497, 2497, 2497, 2497};
    for (ProbeTest::Tap tap : allCases<ProbeTest::Tap>) {
        t.tap = tap;
        EXPECT_EQ(t.webLatencyFrames(), expected[caseIndex(tap)]) << toText(tap);
    }
    EXPECT_EQ(caseIndex(ProbeTest::Tap::master), 13);
}

TEST(ProbeTable, KeyEventsAndTimeOrder)
{
    const std::vector<vk_event> keys = find(ProbeTest::all(), "v-keys").kernelEvents(48000);
    ASSERT_EQ(keys.size(), 6u);
    const int ids[] = {1, 2, 3, 1, 2, 3};
    const int64_t frames[] = {4800, 14400, 24000, 57600, 57600, 57600};
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(keys[i].type, i < 3 ? VK_EVENT_KEY_ON : VK_EVENT_KEY_OFF);
        EXPECT_EQ(keys[i].id, ids[i]);
        EXPECT_EQ(keys[i].frame, frames[i]);
    }
    EXPECT_EQ(keys[2].value, 440.0f);
    EXPECT_EQ(keys[2].value3, 0.6f);

    using E = ProbeTest::Event;
    ProbeTest t;
    t.events = {{0.5, E::Kind::keyOff, 330, 0, 0.8}, {0.2, E::Kind::step, 440, 0.3, 0.5},
                {0.2, E::Kind::droneOff, 0, 0, 0.8}, {0.1, E::Kind::keyOn, 330, 0, 0.7},
                {0.6, E::Kind::keyOff, 990, 0, 0.8}, {0.00001, E::Kind::keyOn, 550, 0, 0.7}};
    const std::vector<vk_event> e = t.kernelEvents(48000);
    ASSERT_EQ(e.size(), 6u);
    EXPECT_EQ(e[0].frame, 0); // 0.48 frames: nearest
    EXPECT_EQ(e[0].id, 1);
    EXPECT_EQ(e[1].id, 2);
    EXPECT_EQ(e[2].type, VK_EVENT_STEP); // same time: list order kept
    EXPECT_EQ(e[2].value2, 0.3f);
    EXPECT_EQ(e[3].type, VK_EVENT_DRONE_OFF);
    EXPECT_EQ(e[4].id, 2);
    EXPECT_EQ(e[5].id, 0); // never keyed on
    ProbeTest half;
    half.events = {{0.5 / 48000, E::Kind::droneOff, 0, 0, 0.8}, {2.5 / 48000, E::Kind::droneOff, 0, 0, 0.8}};
    EXPECT_EQ(half.kernelEvents(48000)[0].frame, 1); // halves away from zero
    EXPECT_EQ(half.kernelEvents(48000)[1].frame, 3);
}

TEST(ProbeInput, NoiseRunsFromFrameZeroOutsideItsWindow)
{
    ProbeTest::Input windowed = input(Kind::noise, 0.5, 0.1);
    windowed.until = 0.6;
    const std::vector<float> w = windowed.render(48000, 48000);
    const std::vector<float> full = input(Kind::noise, 0.5, 0).render(48000, 48000);
    ASSERT_EQ(w.size(), 48000u);
    for (size_t i = 0; i < 48000; ++i) {
        if (i < 4800 || i >= 28800)
            ASSERT_EQ(w[i], 0.0f) << i;
        else
            ASSERT_EQ(w[i], full[i]) << i;
    }
    Mulberry32 generator(7);
    const float first = (float)((2 * generator.next() - 1) * 0.5);
    EXPECT_EQ(full[0], first); // the first frame uses the state after one advance
    EXPECT_NE(w[4800], 0.0f);
}

TEST(ProbeInput, ImpulseAtItsExactFrame)
{
    const std::vector<float> x = input(Kind::impulse, 1.0, 0.1).render(48000, 48000);
    EXPECT_EQ(std::count_if(x.begin(), x.end(), [](float v) { return v != 0; }), 1);
    EXPECT_EQ(x[4800], 1.0f);
    EXPECT_EQ(std::count(x.begin(), x.end(), 0.0f), 47999);
    const std::vector<float> late = input(Kind::impulse, 1.0, 2.0).render(48000, 48000);
    EXPECT_EQ(std::count(late.begin(), late.end(), 0.0f), 48000); // past the end: nothing written
}

TEST(ProbeInput, SineStepsAtExactFramesWithPhaseFromFrameZero)
{
    ProbeTest::Input stepped = find(ProbeTest::all(), "k-glue0.0").input.value();
    constexpr double rate = 8000; // 440 Hz is not a divisor: each frame checked against its own phase
    const std::vector<float> x = stepped.render(5 * 8000, rate);
    const auto expected = [&](int i, double amp) { return (float)(std::sin(2 * M_PI * 440 * i / rate) * amp); };
    const double amps[] = {0.03, 0.1, 0.3, 0.6, 1.0};
    for (int s = 0; s < 5; ++s) {
        const int first = s * 8000;
        if (first > 0) {
            ASSERT_EQ(x[(size_t)first - 1], expected(first - 1, amps[s - 1])) << "step " << s;
        }
        for (int i = first; i < first + 8000; ++i) ASSERT_EQ(x[(size_t)i], expected(i, amps[s])) << i;
    }

    ProbeTest::Input late = input(Kind::sine, 0.5, 0.25);
    late.until = 0.5;
    const std::vector<float> y = late.render(8000, rate);
    EXPECT_EQ(y[1999], 0.0f);
    EXPECT_EQ(y[2000], expected(2000, 0.5)); // not sin(0)
    EXPECT_EQ(y[3999], expected(3999, 0.5));
    EXPECT_EQ(y[4000], 0.0f);
}

TEST(ProbeInput, RefusesSignalsOutsideItsModel)
{
    EXPECT_THROW(input(Kind::sine, 0.5, -0.1).render(100, 48000), std::invalid_argument);
    ProbeTest::Input backwards = input(Kind::noise, 0.5, 0.5);
    backwards.until = 0.4;
    EXPECT_THROW(backwards.render(100, 48000), std::invalid_argument);
    ProbeTest::Input badStep = input(Kind::sine, 0.5, 0);
    badStep.steps = std::vector<std::vector<double>>{{1, 0.2}, {2}};
    EXPECT_THROW(badStep.render(100, 48000), std::invalid_argument);
    EXPECT_THROW(input(Kind::sine, 0.5, 0).render(100, 1000), std::invalid_argument);
    EXPECT_THROW(input(Kind::sine, 0.5, 0).render(100, NAN), std::invalid_argument);
    EXPECT_THROW(input(Kind::sine, 0.5, 0).render(-1, 48000), std::invalid_argument);
    EXPECT_NO_THROW(input(Kind::sine, 0.5, 0).render(0, 1000.5));
}

TEST(ProbeJson, EveryFixedCaseRoundTrips)
{
    for (const ProbeTest& t : ProbeTest::all()) {
        const std::string text = Json::write(Json::Value(t));
        EXPECT_EQ(Json::parse(text).get<ProbeTest>(), t) << t.id;
    }
    const Json::Value plain = Json::Value(find(ProbeTest::all(), "v-sine"));
    EXPECT_FALSE(plain.contains("input"));
    EXPECT_FALSE(plain.contains("orbit"));
    const Json::Value burst = Json::Value(*find(ProbeTest::all(), "r-burst").input);
    EXPECT_FALSE(burst.contains("steps"));
    EXPECT_EQ(burst["until"], 0.6);
}

TEST(ProbeJson, MissingKeysAndBadValuesAreRefused)
{
    const Json::Value good = Json::Value(find(ProbeTest::all(), "r-burst"));
    for (const char* key : {"id", "seconds", "tap", "waveform", "drone", "params", "events", "measureFrom"}) {
        Json::Value j = good;
        j.erase(key);
        EXPECT_THROW(j.get<ProbeTest>(), Json::Error) << key;
    }
    for (const char* key : {"kind", "amp", "freq", "seed", "at"}) {
        Json::Value j = good;
        j["input"].erase(key);
        EXPECT_THROW(j.get<ProbeTest>(), Json::Error) << key;
    }
    const auto refused = [&](const char* path, Json::Value value) {
        Json::Value j = good;
        j[Json::Value::json_pointer(path)] = value;
        EXPECT_THROW(j.get<ProbeTest>(), Json::Error) << path << " = " << value;
    };
    refused("/tap", "mixer");
    refused("/input/kind", "square");
    refused("/input/seed", -1);
    refused("/input/seed", 4294967296.0);
    refused("/input/at", -0.5);
    refused("/input/until", 0.05); // before its start
    refused("/input/steps", Json::Value::parse("[[1]]"));
    refused("/events", Json::Value::parse(R"([{"at":0.1,"kind":"bend","freq":1,"dur":0,"vel":1}])"));
    refused("/events", Json::Value::parse(R"([{"at":0.1,"kind":"step","freq":1,"vel":1}])"));
    refused("/drone", 1);
}

// An orbit's length counts points: more than its points hold would be read past their end.
TEST(ProbeJson, OrbitLengthMustFitItsPoints)
{
    Json::Value t = Json::Value(find(ProbeTest::all(), "v-orbit-escape"));
    const size_t pairs = t["orbit"]["points"].size() / 2;
    for (Json::Value length : {Json::Value(pairs + 1), Json::Value(-1), Json::Value(1e12), Json::Value(2.5),
                               Json::Value(std::numeric_limits<uint64_t>::max())}) {
        Json::Value j = t;
        j["orbit"]["length"] = length;
        try {
            (void)j.get<ProbeTest>();
            ADD_FAILURE() << "length " << length << " accepted";
        } catch (const Json::Error& e) {
            EXPECT_NE(std::string(e.what()).find("length"), std::string::npos) << e.what();
        }
    }
    t["orbit"]["length"] = pairs;
    EXPECT_NO_THROW((void)t.get<ProbeTest>());

    ProbeTest inCode = find(ProbeTest::all(), "v-orbit-escape");
    inCode.orbit->length = (long)pairs + 1;
    EXPECT_THROW(inCode.renderNative(48000), std::invalid_argument);
    inCode.orbit->length = -3;
    EXPECT_THROW(inCode.renderNative(48000), std::invalid_argument);
}

TEST(ProbeRender, LengthBlocksAndInputAlignment)
{
    ProbeTest t;
    t.id = "edge";
    t.seconds = 1.5;
    t.tap = ProbeTest::Tap::voices;
    t.params = ProbeTest::neutral();
    // An impulse on the very last frame: heard only if the last, 64-frame block is rendered with
    // its own slice of the input (562 blocks of 128 before it).
    t.input = ProbeTest::Input{Kind::impulse, 0.75, 440, 7, 71999.0 / 48000, {}, {}};
    const auto [left, right] = t.renderNative(48000);
    ASSERT_EQ(left.size(), 72000u);
    ASSERT_EQ(right.size(), 72000u);
    EXPECT_EQ(left[71999], 0.75f);
    EXPECT_EQ(right[71999], 0.75f);
    for (size_t i = 0; i < 71999; ++i) ASSERT_EQ(left[i], 0.0f) << i;

    t.seconds = 0;
    EXPECT_TRUE(t.renderNative(48000).first.empty());
    t.seconds = 1.0 / 48000 * 2.5;
    EXPECT_EQ(t.renderNative(48000).first.size(), 3u); // rounded half away from zero
    EXPECT_THROW(t.renderNative(1000), std::invalid_argument);
    t.seconds = -1;
    EXPECT_THROW(t.renderNative(48000), std::invalid_argument);
}

TEST(ProbeRender, VoiceCasesSoundAndSilentCasesStaySilent)
{
    const std::vector<ProbeTest> table = ProbeTest::all();
    const auto peak = [](const std::vector<float>& x, size_t from, size_t to) {
        float m = 0;
        for (size_t i = from; i < to; ++i) m = std::max(m, std::fabs(x[i]));
        return m;
    };
    const auto saw = find(table, "v-sawtooth").renderNative(48000);
    EXPECT_GT(peak(saw.first, 24000, 96000), 0.05f);
    // Released at 1.0 s: the drone has died away by the end.
    const auto release = find(table, "v-release").renderNative(48000);
    EXPECT_GT(peak(release.first, 24000, 48000), 0.05f);
    EXPECT_LT(peak(release.first, 90000, 96000), 1e-3f);
    // Keys start at 0.1 s: nothing before.
    const auto keys = find(table, "v-keys").renderNative(48000);
    EXPECT_EQ(peak(keys.first, 0, 4800), 0.0f);
    EXPECT_GT(peak(keys.first, 30000, 50000), 0.05f);
}
