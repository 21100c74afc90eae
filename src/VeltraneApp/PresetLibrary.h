#pragma once
// The user's own presets on disk, preset import and export through the dialogs layer, and a small
// picture for every preset (factory and user) for the preset menu.
//
// Places: the library file "presets.veltrane" in the data folder (~/.local/share/Veltrane), and
// rendered thumbnails of presets without a picture of their own as "<safe id>.png" in
// "thumbnails" of the cache folder (~/.cache/Veltrane/thumbnails). A user preset keeps its picture
// inside the library file as a PNG data URL.
//
// Keeping the user's presets safe:
// - the library file is replaced atomically (a temporary file in the same folder, flushed, renamed):
//   a failed write leaves the old file whole;
// - a library file that exists but cannot be read or decoded at start is never overwritten: before
//   the library is first written it is moved aside in its folder, under a name with the date and
//   time ("presets 2025-03-01 09-15-42.veltrane", never replacing another file), and `lastError` says
//   so; should that move fail, nothing is written and `lastError` says why;
// - at most 50 user presets: saving a 51st drops the oldest, an import never pushes out a preset
//   the user has.
// Imported presets with a number that is not finite, a zoom of 0 or less, an unknown fractal type
// or a thumbnail that is not a picture are skipped (the others import) and `lastError` names them.
//
// Threads: everything here belongs to the main thread (observables, MainQueue), except the
// thumbnail renders, which run on the library's own serial queue with one renderer shared by all
// libraries under one lock; their results come back through the main queue to a library that may
// be gone by then (then nothing happens). Panels never block: their answers arrive on the main queue.
#include "FractalRender/RenderTypes.h"
#include "Platform/Dialogs/Dialogs.h"
#include "Platform/Image/Image.h"
#include "Platform/Queues/MainQueue.h"
#include "Platform/Queues/SerialQueue.h"
#include "Presets/Preset.h"
#include "Support/Observable.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace veltrane {

class InstrumentState;

class PresetLibrary {
public:
    static constexpr std::size_t capacity = 50;
    static constexpr int thumbnailSide = 128;
    static constexpr std::string_view libraryFileName = "presets.veltrane";
    static constexpr std::string_view dataURLPrefix = "data:image/png;base64,";
    static constexpr std::string_view exportName = "veltrane-presets.veltrane";
    static constexpr std::string_view importMessage = "Choose .veltrane preset files to import";
    static const Dialogs::FileType fileType; // "Veltrane presets", .veltrane
    static const Dialogs::FileType jsonType; // plain JSON, also accepted on import

    struct Places {
        std::optional<std::filesystem::path> directory;          // default: the data folder
        std::optional<std::filesystem::path> thumbnailDirectory; // default: cache folder + "thumbnails"
    };

    // Creates both folders (failures ignored) and reads the library file. `dialogs` defaults to the
    // system presenter, `mainQueue` to the program's main queue.
    explicit PresetLibrary(const Places& places = {}, Dialogs::Presenter* dialogs = nullptr,
                           MainQueue* mainQueue = nullptr);
    ~PresetLibrary();
    PresetLibrary(const PresetLibrary&) = delete;
    PresetLibrary& operator=(const PresetLibrary&) = delete;

    Observable<std::vector<Preset>> user; // newest first
    Observable<std::map<std::string, std::shared_ptr<const Image>>> thumbnails;
    Observable<std::optional<std::string>> lastError;

    const std::filesystem::path& directory() const noexcept { return directory_; }
    const std::filesystem::path& thumbnailDirectory() const noexcept { return thumbnailDirectory_; }
    std::filesystem::path libraryFile() const { return directory_ / libraryFileName; }

    void save(const Preset& preset);
    // Removes every user preset with the id and its cached picture; rewrites the file even when
    // none had it. (`delete` is a C++ keyword.)
    void remove(const std::string& id);
    // Renames the first user preset with the id; without one nothing is written.
    void rename(const std::string& id, const std::string& name);
    // Adds the presets whose ids are neither factory nor user ids, after the user's own, up to 50.
    void importPresets(const std::vector<Preset>& presets);
    // Reads preset files and imports them; failures end up in lastError, the last one staying.
    void importFiles(std::span<const std::filesystem::path> files);
    // Writes the user presets (the factory ones when there are none) to a preset file. Throws
    // Files::Error or Json::Error.
    void exportTo(const std::filesystem::path& file) const;
    // Saves the state's view and sound as a new preset; its picture follows from the render queue.
    void saveCurrentView(InstrumentState& state);

    void importFromPanel();
    void exportToPanel();

    // The picture of a preset if one can be had without rendering: cached, from the data URL, or
    // from the thumbnail file; nothing otherwise.
    std::shared_ptr<const Image> thumbnail(const Preset& preset);
    // Queues a render for every factory and user preset without a picture (each once at a time).
    void renderMissingThumbnails();
    // Blocks until every render queued so far has run (its result then waits on the main queue).
    void waitForRenders() { renderQueue_.drain(); }

    // Renders a square still of the view with the shared renderer; nothing when there is no GPU or
    // the render or encoding fails. Any thread.
    static std::optional<std::vector<std::uint8_t>> renderThumbnailPNG(const RenderView& view, int size);
    static RenderView renderView(const Preset& preset);
    // Letters, digits and "-" stay; every other character becomes "_".
    static std::string safe(std::string_view id);
    static std::string dataURL(std::span<const std::uint8_t> png);
    // The picture of a data URL; nothing for another text or one that is not a PNG picture.
    static std::optional<Image> imageFromDataURL(std::string_view text);

private:
    void load();
    void persist();
    bool setAsideUnreadable();
    std::filesystem::path thumbnailFile(const std::string& id) const;

    std::filesystem::path directory_;
    std::filesystem::path thumbnailDirectory_;
    Dialogs::Presenter& dialogs_;
    MainQueue& main_;
    std::set<std::string> pending_;
    // Why the library file could not be read at start, until it has been moved aside.
    std::optional<std::string> unreadable_;
    // The results of background work find the library through this; it dies first.
    std::shared_ptr<PresetLibrary*> self_;
    SerialQueue renderQueue_{"com.korvat.veltrane.thumbnails"};
};

} // namespace veltrane
