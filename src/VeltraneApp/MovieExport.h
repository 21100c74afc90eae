#pragma once
// Takes rendered to movies from the instrument: choosing a take file, the movie panel with its
// format and two remembered choices, the render on a thread of its own with its progress in
// `InstrumentState::movieProgress` and a cancel flag, the sound also written as a WAV file beside
// the movie, and the finished movie shown in the file browser.
//
// One movie renders at a time. While one renders, `movieProgress` is present; the menu's export does
// nothing then, and a further render asked for meanwhile (a melody capture's movie, or a panel the
// user confirms while another movie renders) waits its turn and starts when the running one has
// ended. Cancelling stops the running render only; the movie writer then leaves nothing behind and
// whatever was at the destination stays.
//
// The WAV beside a movie is named after it ("song.mov" -> "song.wav"); it never replaces a file: a
// name that is taken becomes "song 2.wav", "song 3.wav"... It is written, whole, before the movie
// renders (a WAV that cannot be written means no movie), stays after a cancel, and is removed again
// when the movie fails, so no WAV claims a movie that does not exist.
//
// The HUD over the movie comes from an overlay maker; without one (no HUD yet) the "show the
// controls" choice is off and disabled, as it is for a take recorded without HUD states.
//
// Main thread, except the render, which runs detached and reaches the state only through work it
// queues to the main queue; that work does nothing once this object is gone. Destroying it cancels
// the running render. The state handed to each call must outlive this object.
#include "Platform/Dialogs/Dialogs.h"
#include "Platform/Queues/MainQueue.h"
#include "Takes/Take.h"
#include "Takes/TakeMovie.h"
#include "VeltraneApp/CancelFlag.h"

#include <array>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace veltrane {

class InstrumentState;

class MovieExport {
public:
    struct Format {
        std::string_view title;
        int width;
        int height;
        TakeRenderer::Codec codec;
    };
    // The panel's pop-up, first entry selected.
    static constexpr std::array formats{
        Format{"4K 60 fps \u00b7 HEVC", 3840, 2160, TakeRenderer::Codec::hevc},
        Format{"4K 60 fps \u00b7 ProRes 4444", 3840, 2160, TakeRenderer::Codec::prores},
        Format{"1080p 60 fps \u00b7 HEVC", 1920, 1080, TakeRenderer::Codec::hevc},
    };
    static constexpr double framesPerSecond = 60;
    static constexpr std::string_view hudKey = "exportHUD";
    static constexpr std::string_view wavKey = "exportWAVToo";

    // A format's options: 60 frames per second and the writer's own supersampling.
    static TakeRenderer::Options options(const Format& format);
    // A melody capture's movie: 1920 x 1080, 60 frames per second, HEVC, 1 sample per pixel.
    static TakeRenderer::Options captureOptions();

    // The HUD drawn over each frame of a take at a movie size; an empty overlay when none can be made.
    using OverlayMaker = std::function<TakeRenderer::Overlay(const Take&, int width, int height)>;
    using Render = std::function<void(const Take&, const std::filesystem::path&, const TakeRenderer::Options&,
                                      const TakeRenderer::Progress&, const TakeRenderer::Overlay&)>;
    using Log = std::function<void(const std::string&)>;

    struct Services {
        Dialogs::Presenter* dialogs = nullptr;             // default: the system presenter
        MainQueue* main = nullptr;                         // default: the program's main queue
        std::optional<std::filesystem::path> defaultsFile; // default: the user defaults file
        OverlayMaker overlay;                              // empty until the HUD exists
        Render render;                                     // default: TakeRenderer::render
        Log log;                                           // default: the system log
        std::shared_ptr<CancelFlag> cancel;                // the owner's flag; default: a new one
    };

    MovieExport();
    explicit MovieExport(Services services);
    ~MovieExport();
    MovieExport(const MovieExport&) = delete;
    MovieExport& operator=(const MovieExport&) = delete;

    // Asks for a take file and continues with exportTake (named after the file). Nothing while a
    // movie renders; a file that cannot be read or decoded ends it without a word.
    void chooseTake(InstrumentState& state);
    // The movie panel for a take; a confirmed panel renders (interactively) where it says.
    void exportTake(InstrumentState& state, Take take, std::string suggestedName);
    // Renders now, or after the movies before it. `interactive`: failures are alerts and the finished
    // movie is revealed; otherwise failures are log lines and nothing is shown.
    void render(InstrumentState& state, Take take, std::filesystem::path to, TakeRenderer::Options options, bool wav,
                bool hud, bool interactive);
    // Stops the running render at its next frame.
    void cancel() { cancel_->set(true); }
    // Runs `task` from the main queue after the work queued before it, if this export still exists.
    void later(std::function<void(MovieExport&)> task);

    bool isRendering() const { return rendering_; }
    std::size_t waiting() const { return waiting_.size(); }
    CancelFlag& cancelFlag() { return *cancel_; }

private:
    struct Job {
        InstrumentState* state;
        Take take;
        std::filesystem::path to;
        TakeRenderer::Options options;
        bool wav;
        bool hud;
        bool interactive;
    };
    void start(Job job);
    void finished(const Job& job, const std::optional<std::string>& failure);

    Dialogs::Presenter& dialogs_;
    MainQueue& main_;
    std::optional<std::filesystem::path> defaultsFile_;
    OverlayMaker overlay_;
    Render render_;
    Log log_;
    std::shared_ptr<CancelFlag> cancel_;
    bool rendering_ = false;
    std::deque<Job> waiting_;
    // Work queued to the main queue holds this weakly: once the export is gone it does nothing.
    std::shared_ptr<MovieExport*> self_ = std::make_shared<MovieExport*>(this);
};

} // namespace veltrane
