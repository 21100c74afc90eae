#include "Music/Classics.h"

#include <fstream>
#include <iterator>

#include "Music/MIDIFile.h"
#include "Platform/Resources/Resources.h"

namespace veltrane::Classics {

const std::vector<Entry>& entries()
{
    static const std::vector<Entry> table = {
        {"bach-cello-suite-1-prelude", "Cello Suite No. 1: Prelude", "Bach, about 1720", std::nullopt, {}},
        {"bach-prelude-c", "Prelude in C", "Bach, 1722", 66, {1}},
        {"bach-invention-4", "Invention No. 4 in D Minor", "Bach, 1723", std::nullopt, {2}},
        {"bach-invention-8", "Invention No. 8 in F", "Bach, 1723", std::nullopt, {2}},
        {"bach-invention-13", "Invention No. 13 in A Minor", "Bach, 1723", std::nullopt, {2}},
        {"bach-bourree-e-minor", "Bourrée in E Minor", "Bach, about 1710", std::nullopt, {2}},
        {"bach-prelude-d-minor", "Prelude in D Minor", "Bach, about 1720", std::nullopt, {}},
        {"bach-air-on-the-g-string", "Air on the G String", "Bach, about 1730", 60, {2}},
        {"notebook-musette-d", "Musette in D", "Anna Magdalena Bach's notebook, 1725", std::nullopt, {2}},
        {"petzold-minuet-g-minor", "Minuet in G Minor", "Christian Petzold, about 1725", std::nullopt, {2}},
        {"mozart-rondo-alla-turca", "Rondo alla Turca", "Mozart, 1783", 120, {2}},
        {"schubert-moment-musical-3", "Moment Musical No. 3", "Schubert, 1823", std::nullopt, {2}},
        {"chopin-prelude-e-minor", "Prelude in E Minor", "Chopin, 1839", std::nullopt, {2}},
        {"chopin-prelude-a", "Prelude in A", "Chopin, 1839", 66, {2}},
        {"chopin-raindrop-prelude", "Raindrop Prelude", "Chopin, 1839", std::nullopt, {2}},
        {"chopin-prelude-c-minor", "Prelude in C Minor", "Chopin, 1839", std::nullopt, {2}},
        {"chopin-minute-waltz", "Minute Waltz", "Chopin, 1847", 240, {2}},
        {"schumann-traumerei", "Träumerei", "Schumann, 1838", 56, {2}},
        {"schumann-foreign-lands", "Of Foreign Lands and Peoples", "Schumann, 1838", std::nullopt, {2}},
        {"schumann-perfect-happiness", "Perfect Happiness", "Schumann, 1838", std::nullopt, {2}},
        {"burgmuller-arabesque", "Arabesque", "Burgmüller, about 1851", std::nullopt, {2}},
        {"burgmuller-progress", "Progress", "Burgmüller, about 1851", std::nullopt, {2}},
        {"burgmuller-ballade", "Ballade", "Burgmüller, about 1851", std::nullopt, {2}},
        {"brahms-waltz-a-flat", "Waltz in A-flat", "Brahms, 1865", std::nullopt, {2}},
        {"tchaikovsky-january", "January: By the Fireside", "Tchaikovsky, 1876", std::nullopt, {2}},
        {"tchaikovsky-morning-prayer", "Morning Prayer", "Tchaikovsky, 1878", std::nullopt, {2}},
        {"tchaikovsky-wooden-soldiers", "March of the Wooden Soldiers", "Tchaikovsky, 1878", std::nullopt, {2}},
        {"tchaikovsky-old-french-song", "Old French Song", "Tchaikovsky, 1878", std::nullopt, {2}},
        {"satie-gymnopedie-1", "Gymnopédie No. 1", "Satie, 1888", std::nullopt, {2}},
        {"satie-gymnopedie-2", "Gymnopédie No. 2", "Satie, 1888", std::nullopt, {2}},
        {"satie-gymnopedie-3", "Gymnopédie No. 3", "Satie, 1888", std::nullopt, {2}},
        {"debussy-arabesque-1", "Arabesque No. 1", "Debussy, 1891", 112, {2}},
        {"grieg-march-of-the-dwarfs", "March of the Dwarfs", "Grieg, 1891", std::nullopt, {2}},
        {"debussy-clair-de-lune", "Clair de Lune", "Debussy, 1905", 72, {2}},
        {"sousa-el-capitan", "El Capitan", "Sousa, 1896", std::nullopt, {3}},
        {"joplin-maple-leaf-rag", "Maple Leaf Rag", "Joplin, 1899", 100, {2}},
        {"joplin-entertainer", "The Entertainer", "Joplin, 1902", std::nullopt, {2}},
        {"the-first-noel", "The First Noel", "Traditional, England", 96, {2}},
        {"o-come-emmanuel", "O Come, O Come, Emmanuel", "Traditional, France", std::nullopt, {2}},
        {"the-holly-and-the-ivy", "The Holly and the Ivy", "Traditional, England", std::nullopt, {}},
    };
    return table;
}

Melody loadOne(const Entry& entry)
{
    const auto path = Resources::find(entry.id + ".mid", "Tunes"); // "Tunes" first, then the root
    if (!path) throw std::runtime_error("no file " + entry.id + ".mid among the resources");
    std::ifstream in(*path, std::ios::binary);
    std::vector<uint8_t> bytes;
    if (in) bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (!in.is_open() || in.bad()) throw std::runtime_error("cannot read " + path->string());
    const MIDIFile file{std::span<const uint8_t>(bytes)};
    return Melody::fromMIDI(file, entry.id, entry.name, entry.credit, entry.bpm, entry.bassTracks);
}

std::vector<Melody> load(std::span<const Entry> entries)
{
    std::vector<Melody> melodies;
    for (const Entry& entry : entries) {
        try {
            melodies.push_back(loadOne(entry));
        } catch (const std::runtime_error&) {
            // A piece that is missing, unreadable or rejected is left out.
        }
    }
    return melodies;
}

const std::vector<Melody>& all()
{
    static const std::vector<Melody> melodies = load(entries());
    return melodies;
}

} // namespace veltrane::Classics
