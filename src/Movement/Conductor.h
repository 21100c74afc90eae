#pragma once
// The clock of the movement feature. It owns one movement engine, an exact anchor centre and a grid
// of clock ticks laid out in audio sample frames, and turns the grid into step notes: for every tick
// up to a requested frame it asks the engine for a move, and each move becomes a Note with its frame,
// where the view should go and how the note sounds. The sound side plays notes ahead at their exact
// frames; the picture side later asks which note is due and glides the view there. Engine targets
// are offsets in doubles from the anchor; this is the one place where they meet the exact centre.
//
// The clock's tempo is always usable: 40 to 300 beats per minute (a tempo outside is clamped, one
// that is not finite is replaced by the last usable tempo, or the default 120 at creation), at least
// one tick per beat, and at least one sample frame per tick. The settings copy keeps the subdivision
// it was given; only the clock's use of it is guarded.
//
// A plain value for the main thread; copying it copies the engine and its random source.
#include "FractalCore/BigComplex.h"
#include "FractalCore/FractalTarget.h"
#include "Movement/MovementEngine.h"
#include "Movement/MovementSettings.h"
#include "Movement/OwnedRandomSource.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

namespace veltrane {

class Conductor {
public:
    static constexpr double minTempo = 40;
    static constexpr double maxTempo = 300;
    static constexpr double beatAccent = 1.0; // first tick of a beat
    static constexpr double offBeatAccent = 0.72;
    static constexpr double noteLength = 0.8; // of a tick

    struct Note {
        std::int64_t frame = 0; // absolute sample frame of the note's tick
        FractalTarget target;   // absolute, in doubles: anchor + local offset, local zoom and rotation
        FractalTarget local;    // the engine's anchor-relative target
        double duration = 0;    // seconds
        double accent = 0;
        friend bool operator==(const Note&, const Note&) = default;
    };

    using Pitch = std::function<double(const FractalTarget&)>;

    // The engine comes from `settings.makeEngine(random)`, is told the anchor's position and is reset
    // to (0, 0) at the view's zoom and rotation; tick 0 lies at `startFrame`.
    Conductor(MovementSettings settings, BigComplex anchor, double zoom, double rotation, std::int64_t startFrame,
              double sampleRate, OwnedRandomSource random);

    // sampleRate × seconds per tick, at least 1.
    double samplesPerTick() const noexcept;
    // originFrame + samplesPerTick × tick rounded to the nearest frame (halves away from zero).
    std::int64_t frame(std::int64_t ofTick) const noexcept;
    // Re-times the clock without a jump: the next tick lands where the old grid put it, and beats are
    // counted from there. Pending notes, the engine and the planned target stay.
    void setTempo(double bpm, std::int64_t subdivision);
    // Runs every tick whose frame lies before `until`, each exactly once over all calls, and returns
    // the notes made (also kept as pending). `pitch` is not called: notes carry no frequency, the
    // caller works out each note's pitch when it plays it.
    std::vector<Note> schedule(std::int64_t until, const Pitch& pitch);
    // The latest pending note due at `at`; it and the earlier due notes leave the queue.
    std::optional<Note> follow(std::int64_t at);
    // Movement resumes at a view the user moved to: new anchor, engine re-anchored, tick grid
    // restarted at `frame`, pending notes dropped.
    void reanchor(const BigComplex& at, double zoom, double rotation, std::int64_t frame);
    // The anchor offset by the local target, at no less precision than the target's zoom needs.
    BigComplex exactCentre(const FractalTarget& local) const;

    const MovementSettings& settings() const noexcept { return settings_; }
    const MovementEngine& engine() const noexcept { return engine_; }
    double sampleRate() const noexcept { return sampleRate_; }
    const BigComplex& anchor() const noexcept { return anchor_; }
    std::int64_t originFrame() const noexcept { return originFrame_; }
    std::int64_t tickIndex() const noexcept { return tickIndex_; }
    const std::deque<Note>& pending() const noexcept { return pending_; }
    const FractalTarget& plannedLocal() const noexcept { return plannedLocal_; }

private:
    std::int64_t subdivision() const noexcept; // at least 1
    double tickSeconds() const noexcept;
    void tellEngineTheAnchor();

    MovementSettings settings_;
    MovementEngine engine_;
    double sampleRate_;
    BigComplex anchor_;
    std::int64_t originFrame_;
    std::int64_t tickIndex_ = 0;
    std::deque<Note> pending_;
    FractalTarget plannedLocal_;
};

} // namespace veltrane
