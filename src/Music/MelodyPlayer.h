#pragma once
// Turns a melody (and its bass) into note-on and note-off events stamped with absolute audio frames.
//
// A plain value with no clock of its own: the caller asks, every display frame, for everything due
// before a target frame a little ahead of the audio clock (`schedule`). Tempo, transposition, loop
// and the bass switch may change while it plays; tempo changes re-anchor at the latest scheduled
// frame so that events already handed out keep their frames.
//
// Every note handed out is remembered with its on and off frames until its off is ten seconds old, so
// `stop` and `setBass(false, ...)` can release whatever may still sound.
#include "Music/Melody.h"

#include <cstdint>
#include <vector>

namespace veltrane {

class MelodyPlayer {
public:
    struct Event {
        enum class Kind : unsigned char { on, off };

        std::int64_t frame = 0;
        Kind kind = Kind::on;
        int note = 0;
        double velocity = 0; // 0 for offs
        std::int32_t id = 0; // a note's on and off share it
        Melody::Part part = Melody::Part::melody;

        friend bool operator==(const Event&, const Event&) = default;
    };

    static constexpr double gate = 0.9; // a note sounds for this fraction of its written length
    static constexpr std::int32_t firstID = 0x100000;
    static constexpr std::int32_t lastID = 0xFFFFFFF;
    static constexpr std::int32_t firstBassID = 0x10000000;
    static constexpr std::int32_t lastBassID = 0x7FFFFFFF;
    static constexpr int bassFloor = 28; // E1: lower bass notes are raised by octaves
    static constexpr double minimumBPM = 20;
    // Far beyond any music, and low enough that a loop pass of half a beat (the shortest bar an
    // import makes) lasts more than one frame even at 8 kHz: a faster pass could not advance the
    // walk, and a return to a sane tempo would then replay every pass missed meanwhile.
    static constexpr double maximumBPM = 100000;

    // `bpm` absent: the melody's own tempo. `startFrame` is the frame of beat 0.
    MelodyPlayer(Melody melody, int tonic, std::optional<double> bpm, bool loop, bool bass, std::int64_t startFrame,
                 double sampleRate);

    const Melody& melody() const noexcept { return melody_; }
    double sampleRate() const noexcept { return sampleRate_; }
    double bpm() const noexcept { return bpm_; } // minimumBPM...maximumBPM
    bool bass() const noexcept { return bass_; }

    bool loop = false;
    int tonic = 60; // affects only notes scheduled afterwards

    std::int64_t frame(double ofBeat) const noexcept;
    double beat(std::int64_t at) const noexcept;
    // Fraction 0...1 of the tune played at a frame.
    double progress(std::int64_t at) const noexcept;
    bool isFinished() const noexcept;

    void setTempo(double bpm) noexcept;

    // Everything due before `until`, sorted (see `sortEvents`).
    std::vector<Event> schedule(std::int64_t until);

    // Note-offs for everything that may still sound; the player is finished afterwards.
    std::vector<Event> stop(std::int64_t at);

    // Turning the bass off returns note-offs for the bass notes that may still sound.
    std::vector<Event> setBass(bool on, std::int64_t at);

    // Turns the events already sent into those a recording starting at `at` begins with.
    static std::vector<Event> carryOver(const std::vector<Event>& events, std::int64_t at);

    // Drops every note (on and off) that ended before `before`.
    static void prune(std::vector<Event>& events, std::int64_t before);

    // Which part an id belongs to; nothing for ids below `firstID`.
    static std::optional<Melody::Part> part(std::int32_t ofID) noexcept;

    // The id handed out after `id` in a part's id sequence (wrapping to the part's first id).
    static std::int32_t followingID(std::int32_t id, Melody::Part part) noexcept;

    // By frame; at equal frames offs before ons, then melody before bass; otherwise stable.
    static void sortEvents(std::vector<Event>& events);

private:
    struct Entry {
        Melody::Note note;
        Melody::Part part;
    };
    struct Handed {
        std::int32_t id;
        int note;
        std::int64_t on;
        std::int64_t off;
        Melody::Part part;
    };

    bool offPending(std::int32_t id) const noexcept;
    std::vector<Event> release(const std::vector<Handed>& entries, std::int64_t at) const;

    Melody melody_;
    double sampleRate_;
    double bpm_;
    bool bass_;
    std::int64_t originFrame_;
    double originBeat_ = 0;
    size_t nextIndex_ = 0;
    std::int64_t pass_ = 0;
    std::int64_t horizon_;
    std::int32_t nextID_ = firstID;
    std::int32_t nextBassID_ = firstBassID;
    std::vector<Entry> score_;
    std::vector<Handed> handed_;
    std::vector<Event> offs_;
};

} // namespace veltrane
