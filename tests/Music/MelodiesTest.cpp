#include "Music/Melodies.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numeric>

#include "Music/Classics.h"
#include "Platform/Resources/Resources.h"

namespace veltrane {
namespace {

TEST(Melodies, HasTheElevenTextTunesWithAlignedParts)
{
    struct Row {
        const char* id;
        const char* name;
        double bpm, beatsPerBar;
        int tonic;
        size_t bars;
    };
    const Row table[] = {
        {"ode-to-joy", "Ode to Joy", 104, 4, 60, 16},
        {"fur-elise", "Für Elise", 66, 1.5, 69, 9},
        {"minuet-in-g", "Minuet in G", 120, 3, 67, 16},
        {"mountain-king", "In the Hall of the Mountain King", 132, 4, 59, 4},
        {"canon", "Canon in D", 60, 4, 74, 8},
        {"greensleeves", "Greensleeves", 132, 3, 69, 16},
        {"frere-jacques", "Frère Jacques", 112, 4, 60, 8},
        {"twinkle", "Twinkle, Twinkle, Little Star", 100, 4, 60, 12},
        {"spiral", "Spiral", 112, 4, 60, 4},
        {"orbit", "Orbit", 92, 4, 60, 8},
        {"event-horizon", "Event Horizon", 66, 4, 62, 8},
    };
    const auto& all = Melodies::all();
    ASSERT_EQ(all.size(), std::size(table));
    for (size_t i = 0; i < all.size(); ++i) {
        const Melody& m = all[i];
        const Row& row = table[i];
        EXPECT_EQ(m.id(), row.id);
        EXPECT_EQ(m.name(), row.name);
        EXPECT_FALSE(m.credit().empty()) << row.id;
        EXPECT_EQ(m.bpm(), row.bpm) << row.id;
        EXPECT_EQ(m.beatsPerBar(), row.beatsPerBar) << row.id;
        EXPECT_EQ(m.tonic(), row.tonic) << row.id;
        EXPECT_EQ(m.bars().size(), row.bars) << row.id;
        EXPECT_EQ(m.bassBars(), m.bars()) << row.id; // the two parts stay aligned bar by bar
        EXPECT_FALSE(m.notes().empty() || m.bass().empty()) << row.id;
        const double barTotal = std::accumulate(m.bars().begin(), m.bars().end(), 0.0);
        EXPECT_NEAR(m.length(), barTotal, 1e-9) << row.id;
        for (const auto* part : {&m.notes(), &m.bass()})
            for (const auto& n : *part) EXPECT_LE(n.beat + n.length, m.length() + 1e-9) << row.id;
    }
    EXPECT_EQ(all[5].credit(), "Traditional, England");
    EXPECT_EQ(all[6].credit(), "Traditional, France");
    EXPECT_EQ(all[7].credit(), "Traditional, France, 1761");
    for (size_t i : {8, 9, 10}) EXPECT_EQ(all[i].credit(), "Veltrane");
    EXPECT_EQ(&Melodies::all(), &all); // built once
}

TEST(Melodies, UpbeatsAndTheCanonAsWritten)
{
    const auto& all = Melodies::all();
    const Melody& furElise = all[1];
    EXPECT_EQ(furElise.bars().front(), 0.5);
    EXPECT_EQ(furElise.bars().back(), 1);
    EXPECT_EQ(furElise.notes()[0], (Melody::Note{0, 0.25, 7, 0.82})); // E5 over A4
    EXPECT_EQ(all[5].bars().front(), 1);                              // Greensleeves
    EXPECT_EQ(all[5].bars().back(), 2);

    // "F#5:2 E5 | D5 C#5 | ..." over D5, bass "D4:2 A3 | ..." at the bass level.
    const Melody& canon = all[4];
    ASSERT_EQ(canon.notes().size(), 16u);
    EXPECT_EQ(canon.notes()[0], (Melody::Note{0, 2, 4, 0.82}));
    EXPECT_EQ(canon.notes()[1], (Melody::Note{2, 2, 2, 0.7}));
    EXPECT_EQ(canon.bass()[0], (Melody::Note{0, 2, -12, 0.82 * Melody::bassLevel}));
    EXPECT_EQ(canon.bass()[1].semitones, -17);
    EXPECT_EQ(canon.length(), 32);
}

TEST(Melodies, FindsEveryBuiltInTuneById)
{
    Resources::setRoot(std::filesystem::path(VELTRANE_SOURCE_DIR) / "resources");
    auto canon = Melodies::melody("canon");
    ASSERT_TRUE(canon);
    EXPECT_EQ(*canon, Melodies::all()[4]);
    EXPECT_FALSE(Melodies::melody("no-such-tune"));
    EXPECT_FALSE(Melodies::melody("Canon"));

    for (const Melody& m : Melodies::all()) EXPECT_EQ(Melodies::melody(m.id()), m);
    const auto& classics = Classics::all();
    EXPECT_EQ(classics.size(), Classics::entries().size());
    for (const Melody& m : classics) EXPECT_EQ(Melodies::melody(m.id()), m);
}

} // namespace
} // namespace veltrane
