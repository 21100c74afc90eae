#include "StateFixture.h"

#include "../Music/MIDIBuilder.h"
#include "Music/MIDIFile.h"
#include "Music/Melodies.h"
#include "Platform/Files/Files.h"

#include <cstdlib>
#include <fstream>

namespace veltrane {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::StateFixture;
using test::TrackBuilder;

Bytes tune(std::initializer_list<int> keys)
{
    TrackBuilder track;
    track.tempo(500000).melody(keys, 480).end();
    return test::smf(0, 480, {track});
}

class MelodyLibraryTest : public StateFixture {
protected:
    fs::path source(const std::string& name, const Bytes& bytes)
    {
        const fs::path dir = folder / "incoming";
        fs::create_directories(dir);
        std::ofstream(dir / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), long(bytes.size()));
        return dir / name;
    }
    std::vector<std::string> stored() const
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(library->directory())) names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
    std::vector<std::string> importedNames() const
    {
        std::vector<std::string> names;
        for (const Melody& m : library->imported().get()) names.push_back(m.name());
        return names;
    }
};

TEST_F(MelodyLibraryTest, ImportsCopiesReusesAndNumbersCollidingNames)
{
    EXPECT_TRUE(library->imported().get().empty()); // the folder does not exist yet
    int listChanges = 0;
    ObservationToken token = library->imported().observe([&] { ++listChanges; });

    const Melody first = library->importFile(source("Air.mid", tune({60, 62, 64})));
    EXPECT_EQ(first.id(), "midi:Air.mid");
    EXPECT_EQ(first.name(), "Air");
    EXPECT_EQ(listChanges, 1);

    // The same bytes again: the stored copy is reused, nothing is written, nobody is told.
    EXPECT_EQ(library->importFile(source("Air.mid", tune({60, 62, 64}))).id(), "midi:Air.mid");
    EXPECT_EQ(listChanges, 1);

    // Different bytes under a taken name: " 2", then " 3"; the first file is untouched.
    EXPECT_EQ(library->importFile(source("Air.mid", tune({67}))).id(), "midi:Air 2.mid");
    EXPECT_EQ(library->importFile(source("Air.mid", tune({69}))).id(), "midi:Air 3.mid");
    EXPECT_EQ(Files::readAll(library->directory() / "Air.mid"), tune({60, 62, 64}));

    // No extension gets ".mid"; an upper-case one is kept and accepted.
    EXPECT_EQ(library->importFile(source("Plain", tune({72}))).id(), "midi:Plain.mid");
    EXPECT_EQ(library->importFile(source("LOUD.MID", tune({74}))).id(), "midi:LOUD.MID");
    EXPECT_EQ(stored(), (std::vector<std::string>{"Air 2.mid", "Air 3.mid", "Air.mid", "LOUD.MID", "Plain.mid"}));

    // A fresh library reads the same list from the folder.
    MelodyLibrary again(library->directory());
    EXPECT_EQ(again.imported().get(), library->imported().get());
}

TEST_F(MelodyLibraryTest, AFailedImportChangesNothingOnDisk)
{
    library->importFile(source("Air.mid", tune({60})));
    const auto before = stored();
    struct Case {
        const char* what;
        fs::path file;
        MIDIFile::Failure::Kind kind;
    };
    TrackBuilder silent;
    silent.tempo(500000).end();
    const Bytes whole = tune({60});
    const Case cases[] = {
        {"not MIDI, under a taken name", source("Air.mid", Bytes{'R', 'I', 'F', 'F', 0, 0, 0, 0}),
         MIDIFile::Failure::Kind::notMIDI},
        {"cut short", source("Short.mid", Bytes(whole.begin(), whole.end() - 3)), MIDIFile::Failure::Kind::truncated},
        {"no notes", source("Silent.mid", test::smf(0, 480, {silent})), MIDIFile::Failure::Kind::noNotes},
    };
    for (const Case& c : cases) {
        try {
            library->importFile(c.file);
            ADD_FAILURE() << c.what;
        } catch (const MIDIFile::Failure& failure) {
            EXPECT_EQ(failure.kind(), c.kind) << c.what;
        }
        EXPECT_EQ(stored(), before) << c.what; // nothing replaced, nothing half-written
    }
    EXPECT_THROW(library->importFile(folder / "incoming" / "gone.mid"), Files::Error);
    EXPECT_EQ(Files::readAll(library->directory() / "Air.mid"), tune({60}));
}

TEST_F(MelodyLibraryTest, ImportFilesSelectsTheLastSuccessAndGathersFailures)
{
    InstrumentState& s = *state;
    s.melodyBPM.set(90);
    s.hudVisible.set(false);
    const std::vector<fs::path> files{source("One.mid", tune({60})), source("notes.txt", tune({60})),
                                      source("Two.midi", tune({62})), source("Bad.mid", Bytes{1, 2, 3})};
    const auto outcome = MelodyLibrary::importFiles(files, s);
    EXPECT_TRUE(outcome.imported);
    EXPECT_EQ(s.melodyID.get(), "midi:Two.midi");
    EXPECT_FALSE(s.melodyBPM.get());
    EXPECT_TRUE(s.hudVisible.get());
    EXPECT_EQ(s.melody().id(), "midi:Two.midi");
    ASSERT_TRUE(outcome.alert);
    EXPECT_EQ(outcome.alert->message, "That MIDI file couldn't be imported");
    EXPECT_EQ(outcome.alert->informative, "Bad.mid: This isn't a MIDI file.");

    const std::vector<fs::path> bad{source("A.mid", Bytes{1}), source("B.kar", Bytes{2})};
    EXPECT_EQ(MelodyLibrary::importFiles(bad, s).alert->message, "Some MIDI files couldn't be imported");
    const std::vector<fs::path> others{source("x.wav", Bytes{1})};
    const auto none = MelodyLibrary::importFiles(others, s);
    EXPECT_FALSE(none.imported);
    EXPECT_FALSE(none.alert);

    const auto all = s.allMelodies();
    EXPECT_EQ(all.front(), Melodies::all().front());
    EXPECT_EQ(all.back().id(), "midi:Two.midi");
}

TEST_F(MelodyLibraryTest, RemovingAMelodyAndTheSelection)
{
    InstrumentState& s = *state;
    library->importFile(source("Keep.mid", tune({60})));
    library->importFile(source("Drop.mid", tune({62})));
    s.melodyID.set("midi:Keep.mid");
    s.melodyPlaying.set(true);
    s.melodyBPM.set(100);

    s.removeMelody("midi:Drop.mid"); // not selected: the selection stays
    EXPECT_EQ(stored(), (std::vector<std::string>{"Keep.mid"}));
    EXPECT_EQ(s.melodyID.get(), "midi:Keep.mid");
    EXPECT_TRUE(s.melodyPlaying.get());
    EXPECT_EQ(s.melodyBPM.get(), 100);

    s.removeMelody("midi:Keep.mid");
    EXPECT_TRUE(library->imported().get().empty());
    EXPECT_EQ(s.melodyID.get(), Melodies::all().front().id());
    EXPECT_FALSE(s.melodyPlaying.get());
    EXPECT_FALSE(s.melodyBPM.get());
    s.removeMelody("midi:Unknown.mid"); // nothing to do
}

TEST_F(MelodyLibraryTest, ListingOrderAndUnreadableEntries)
{
    for (const char* name : {"Song 10.mid", "song 9.mid", "Alpha.mid", "Song 2.smf"})
        library->importFile(source(name, tune({60})));
    EXPECT_EQ(importedNames(), (std::vector<std::string>{"Alpha", "Song 2", "song 9", "Song 10"}));

    std::ofstream(library->directory() / "broken.mid") << "not midi";
    fs::create_directories(library->directory() / "folder.mid");
    library->reload();
    EXPECT_EQ(importedNames().size(), 4u);
}

TEST(MelodyLibraryShared, LivesInTheDataFolder)
{
    const fs::path xdg = fs::path(testing::TempDir()) / ("veltrane-xdg-" + std::to_string(::getpid()));
    const char* old = std::getenv("XDG_DATA_HOME");
    const std::optional<std::string> saved = old ? std::optional<std::string>(old) : std::nullopt;
    setenv("XDG_DATA_HOME", xdg.c_str(), 1);
    EXPECT_EQ(MelodyLibrary::shared().directory(), xdg / "Veltrane" / "Melodies");
    EXPECT_TRUE(MelodyLibrary::shared().imported().get().empty());
    if (saved)
        setenv("XDG_DATA_HOME", saved->c_str(), 1);
    else
        unsetenv("XDG_DATA_HOME");
    fs::remove_all(xdg);
}

} // namespace
} // namespace veltrane
