// The locked-tone exports through scripted save panels, read back from disk.
#include "Platform/Files/Files.h"
#include "Platform/Resources/Resources.h"
#include "Presets/Export/AbletonExport.h"
#include "Presets/Export/Gzip.h"
#include "Presets/Export/MIDIExport.h"
#include "StateFixture.h"
#include "VeltraneApp/ToneExport.h"

#include <pugixml.hpp>

namespace veltrane::test {
namespace {

namespace fs = std::filesystem;

class ToneExportTest : public StateFixture {
protected:
    ToneExportTest()
    {
        Resources::setRoot(fs::path(VELTRANE_SOURCE_DIR) / "resources");
        fs::create_directories(folder / "out");
    }
    ~ToneExportTest() override { Resources::setRoot(fs::path(VELTRANE_SOURCE_DIR) / "resources"); }

    void lock()
    {
        AudioParams params = AudioParams::defaults();
        params.frequency = 277.18; // C#4
        state->lockedTone.set(LockedTone::locking(params, "sine"));
    }

    MainQueue main{clock};
    Dialogs::ScriptedPresenter dialogs{main};
};

TEST_F(ToneExportTest, NothingWithoutALockedTone)
{
    ToneExport::exportMIDI(*state, dialogs);
    ToneExport::exportAbleton(*state, dialogs);
    main.pump();
    EXPECT_TRUE(dialogs.saveRequests.empty());
    EXPECT_TRUE(dialogs.alerts.empty());
}

TEST_F(ToneExportTest, BothFilesAreWrittenAndReadBack)
{
    lock();
    const LockedTone tone = *state->lockedTone.get();
    dialogs.willSave(folder / "out" / "tone"); // the extension is added
    dialogs.willSave(folder / "out" / "rack.adg");
    ToneExport::exportMIDI(*state, dialogs);
    ToneExport::exportAbleton(*state, dialogs);
    main.pump();
    ASSERT_EQ(dialogs.saveRequests.size(), 2u);
    EXPECT_EQ(dialogs.saveRequests[0].proposedName, "veltrane-Cs4.mid");
    EXPECT_EQ(dialogs.saveRequests[0].types.at(0).extensions, std::vector<std::string>{"mid"});
    EXPECT_EQ(dialogs.saveRequests[1].proposedName, "veltrane-Cs4.adg");
    EXPECT_EQ(dialogs.saveRequests[1].types.at(0).extensions, std::vector<std::string>{"adg"});
    EXPECT_TRUE(dialogs.alerts.empty());

    const auto midi = Files::readAll(folder / "out" / "tone.mid");
    EXPECT_EQ(midi.size(), MIDIExport::fileSize);
    EXPECT_EQ(midi, MIDIExport::file(tone));
    EXPECT_EQ(std::string(midi.begin(), midi.begin() + 4), "MThd");

    const auto xml = Gzip::decompress(Files::readAll(folder / "out" / "rack.adg"));
    pugi::xml_document document;
    ASSERT_TRUE(document.load_buffer(xml.data(), xml.size()));
    pugi::xml_document expected;
    const auto built = Gzip::decompress(AbletonExport::rack(tone));
    ASSERT_TRUE(expected.load_buffer(built.data(), built.size()));
    EXPECT_EQ(xml, built);
    EXPECT_TRUE(document.child("Ableton"));
}

TEST_F(ToneExportTest, FailuresAreAlertsWithTheirTitles)
{
    lock();
    dialogs.willSave(folder / "missing" / "tone.mid");
    ToneExport::exportMIDI(*state, dialogs);
    main.pump();
    ASSERT_EQ(dialogs.alerts.size(), 1u);
    EXPECT_EQ(dialogs.alerts[0], (Dialogs::Alert{"Could not save veltrane-Cs4.mid", "No such file or directory"}));

    Resources::setRoot(folder / "no-resources");
    ToneExport::exportAbleton(*state, dialogs);
    main.pump();
    ASSERT_EQ(dialogs.alerts.size(), 2u);
    EXPECT_EQ(dialogs.alerts[1], (Dialogs::Alert{"Ableton export failed", "The rack template is missing."}));
    EXPECT_EQ(dialogs.saveRequests.size(), 1u); // no panel for a rack that could not be built
}

} // namespace
} // namespace veltrane::test
