#pragma once
// Every word the recordings, takes, movies and tone exports say to the user, in one place: the
// failures (each one alert or one log line with a fixed prefix), the panel messages and the
// accessory controls of the movie panel. `report` turns a failure into its alert or log line, so
// the channel and the text of each failure are written once, in the table below.
//
// Main thread (alerts go through the dialogs presenter).
#include "Platform/Dialogs/Dialogs.h"

#include <array>
#include <functional>
#include <string>
#include <string_view>

namespace veltrane {

// One line on standard error: the system log.
void systemLog(const std::string& line);

namespace ExportMessages {

enum class Failure {
    startRecording, // the engine could not open the recording file
    saveRecording,  // the recording could not be moved to the chosen place
    saveTake,       // the take could not be encoded or written
    movieLogged,    // a melody capture's movie failed (no one is watching: a log line)
    movieAlert,     // an export the user started failed
    rackExport,     // the device rack could not be built
    saveExport,     // a locked-tone export could not be written
};

enum class Channel { log, alert };

struct Entry {
    Failure failure;
    Channel channel;
    std::string_view text; // the log line's prefix, or the alert's title (followed by the file's name
                           // for saveExport)
};

inline constexpr std::array table{
    Entry{Failure::startRecording, Channel::log, "could not start recording: "},
    Entry{Failure::saveRecording, Channel::log, "could not save recording: "},
    Entry{Failure::saveTake, Channel::log, "could not save take: "},
    Entry{Failure::movieLogged, Channel::log, "movie export failed: "},
    Entry{Failure::movieAlert, Channel::alert, "Movie export failed"},
    Entry{Failure::rackExport, Channel::alert, "Ableton export failed"},
    Entry{Failure::saveExport, Channel::alert, "Could not save "},
};

const Entry& entry(Failure failure);

// Where failures go: log lines to `log`, alerts to `dialogs`.
struct Reporter {
    std::function<void(const std::string&)> log = systemLog;
    Dialogs::Presenter* dialogs = nullptr;

    // A log line is the prefix followed by `detail`; an alert has the title (with `name` after it for
    // saveExport) and `detail` as its informative text.
    void operator()(Failure failure, const std::string& detail, const std::string& name = {}) const;
};

// Panel texts.
inline constexpr std::string_view chooseTake = "Choose a take to render";
inline constexpr std::string_view movieFormat = "Movie format";
inline constexpr std::string_view showHUD = "Show the controls and keyboard";
inline constexpr std::string_view hudMissing = "This take was recorded before the controls were logged with it";
inline constexpr std::string_view alsoWAV = "Also save the sound as a WAV file";

// "A 12-second take. Render it later with File → Export Take as Movie."
std::string takeSaveMessage(double seconds);
// "Save the 12-second recording as a movie with its sound."
std::string movieSaveMessage(double seconds);

// The rest of a log line when a save failed and the data was kept in the temporary folder.
std::string keptAt(const std::string& path);

// File types of the panels.
extern const Dialogs::FileType wavType;
extern const Dialogs::FileType takeType;
extern const Dialogs::FileType movieType;
extern const Dialogs::FileType midiType;
extern const Dialogs::FileType rackType;

} // namespace ExportMessages
} // namespace veltrane
