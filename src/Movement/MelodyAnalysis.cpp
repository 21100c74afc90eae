// The musical analysis a melody flight plans from: bar grid, phrases, energies, repeats, onsets,
// beats and harmony.
#include "Movement/MelodyFlight.h"
#include "Movement/FlightNumbers.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <stdexcept>
#include <tuple>

namespace veltrane {

namespace {

constexpr double eps = 1e-9;
constexpr double ticksPerBeat = 48; // the grid onsets and repeats compare notes on

void requireEnds(std::span<const double> starts, std::span<const double> ends, const char* what)
{
    if (ends.size() < starts.size()) throw std::invalid_argument(std::string(what) + ": fewer phrase ends than starts");
}

// The position of a pitch class on the circle of fifths, -5...6.
int fifthsOf(int semitones)
{
    const int pc = (semitones % 12 + 12) % 12;
    const int f = pc * 7 % 12;
    return f <= 6 ? f : f - 12;
}

void appendChange(std::vector<MelodyFlight::Chord>& chords, double beat, int fifths)
{
    if (chords.empty() || chords.back().fifths != fifths) chords.push_back({beat, fifths});
}

} // namespace

std::vector<MelodyFlight::Bar> MelodyFlight::bars(const Melody& melody)
{
    std::vector<double> lengths;
    for (double length : melody.bars())
        if (length > 0 && std::isfinite(length)) lengths.push_back(length);
    if (lengths.empty()) {
        const double perBar = melody.beatsPerBar();
        if (!(perBar > 0 && std::isfinite(perBar))) return {};
        const double count = std::ceil(melody.length() / perBar);
        if (!(count < maxBars)) return {}; // NaN, infinite or enormous: no integer count of bars
        lengths.assign(static_cast<std::size_t>(std::max(1.0, count)), perBar);
    }
    std::vector<Bar> result;
    result.reserve(lengths.size());
    double start = 0;
    for (double length : lengths) {
        result.push_back({start, length});
        start += length;
    }
    return result;
}

std::vector<double> MelodyFlight::barStarts(const Melody& melody)
{
    std::vector<double> starts;
    for (const Bar& bar : bars(melody)) starts.push_back(bar.start);
    return starts;
}

std::vector<double> MelodyFlight::phrases(const Melody& melody, double bpm)
{
    const std::vector<Bar> grid = bars(melody);
    if (grid.empty()) return {};
    const double secondsPerBar = melody.beatsPerBar() * 60 / std::max(bpm, 1.0);
    std::size_t barsPerPhrase = 1;
    double best = std::abs(std::log(secondsPerBar / 6));
    for (std::size_t n : {2, 4, 8, 16}) {
        const double score = std::abs(std::log(secondsPerBar * static_cast<double>(n) / 6));
        if (score < best) {
            best = score;
            barsPerPhrase = n;
        }
    }
    std::vector<double> starts;
    for (std::size_t i = 0; i < grid.size(); i += barsPerPhrase) starts.push_back(grid[i].start);
    if (starts.size() >= 2 &&
        melody.length() - starts.back() < melody.beatsPerBar() * static_cast<double>(barsPerPhrase) * 0.5)
        starts.pop_back();
    return starts;
}

std::vector<double> MelodyFlight::energy(const Melody& melody, std::span<const double> starts,
                                         std::span<const double> ends)
{
    requireEnds(starts, ends, "energy");
    std::vector<Onset> weighted;
    weighted.reserve(melody.notes().size() + melody.bass().size());
    for (const Melody::Note& note : melody.notes()) weighted.push_back({note.beat, note.velocity});
    for (const Melody::Note& note : melody.bass()) weighted.push_back({note.beat, note.velocity / Melody::bassLevel});

    std::vector<double> raw(starts.size());
    for (std::size_t i = 0; i < starts.size(); ++i) {
        const double s = starts[i];
        const double e = std::min(ends[i], std::max(melody.length(), s + eps));
        double sum = 0;
        for (const Onset& onset : weighted)
            if (s - eps <= onset.beat && onset.beat < e - eps) sum += onset.loudness;
        raw[i] = sum / std::max(e - s, eps);
    }
    if (raw.empty()) return raw;
    const auto [lo, hi] = std::minmax_element(raw.begin(), raw.end());
    const double low = *lo, high = *hi;
    for (double& value : raw) value = high - low > 1e-6 * std::max(1.0, high) ? (value - low) / (high - low) : 0.5;
    return raw;
}

std::vector<std::optional<int>> MelodyFlight::repeats(const Melody& melody, std::span<const double> starts,
                                                      std::span<const double> ends)
{
    requireEnds(starts, ends, "repeats");
    using Key = std::tuple<std::int64_t, std::int64_t, int>; // onset after the start, length, pitch
    const std::size_t n = starts.size();
    std::vector<double> lengths(n);
    std::vector<std::vector<Key>> keys(n);
    for (std::size_t k = 0; k < n; ++k) {
        const double end = std::min(melody.length(), ends[k]);
        lengths[k] = end - starts[k];
        for (const Melody::Note& note : melody.notes())
            if (starts[k] - eps <= note.beat && note.beat < end - eps)
                keys[k].emplace_back(nearestInteger((note.beat - starts[k]) * ticksPerBeat),
                                     nearestInteger(note.length * ticksPerBeat), note.semitones);
        std::sort(keys[k].begin(), keys[k].end());
        keys[k].erase(std::unique(keys[k].begin(), keys[k].end()), keys[k].end());
    }

    std::vector<std::optional<int>> result(n);
    for (std::size_t l = 1; l < n; ++l) {
        if (keys[l].size() < 3) continue;
        for (std::size_t m = 0; m < l; ++m) {
            if (result[m] || !(std::abs(lengths[m] - lengths[l]) < 1e-6)) continue;
            std::size_t common = 0;
            for (auto a = keys[m].begin(), b = keys[l].begin(); a != keys[m].end() && b != keys[l].end();) {
                if (*a < *b)
                    ++a;
                else if (*b < *a)
                    ++b;
                else
                    ++common, ++a, ++b;
            }
            if (static_cast<double>(common) >= 0.85 * static_cast<double>(std::max(keys[m].size(), keys[l].size()))) {
                result[l] = static_cast<int>(m);
                break;
            }
        }
    }
    return result;
}

std::vector<MelodyFlight::Onset> MelodyFlight::onsets(std::span<const Melody::Note> notes, double level)
{
    std::vector<std::pair<std::int64_t, std::size_t>> order; // (grid key, index): stable within a key
    order.reserve(notes.size());
    for (std::size_t i = 0; i < notes.size(); ++i) order.emplace_back(nearestInteger(notes[i].beat * ticksPerBeat), i);
    std::sort(order.begin(), order.end());

    std::vector<Onset> result;
    for (std::size_t g = 0; g < order.size();) {
        std::size_t h = g;
        double loudest = notes[order[g].second].velocity;
        while (h < order.size() && order[h].first == order[g].first)
            loudest = std::max(loudest, notes[order[h++].second].velocity);
        const double chord = 1 + 0.1 * static_cast<double>(std::min<std::size_t>(h - g - 1, 4));
        result.push_back({notes[order[g].second].beat, chord * (loudest / level)});
        g = h;
    }
    return result;
}

std::vector<MelodyFlight::Beat> MelodyFlight::beats(const Melody& melody, double until)
{
    const std::vector<Bar> grid = bars(melody);
    std::vector<Beat> result;
    // A grid of more beats than a flight can span is cut there (counting on past 2^53 would never end).
    for (const Bar& bar : grid)
        for (double c = 0; c < bar.length - eps && static_cast<double>(result.size()) < maxFlightBeats; c += 1)
            result.push_back({bar.start + c, std::min(bar.length - c, 1.0), c == 0});
    const double end = grid.empty() ? 0 : grid.back().start + grid.back().length;
    // Past the grid whole beats follow; a far `until` counts as maxFlightBeats past the grid's end.
    const double tail = std::min(until - end, maxFlightBeats);
    const std::int64_t perBar = std::max<std::int64_t>(1, nearestInteger(melody.beatsPerBar()));
    for (std::int64_t i = 0; static_cast<double>(i) < tail; ++i)
        result.push_back({end + static_cast<double>(i), 1, i % perBar == 0});
    return result;
}

std::vector<MelodyFlight::Chord> MelodyFlight::harmony(const Melody& melody)
{
    const std::vector<Bar> grid = bars(melody);
    std::vector<Chord> chords;
    if (!melody.bass().empty()) {
        std::vector<double> points;
        for (const Bar& bar : grid) {
            points.push_back(bar.start);
            if (std::abs(bar.length - 4) <= eps) points.push_back(bar.start + 2);
        }
        for (std::size_t i = 0; i < points.size(); ++i) {
            const double p = points[i];
            const double q = i + 1 < points.size() ? points[i + 1] : melody.length();
            const double w = p + 1e-6;
            std::optional<int> root;
            for (const Melody::Note& note : melody.bass())
                if (note.beat <= w && w < note.beat + note.length)
                    root = std::min(root.value_or(note.semitones), note.semitones);
            if (!root) {
                // Nothing sounds at the change: the notes that start first inside the span.
                std::optional<double> earliest;
                for (const Melody::Note& note : melody.bass())
                    if (w < note.beat && note.beat < q - 1e-6)
                        earliest = std::min(earliest.value_or(note.beat), note.beat);
                if (earliest)
                    for (const Melody::Note& note : melody.bass())
                        if (w < note.beat && note.beat < q - 1e-6 && std::abs(note.beat - *earliest) <= 1e-6)
                            root = std::min(root.value_or(note.semitones), note.semitones);
            }
            if (root) appendChange(chords, p, fifthsOf(*root));
        }
        return chords;
    }
    for (const Bar& bar : grid) {
        const double w = bar.start, e = bar.start + bar.length;
        std::array<double, 12> held{};
        bool any = false;
        for (const Melody::Note& note : melody.notes())
            if (note.beat < e && w < note.beat + note.length) {
                held[static_cast<std::size_t>((note.semitones % 12 + 12) % 12)] +=
                    std::min(note.beat + note.length, e) - std::max(note.beat, w);
                any = true;
            }
        if (!any) continue;
        // max_element keeps the first of equal totals: the lower pitch class.
        const auto root = static_cast<int>(std::max_element(held.begin(), held.end()) - held.begin());
        appendChange(chords, w, fifthsOf(root));
    }
    return chords;
}

} // namespace veltrane
