#include "Music/Classics.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <thread>

#include <unistd.h>

#include "MIDIBuilder.h"
#include "Music/MIDIFile.h"
#include "Platform/Resources/Resources.h"

namespace veltrane {
namespace {

using namespace test;
namespace fs = std::filesystem;

void write(const fs::path& path, const Bytes& bytes)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// A two-track piece: a tune in track 0 at 240 bpm and a high line in track 1 that only a bass-track
// override makes bass.
Bytes piece(int firstKey)
{
    TrackBuilder tune, upper;
    tune.tempo(250000).melody({firstKey, firstKey + 2, firstKey + 4}, 96).end();
    upper.melody({firstKey + 12, firstKey + 7}, 144, 80).end();
    return smf(1, 96, {tune, upper});
}

class ClassicsLoading : public testing::Test {
protected:
    void SetUp() override
    {
        root = fs::path(testing::TempDir()) / ("classics-" + std::to_string(::getpid()));
        fs::remove_all(root);
        fs::create_directories(root);
        Resources::setRoot(root);
    }
    void TearDown() override { fs::remove_all(root); }
    fs::path root;
};

TEST_F(ClassicsLoading, SkipsWhatItCannotReadAndKeepsTheOrder)
{
    write(root / "Tunes" / "first.mid", piece(60));
    write(root / "top-level.mid", piece(62)); // only at the top level: still found
    write(root / "Tunes" / "text.mid", Bytes{'h', 'e', 'l', 'l', 'o'});
    TrackBuilder drums;
    drums.melody({36, 38}, 96, 100, 9);
    write(root / "Tunes" / "drums.mid", smf(0, 96, {drums}));
    write(root / "Tunes" / "both.mid", piece(64)); // "Tunes" is looked in first
    write(root / "both.mid", piece(40));
    fs::create_directories(root / "Tunes" / "folder.mid"); // not a file

    const std::vector<Classics::Entry> entries = {
        {"first", "First", "Someone, 1900", std::nullopt, {}}, {"missing", "Missing", "Nobody", std::nullopt, {}},
        {"text", "Text", "Nobody", std::nullopt, {}},          {"top-level", "Top", "Someone else, 1901", 66, {1}},
        {"drums", "Drums", "Nobody", std::nullopt, {}},        {"folder", "Folder", "Nobody", std::nullopt, {}},
        {"both", "Both", "Anyone", std::nullopt, {0}},
    };
    const std::vector<Melody> loaded = Classics::load(entries);
    ASSERT_EQ(loaded.size(), 3u);

    EXPECT_EQ(loaded[0].id(), "first");
    EXPECT_EQ(loaded[0].name(), "First");
    EXPECT_EQ(loaded[0].credit(), "Someone, 1900");
    EXPECT_EQ(loaded[0].bpm(), 240);
    EXPECT_EQ(loaded[0].notes().size(), 5u); // empty bass tracks: everything is melody
    EXPECT_TRUE(loaded[0].bass().empty());

    // The tempo override wins over the file's; the bass is exactly the notes of track 1.
    EXPECT_EQ(loaded[1].id(), "top-level");
    EXPECT_EQ(loaded[1].bpm(), 66);
    ASSERT_EQ(loaded[1].bass().size(), 2u);
    EXPECT_EQ(loaded[1].bass()[0].semitones + loaded[1].tonic(), 74);
    EXPECT_EQ(loaded[1].notes().size(), 3u);

    EXPECT_EQ(loaded[2].id(), "both");
    EXPECT_EQ(loaded[2].bass()[0].semitones + loaded[2].tonic(), 64);
}

TEST_F(ClassicsLoading, OneEntrySaysWhyItHasNoMelody)
{
    const std::string text = "plain text, not a MIDI file at all";
    write(root / "Tunes" / "text.mid", Bytes(text.begin(), text.end()));
    write(root / "Tunes" / "good.mid", piece(60));
    struct Case {
        const char* id;
        std::string reason;
    };
    for (const Case& c : {Case{"missing", "no file missing.mid"}, Case{"text", MIDIFile::Failure::notMIDI().what()}}) {
        try {
            Classics::loadOne({c.id, "Name", "Credit", std::nullopt, {}});
            ADD_FAILURE() << c.id << " loaded";
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find(c.reason), std::string::npos) << e.what();
        }
    }
    EXPECT_EQ(Classics::loadOne({"good", "Good", "Credit", std::nullopt, {}}).notes().size(), 5u);
}

TEST_F(ClassicsLoading, NoTuneFilesLeaveNoClassics) { EXPECT_TRUE(Classics::load(Classics::entries()).empty()); }

TEST(ClassicsTable, HasFortyPiecesWithTheirOverrides)
{
    const auto& entries = Classics::entries();
    ASSERT_EQ(entries.size(), 40u);
    const std::regex idPattern("[a-z0-9]+(-[a-z0-9]+)*");
    std::set<std::string> ids;
    for (const auto& e : entries) {
        EXPECT_TRUE(std::regex_match(e.id, idPattern)) << e.id;
        EXPECT_TRUE(ids.insert(e.id).second) << "duplicate " << e.id;
        EXPECT_FALSE(e.name.empty() || e.credit.empty()) << e.id;
    }
    EXPECT_EQ(entries[1].name, "Prelude in C");
    EXPECT_EQ(entries[1].bpm, 66);
    EXPECT_EQ(entries[1].bassTracks, std::set<int>{1});
    EXPECT_EQ(entries[8].id, "notebook-musette-d");
    EXPECT_EQ(entries[16].bpm, 240);
    EXPECT_EQ(entries[34].bassTracks, std::set<int>{3});
    EXPECT_EQ(entries[37].id, "the-first-noel");
    EXPECT_EQ(entries[37].credit, "Traditional, England");
    for (int row : {0, 6, 39}) EXPECT_TRUE(entries[row].bassTracks.empty()) << row;
    EXPECT_EQ(entries[39].id, "the-holly-and-the-ivy");
}

TEST(Classics, AllFortyLoadFromTheResources)
{
    Resources::setRoot(fs::path(VELTRANE_SOURCE_DIR) / "resources");
    // Several threads asking at once all get the one list, read once.
    std::vector<const std::vector<Melody>*> seen(4);
    std::vector<std::thread> threads;
    for (auto& slot : seen) threads.emplace_back([&slot] { slot = &Classics::all(); });
    for (auto& t : threads) t.join();
    const auto& entries = Classics::entries();
    const auto& all = Classics::all();
    for (const auto* list : seen) EXPECT_EQ(list, &all);
    ASSERT_EQ(all.size(), entries.size());
    for (size_t i = 0; i < all.size(); ++i) {
        const Melody& m = all[i];
        const Classics::Entry& e = entries[i];
        EXPECT_EQ(m.id(), e.id);
        EXPECT_EQ(m.name(), e.name);
        EXPECT_EQ(m.credit(), e.credit);
        if (e.bpm) {
            EXPECT_EQ(m.bpm(), *e.bpm) << e.id;
        }
        EXPECT_FALSE(m.notes().empty()) << e.id;
        EXPECT_EQ(m.bass().empty(), e.bassTracks.empty()) << e.id;
        // The bass is exactly the notes of the entry's bass tracks.
        std::ifstream in(fs::path(VELTRANE_SOURCE_DIR) / "resources" / "Tunes" / (e.id + ".mid"), std::ios::binary);
        const Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const MIDIFile file{std::span<const uint8_t>(bytes)};
        size_t bassNotes = 0, melodyNotes = 0;
        for (const auto& n : file.notes)
            if (n.channel != 9) ++(e.bassTracks.contains(n.track) ? bassNotes : melodyNotes);
        EXPECT_EQ(m.bass().size(), bassNotes) << e.id;
        EXPECT_EQ(m.notes().size(), melodyNotes) << e.id;
        EXPECT_LE(m.bars().size(), size_t(MIDIFile::maxMelodyBars)) << e.id;
    }
}

} // namespace
} // namespace veltrane
