#pragma once
// A melody flight: a camera route planned once from the structure of a tune, then sampled by beat
// every display frame. One shot per phrase flies from the previous destination to a new centre and
// zoom along a zoom-and-pan path, then drifts and spins until the phrase ends: louder phrases dive
// deeper, quiet phrases after loud ones pull back, a repeated phrase returns to where the phrase it
// repeats went, the middle phrase of a long tune pulls far out and the last one dives deep. Beat
// curves built with the route kick the zoom on onsets, sway the rotation with the pitch contour and
// move the palette with the beat, the onsets and the harmony.
//
// Planning is pure and seeded: the same melody, tempo, start pose, seed and answers of `find` give
// the same flight. All times are in beats from the start of the melody.
//
// The musical analysis the planner works from is a set of pure static functions, usable alone.
//
// Inputs outside the planner's domain give an empty flight (no shots, no curves; `pose` returns the
// start for every beat) rather than NaN poses or unbounded work: a tempo that is not a positive
// finite number; a start pose whose zoom is outside 0.1...1e300 or whose rotation is not finite; a
// tune without notes, with a note whose timing or velocity is not finite, whose length is not finite
// and non-negative, without a bar grid (see `bars`), or whose grid or length with the tail exceeds
// maxFlightBeats. A tail that is not finite or negative counts as 0. `maxZoom` is brought into
// 0.1...1e300 (NaN counting as 1e300). An answer of `find` whose zoom is not within 0.1...1e300 is
// treated as no answer.
#include "FractalCore/BigComplex.h"
#include "FractalCore/RandomSource.h"
#include "Movement/ZoomPan.h"
#include "Music/Melody.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace veltrane {

class MelodyFlight {
public:
    struct Pose {
        BigComplex centre; // the exact view centre
        double zoom = 1;   // the view is 2.5 / zoom wide in the fractal plane
        double rotation = 0;
        friend bool operator==(const Pose&, const Pose&) noexcept = default;
    };

    struct Shot {
        double start = 0;  // starts travelling
        double arrive = 0; // reaches `to`
        double end = 0;    // holds until here: the next shot's start
        Pose from;
        Pose to;
        double drift = 1;  // zoom factor over the hold: the zoom at `end` is to.zoom × drift
        double spin = 0;   // rotation added over the hold
        double energy = 0; // the phrase's energy, 0...1
        std::optional<int> repeats;
        ZoomPan path;
        friend bool operator==(const Shot&, const Shot&) noexcept = default;
    };

    struct Pulse {
        double beat = 0;
        double size = 0;  // peak zoom boost
        double decay = 0; // decay time in beats
        friend bool operator==(const Pulse&, const Pulse&) noexcept = default;
    };

    // An interesting place: where `find` answers the camera should go and the zoom to show it at.
    struct Destination {
        BigComplex centre;
        double zoom = 1;
    };
    // Asked for a destination near `centre`, seen at `zoom`, on the way to the zoom `target`; called
    // synchronously, only while planning.
    using Find = std::function<std::optional<Destination>(const BigComplex& centre, double zoom, double target)>;

    // A flight spans at most this many beats, tail included (almost 7 hours at 240 bpm; the longest
    // MIDI import is 2000 bars): the colour curve takes 32 samples a beat.
    static constexpr double maxFlightBeats = 1e5;

    MelodyFlight(const Melody& melody, double bpm, const Pose& from, double fromBeat, double tailBeats,
                 std::uint32_t seed, double maxZoom, const Find& find);

    const Pose& start() const noexcept { return start_; }
    const std::vector<Shot>& shots() const noexcept { return shots_; }
    const std::vector<Pulse>& pulses() const noexcept { return pulses_; }
    const std::vector<double>& sway() const noexcept { return sway_; }                     // every 1/8 beat
    const std::vector<double>& colours() const noexcept { return colours_; }               // every 1/32 beat
    const std::vector<double>& harmonyColours() const noexcept { return harmonyColours_; } // every 1/32 beat

    // The camera at any beat: `start` before the first shot, travelling or holding within a shot,
    // resting at the last shot's final drift and spin after the end; pulses and sway applied.
    Pose pose(double atBeat) const;
    // The colour offset at a beat (in the unit of the palette colour shift); 0 without colours.
    double colour(double atBeat) const noexcept;
    // The end of the last shot; 0 without shots.
    double endBeat() const noexcept { return shots_.empty() ? 0 : shots_.back().end; }

    // The two beat contributions to `pose`: the zoom is multiplied by 1 + pulseBoost (at most 0.15)
    // and swayRotation is added to the rotation.
    double pulseBoost(double atBeat) const noexcept;
    double swayRotation(double atBeat) const noexcept;

    // ---- Analysis of a melody (pure; nothing cached). Beats from the start of the melody.
    struct Bar {
        double start = 0;
        double length = 0;
        friend bool operator==(const Bar&, const Bar&) = default;
    };
    struct Onset {
        double beat = 0;
        double loudness = 0;
        friend bool operator==(const Onset&, const Onset&) = default;
    };
    struct Beat {
        double start = 0;
        double length = 0;
        bool down = false; // the first beat of a bar
        friend bool operator==(const Beat&, const Beat&) = default;
    };
    struct Chord {
        double beat = 0;
        int fifths = 0; // the root on the circle of fifths, -5...6
        friend bool operator==(const Chord&, const Chord&) = default;
    };

    // The melody's bars longer than 0 (finite), or copies of beatsPerBar covering its length (at least
    // one). Empty when the melody has neither and its bar count is no integer below maxBars, or its
    // beatsPerBar is not positive and finite: a grid that cannot be built.
    static constexpr double maxBars = 1e5;
    static std::vector<Bar> bars(const Melody& melody);
    static std::vector<double> barStarts(const Melody& melody);
    // Phrase starts: runs of 1, 2, 4, 8 or 16 bars, whichever lasts closest to 6 seconds (on a log
    // scale; ties keep the shorter); a remainder shorter than half a phrase joins the phrase before.
    static std::vector<double> phrases(const Melody& melody, double bpm);
    // Weighted onsets per beat of each phrase, normalised to 0...1 (all 0.5 when they are equal).
    // `ends` holds at least as many entries as `starts` (std::invalid_argument otherwise).
    static std::vector<double> energy(const Melody& melody, std::span<const double> starts,
                                      std::span<const double> ends);
    // For each phrase, the first earlier phrase (itself no repeat, of equal length) sharing at least
    // 85 % of the distinct (onset, length, pitch) keys of the larger of the two; phrases of fewer than
    // three keys never repeat. Same precondition on `ends`.
    static std::vector<std::optional<int>> repeats(const Melody& melody, std::span<const double> starts,
                                                   std::span<const double> ends);
    // Notes starting within 1/96 beat of each other form one onset, louder for chords, in beat order.
    static std::vector<Onset> onsets(std::span<const Melody::Note> notes, double level);
    // One beat per whole beat of each bar (a shorter last one), then whole beats up to `until`.
    static std::vector<Beat> beats(const Melody& melody, double until);
    // The bass root (or the melody's most held pitch class without bass) of each bar, or half of a
    // four-beat bar, as a position on the circle of fifths; only the changes.
    static std::vector<Chord> harmony(const Melody& melody);

private:
    // The phrases the route and the curves are built over.
    struct Phrases {
        std::vector<double> starts;
        std::vector<double> ends;
        std::vector<double> energy;
        std::vector<std::optional<int>> repeats;
        std::optional<int> climax; // the middle phrase of six or more
        double lastBeat = 0;       // the melody's length plus the tail
    };
    void planShots(const Phrases& phrases, double bpm, double maxZoom, const Find& find, Mulberry32& random);
    void buildCurves(const Melody& melody, double bpm, const Phrases& phrases, Mulberry32& random);

    Pose start_;
    std::vector<Shot> shots_;
    std::vector<Pulse> pulses_;
    std::vector<double> sway_;
    std::vector<double> colours_;
    std::vector<double> harmonyColours_;
};

} // namespace veltrane
