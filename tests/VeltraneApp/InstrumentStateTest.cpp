#include "Platform/Json/Json.h"
#include "StateFixture.h"

#include "Music/Melodies.h"

#include <cmath>

namespace veltrane {
namespace {

using test::StateFixture;
using InstrumentStateTest = StateFixture;

TEST_F(InstrumentStateTest, ANewInstanceHoldsEveryDefault)
{
    const InstrumentState& s = *state;
    const RenderStats& stats = s.renderStats.get();
    struct Row {
        const char* property;
        bool holds;
    };
    const Row rows[] = {
        {"fractalType", s.fractalType.get() == FractalType::mandelbrot},
        {"centre",
         s.centre.get() == BigComplex(BigFixed(-0.5, 2), BigFixed(0.0, 2)) && s.centre.get().fracLimbs() == 2},
        {"zoom", s.zoom.get() == 1},
        {"rotation", s.rotation.get() == 0},
        {"maxIterations", s.maxIterations.get() == 128},
        {"juliaC", s.juliaC.get() == Complex{-0.7, 0.27015}},
        {"palette", s.palette().get() == Palette::obsidian},
        {"colourShift", s.colourShift.get() == 0},
        {"bloom", s.bloom.get() == 0.7},
        {"grain", s.grain.get() == 0.5},
        {"supersample", s.supersample.get()},
        {"autoQuality", s.autoQuality.get()},
        {"extendedRange", s.extendedRange.get()},
        {"audioParams", s.audioParams.get() == AudioParams::defaults()},
        {"waveform", s.waveform().get() == Waveform::sawtooth},
        {"waveformChosen", !s.waveformChosen.get()},
        {"scale", s.scale.get() == Scale::off},
        {"rootNote", s.rootNote.get() == 0},
        {"isPlaying", !s.isPlaying.get()},
        {"toneLocked", !s.toneLocked.get()},
        {"micEnabled", !s.micEnabled.get()},
        {"mappingMode", s.mappingMode.get() == "web"},
        {"scopeWaveform", s.scopeWaveform.get().empty()},
        {"scopeSpectrum", s.scopeSpectrum.get().empty()},
        {"hudVisible", s.hudVisible.get()},
        {"renderStats", stats.fps == 60 && stats.gpuMs == 0 && stats.renderScale == 1 &&
                            stats.tier == RenderStats::Tier::motion && !stats.deep && stats.refineProgress == 1 &&
                            stats.samples == 0 && stats.referenceLength == 0 && stats.referenceMs == 0 &&
                            !stats.referenceStale},
        {"audioVisuals", s.audioVisuals.get() == AudioVisuals{}},
        {"hudTab", s.hudTab.get() == InstrumentState::Tab::sound},
        {"helpOpen", !s.helpOpen.get()},
        {"presetMenuOpen", !s.presetMenuOpen.get()},
        {"introVisible", s.introVisible.get()},
        {"isRecording", !s.isRecording.get()},
        {"recordingStarted", !s.recordingStarted.get()},
        {"lockedTone", !s.lockedTone.get()},
        {"keyboardOctaveOffset", s.keyboardOctaveOffset().get() == 0},
        {"movement", s.movement.get() == MovementSettings{}},
        {"movementPaused", !s.movementPaused.get()},
        {"scopeOrbit", s.scopeOrbit.get().empty()},
        {"scopeOrbitLength", s.scopeOrbitLength.get() == 0},
        {"activePresetId", !s.activePresetId.get()},
        {"presetSound", !s.presetSound.get()},
        {"presetSoundName", !s.presetSoundName.get()},
        {"midiDevices", s.midiDevices.get().empty()},
        {"stageOutput", !s.stageOutput.get()},
        {"midiOut", !s.midiOut.get()},
        {"midiClockOut", !s.midiClockOut.get()},
        {"midiClockIn", !s.midiClockIn.get()},
        {"takeStarted", !s.takeStarted.get()},
        {"movieProgress", !s.movieProgress.get()},
        {"activeNotes", s.activeNotes.get().empty()},
        {"heldQwerty", s.heldQwerty().empty()},
        {"melodyID", s.melodyID.get() == Melodies::all().front().id()},
        {"melodyPlaying", !s.melodyPlaying.get()},
        {"melodyMenuOpen", !s.melodyMenuOpen.get()},
        {"melodyLoop", s.melodyLoop.get()},
        {"melodyBass", s.melodyBass.get()},
        {"melodyCapture", !s.melodyCapture.get()},
        {"captureDestination", !s.captureDestination.get()},
        {"melodyBPM", !s.melodyBPM.get()},
        {"melodyNotes", s.melodyNotes.get().empty()},
        {"melodyBassNotes", s.melodyBassNotes.get().empty()},
        {"melodyProgress", s.melodyProgress.get() == 0},
        {"library", &s.library == library.get()},
        {"melodyFly", !s.melodyFly.get()},
        {"melodyColours", s.melodyColours.get()},
        {"actions", static_cast<bool>(s.actions.get().keyOn) && static_cast<bool>(s.actions.get().toggleMelodyCapture)},
        {"flight", !s.flight.get()},
        {"flightCentres", !s.flightCentres()},
        {"onSaveRequested", !s.onSaveRequested.get()},
        {"maxZoom", InstrumentState::maxZoom == 1e300},
        {"lastManualMove", s.lastManualMove.get() == 0},
    };
    EXPECT_EQ(std::size(rows), 71u); // the 72 stored properties but flightSeed, which is random
    for (const Row& row : rows) EXPECT_TRUE(row.holds) << row.property;

    // The seed is drawn at creation: a handful of instances do not all share one.
    bool differs = false;
    for (int i = 0; i < 8 && !differs; ++i)
        differs = InstrumentState(*library, clock).flightSeed.get() != s.flightSeed.get();
    EXPECT_TRUE(differs);
}

TEST_F(InstrumentStateTest, EqualWritesNotifyNobodyAndOtherWritesNotify)
{
    InstrumentState& s = *state;
    struct Case {
        const char* what;
        int notified;
        int expected;
    };
    const Case cases[] = {
        {"zoom = 1 on a new instance", notifications(s.zoom, [&] { s.zoom.set(1); }), 0},
        {"zoom = 2", notifications(s.zoom, [&] { s.zoom.set(2); }), 1},
        {"equal centre",
         notifications(s.centre, [&] { s.centre.set(BigComplex(BigFixed(-0.5, 2), BigFixed(0.0, 2))); }), 0},
        // The same value at another precision is another centre.
        {"centre at more limbs", notifications(s.centre, [&] { s.centre.set(s.centre.get().withFracLimbs(3)); }), 1},
        {"equal audioParams", notifications(s.audioParams, [&] { s.audioParams.set(AudioParams::defaults()); }), 0},
        {"in-place synthMode, unchanged",
         notifications(s.audioParams, [&] { s.audioParams.modify([](AudioParams& p) { p.synthMode = p.synthMode; }); }),
         1},
        {"equal movement", notifications(s.movement, [&] { s.movement.set(MovementSettings{}); }), 0},
        {"in-place movement.enabled",
         notifications(s.movement, [&] { s.movement.modify([](auto& m) { m.enabled = true; }); }), 1},
        {"absent presetSound", notifications(s.presetSound, [&] { s.presetSound.set(std::nullopt); }), 0},
        {"present presetSound", notifications(s.presetSound, [&] { s.presetSound.set(AudioParams::defaults()); }), 1},
        {"note already held",
         notifications(s.activeNotes,
                       [&] {
                           s.activeNotes.modify([](auto& n) {
                               n.insert(60);
                               n.insert(60);
                           });
                       }),
         1},
        {"insert a held note again",
         notifications(s.activeNotes, [&] { s.activeNotes.modify([](auto& n) { n.insert(60); }); }), 1},
        {"equal audioVisuals", notifications(s.audioVisuals, [&] { s.audioVisuals.set(AudioVisuals{}); }), 0},
        {"actions always", notifications(s.actions, [&] { s.actions.set(SoundActions{}); }), 1},
        {"renderStats always", notifications(s.renderStats, [&] { s.renderStats.set(RenderStats{}); }), 1},
        {"onSaveRequested always", notifications(s.onSaveRequested, [&] { s.onSaveRequested.set(nullptr); }), 1},
        {"flight always", notifications(s.flight, [&] { s.flight.set(std::nullopt); }), 1},
        {"NaN over NaN",
         notifications(s.melodyProgress,
                       [&] {
                           s.melodyProgress.set(NAN);
                           s.melodyProgress.set(NAN);
                       }),
         2},
    };
    for (const Case& c : cases) EXPECT_EQ(c.notified, c.expected) << c.what;
}

TEST_F(InstrumentStateTest, WritesWithSideEffects)
{
    InstrumentState& s = *state;

    // Writing the current palette still resets the colour shift, and tells its observers.
    s.colourShift.set(0.4);
    EXPECT_EQ(notifications(s.colourShift, [&] { s.setPalette(Palette::obsidian); }), 1);
    EXPECT_EQ(s.colourShift.get(), 0);
    EXPECT_EQ(notifications(s.colourShift, [&] { s.setPalette(Palette::ember); }), 0); // already 0
    EXPECT_EQ(s.palette().get(), Palette::ember);

    EXPECT_EQ(notifications(s.waveformChosen, [&] { s.setWaveform(Waveform::sawtooth); }), 1);
    EXPECT_TRUE(s.waveformChosen.get());
    EXPECT_EQ(s.waveform().get(), Waveform::sawtooth);

    struct OctaveCase {
        std::int64_t written, stored;
        int notifications;
    };
    for (const OctaveCase& c : {OctaveCase{4, 3, 2}, OctaveCase{-4, -3, 2}, OctaveCase{2, 2, 1}, OctaveCase{7, 3, 2},
                                OctaveCase{-5, -3, 2}, OctaveCase{-3, -3, 1}}) {
        s.setKeyboardOctaveOffset(0);
        EXPECT_EQ(notifications(s.keyboardOctaveOffset(), [&] { s.setKeyboardOctaveOffset(c.written); }),
                  c.notifications)
            << c.written;
        EXPECT_EQ(s.keyboardOctaveOffset().get(), c.stored) << c.written;
    }
}

TEST_F(InstrumentStateTest, TabTextsAndDoNothingActions)
{
    EXPECT_EQ(fromText<InstrumentState::Tab>("visual"), InstrumentState::Tab::visual);
    EXPECT_FALSE(fromText<InstrumentState::Tab>("Visual"));
    EXPECT_EQ(allCases<InstrumentState::Tab>.size(), 3u);
    EXPECT_EQ(Json::Value(InstrumentState::Tab::movement), "movement");
    EXPECT_THROW(Json::Value("Sound").get<InstrumentState::Tab>(), Json::Error);

    // Before the sound bridge is wired every action returns at once and does nothing.
    const SoundActions& a = state->actions.get();
    a.togglePlay();
    a.toggleRecord();
    a.toggleLock();
    a.keyOn(60, 261.6, 0.8);
    a.keyOff(60);
    a.allKeysOff();
    a.exportMIDI();
    a.exportAbleton();
    a.toggleMic();
    a.toggleTake();
    a.exportMovie();
    a.cancelMovie();
    a.toggleMelodyCapture();
    EXPECT_FALSE(state->isPlaying.get());
}

} // namespace
} // namespace veltrane
