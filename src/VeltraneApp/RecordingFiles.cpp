#include "VeltraneApp/RecordingFiles.h"

#include "Platform/Files/Files.h"
#include "Platform/Json/Json.h"
#include "Support/UUID.h"
#include "VeltraneApp/ExportMessages.h"

#include <algorithm>
#include <cctype>
#include <ctime>

namespace veltrane::RecordingFiles {

namespace fs = std::filesystem;

namespace {

std::string lower(std::string text)
{
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// "stem n.ext" beside `wanted`.
fs::path numbered(const fs::path& wanted, int n)
{
    return wanted.parent_path() / (wanted.stem().string() + " " + std::to_string(n) + wanted.extension().string());
}

std::string describe(const Files::Error& error) { return error.path().string() + ": " + error.what(); }

std::span<const std::uint8_t> bytesOf(const std::string& text)
{
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

} // namespace

fs::path temporaryRecording() { return Files::temporaryFolder() / ("veltrane-" + UUID::randomUpper() + ".wav"); }

std::string suggestedRecordingName(std::chrono::system_clock::time_point moment)
{
    const std::time_t t = std::chrono::system_clock::to_time_t(moment);
    std::tm local{};
    localtime_r(&t, &local);
    char text[64];
    std::strftime(text, sizeof text, "veltrane-%Y-%m-%dT%H-%M-%S.wav", &local);
    return text;
}

std::string suggestedTakeName() { return "veltrane-take." + std::string(Take::fileExtension); }

std::string captureMovieName(std::string_view melodyID) { return "veltrane-" + std::string(melodyID); }

fs::path freeName(const fs::path& wanted)
{
    // A name that cannot even be looked at counts as free: writing there will say why it fails.
    const auto taken = [](const fs::path& path) {
        std::error_code error;
        return fs::exists(fs::symlink_status(path, error));
    };
    if (!taken(wanted)) return wanted;
    for (int n = 2;; ++n)
        if (const fs::path candidate = numbered(wanted, n); !taken(candidate)) return candidate;
}

fs::path destination(const fs::path& chosen, std::string_view extension)
{
    if (lower(chosen.extension().string()) == "." + lower(std::string(extension))) return chosen;
    return freeName(fs::path(chosen.string() + "." + std::string(extension)));
}

fs::path createBeside(const fs::path& wanted, std::span<const std::uint8_t> bytes)
{
    if (Files::createAtomically(wanted, bytes)) return wanted;
    for (int n = 2;; ++n)
        if (const fs::path candidate = numbered(wanted, n); Files::createAtomically(candidate, bytes)) return candidate;
}

std::optional<std::string> saveRecording(const fs::path& recording, const fs::path& to)
{
    try {
        Files::moveReplacing(recording, to);
        return std::nullopt;
    } catch (const Files::Error& error) {
        return describe(error) + ExportMessages::keptAt(recording.string());
    }
}

std::optional<std::string> saveTake(const Take& take, const fs::path& to)
{
    std::string data;
    try {
        data = take.encoded();
    } catch (const Json::Error& error) {
        return std::string(error.what()); // nothing to keep: the take has no file form
    }
    try {
        Files::replaceAtomically(to, bytesOf(data));
        return std::nullopt;
    } catch (const Files::Error& error) {
        const fs::path kept = Files::temporaryFolder() /
                              ("veltrane-take-" + UUID::randomUpper() + "." + std::string(Take::fileExtension));
        try {
            Files::replaceAtomically(kept, bytesOf(data));
        } catch (const Files::Error& keeping) {
            return describe(error) + "; it could not be kept either: " + describe(keeping);
        }
        return describe(error) + ExportMessages::keptAt(kept.string());
    }
}

} // namespace veltrane::RecordingFiles
