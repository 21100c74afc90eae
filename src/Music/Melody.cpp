#include "Music/Melody.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace veltrane {

namespace {

// Splits at `sep`, dropping empty pieces. Once `maxSplits` pieces have been cut, the rest of the
// text is the last piece as it stands. Empty pieces do not count towards `maxSplits`.
std::vector<std::string_view> splitDroppingEmpty(std::string_view text, char sep,
                                                 size_t maxSplits = std::numeric_limits<size_t>::max())
{
    std::vector<std::string_view> pieces;
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != sep) continue;
        const bool cut = i > start;
        if (cut) pieces.push_back(text.substr(start, i - start));
        start = i + 1;
        if (cut && pieces.size() == maxSplits) break;
    }
    if (start < text.size()) pieces.push_back(text.substr(start));
    return pieces;
}

// A decimal number as the tune texts write it: "2", "1.5", ".25", "+3", "-1". The whole text
// must be the number; values that are not finite are not numbers here.
std::optional<double> parseNumber(std::string_view text)
{
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty() || text.front() == '+') return std::nullopt;
    double value = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value, std::chars_format::general);
    if (ec != std::errc() || ptr != end || !std::isfinite(value)) return std::nullopt;
    return value;
}

std::optional<int> parseWholeNumber(std::string_view text)
{
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    long long magnitude = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, magnitude);
    if (ec != std::errc() || ptr != end || magnitude < 0 || magnitude > std::numeric_limits<int>::max())
        return std::nullopt;
    return static_cast<int>(negative ? -magnitude : magnitude);
}

bool isSeparator(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

[[noreturn]] void defect(std::string_view id, const std::string& what)
{
    throw std::invalid_argument("tune \"" + std::string(id) + "\": " + what);
}

} // namespace

std::optional<int> Melody::midi(std::string_view text)
{
    if (text.empty()) return std::nullopt;
    int pitchClass = 0;
    switch (text.front()) {
    case 'C': pitchClass = 0; break;
    case 'D': pitchClass = 2; break;
    case 'E': pitchClass = 4; break;
    case 'F': pitchClass = 5; break;
    case 'G': pitchClass = 7; break;
    case 'A': pitchClass = 9; break;
    case 'B': pitchClass = 11; break;
    default: return std::nullopt;
    }
    text.remove_prefix(1);
    int accidental = 0;
    if (!text.empty() && (text.front() == '#' || text.front() == 'b')) {
        accidental = text.front() == '#' ? 1 : -1;
        text.remove_prefix(1);
    }
    const auto octave = parseWholeNumber(text);
    if (!octave) return std::nullopt;
    const long long note = (static_cast<long long>(*octave) + 1) * 12 + pitchClass + accidental;
    if (note < std::numeric_limits<int>::min() || note > std::numeric_limits<int>::max()) return std::nullopt;
    return static_cast<int>(note);
}

std::optional<double> Melody::length(std::string_view text)
{
    const auto pieces = splitDroppingEmpty(text, '/');
    if (pieces.size() == 1) {
        const auto value = parseNumber(pieces[0]);
        if (!value || !(*value > 0)) return std::nullopt;
        return value;
    }
    if (pieces.size() == 2) {
        const auto numerator = parseNumber(pieces[0]);
        const auto denominator = parseNumber(pieces[1]);
        if (!numerator || !denominator || !(*denominator > 0)) return std::nullopt;
        const double value = *numerator / *denominator;
        if (!std::isfinite(value)) return std::nullopt;
        return value;
    }
    return std::nullopt;
}

Melody::Parsed Melody::parse(std::string_view text, int tonic, std::string_view id)
{
    Parsed result;
    double position = 0;
    double duration = 1;
    double barStart = 0;

    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && isSeparator(text[i])) ++i;
        const size_t start = i;
        while (i < text.size() && !isSeparator(text[i])) ++i;
        if (start == i) break;
        std::string_view token = text.substr(start, i - start);

        if (token == "|") {
            result.bars.push_back(position - barStart);
            barStart = position;
            continue;
        }
        const bool accent = token.front() == '>';
        if (accent) token.remove_prefix(1);
        const auto pieces = splitDroppingEmpty(token, ':', 1);
        if (pieces.empty()) defect(id, "empty token at offset " + std::to_string(start));
        if (pieces.size() > 1) {
            const auto written = length(pieces[1]);
            if (!written) defect(id, "bad duration \"" + std::string(pieces[1]) + "\"");
            duration = *written;
        }
        if (pieces[0] != "r") {
            const auto note = midi(pieces[0]);
            if (!note) defect(id, "bad note \"" + std::string(pieces[0]) + "\"");
            double velocity = 0.7;
            if (accent)
                velocity = 0.95;
            else if (std::abs(position - barStart) < 1e-9)
                velocity = 0.82;
            result.notes.push_back({position, duration, *note - tonic, velocity});
        }
        position += duration;
    }
    if (position - barStart > 1e-9) result.bars.push_back(position - barStart);
    result.length = position;
    return result;
}

Melody::Melody(std::string id, std::string name, std::string credit, double bpm, double beatsPerBar,
               std::string_view tonic, std::string_view score, std::string_view bass)
    : id_(std::move(id)), name_(std::move(name)), credit_(std::move(credit)), bpm_(bpm), beatsPerBar_(beatsPerBar)
{
    const auto tonicNote = midi(tonic);
    if (!tonicNote) defect(id_, "bad tonic \"" + std::string(tonic) + "\"");
    tonic_ = *tonicNote;

    Parsed melody = parse(score, tonic_, id_);
    Parsed bassPart = parse(bass, tonic_, id_ + " bass");
    for (Note& note : bassPart.notes) note.velocity *= bassLevel;

    notes_ = std::move(melody.notes);
    bass_ = std::move(bassPart.notes);
    length_ = std::max(melody.length, bassPart.length);
    bars_ = std::move(melody.bars);
    bassBars_ = std::move(bassPart.bars);
}

Melody::Melody(std::string id, std::string name, std::string credit, double bpm, double beatsPerBar, int tonic,
               std::vector<Note> notes, std::vector<Note> bass, double length)
    : id_(std::move(id)), name_(std::move(name)), credit_(std::move(credit)), bpm_(bpm), beatsPerBar_(beatsPerBar),
      tonic_(tonic), notes_(std::move(notes)), bass_(std::move(bass)), length_(length)
{
    // ceil of a non-finite or non-positive ratio would make no sensible count: one bar then.
    const double ratio = std::ceil(length / beatsPerBar);
    const size_t count = ratio >= 1 && ratio < 1e6 ? static_cast<size_t>(ratio) : 1;
    bars_.assign(count, beatsPerBar);
    if (!bass_.empty()) bassBars_ = bars_;
}

} // namespace veltrane
