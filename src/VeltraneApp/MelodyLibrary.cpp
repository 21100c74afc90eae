#include "VeltraneApp/MelodyLibrary.h"

#include "Music/MIDIFile.h"
#include "Platform/Files/Files.h"
#include "VeltraneApp/InstrumentState.h"

#include <algorithm>
#include <cctype>
#include <system_error>

namespace veltrane {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view idPrefix = "midi:";

std::optional<Melody> melodyFromFile(const fs::path& path)
{
    try {
        const auto bytes = Files::readAll(path);
        const MIDIFile file(bytes);
        return Melody::fromMIDI(file, std::string(idPrefix) + path.filename().string(), path.stem().string());
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

char folded(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Three-way natural comparison; 0 when the texts differ only in case or leading zeros.
int naturalCompare(std::string_view a, std::string_view b)
{
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            std::size_t ei = i, ej = j;
            while (ei < a.size() && isDigit(a[ei])) ++ei;
            while (ej < b.size() && isDigit(b[ej])) ++ej;
            std::string_view da = a.substr(i, ei - i), db = b.substr(j, ej - j);
            da.remove_prefix(std::min(da.find_first_not_of('0'), da.size()));
            db.remove_prefix(std::min(db.find_first_not_of('0'), db.size()));
            if (da.size() != db.size()) return da.size() < db.size() ? -1 : 1;
            if (const int c = da.compare(db); c != 0) return c < 0 ? -1 : 1;
            i = ei;
            j = ej;
            continue;
        }
        const char ca = folded(a[i]), cb = folded(b[j]);
        if (ca != cb) return static_cast<unsigned char>(ca) < static_cast<unsigned char>(cb) ? -1 : 1;
        ++i;
        ++j;
    }
    if (i < a.size()) return 1;
    if (j < b.size()) return -1;
    return 0;
}

} // namespace

MelodyLibrary& MelodyLibrary::shared()
{
    static MelodyLibrary library(Files::dataFolder() / "Melodies");
    return library;
}

MelodyLibrary::MelodyLibrary(fs::path directory) : directory_(std::move(directory)) { reload(); }

bool MelodyLibrary::hasMelodyExtension(const fs::path& path)
{
    std::string ext = path.extension().string();
    if (ext.empty()) return false;
    ext.erase(0, 1);
    std::transform(ext.begin(), ext.end(), ext.begin(), folded);
    return std::find(fileExtensions.begin(), fileExtensions.end(), ext) != fileExtensions.end();
}

bool MelodyLibrary::nameLess(std::string_view a, std::string_view b)
{
    const int c = naturalCompare(a, b);
    return c != 0 ? c < 0 : a < b; // texts equal but for case or zeros still get one fixed order
}

void MelodyLibrary::reload()
{
    std::vector<fs::path> entries;
    std::error_code error;
    for (fs::directory_iterator it(directory_, error), end; !error && it != end; it.increment(error))
        entries.push_back(it->path());

    std::vector<Melody> melodies;
    std::map<std::string, fs::path> paths;
    for (const fs::path& entry : entries) {
        if (!hasMelodyExtension(entry)) continue;
        auto melody = melodyFromFile(entry);
        if (!melody) continue;
        paths[melody->id()] = entry;
        melodies.push_back(std::move(*melody));
    }
    std::stable_sort(melodies.begin(), melodies.end(),
                     [](const Melody& a, const Melody& b) { return nameLess(a.name(), b.name()); });
    files_.set(std::move(paths));
    imported_.set(std::move(melodies));
}

std::optional<Melody> MelodyLibrary::melody(std::string_view id) const
{
    for (const Melody& m : imported_.get())
        if (m.id() == id) return m;
    return std::nullopt;
}

void MelodyLibrary::remove(std::string_view id)
{
    const auto it = files_.get().find(std::string(id));
    if (it == files_.get().end()) return;
    std::error_code ignored;
    fs::remove(it->second, ignored);
    reload();
}

Melody MelodyLibrary::importFile(const fs::path& source)
{
    const std::vector<std::uint8_t> bytes = Files::readAll(source);
    const std::string base = source.stem().string();
    // Parsing throws MIDIFile::Failure before anything is written.
    (void)Melody::fromMIDI(MIDIFile(bytes), "check", base);
    Files::createFolders(directory_);
    const std::string ext = source.has_extension() ? source.extension().string().substr(1) : "mid";

    fs::path destination;
    bool wrote = false;
    for (int n = 1;; ++n) {
        destination = directory_ / (base + (n > 1 ? " " + std::to_string(n) : "") + "." + ext);
        if (fs::exists(fs::symlink_status(destination))) {
            std::vector<std::uint8_t> stored;
            try {
                stored = Files::readAll(destination);
            } catch (const Files::Error&) {
                continue; // unreadable: treated as different bytes
            }
            if (stored == bytes) break;
            continue;
        }
        // False when a file appeared there since the check: try the next name.
        if (Files::createAtomically(destination, bytes)) {
            wrote = true;
            break;
        }
    }

    reload();
    if (auto melody = this->melody(std::string(idPrefix) + destination.filename().string())) return *melody;
    if (wrote) {
        // Our own copy makes no melody after all: leave nothing behind.
        std::error_code ignored;
        fs::remove(destination, ignored);
        reload();
    }
    throw MIDIFile::Failure::noNotes();
}

MelodyLibrary::ImportOutcome MelodyLibrary::importFiles(std::span<const fs::path> sources, InstrumentState& state)
{
    std::optional<Melody> last;
    std::vector<std::string> failures;
    for (const fs::path& source : sources) {
        if (!hasMelodyExtension(source)) continue;
        try {
            last = state.library.importFile(source);
        } catch (const std::exception& error) {
            failures.push_back(source.filename().string() + ": " + error.what());
        }
    }

    ImportOutcome outcome;
    if (last) {
        state.melodyID.set(last->id());
        state.melodyBPM.set(std::nullopt);
        state.hudVisible.set(true);
        outcome.imported = true;
    }
    if (!failures.empty()) {
        Alert alert;
        alert.message =
            failures.size() == 1 ? "That MIDI file couldn't be imported" : "Some MIDI files couldn't be imported";
        for (std::size_t i = 0; i < failures.size(); ++i) alert.informative += (i ? "\n" : "") + failures[i];
        outcome.alert = std::move(alert);
    }
    return outcome;
}

} // namespace veltrane
