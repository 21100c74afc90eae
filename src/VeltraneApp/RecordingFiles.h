#pragma once
// The files of recordings, takes and movies: their names, where a panel's answer puts them, and
// saving them so that nothing the user has is lost.
//
// - A recording is written to the temporary folder while it runs and moved to its place when the
//   user saves it (a rename, or a copy across file systems, never deleting the old file first);
//   when the move fails, the recording stays where it was and the failure says so.
// - A take whose file cannot be written is kept in the temporary folder, and the failure says where.
// - A name the user did not choose in a panel never replaces a file: a ".wav" beside a movie, or a
//   name that needed its extension added, becomes "name 2.wav", "name 3.wav"... when taken.
//
// Any thread for the pure functions; the saves touch only the files they are given.
#include "Takes/Take.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace veltrane::RecordingFiles {

// "veltrane-" + a new UUID in upper case + ".wav", in the temporary folder.
std::filesystem::path temporaryRecording();
// "veltrane-" + the local date and time + ".wav": veltrane-2026-12-09T08-17-41.wav.
std::string suggestedRecordingName(std::chrono::system_clock::time_point moment = std::chrono::system_clock::now());
// "veltrane-take.veltranetake".
std::string suggestedTakeName();
// "veltrane-" + the melody's id (the movie panel adds ".mov").
std::string captureMovieName(std::string_view melodyID);

// `wanted` when nothing is there, else the first of "stem 2.ext", "stem 3.ext"... with nothing there.
std::filesystem::path freeName(const std::filesystem::path& wanted);
// Where a confirmed panel's location puts a file of this extension (without the dot): the location
// itself when it ends in it (any case; the panel asked before replacing), else the location with
// the extension added, at a free name.
std::filesystem::path destination(const std::filesystem::path& chosen, std::string_view extension);

// Writes the bytes at `wanted` or, when a file is there, at the next free numbered name; never
// replaces a file, even one that appears meanwhile. Returns where they went. Throws Files::Error.
std::filesystem::path createBeside(const std::filesystem::path& wanted, std::span<const std::uint8_t> bytes);

// Nothing on success, else the rest of the log line: the reason, and where the data was kept.
// saveRecording moves the finished recording over `to`; on failure `to` is as it was and the
// recording where it was.
std::optional<std::string> saveRecording(const std::filesystem::path& recording, const std::filesystem::path& to);
// Writes the take file atomically; on failure the take is written to the temporary folder instead
// ("veltrane-take-" + UUID + ".veltranetake") when it can be encoded.
std::optional<std::string> saveTake(const Take& take, const std::filesystem::path& to);

} // namespace veltrane::RecordingFiles
