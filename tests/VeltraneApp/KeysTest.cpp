#include "StateFixture.h"

#include "Music/Melodies.h"
#include "Music/Notes.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <functional>
#include <vector>

namespace veltrane {
namespace {

using test::StateFixture;

KeyEvent chars(std::string text, std::uint32_t modifiers = 0, bool repeat = false)
{
    KeyEvent e;
    e.characters = std::move(text);
    e.modifiers = modifiers;
    e.isRepeat = repeat;
    return e;
}

KeyEvent key(KeyEvent::Key k, std::uint32_t modifiers = 0, bool repeat = false)
{
    KeyEvent e;
    e.key = k;
    e.characters = k == KeyEvent::Key::escape ? "\x1b" : k == KeyEvent::Key::returnKey ? "\r" : "";
    e.modifiers = modifiers;
    e.isRepeat = repeat;
    return e;
}

class KeysTest : public StateFixture {
protected:
    KeysTest()
    {
        SoundActions a;
        a.keyOn = [this](std::int32_t note, double frequency, double velocity) {
            sent.push_back("on " + std::to_string(note));
            lastFrequency = frequency;
            lastVelocity = velocity;
        };
        a.keyOff = [this](std::int32_t note) { sent.push_back("off " + std::to_string(note)); };
        a.togglePlay = [this] { sent.push_back("play"); };
        state->actions.set(a);
    }
    void lock(int baseMidiNote = 60)
    {
        LockedTone tone;
        tone.baseMidiNote = baseMidiNote;
        state->lockedTone.set(tone);
        state->toneLocked.set(true);
    }
    std::vector<std::string> sent;
    double lastFrequency = 0, lastVelocity = 0;
};

TEST_F(KeysTest, KeyMap)
{
    struct Case {
        const char* what;
        KeyEvent event;
        bool used;
        std::function<bool(const InstrumentState&)> effect;
    };
    const BigComplex home = state->centre.get();
    const Case cases[] = {
        {"right arrow pans a tenth of the view", key(KeyEvent::Key::right), true,
         [&](const auto& s) {
             return s.centre.get() == home.offset(0.25, 0) && s.lastManualMove.get() == clock.now();
         }},
        {"down arrow", key(KeyEvent::Key::down), true,
         [&](const auto& s) { return s.centre.get() == home.offset(0, -0.25); }},
        {"+ zooms in", chars("+"), true, [](const auto& s) { return s.zoom.get() == 1.2; }},
        {"= zooms in", chars("="), true, [](const auto& s) { return s.zoom.get() == 1.2; }},
        {"- zooms out", chars("-"), true, [](const auto& s) { return s.zoom.get() == 1 / 1.2; }},
        {"_ zooms out", chars("_"), true, [](const auto& s) { return s.zoom.get() == 0.8333333333333334; }},
        {"[ lowers iterations", chars("["), true, [](const auto& s) { return s.maxIterations.get() == 112; }},
        {"] raises iterations", chars("]"), true, [](const auto& s) { return s.maxIterations.get() == 144; }},
        {"r flies home", chars("r"), true,
         [](const auto& s) {
             return s.flight.get() && s.flight.get()->to == FractalTarget{-0.5, 0, 1, 0};
         }},
        {"h hides the HUD", chars("h"), true, [](const auto& s) { return !s.hudVisible.get(); }},
        {"H with Shift too", chars("H", KeyEvent::shift), true, [](const auto& s) { return !s.hudVisible.get(); }},
        {"g toggles movement", chars("g"), true, [](const auto& s) { return s.movement.get().enabled; }},
        {"p opens presets", chars("p"), true, [](const auto& s) { return s.presetMenuOpen.get(); }},
        {"? opens help", chars("?", KeyEvent::shift), true, [](const auto& s) { return s.helpOpen.get(); }},
        {"/ opens help", chars("/"), true, [](const auto& s) { return s.helpOpen.get(); }},
        {"m switches to julia", chars("m"), true,
         [](const auto& s) { return s.fractalType.get() == FractalType::julia; }},
        {"space asks to play", chars(" "), true,
         [this](const auto&) { return sent == std::vector<std::string>{"play"}; }},
        {"3 selects am", chars("3"), true,
         [](const auto& s) { return s.audioParams.get().synthMode == AudioParams::SynthMode::am; }},
        {"4 selects orbit", chars("4"), true,
         [](const auto& s) { return s.audioParams.get().synthMode == AudioParams::SynthMode::orbit; }},
        {"a is no key while unlocked", chars("a"), false, [](const auto& s) { return s.activeNotes.get().empty(); }},
        {"5 is no key", chars("5"), false, [](const auto&) { return true; }},
        {"no characters", chars(""), false, [](const auto&) { return true; }},
        {"Ctrl+h is the menus'", chars("h", KeyEvent::ctrl), false, [](const auto& s) { return s.hudVisible.get(); }},
        {"Ctrl+Escape", key(KeyEvent::Key::escape, KeyEvent::ctrl), false,
         [](const auto& s) { return s.introVisible.get(); }},
        {"Ctrl+arrow", key(KeyEvent::Key::left, KeyEvent::ctrl), false,
         [&](const auto& s) { return s.centre.get() == home; }},
    };
    for (const Case& c : cases) {
        state = std::make_unique<InstrumentState>(*library, clock);
        sent.clear();
        SoundActions a;
        a.togglePlay = [this] { sent.push_back("play"); };
        state->actions.set(a);
        EXPECT_EQ(state->handleKey(c.event), c.used) << c.what;
        EXPECT_TRUE(c.effect(*state)) << c.what;
    }
}

TEST_F(KeysTest, EscapeClosesPanelsBeforeHidingTheHUD)
{
    InstrumentState& s = *state;
    EXPECT_TRUE(s.handleKey(key(KeyEvent::Key::escape)));
    EXPECT_FALSE(s.introVisible.get());
    EXPECT_TRUE(s.hudVisible.get());
    EXPECT_TRUE(s.handleKey(key(KeyEvent::Key::escape)));
    EXPECT_FALSE(s.hudVisible.get());
    // "p" brings the HUD back with the menu.
    EXPECT_TRUE(s.handleKey(chars("p")));
    EXPECT_TRUE(s.hudVisible.get() && s.presetMenuOpen.get());
}

TEST_F(KeysTest, IterationKeysStayInRangeAndMOnOtherFormulas)
{
    InstrumentState& s = *state;
    struct Case {
        std::int64_t before;
        const char* key;
        std::int64_t after;
    };
    for (const Case& c : {Case{20, "[", 16}, Case{16, "[", 16}, Case{5, "[", 16}, Case{199990, "]", 200000},
                          Case{200000, "]", 200000}, Case{INT64_MAX, "]", 200000}}) {
        s.maxIterations.set(c.before);
        s.handleKey(chars(c.key));
        EXPECT_EQ(s.maxIterations.get(), c.after) << c.before << c.key;
    }
    s.fractalType.set(FractalType::burningship);
    s.handleKey(chars("m"));
    EXPECT_EQ(s.fractalType.get(), FractalType::mandelbrot);
}

TEST_F(KeysTest, PianoLettersHoldOneNoteEachAcrossOctaveShifts)
{
    InstrumentState& s = *state;
    lock(67); // base 67 and 60 both start the keyboard at 48
    EXPECT_EQ(s.keyboardStartNote(), 48);

    EXPECT_TRUE(s.handleKey(chars("a")));
    EXPECT_EQ(lastVelocity, 0.8);
    EXPECT_DOUBLE_EQ(lastFrequency, Notes::midiToFrequency(48));
    EXPECT_TRUE(s.handleKey(chars("a", 0, true)));         // repeats are swallowed
    EXPECT_TRUE(s.handleKey(chars("a")));                  // a held letter starts no second note
    EXPECT_TRUE(s.handleKey(chars("H", KeyEvent::shift))); // Shift is allowed; "h" plays while locked
    EXPECT_TRUE(s.hudVisible.get());
    EXPECT_TRUE(s.handleKey(chars("x")));
    EXPECT_TRUE(s.handleKey(chars("x", 0, true))); // a repeat does not shift again
    EXPECT_EQ(s.keyboardOctaveOffset().get(), 1);
    EXPECT_TRUE(s.handleKey(chars("l")));
    EXPECT_EQ(s.activeNotes.get(), (std::set<std::int64_t>{48, 57, 74}));

    // Releasing after the shift releases the note the key started.
    EXPECT_TRUE(s.handleKeyUp(chars("a")));
    EXPECT_FALSE(s.handleKeyUp(chars("a"))); // holds nothing any more
    EXPECT_FALSE(s.handleKeyUp(chars("q")));
    EXPECT_EQ(sent, (std::vector<std::string>{"on 48", "on 57", "on 74", "off 48"}));

    // Alt keeps the letters from the piano (and the table has no "s").
    EXPECT_FALSE(s.handleKey(chars("s", KeyEvent::alt)));
    EXPECT_EQ(s.activeNotes.get().size(), 2u);

    sent.clear();
    s.releaseAllNotes();
    EXPECT_TRUE(s.activeNotes.get().empty());
    EXPECT_TRUE(s.heldQwerty().empty());
    EXPECT_EQ(sent, (std::vector<std::string>{"off 57", "off 74"}));
    EXPECT_FALSE(s.handleKeyUp(chars("h")));
}

TEST_F(KeysTest, OctaveLimitsReturnKeyAndNotesOutsideMIDI)
{
    InstrumentState& s = *state;
    lock(60);
    struct Case {
        std::int64_t offset;
        std::int64_t start;
    };
    for (const Case& c : {Case{3, 84}, Case{-3, 12}, Case{0, 48}}) {
        s.setKeyboardOctaveOffset(c.offset);
        EXPECT_EQ(s.keyboardStartNote(), c.start) << c.offset;
    }
    s.setKeyboardOctaveOffset(-3);
    EXPECT_TRUE(s.handleKey(chars("z")));
    EXPECT_EQ(s.keyboardOctaveOffset().get(), -3);

    EXPECT_TRUE(s.handleKey(key(KeyEvent::Key::returnKey)));
    EXPECT_TRUE(s.melodyPlaying.get());
    EXPECT_TRUE(s.handleKey(key(KeyEvent::Key::keypadEnter, 0, true)));
    EXPECT_TRUE(s.melodyPlaying.get());

    // A tone locked at a pitch far above the keyboard: notes past 127 are not sent.
    lock(127);
    s.setKeyboardOctaveOffset(3);
    EXPECT_TRUE(s.handleKey(chars("l")));
    EXPECT_TRUE(sent.empty());
    EXPECT_TRUE(s.heldQwerty().empty());

    // Unlocked, notes are refused; note-offs are not gated.
    s.setKeyboardOctaveOffset(0);
    s.toneLocked.set(false);
    s.noteOn(60, 1);
    EXPECT_TRUE(s.activeNotes.get().empty());
}

TEST_F(KeysTest, ToneResetKeepsTheVolume)
{
    InstrumentState& s = *state;
    AudioParams loud;
    loud.volume = 0.9;
    loud.frequency = 440;
    s.audioParams.set(loud);
    s.resetTone(); // unlocked: nothing
    EXPECT_EQ(s.audioParams.get(), loud);
    EXPECT_FALSE(s.lockedTone.get());

    s.toneLocked.set(true);
    s.setWaveform(Waveform::square);
    s.resetTone();
    AudioParams expected = AudioParams::defaults();
    expected.volume = 0.9;
    EXPECT_EQ(s.audioParams.get(), expected);
    ASSERT_TRUE(s.lockedTone.get());
    EXPECT_EQ(s.lockedTone.get()->waveform, "square");
    EXPECT_EQ(s.lockedTone.get()->baseMidiNote, 57); // 220 Hz
}

TEST_F(KeysTest, MelodyTempoNudges)
{
    InstrumentState& s = *state;
    const double own = s.melody().bpm();
    struct Case {
        std::optional<double> before;
        double delta;
        std::optional<double> after;
    };
    const Case cases[] = {
        {std::nullopt, 300, 240},
        {100, -0.4, 100},
        {100, 0.5, 101}, // halves away from zero
        {100, -1000, 40},
        {100, std::numeric_limits<double>::infinity(), 240},
        {100, std::numeric_limits<double>::quiet_NaN(), 100},
        {std::numeric_limits<double>::quiet_NaN(), 1, std::clamp(std::round(own + 1), 40.0, 240.0)},
    };
    for (const Case& c : cases) {
        s.melodyBPM.set(c.before);
        s.nudgeMelodyTempo(c.delta);
        EXPECT_EQ(s.melodyBPM.get(), c.after) << c.delta;
    }
}

} // namespace
} // namespace veltrane
