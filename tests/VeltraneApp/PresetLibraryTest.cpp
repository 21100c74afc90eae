// The preset library against a temporary XDG data and cache folder, with scripted panels.
#include "Platform/Files/Files.h"
#include "Platform/Resources/Resources.h"
#include "Presets/FactoryPresets.h"
#include "Presets/PresetFile.h"
#include "StateFixture.h"
#include "Support/Base64.h"
#include "../Support/ChildProcess.h"
#include "VeltraneApp/PresetLibrary.h"

#include <cstdlib>
#include <fstream>
#include <regex>

namespace veltrane::test {
namespace {

namespace fs = std::filesystem;

class PresetLibraryTest : public StateFixture {
protected:
    PresetLibraryTest()
    {
        Resources::setRoot(fs::path(VELTRANE_SOURCE_DIR) / "resources");
        dataHome.set(folder / "data");
        cacheHome.set(folder / "cache");
    }
    // The test program's own folders come back afterwards, so later tests never write to the user's.
    testsupport::ScopedVariable dataHome{"XDG_DATA_HOME"}, cacheHome{"XDG_CACHE_HOME"};

    std::unique_ptr<PresetLibrary> open()
    {
        return std::make_unique<PresetLibrary>(PresetLibrary::Places{}, &dialogs, &main);
    }
    fs::path libraryFile() const { return folder / "data" / "Veltrane" / "presets.veltrane"; }

    static Preset preset(const std::string& id)
    {
        Preset p;
        p.id = id;
        p.name = "P " + id;
        return p;
    }

    void write(const fs::path& file, const std::string& text)
    {
        fs::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << text;
    }

    static std::string read(const fs::path& file)
    {
        std::ifstream in(file, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    static std::vector<std::string> ids(const std::vector<Preset>& presets)
    {
        std::vector<std::string> out;
        for (const Preset& p : presets) out.push_back(p.id);
        return out;
    }

    MainQueue main{clock};
    Dialogs::ScriptedPresenter dialogs{main};
};

TEST_F(PresetLibraryTest, SaveRenameDeletePersistAcrossRuns)
{
    auto library = open();
    EXPECT_TRUE(library->user.get().empty());
    EXPECT_FALSE(library->lastError.get());
    library->save(preset("a"));
    library->save(preset("b"));
    library->rename("a", "Renamed");
    library->remove("b");
    auto reopened = open();
    ASSERT_EQ(ids(reopened->user.get()), std::vector<std::string>{"a"});
    EXPECT_EQ(reopened->user.get()[0].name, "Renamed");

    // rename of an unknown id writes nothing; delete of one still rewrites the file.
    fs::remove(libraryFile());
    reopened->rename("zzz", "x");
    EXPECT_FALSE(fs::exists(libraryFile()));
    reopened->remove("zzz");
    EXPECT_TRUE(fs::exists(libraryFile()));
}

TEST_F(PresetLibraryTest, FiftyPresetsAtMostOldestFallsOff)
{
    auto library = open();
    for (int i = 0; i < 50; ++i) library->save(preset(std::to_string(i)));
    library->save(preset("new"));
    ASSERT_EQ(library->user.get().size(), 50u);
    EXPECT_EQ(library->user.get().front().id, "new");
    EXPECT_EQ(library->user.get().back().id, "1");

    // A full library takes no imports: the user's own win.
    library->importPresets({preset("imported")});
    EXPECT_EQ(library->user.get().size(), 50u);
    EXPECT_EQ(library->user.get().back().id, "1");
}

TEST_F(PresetLibraryTest, ImportSkipsKnownIdsAndKeepsRepeatsOfNewOnes)
{
    auto library = open();
    library->save(preset("mine"));
    const std::string factoryId = FactoryPresets::all().at(0).id;
    library->importPresets({preset(factoryId), preset("mine"), preset("x"), preset("x")});
    EXPECT_EQ(ids(library->user.get()), (std::vector<std::string>{"mine", "x", "x"}));
}

TEST_F(PresetLibraryTest, ImportFromPanelSkipsUnfitPresetsAndBadFiles)
{
    auto library = open();
    const fs::path good = folder / "good.veltrane", bad = folder / "bad.veltrane";
    const std::string picture =
        std::string(PresetLibrary::dataURLPrefix) + Base64::encode(encodePNG(Image{1, 1, {1, 2, 3, 0}}));
    write(good, R"({"version": 2, "presets": [
        {"id": "fine", "thumbnail": ")" +
                    picture + R"("},
        {"id": "zero", "name": "Flat", "zoom": 0},
        {"id": "huge", "name": "Huge", "centerY": -1e400},
        {"id": "type", "name": "Odd", "fractalType": "mandelbrat"},
        {"id": "thumb", "name": "Blurred", "thumbnail": "data:image/png;base64,AAAA"},
        {"id": "also-fine", "fractalType": "julia"}]})");
    write(bad, "this is not JSON");
    dialogs.willOpen({good, bad});
    library->importFromPanel();
    EXPECT_TRUE(library->user.get().empty()); // the answer arrives on the main queue
    main.pump();
    main.pump();
    ASSERT_EQ(dialogs.openRequests.size(), 1u);
    EXPECT_EQ(dialogs.openRequests[0].message, "Choose .veltrane preset files to import");
    EXPECT_TRUE(dialogs.openRequests[0].multiple);
    EXPECT_EQ(ids(library->user.get()), (std::vector<std::string>{"fine", "also-fine"}));
    ASSERT_TRUE(library->lastError.get());
    EXPECT_TRUE(library->lastError.get()->starts_with("bad.veltrane is not a preset file: "))
        << *library->lastError.get();

    dialogs.willOpen({good});
    library->user.set({});
    library->importFromPanel();
    main.pump();
    EXPECT_EQ(
        *library->lastError.get(),
        "good.veltrane is not a preset file: the preset \"Blurred\" has a thumbnail that is not a picture; it was "
        "skipped.");
    // A cancelled panel does nothing.
    library->importFromPanel();
    main.pump();
    EXPECT_EQ(library->user.get().size(), 2u);
}

TEST_F(PresetLibraryTest, ExportWritesUserPresetsOrTheFactoryOnes)
{
    auto library = open();
    const fs::path target = folder / "out.veltrane";
    dialogs.willSave(target);
    library->exportToPanel();
    main.pump();
    EXPECT_EQ(dialogs.saveRequests.at(0).proposedName, "veltrane-presets.veltrane");
    const std::string factory = read(target);
    EXPECT_EQ(PresetFile::decode(std::span(reinterpret_cast<const std::uint8_t*>(factory.data()), factory.size())),
              FactoryPresets::all());

    library->save(preset("mine"));
    dialogs.willSave(target);
    library->exportToPanel();
    main.pump();
    const std::string mine = read(target);
    EXPECT_EQ(ids(PresetFile::decode(std::span(reinterpret_cast<const std::uint8_t*>(mine.data()), mine.size()))),
              std::vector<std::string>{"mine"});

    dialogs.willSave(folder / "missing-folder" / "x.veltrane");
    library->exportToPanel();
    main.pump();
    EXPECT_TRUE(library->lastError.get()->starts_with("Could not export: "));
}

TEST_F(PresetLibraryTest, UnreadableLibraryIsKeptAsideBeforeTheFirstSave)
{
    for (const bool directory : {false, true}) {
        SCOPED_TRACE(directory ? "a folder in the file's place" : "undecodable bytes");
        fs::remove_all(folder / "data");
        if (directory)
            fs::create_directories(libraryFile() / "inner");
        else
            write(libraryFile(), "{ not a preset file");
        auto library = open();
        EXPECT_TRUE(library->user.get().empty());
        ASSERT_TRUE(library->lastError.get());
        EXPECT_TRUE(library->lastError.get()->starts_with("Could not read your presets: "));
        EXPECT_EQ(fs::is_directory(libraryFile()), directory); // untouched until a save

        library->save(preset("new"));
        const std::regex kept(
            R"(Could not read your presets: .* A copy was kept as (presets \d{4}-\d\d-\d\d \d\d-\d\d-\d\d\.veltrane)\.)");
        std::smatch match;
        const std::string message = library->lastError.get().value_or("");
        ASSERT_TRUE(std::regex_match(message, match, kept)) << message;
        const fs::path aside = libraryFile().parent_path() / match[1].str();
        if (directory)
            EXPECT_TRUE(fs::is_directory(aside / "inner"));
        else
            EXPECT_EQ(read(aside), "{ not a preset file");
        EXPECT_EQ(ids(open()->user.get()), std::vector<std::string>{"new"});

        // Another unreadable library in the same second is kept under a second name.
        write(libraryFile(), "garbage again");
        auto again = open();
        again->save(preset("newer"));
        if (!directory) {
            EXPECT_EQ(read(aside), "{ not a preset file");
        }
        EXPECT_NE(again->lastError.get().value_or("").find("A copy was kept as"), std::string::npos);
    }
}

TEST_F(PresetLibraryTest, FailedSaveLeavesTheFileWhole)
{
    auto library = open();
    library->save(preset("a"));
    const std::string before = read(libraryFile());
    Preset broken = preset("nan");
    broken.centerX = std::nan("");
    library->save(broken);
    EXPECT_TRUE(library->lastError.get()->starts_with("Could not save presets: "));
    EXPECT_EQ(library->user.get().size(), 2u); // the list in memory keeps it
    EXPECT_EQ(read(libraryFile()), before);
}

TEST_F(PresetLibraryTest, ThumbnailsFromDataURLsFilesAndNames)
{
    auto library = open();
    EXPECT_EQ(PresetLibrary::safe("a/b c"), "a_b_c");
    EXPECT_EQ(PresetLibrary::safe("0f8fad5b-d9cb-469f-a165-70867728950e"), "0f8fad5b-d9cb-469f-a165-70867728950e");
    EXPECT_EQ(PresetLibrary::safe(""), "");

    const auto png = encodePNG(Image{2, 1, {10, 20, 30, 0, 40, 50, 60, 0}});
    Preset p = preset("with picture");
    p.thumbnail = PresetLibrary::dataURL(png);
    const auto image = library->thumbnail(p);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width, 2);
    EXPECT_EQ(library->thumbnail(p), image); // cached

    // A line break inside the Base64 text fails; the thumbnail file is tried instead.
    Preset broken = preset("a/b c");
    broken.thumbnail = p.thumbnail.substr(0, 40) + "\n" + p.thumbnail.substr(40);
    EXPECT_FALSE(library->thumbnail(broken));
    writePNG(Image{3, 3, std::vector<std::uint8_t>(36, 200)}, library->thumbnailDirectory() / "a_b_c.png");
    ASSERT_TRUE(library->thumbnail(broken));
    EXPECT_EQ(library->thumbnail(broken)->width, 3);
}

TEST_F(PresetLibraryTest, MakeAndLoadPresets)
{
    state->zoomTo(2e12, 0, 0);
    const Preset made = state->makePreset("");
    EXPECT_TRUE(
        std::regex_match(made.id, std::regex("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")));
    EXPECT_TRUE(made.name.starts_with("Preset "));
    EXPECT_TRUE(made.centre && made.juliaC && made.scale && made.rootNote);
    EXPECT_EQ(made.log2Zoom, std::log2(state->zoom.get()));

    Preset other = preset("other");
    other.fractalType = FractalType::julia;
    other.zoom = 8;
    other.log2Zoom = 3.5; // disagrees: 2^3.5 wins
    state->scale.set(Scale::major);
    state->load(other);
    EXPECT_EQ(state->juliaC.get(), (Complex{-0.7, 0.27015}));
    EXPECT_EQ(state->scale.get(), Scale::off);
    EXPECT_EQ(state->rootNote.get(), 0);
    EXPECT_EQ(state->zoom.get(), 1); // another formula: from its centre at zoom 1
    ASSERT_TRUE(state->flight.get());
    EXPECT_EQ(state->flight.get()->to.zoom, std::exp2(3.5));
    EXPECT_EQ(state->activePresetId.get(), "other");
    EXPECT_EQ(state->presetSoundName.get(), "P other");

    clock.advance(20);
    state->advance(clock.now());
    const double zoomBefore = state->zoom.get();
    state->load(made); // made on mandelbrot: a different formula again
    state->load(other);
    EXPECT_EQ(state->flight.get()->from.zoom, 1);
    Preset same = other;
    same.id = "same";
    state->load(same); // the same formula flies from where the view is
    EXPECT_EQ(state->flight.get()->from.zoom, state->zoom.get());
    (void)zoomBefore;
}

TEST_F(PresetLibraryTest, SavedViewGetsItsThumbnailFromTheRenderQueue)
{
    auto library = open();
    state->juliaC.set(Complex{-0.8, 0.156});
    library->saveCurrentView(*state);
    ASSERT_EQ(library->user.get().size(), 1u);
    EXPECT_EQ(library->user.get()[0].thumbnail, "");
    library->waitForRenders();
    main.pump();
    const std::string& url = library->user.get()[0].thumbnail;
    if (url.empty()) GTEST_SKIP() << "no GPU device for thumbnails";
    const auto image = PresetLibrary::imageFromDataURL(url);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width, 128);
    EXPECT_EQ(image->height, 128);
    EXPECT_EQ(open()->user.get()[0].thumbnail, url); // persisted

    library->renderMissingThumbnails();
    library->waitForRenders();
    main.pump();
    for (const Preset& p : FactoryPresets::all())
        EXPECT_TRUE(fs::exists(library->thumbnailDirectory() / (PresetLibrary::safe(p.id) + ".png"))) << p.id;
    EXPECT_TRUE(library->thumbnails.get().contains(FactoryPresets::all().front().id));
}

} // namespace
} // namespace veltrane::test
