#include "VeltraneApp/ExportMessages.h"

#include "Takes/Take.h"

#include <cstdio>

namespace veltrane {

void systemLog(const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); }

namespace ExportMessages {

namespace {

// Seconds printed without decimals, rounded as printf rounds ("%.0f").
std::string wholeSeconds(double seconds)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.0f", seconds);
    return text;
}

} // namespace

const Entry& entry(Failure failure)
{
    for (const Entry& e : table)
        if (e.failure == failure) return e;
    return table.front(); // unreachable: every failure has its row
}

void Reporter::operator()(Failure failure, const std::string& detail, const std::string& name) const
{
    const Entry& e = entry(failure);
    if (e.channel == Channel::log || !dialogs) {
        if (log) log(std::string(e.text) + (name.empty() ? "" : name + ": ") + detail);
        return;
    }
    dialogs->alert({std::string(e.text) + name, detail});
}

std::string takeSaveMessage(double seconds)
{
    return "A " + wholeSeconds(seconds) + "-second take. Render it later with File \u2192 Export Take as Movie.";
}

std::string movieSaveMessage(double seconds)
{
    return "Save the " + wholeSeconds(seconds) + "-second recording as a movie with its sound.";
}

std::string keptAt(const std::string& path) { return "; it is kept at " + path; }

const Dialogs::FileType wavType{"WAV audio", {"wav"}};
const Dialogs::FileType takeType{"Veltrane take", {std::string(Take::fileExtension)}};
const Dialogs::FileType movieType{"QuickTime movie", {"mov"}};
const Dialogs::FileType midiType{"MIDI file", {"mid"}};
const Dialogs::FileType rackType{"Ableton device rack", {"adg"}};

} // namespace ExportMessages
} // namespace veltrane
