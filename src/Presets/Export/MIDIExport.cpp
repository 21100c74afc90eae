#include "Presets/Export/MIDIExport.h"

#include "Music/Notes.h"
#include "Presets/Export/JSMath.h"
#include "Support/EnumText.h"

#include <algorithm>
#include <cmath>

namespace veltrane::MIDIExport {

namespace {

// Index into the 0 / 43 / 85 steps of three-way choices (43, not 42: the steps of 127 / 3 rounded up).
constexpr std::array<std::uint8_t, 3> thirds{0, 43, 85};

double logScaled(double value, double floor, double ceiling, double range)
{
    const double v = JSMath::clamp(value, floor, ceiling);
    return JSMath::log2(v / floor) * 127 / JSMath::log2(range);
}

} // namespace

std::uint8_t clamp7(double x) noexcept
{
    if (std::isfinite(x)) {
        const double r = std::ceil(x);
        x = r - 0.5 <= x ? r : r - 1;
    }
    const double c = JSMath::clamp(x, 0, 127);
    if (std::isnan(c)) return 0;
    return static_cast<std::uint8_t>(c);
}

std::array<std::pair<std::uint8_t, std::uint8_t>, 23> controllers(const LockedTone& tone)
{
    const AudioParams& p = tone.params;
    const double q = JSMath::clamp(p.filterQ, 0.5, 15);
    return {{
        {7, clamp7(p.volume * 127)},
        {74, clamp7(logScaled(p.filterCutoff, 20, 20000, 1000))},
        {71, clamp7(JSMath::log2(q + q) * 127 / JSMath::log2(30))},
        {91, clamp7(p.reverbWet * 127)},
        {73, clamp7(p.reverbDecay / 10 * 127)},
        {93, clamp7(p.delayTime * 0.5 * 127)},
        {94, clamp7(p.delayFeedback * 127)},
        {95, clamp7(p.delayWet * 127)},
        {92, clamp7(p.distortionAmount * 127)},
        {76, clamp7(logScaled(p.lfoRate, 0.1, 20, 200))},
        {1, clamp7((p.harmonicRatio - 0.5) * 127 / 11.5)},
        {3, clamp7((p.fmModIndex - 0.5) * 127 / 11.5)},
        {12, clamp7(p.chorusAmount * 127)},
        {10, clamp7(p.stereoWidth * 127)},
        {20, clamp7(p.noiseLevel * 127)},
        {21, clamp7(p.bitCrushDepth * 0.0625 * 127)},
        {22, clamp7(logScaled(p.phaserRate, 0.1, 8, 80))},
        {23, clamp7(p.phaserDepth * 127)},
        {24, clamp7((p.pitchShift + 12) / 24 * 127)},
        {25, clamp7(p.freqShift / 500 * 127)},
        {26, static_cast<std::uint8_t>(caseIndex(p.filterType) * 32)},
        {27, thirds[static_cast<std::size_t>(stages(p.filterRolloff) - 1)]},
        {28, thirds[static_cast<std::size_t>(caseIndex(p.noiseType))]},
    }};
}

std::vector<std::uint8_t> vlq(std::int64_t n)
{
    std::uint64_t v = n < 0 ? 0 : static_cast<std::uint64_t>(n);
    std::vector<std::uint8_t> bytes{static_cast<std::uint8_t>(v & 0x7f)};
    while ((v >>= 7) != 0) bytes.insert(bytes.begin(), static_cast<std::uint8_t>(0x80 | (v & 0x7f)));
    return bytes;
}

std::array<std::uint8_t, 4> be32(std::uint32_t n) noexcept
{
    return {std::uint8_t(n >> 24), std::uint8_t(n >> 16), std::uint8_t(n >> 8), std::uint8_t(n)};
}

std::array<std::uint8_t, 2> be16(std::uint16_t n) noexcept { return {std::uint8_t(n >> 8), std::uint8_t(n)}; }

std::vector<std::uint8_t> file(const LockedTone& tone)
{
    constexpr std::uint16_t ticksPerQuarter = 480;
    const auto note = static_cast<std::uint8_t>(std::clamp(tone.baseMidiNote, 0, 127));

    std::vector<std::uint8_t> track;
    for (const auto& [controller, value] : controllers(tone))
        track.insert(track.end(), {0x00, 0xB0, controller, value});
    track.insert(track.end(), {0x00, 0x90, note, 0x64});
    const auto beat = vlq(ticksPerQuarter);
    track.insert(track.end(), beat.begin(), beat.end());
    track.insert(track.end(), {0x80, note, 0x00});
    track.insert(track.end(), {0x00, 0xFF, 0x2F, 0x00});

    std::vector<std::uint8_t> out{'M', 'T', 'h', 'd'};
    auto append = [&out](const auto& bytes) { out.insert(out.end(), bytes.begin(), bytes.end()); };
    append(be32(6));
    append(be16(0));
    append(be16(1));
    append(be16(ticksPerQuarter));
    out.insert(out.end(), {'M', 'T', 'r', 'k'});
    append(be32(static_cast<std::uint32_t>(track.size())));
    append(track);
    return out;
}

std::string exportFilename(int baseMidiNote, const std::string& extension)
{
    std::string name = Notes::noteName(baseMidiNote);
    if (const auto sharp = name.find('#'); sharp != std::string::npos) name[sharp] = 's';
    return "veltrane-" + name + "." + extension;
}

std::string filename(const LockedTone& tone) { return exportFilename(tone.baseMidiNote, "mid"); }

} // namespace veltrane::MIDIExport
