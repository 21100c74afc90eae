#include "VeltraneApp/PresetLibrary.h"

#include "FractalRender/FractalRenderer.h"
#include "Platform/Files/Files.h"
#include "Presets/FactoryPresets.h"
#include "Presets/PresetFile.h"
#include "Support/Base64.h"
#include "VeltraneApp/InstrumentState.h"

#include <algorithm>
#include <chrono>
#include <cwctype>
#include <ctime>
#include <mutex>

namespace veltrane {

namespace fs = std::filesystem;

const Dialogs::FileType PresetLibrary::fileType{"Veltrane presets", {"veltrane"}};
const Dialogs::FileType PresetLibrary::jsonType{"JSON", {"json"}};

namespace {

// The instrument's own limits of the iteration count.
constexpr std::int64_t minIterations = 16, maxIterations = InstrumentState::iterationCap;

std::string sentence(std::string text)
{
    if (!text.empty() && text.back() != '.') text.push_back('.');
    return text;
}

// "presets 2025-03-01 09-15-42.veltrane" in local time: a name a person finds next to the library.
std::string setAsideName(int attempt)
{
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[64];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H-%M-%S", &local);
    std::string name = std::string("presets ") + stamp;
    if (attempt > 1) name += " " + std::to_string(attempt);
    return name + ".veltrane";
}

// The shared thumbnail renderer: made on first use, absent for the rest of the run when that fails.
struct SharedRenderer {
    std::mutex lock;
    bool tried = false;
    std::unique_ptr<FractalRenderer> renderer;
};

SharedRenderer& sharedRenderer()
{
    static SharedRenderer shared;
    return shared;
}

} // namespace

PresetLibrary::PresetLibrary(const Places& places, Dialogs::Presenter* dialogs, MainQueue* mainQueue)
    : directory_(places.directory.value_or(Files::dataFolder())),
      thumbnailDirectory_(places.thumbnailDirectory.value_or(Files::cacheFolder() / "thumbnails")),
      dialogs_(dialogs ? *dialogs : Dialogs::systemPresenter()), main_(mainQueue ? *mainQueue : MainQueue::main()),
      self_(std::make_shared<PresetLibrary*>(this))
{
    std::error_code ignored;
    fs::create_directories(directory_, ignored);
    fs::create_directories(thumbnailDirectory_, ignored);
    load();
}

PresetLibrary::~PresetLibrary()
{
    // Renders still queued finish when the queue is destroyed; their results must find no library.
    self_.reset();
}

void PresetLibrary::load()
{
    const fs::path file = libraryFile();
    std::vector<std::uint8_t> bytes;
    try {
        bytes = Files::readAll(file);
    } catch (const Files::Error& error) {
        std::error_code ec;
        // A file that is not there yet is the normal first start; anything else is kept from harm.
        if (!fs::exists(fs::symlink_status(file, ec))) return;
        unreadable_ = error.what();
    }
    if (!unreadable_) {
        try {
            user.set(PresetFile::decode(bytes));
            return;
        } catch (const std::exception& error) {
            unreadable_ = error.what();
        }
    }
    lastError.set("Could not read your presets: " + *unreadable_);
}

bool PresetLibrary::setAsideUnreadable()
{
    if (!unreadable_) return true;
    const fs::path file = libraryFile();
    try {
        for (int attempt = 1; attempt < 1000; ++attempt) {
            const std::string name = setAsideName(attempt);
            if (Files::moveWithoutReplacing(file, directory_ / name)) {
                lastError.set("Could not read your presets: " + sentence(*unreadable_) + " A copy was kept as " + name +
                              ".");
                unreadable_.reset();
                return true;
            }
        }
        lastError.set("Could not save presets: no free name to keep the unreadable library under.");
    } catch (const Files::Error& error) {
        std::error_code ec;
        if (!fs::exists(fs::symlink_status(file, ec))) { // gone meanwhile: nothing left to keep
            unreadable_.reset();
            return true;
        }
        lastError.set(std::string("Could not save presets: ") + error.what());
    }
    return false;
}

void PresetLibrary::persist()
{
    if (!setAsideUnreadable()) return;
    try {
        const auto bytes = PresetFile::encode(user.get(), std::chrono::system_clock::now());
        Files::replaceAtomically(libraryFile(), bytes);
    } catch (const std::exception& error) {
        lastError.set(std::string("Could not save presets: ") + error.what());
    }
}

void PresetLibrary::save(const Preset& preset)
{
    std::vector<Preset> list{preset};
    list.insert(list.end(), user.get().begin(), user.get().end());
    if (list.size() > capacity) list.resize(capacity);
    user.set(std::move(list));
    persist();
}

void PresetLibrary::remove(const std::string& id)
{
    std::vector<Preset> list = user.get();
    std::erase_if(list, [&](const Preset& p) { return p.id == id; });
    user.set(std::move(list));
    if (thumbnails.get().contains(id)) thumbnails.modify([&](auto& map) { map.erase(id); });
    persist();
}

void PresetLibrary::rename(const std::string& id, const std::string& name)
{
    const auto& list = user.get();
    const auto it = std::find_if(list.begin(), list.end(), [&](const Preset& p) { return p.id == id; });
    if (it == list.end()) return;
    const auto index = static_cast<std::size_t>(it - list.begin());
    user.modify([&](std::vector<Preset>& presets) { presets[index].name = name; });
    persist();
}

void PresetLibrary::importPresets(const std::vector<Preset>& presets)
{
    std::set<std::string> known;
    for (const Preset& p : FactoryPresets::all()) known.insert(p.id);
    for (const Preset& p : user.get()) known.insert(p.id);
    std::vector<Preset> list = user.get();
    for (const Preset& p : presets)
        if (!known.contains(p.id)) list.push_back(p);
    if (list.size() > capacity) list.resize(capacity);
    user.set(std::move(list));
    persist();
}

void PresetLibrary::importFiles(std::span<const fs::path> files)
{
    for (const fs::path& file : files) {
        const std::string name = file.filename().string();
        try {
            std::vector<Preset> fit;
            for (PresetFile::Checked& checked : PresetFile::decodeChecked(Files::readAll(file))) {
                const std::string& thumb = checked.preset.thumbnail;
                if (!checked.defect && !thumb.empty() && !imageFromDataURL(thumb))
                    checked.defect = "the preset \"" + checked.preset.name + "\" has a thumbnail that is not a picture";
                if (checked.defect)
                    lastError.set(name + " is not a preset file: " + *checked.defect + "; it was skipped.");
                else
                    fit.push_back(std::move(checked.preset));
            }
            importPresets(fit);
        } catch (const std::exception& error) {
            lastError.set(name + " is not a preset file: " + error.what());
        }
    }
}

void PresetLibrary::exportTo(const fs::path& file) const
{
    const std::vector<Preset>& presets = user.get().empty() ? FactoryPresets::all() : user.get();
    Files::replaceAtomically(file, PresetFile::encode(presets, std::chrono::system_clock::now()));
}

void PresetLibrary::importFromPanel()
{
    Dialogs::OpenPanel panel{std::string(importMessage), {fileType, jsonType}, true};
    dialogs_.open(panel, [weak = std::weak_ptr(self_)](Dialogs::Paths chosen) {
        if (const auto self = weak.lock(); self && !chosen.empty()) (*self)->importFiles(chosen);
    });
}

void PresetLibrary::exportToPanel()
{
    Dialogs::SavePanel panel{"Export presets", {fileType}, std::string(exportName)};
    dialogs_.save(panel, [weak = std::weak_ptr(self_)](std::optional<fs::path> chosen) {
        const auto self = weak.lock();
        if (!self || !chosen) return;
        try {
            (*self)->exportTo(*chosen);
        } catch (const std::exception& error) {
            (*self)->lastError.set(std::string("Could not export: ") + error.what());
        }
    });
}

void PresetLibrary::saveCurrentView(InstrumentState& state)
{
    const Preset preset = state.makePreset("");
    save(preset);
    const RenderView view = state.renderView();
    renderQueue_.async([weak = std::weak_ptr(self_), &main = main_, view, id = preset.id] {
        const auto png = renderThumbnailPNG(view, thumbnailSide);
        const std::string url = png ? dataURL(*png) : std::string();
        main.post([weak, id, url] {
            const auto self = weak.lock();
            if (!self || url.empty()) return;
            PresetLibrary& library = **self;
            const auto& list = library.user.get();
            const auto it = std::find_if(list.begin(), list.end(), [&](const Preset& p) { return p.id == id; });
            if (it == list.end()) return; // deleted meanwhile
            const auto index = static_cast<std::size_t>(it - list.begin());
            library.user.modify([&](std::vector<Preset>& presets) { presets[index].thumbnail = url; });
            if (library.thumbnails.get().contains(id)) library.thumbnails.modify([&](auto& map) { map.erase(id); });
            library.persist();
        });
    });
}

fs::path PresetLibrary::thumbnailFile(const std::string& id) const { return thumbnailDirectory_ / (safe(id) + ".png"); }

std::shared_ptr<const Image> PresetLibrary::thumbnail(const Preset& preset)
{
    if (const auto it = thumbnails.get().find(preset.id); it != thumbnails.get().end()) return it->second;
    std::optional<Image> image = imageFromDataURL(preset.thumbnail);
    if (!image) image = readPNG(thumbnailFile(preset.id));
    if (!image) return nullptr;
    auto shared = std::make_shared<const Image>(std::move(*image));
    thumbnails.modify([&](auto& map) { map[preset.id] = shared; });
    return shared;
}

void PresetLibrary::renderMissingThumbnails()
{
    std::vector<Preset> presets = FactoryPresets::all();
    presets.insert(presets.end(), user.get().begin(), user.get().end());
    for (const Preset& preset : presets) {
        if (thumbnail(preset) || pending_.contains(preset.id)) continue;
        pending_.insert(preset.id);
        renderQueue_.async([weak = std::weak_ptr(self_), &main = main_, view = renderView(preset),
                            file = thumbnailFile(preset.id), id = preset.id] {
            auto png = renderThumbnailPNG(view, thumbnailSide);
            if (png) {
                try {
                    Files::replaceAtomically(file, *png);
                } catch (const Files::Error&) {
                    // The picture is still shown for this run.
                }
            }
            main.post([weak, id, png = std::move(png)] {
                const auto self = weak.lock();
                if (!self) return;
                PresetLibrary& library = **self;
                library.pending_.erase(id);
                if (!png) return;
                if (auto image = decodePNG(*png))
                    library.thumbnails.modify(
                        [&](auto& map) { map[id] = std::make_shared<const Image>(std::move(*image)); });
            });
        });
    }
}

std::optional<std::vector<std::uint8_t>> PresetLibrary::renderThumbnailPNG(const RenderView& view, int size)
{
    SharedRenderer& shared = sharedRenderer();
    std::lock_guard lock(shared.lock);
    if (!shared.tried) {
        shared.tried = true;
        try {
            shared.renderer = std::make_unique<FractalRenderer>(GpuDevice::systemDefault());
        } catch (const std::exception&) {
            shared.renderer.reset();
        }
    }
    if (!shared.renderer) return std::nullopt;
    try {
        const Image image = shared.renderer->renderStill(view, size, size, PostSettings{}, AudioVisuals{}, 0, 1);
        return encodePNG(image);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

RenderView PresetLibrary::renderView(const Preset& preset)
{
    const double z = preset.effectiveZoom();
    // A stored count outside what the instrument allows would stall the shared renderer.
    const std::int64_t iterations = std::clamp(preset.maxIterations, minIterations, maxIterations);
    return RenderView(preset.fractalType, preset.centerX, preset.centerY, z, preset.rotation, iterations,
                      preset.juliaC.value_or(InstrumentState::defaultJuliaC), preset.colorPalette, 0,
                      z > 1e11 ? std::optional(preset.exactCentre()) : std::nullopt);
}

std::string PresetLibrary::safe(std::string_view id)
{
    // Letters and digits of any script stay: decode UTF-8 sequences and keep them whole when the
    // code point is alphanumeric.
    std::string out;
    std::size_t i = 0;
    while (i < id.size()) {
        const auto c = static_cast<unsigned char>(id[i]);
        std::size_t length = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 1;
        if (i + length > id.size()) length = 1;
        char32_t code = length == 1 ? c : c & (0x7f >> length);
        bool valid = true;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(id[i + k]);
            valid = valid && (next & 0xc0) == 0x80;
            code = (code << 6) | (next & 0x3f);
        }
        const bool keep = valid && (code == U'-' || (code < 0x80 ? std::isalnum(static_cast<int>(code)) != 0
                                                                 : std::iswalnum(static_cast<wint_t>(code)) != 0));
        if (keep)
            out.append(id.substr(i, length));
        else
            out.push_back('_');
        i += length;
    }
    return out;
}

std::string PresetLibrary::dataURL(std::span<const std::uint8_t> png)
{
    return std::string(dataURLPrefix) + Base64::encode(png);
}

std::optional<Image> PresetLibrary::imageFromDataURL(std::string_view text)
{
    if (!text.starts_with("data:image")) return std::nullopt;
    const auto comma = text.find(',');
    if (comma == std::string_view::npos) return std::nullopt;
    const auto bytes = Base64::decode(text.substr(comma + 1));
    if (!bytes) return std::nullopt;
    return decodePNG(*bytes);
}

} // namespace veltrane
