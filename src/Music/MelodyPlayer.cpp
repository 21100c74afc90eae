#include "Music/MelodyPlayer.h"

#include <algorithm>
#include <cmath>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace veltrane {

namespace {

using Kind = MelodyPlayer::Event::Kind;

// Tempi below the floor (and NaN) would stretch a tune towards standing still; an infinite tempo
// would leave the beat anchor infinite or NaN after the next re-anchoring.
double limitTempo(double bpm) noexcept
{
    if (!(bpm >= MelodyPlayer::minimumBPM)) return MelodyPlayer::minimumBPM;
    return std::min(bpm, MelodyPlayer::maximumBPM);
}

// Rounds half away from zero; frames far outside the audio clock's range are pinned to it.
std::int64_t roundFrames(double frames) noexcept
{
    constexpr double limit = 9.2e18;
    if (std::isnan(frames)) return 0;
    if (frames >= limit) return static_cast<std::int64_t>(limit);
    if (frames <= -limit) return -static_cast<std::int64_t>(limit);
    return std::llround(frames);
}

bool comesFirst(const MelodyPlayer::Event& a, const MelodyPlayer::Event& b) noexcept
{
    if (a.frame != b.frame) return a.frame < b.frame;
    if (a.kind != b.kind) return a.kind == Kind::off;
    return a.part == Melody::Part::melody && b.part == Melody::Part::bass;
}

} // namespace

MelodyPlayer::MelodyPlayer(Melody melody, int tonic, std::optional<double> bpm, bool loop, bool bass,
                           std::int64_t startFrame, double sampleRate)
    : loop(loop), tonic(tonic), melody_(std::move(melody)), sampleRate_(sampleRate),
      bpm_(limitTempo(bpm.value_or(melody_.bpm()))), bass_(bass), originFrame_(startFrame), horizon_(startFrame)
{
    score_.reserve(melody_.notes().size() + melody_.bass().size());
    for (const Melody::Note& note : melody_.notes()) score_.push_back({note, Melody::Part::melody});
    for (const Melody::Note& note : melody_.bass()) score_.push_back({note, Melody::Part::bass});
    std::stable_sort(score_.begin(), score_.end(),
                     [](const Entry& a, const Entry& b) { return a.note.beat < b.note.beat; });
}

std::int64_t MelodyPlayer::frame(double ofBeat) const noexcept
{
    return originFrame_ + roundFrames(sampleRate_ * ((ofBeat - originBeat_) * 60 / bpm_));
}

double MelodyPlayer::beat(std::int64_t at) const noexcept
{
    return originBeat_ + static_cast<double>(at - originFrame_) / sampleRate_ * bpm_ / 60;
}

double MelodyPlayer::progress(std::int64_t at) const noexcept
{
    const double length = melody_.length();
    if (!(length > 0)) return 0;
    const double played = std::max(beat(at), 0.0);
    if (!loop && played >= length * static_cast<double>(pass_ + 1) && nextIndex_ >= score_.size()) return 1;
    const double turns = played / length;
    return turns - std::floor(turns);
}

bool MelodyPlayer::isFinished() const noexcept { return !loop && nextIndex_ >= score_.size() && offs_.empty(); }

void MelodyPlayer::setTempo(double bpm) noexcept
{
    originBeat_ = beat(horizon_);
    originFrame_ = horizon_;
    bpm_ = limitTempo(bpm);
}

std::vector<MelodyPlayer::Event> MelodyPlayer::schedule(std::int64_t until)
{
    std::vector<Event> result;
    const double length = melody_.length();

    // Walks only the entries that have fallen due; the first one not yet due ends the walk.
    while (!score_.empty() && length > 0) {
        if (nextIndex_ >= score_.size()) {
            if (!loop) break;
            // A pass shorter than one audio frame would never reach `until`: the walk would not end.
            if (!(sampleRate_ * (length * 60 / bpm_) >= 1)) break;
            nextIndex_ = 0;
            ++pass_;
        }
        const Entry& entry = score_[nextIndex_];
        const double beatOfNote = entry.note.beat + length * static_cast<double>(pass_);
        const std::int64_t on = frame(beatOfNote);
        if (on >= until) break;
        ++nextIndex_;

        if (entry.part == Melody::Part::bass && !bass_) continue;
        long long note = static_cast<long long>(entry.note.semitones) + tonic;
        if (entry.part == Melody::Part::bass && note < bassFloor) note += 12 * ((bassFloor - note + 11) / 12);
        if (note < 0 || note > 127) continue;

        std::int32_t id;
        if (entry.part == Melody::Part::bass) {
            id = nextBassID_;
            nextBassID_ = followingID(id, Melody::Part::bass);
        } else {
            id = nextID_;
            nextID_ = followingID(id, Melody::Part::melody);
        }

        const std::int64_t off = std::max(frame(beatOfNote + gate * entry.note.length), on + 1);
        const int midiNote = static_cast<int>(note);
        result.push_back({on, Kind::on, midiNote, entry.note.velocity, id, entry.part});
        offs_.push_back({off, Kind::off, midiNote, 0, id, entry.part});
        handed_.push_back({id, midiNote, on, off, entry.part});
    }

    // Note-offs leave only once they fall before the requested frame, possibly many calls later.
    // In place and in order (std::stable_partition would take a buffer from the heap every frame).
    size_t waiting = 0;
    for (const Event& off : offs_) {
        if (off.frame < until)
            result.push_back(off);
        else
            offs_[waiting++] = off;
    }
    offs_.resize(waiting);

    // Keeps `handed` to the last ten seconds so that long loops stay bounded.
    const std::int64_t keepAfter = until - static_cast<std::int64_t>(sampleRate_ * 10);
    std::erase_if(handed_, [keepAfter](const Handed& h) { return h.off < keepAfter; });

    horizon_ = std::max(horizon_, until);
    sortEvents(result);
    return result;
}

bool MelodyPlayer::offPending(std::int32_t id) const noexcept
{
    return std::any_of(offs_.begin(), offs_.end(), [id](const Event& e) { return e.id == id; });
}

std::vector<MelodyPlayer::Event> MelodyPlayer::release(const std::vector<Handed>& entries, std::int64_t at) const
{
    std::vector<Event> result;
    result.reserve(entries.size());
    // A note whose on lies after `at` has been sent but is not yet sounding: it is cut to one frame.
    for (const Handed& h : entries) result.push_back({std::max(at, h.on + 1), Kind::off, h.note, 0, h.id, h.part});
    std::stable_sort(result.begin(), result.end(), [](const Event& a, const Event& b) { return a.frame < b.frame; });
    return result;
}

// A note may still sound if its off lies after `at`, or if its off has not been handed out yet: after a
// stalled display frame `at` can lie beyond offs that are still waiting in `offs`, and emptying `offs`
// without releasing those notes would leave them sounding for good.
std::vector<MelodyPlayer::Event> MelodyPlayer::stop(std::int64_t at)
{
    std::vector<Handed> sounding;
    for (const Handed& h : handed_)
        if (h.off > at || offPending(h.id)) sounding.push_back(h);
    std::vector<Event> result = release(sounding, at);
    handed_.clear();
    offs_.clear();
    nextIndex_ = score_.size();
    loop = false;
    return result;
}

std::vector<MelodyPlayer::Event> MelodyPlayer::setBass(bool on, std::int64_t at)
{
    if (on == bass_) return {};
    bass_ = on;
    if (on) return {}; // bass notes resume from the next one that falls due

    std::vector<Handed> sounding;
    std::erase_if(handed_, [&](const Handed& h) {
        const bool take = h.part == Melody::Part::bass && (h.off > at || offPending(h.id));
        if (take) sounding.push_back(h);
        return take;
    });
    std::erase_if(offs_, [](const Event& e) { return e.part == Melody::Part::bass; });
    return release(sounding, at);
}

std::vector<MelodyPlayer::Event> MelodyPlayer::carryOver(const std::vector<Event>& events, std::int64_t at)
{
    std::unordered_set<std::int32_t> ended;
    std::unordered_map<std::int32_t, std::int64_t> onFrames;
    for (const Event& e : events) {
        if (e.kind == Kind::off && e.frame <= at) ended.insert(e.id);
        if (e.kind == Kind::on) onFrames[e.id] = e.frame;
    }
    // Notes released before they began (cut to one frame by a stop) never sounded: drop them whole.
    std::unordered_set<std::int32_t> unsounded;
    for (const Event& e : events) {
        if (e.kind != Kind::off) continue;
        const auto on = onFrames.find(e.id);
        if (on != onFrames.end() && on->second >= at && e.frame <= on->second + 1) unsounded.insert(e.id);
    }

    std::vector<Event> result;
    for (const Event& e : events) {
        if (unsounded.contains(e.id)) continue;
        if (e.kind == Kind::off) {
            if (e.frame < at || ended.contains(e.id)) continue;
            result.push_back(e);
        } else if (e.frame < at) {
            if (ended.contains(e.id)) continue;
            Event moved = e;
            moved.frame = at; // the note sounds from the start of the recording
            result.push_back(moved);
        } else {
            result.push_back(e);
        }
    }
    sortEvents(result);
    return result;
}

void MelodyPlayer::prune(std::vector<Event>& events, std::int64_t before)
{
    std::unordered_set<std::int32_t> ended;
    for (const Event& e : events)
        if (e.kind == Kind::off && e.frame < before) ended.insert(e.id);
    if (!ended.empty()) std::erase_if(events, [&ended](const Event& e) { return ended.contains(e.id); });
}

std::optional<Melody::Part> MelodyPlayer::part(std::int32_t ofID) noexcept
{
    if (ofID >= firstBassID) return Melody::Part::bass;
    if (ofID >= firstID) return Melody::Part::melody;
    return std::nullopt;
}

// Compares before adding: the bass sequence ends at the largest signed 32-bit value, one past which
// is overflow.
std::int32_t MelodyPlayer::followingID(std::int32_t id, Melody::Part part) noexcept
{
    if (part == Melody::Part::bass) return id >= lastBassID || id < firstBassID ? firstBassID : id + 1;
    return id >= lastID || id < firstID ? firstID : id + 1;
}

void MelodyPlayer::sortEvents(std::vector<Event>& events)
{
    // A display frame's events are few: an insertion sort is stable and takes nothing from the heap,
    // where std::stable_sort asks for a buffer on every call.
    if (events.size() > 32) {
        std::stable_sort(events.begin(), events.end(), comesFirst);
        return;
    }
    for (size_t i = 1; i < events.size(); ++i) {
        const Event e = events[i];
        size_t j = i;
        for (; j > 0 && comesFirst(e, events[j - 1]); --j) events[j] = events[j - 1];
        events[j] = e;
    }
}

} // namespace veltrane
