#include "Music/Melodies.h"

#include "Music/Classics.h"
#include "Music/TextTunes.h"

namespace veltrane::Melodies {

const std::vector<Melody>& all()
{
    static const std::vector<Melody> melodies = [] {
        std::vector<Melody> list;
        list.reserve(textTunes.size());
        for (const TextTune& t : textTunes)
            list.emplace_back(std::string(t.id), std::string(t.name), std::string(t.credit), t.bpm, t.beatsPerBar,
                              t.tonic, t.score, t.bass);
        return list;
    }();
    return melodies;
}

std::optional<Melody> melody(std::string_view id)
{
    for (const Melody& m : all())
        if (m.id() == id) return m;
    for (const Melody& m : Classics::all())
        if (m.id() == id) return m;
    return std::nullopt;
}

} // namespace veltrane::Melodies
