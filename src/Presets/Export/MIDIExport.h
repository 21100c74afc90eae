#pragma once
// A locked tone as a small Standard MIDI File (format 0, 480 ticks per quarter note, 127 bytes):
// 23 control changes on channel 1 that describe the sound, then the tone's base note held for one
// beat. The controller table is this file's own (the live controller map may change without
// changing exported files); its arithmetic runs through JSMath so the values match a JavaScript
// implementation's. Pure functions; any thread.
#include "Music/LockedTone.h"

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace veltrane::MIDIExport {

inline constexpr std::size_t fileSize = 127;

std::vector<std::uint8_t> file(const LockedTone& tone);
// "veltrane-" + the base note's name with its "#" as "s" + ".mid" (veltrane-Cs4.mid).
std::string filename(const LockedTone& tone);
std::array<std::pair<std::uint8_t, std::uint8_t>, 23> controllers(const LockedTone& tone);

// JavaScript's Math.round, then clamped to 0...127; NaN gives 0.
std::uint8_t clamp7(double x) noexcept;
// A MIDI variable-length quantity; a negative n counts as 0.
std::vector<std::uint8_t> vlq(std::int64_t n);
std::array<std::uint8_t, 4> be32(std::uint32_t n) noexcept;
std::array<std::uint8_t, 2> be16(std::uint16_t n) noexcept;

// "veltrane-" + note name ("#" as "s") + extension; the rack export names its files the same way.
std::string exportFilename(int baseMidiNote, const std::string& extension);

} // namespace veltrane::MIDIExport
