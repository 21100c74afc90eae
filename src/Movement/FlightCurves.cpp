// The beat curves of a melody flight: zoom pulses on onsets, a sway that follows the pitch contour,
// and the colour offset that steps with the beat, flashes on onsets and follows the harmony.
#include "Movement/MelodyFlight.h"

#include "Movement/FlightNumbers.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

namespace veltrane {

namespace {

std::vector<Melody::Note> notesFrom(const std::vector<Melody::Note>& notes, double first)
{
    std::vector<Melody::Note> kept;
    for (const Melody::Note& note : notes)
        if (note.beat >= first - 1e-9) kept.push_back(note);
    return kept;
}

// A kick on the bar's first beat, a plain pulse on another whole beat, a softer one between beats.
double accent(const std::vector<double>& barStarts, double beat)
{
    const auto after = std::upper_bound(barStarts.begin(), barStarts.end(), beat + 1e-9);
    if (after == barStarts.begin()) return 0.75;
    const double d = beat - *(after - 1);
    if (std::abs(d) < 1e-6) return 1.5;
    if (std::abs(d - std::round(d)) < 1e-6) return 1.0;
    return 0.75;
}

double fifthsColour(const MelodyFlight::Chord& chord) { return chord.fifths * 5.0 / 12.0; }

// The exponential ease of a beat step over fraction p of the beat, time constant T beats: 0 at p = 0,
// 1 at p = 1. In expm1 form, which stays finite where 1 − e^(−1/T) would round to 0 (very fast tempi).
double easeIn(double p, double T)
{
    if (p <= 0) return 0;
    if (p >= 1) return 1;
    return std::expm1(-p / T) / std::expm1(-1 / T);
}

struct Flash {
    double beat;
    double amount;
};

} // namespace

void MelodyFlight::buildCurves(const Melody& melody, double bpm, const Phrases& phrases, Mulberry32& random)
{
    const double first = phrases.starts.front();
    const double lastBeat = phrases.lastBeat;

    // Pulses.
    const std::vector<double> starts = barStarts(melody);
    for (const Onset& o : onsets(notesFrom(melody.notes(), first), 1))
        pulses_.push_back({o.beat, o.loudness * 0.022 * accent(starts, o.beat), 0.3});
    for (const Onset& o : onsets(notesFrom(melody.bass(), first), Melody::bassLevel))
        pulses_.push_back({o.beat, o.loudness * 0.04 * accent(starts, o.beat), 0.55});
    std::stable_sort(pulses_.begin(), pulses_.end(), [](const Pulse& a, const Pulse& b) { return a.beat < b.beat; });

    // Sway: the pitch contour in standard deviations, smoothed with a time constant of 0.6 beats once
    // the flight has begun; each sample shows the contour before the notes of its own instant.
    const std::vector<Melody::Note>& notes = melody.notes();
    if (!notes.empty()) {
        const double n = static_cast<double>(notes.size());
        double sum = 0;
        for (const Melody::Note& note : notes) sum += note.semitones;
        const double mean = sum / n;
        double squares = 0;
        for (const Melody::Note& note : notes) squares += (note.semitones - mean) * (note.semitones - mean);
        const double sd = std::max(std::sqrt(squares / n), 1.0);
        double v = 0, target = 0;
        std::size_t cursor = 0;
        for (std::size_t k = 0;; ++k) {
            const double t = static_cast<double>(k) * 0.125;
            if (!(t <= lastBeat + 0.125)) break;
            sway_.push_back(std::clamp(0.05 * v, -0.12, 0.12));
            while (cursor < notes.size() && notes[cursor].beat <= t) target = (notes[cursor++].semitones - mean) / sd;
            if (t >= first) v = v + (target - v) * 0.18806365384936508; // 1 − e^(−0.125 / 0.6)
        }
    }

    // Colours.
    const double c = random.next() >= 0.5 ? -1 : 1;
    const double climaxBeat = phrases.climax ? phrases.starts[static_cast<std::size_t>(*phrases.climax)]
                                             : std::numeric_limits<double>::infinity();
    // The colour direction reverses over the two beats after the climax.
    const auto turning = [&](double y) {
        return y <= climaxBeat ? c : c * std::cos(std::numbers::pi * std::min((y - climaxBeat) * 0.5, 1.0));
    };

    const std::vector<Beat> grid = beats(melody, lastBeat + 1);
    std::vector<double> steps(grid.size(), 0);
    std::vector<double> cumulative(grid.size() + 1, 0);
    for (std::size_t j = 0; j < grid.size(); ++j) {
        const Beat& b = grid[j];
        if (b.start >= first - 1e-9) {
            const auto after = std::upper_bound(phrases.starts.begin(), phrases.starts.end(), b.start + 1e-9);
            const std::size_t k =
                after == phrases.starts.begin() ? 0 : static_cast<std::size_t>(after - phrases.starts.begin() - 1);
            const double kick = b.down ? 2.2 : 0.6;
            steps[j] = b.length / 6 * kick * (0.4 + 1.3 * phrases.energy[k]) * turning(b.start);
        }
        cumulative[j + 1] = cumulative[j] + steps[j];
    }

    const std::vector<Chord> chords = harmony(melody);
    double h0 = 0;
    if (!chords.empty()) {
        const auto after = std::upper_bound(chords.begin(), chords.end(), first + 1e-9,
                                            [](double x, const Chord& ch) { return x < ch.beat; });
        h0 = fifthsColour(after == chords.begin() ? chords.front() : *(after - 1));
    }
    double h1 = h0, h2 = h0;

    std::vector<Flash> flashes;
    for (const Onset& o : onsets(melody.notes(), 1))
        if (o.beat >= first - 1e-9) flashes.push_back({o.beat, o.loudness * 0.05});
    for (const Onset& o : onsets(melody.bass(), Melody::bassLevel))
        if (o.beat >= first - 1e-9) flashes.push_back({o.beat, o.loudness * 0.08});
    std::stable_sort(flashes.begin(), flashes.end(), [](const Flash& a, const Flash& b) { return a.beat < b.beat; });

    constexpr double sample = 1.0 / 32;
    const double d1 = std::exp(-sample / (bpm * 0.25 / 60)); // harmony: 0.25 seconds
    const double d2 = std::exp(-sample / (bpm * 0.11 / 60)); // flash envelope: 0.11 seconds
    double total = 0, envelope = 0;
    std::size_t beatCursor = 0, flashCursor = 0, chordCursor = 0;
    for (std::size_t n = 0;; ++n) {
        const double t = static_cast<double>(n) * sample;
        if (!(t <= lastBeat + sample)) break;

        while (beatCursor < grid.size() && grid[beatCursor].start <= t) ++beatCursor;
        double beatPart = 0;
        if (beatCursor > 0) {
            const std::size_t j = beatCursor - 1;
            const double length = std::max(grid[j].length, 1e-9);
            const double p = std::min((t - grid[j].start) / length, 1.0);
            const double eased = bpm <= 150 || grid[j].down ? easeIn(p, (bpm * 0.18 / 60) / length) : p;
            beatPart = cumulative[j] + steps[j] * eased;
        }
        double climaxPart = 0;
        if (t > climaxBeat) {
            const double x = std::min((t - climaxBeat) * 0.5, 1.0);
            climaxPart = c * 0.5 * (x * x) * (3 - 2 * x);
        }
        colours_.push_back(climaxPart + (h2 - h0) + (total + beatPart - envelope));
        harmonyColours_.push_back(h2 - h0);

        envelope *= d2;
        const double next = static_cast<double>(n + 1) * sample;
        for (; flashCursor < flashes.size() && flashes[flashCursor].beat <= next; ++flashCursor) {
            const double a = flashes[flashCursor].amount * turning(flashes[flashCursor].beat);
            total += a;
            envelope += a;
        }
        if (next >= first) {
            while (chordCursor < chords.size() && chords[chordCursor].beat <= next + 1e-9) ++chordCursor;
            const double target = chords.empty() ? 0 : fifthsColour(chords[chordCursor > 0 ? chordCursor - 1 : 0]);
            // Head for the copy of the target (a whole number apart is the same colour) nearest to h1.
            const double m = std::round(h1 - target);
            h1 = h1 + (1 - d1) * ((target + m) - h1);
            h2 = h2 + (1 - d1) * (h1 - h2);
        }
    }
}

} // namespace veltrane
