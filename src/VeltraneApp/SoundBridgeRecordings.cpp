// Recordings, takes, melody capture, movie and locked-tone exports of the sound bridge.
//
// A recording is written to the temporary folder while it runs; a take lives in the take recorder;
// a melody capture is a take of the current melody from its start, ended two seconds after the
// melody stops and handed to the movie export. Failures are one log line each (ExportMessages); a
// recording or take whose save fails stays in the temporary folder and the line says where.
#include "Music/Notes.h"
#include "Platform/Files/Files.h"
#include "VeltraneApp/ExportMessages.h"
#include "VeltraneApp/RecordingFiles.h"
#include "VeltraneApp/SoundBridge.h"
#include "VeltraneApp/ToneExport.h"

namespace veltrane {

namespace fs = std::filesystem;

namespace {

Dialogs::Presenter& presenterOr(Dialogs::Presenter* dialogs) { return dialogs ? *dialogs : Dialogs::systemPresenter(); }

} // namespace

MovieExport& SoundBridge::movies()
{
    if (!movies_) {
        MovieExport::Services services;
        services.dialogs = &presenterOr(setup_.dialogs);
        services.main = &main_;
        services.defaultsFile = setup_.defaultsFile;
        services.overlay = setup_.hudOverlay;
        services.log = [this](const std::string& line) { log(line); }; // called only while the export lives
        services.cancel = movieCancel_;
        movies_ = std::make_unique<MovieExport>(std::move(services));
    }
    return *movies_;
}

void SoundBridge::toggleRecord(InstrumentState& state)
{
    // Panel answers may arrive after the bridge has gone: they keep their own way to the log.
    const ExportMessages::Reporter report{setup_.log ? setup_.log : systemLog, nullptr};
    if (state.isRecording.get()) {
        std::optional<fs::path> recording;
        try {
            recording = engine_->stopRecording();
        } catch (const RecordingError& error) {
            // Not every sample reached the file: it stays in the temporary folder, named in the text.
            state.isRecording.set(false);
            state.recordingStarted.set(std::nullopt);
            report(ExportMessages::Failure::saveRecording, error.what());
            return;
        }
        state.isRecording.set(false);
        state.recordingStarted.set(std::nullopt);
        if (!recording) return;

        Dialogs::SavePanel panel{"", {ExportMessages::wavType}, RecordingFiles::suggestedRecordingName()};
        std::error_code error;
        if (const fs::path music = Files::musicFolder(); fs::is_directory(music, error)) panel.directory = music;
        presenterOr(setup_.dialogs).save(panel, [report, recording = *recording](std::optional<fs::path> chosen) {
            if (!chosen) {
                std::error_code ignored;
                fs::remove(recording, ignored);
                return;
            }
            if (const auto failure =
                    RecordingFiles::saveRecording(recording, RecordingFiles::destination(*chosen, "wav")))
                report(ExportMessages::Failure::saveRecording, *failure);
        });
        return;
    }

    if (!state.isPlaying.get() && !state.toneLocked.get()) return;
    try {
        engine_->startRecording(RecordingFiles::temporaryRecording());
    } catch (const std::exception& error) {
        report(ExportMessages::Failure::startRecording, error.what());
        return;
    }
    state.isRecording.set(true);
    state.recordingStarted.set(std::chrono::system_clock::now());
}

void SoundBridge::toggleTake(InstrumentState& state)
{
    if (state.melodyCapture.get()) {
        state.melodyPlaying.set(false); // the capture ends through runCapture
        return;
    }
    if (!takes_.isRecording()) {
        startTake(state);
        return;
    }
    state.takeStarted.set(std::nullopt);
    std::optional<Take> take = takes_.stop();
    if (!take) return;
    const ExportMessages::Reporter report{setup_.log ? setup_.log : systemLog, nullptr};
    const Dialogs::SavePanel panel{ExportMessages::takeSaveMessage(take->seconds()),
                                   {ExportMessages::takeType},
                                   RecordingFiles::suggestedTakeName()};
    presenterOr(setup_.dialogs).save(panel, [report, take = std::move(*take)](std::optional<fs::path> chosen) {
        if (!chosen) return; // cancelled: the take is dropped
        const fs::path to = RecordingFiles::destination(*chosen, Take::fileExtension);
        if (const auto failure = RecordingFiles::saveTake(take, to))
            report(ExportMessages::Failure::saveTake, *failure);
    });
}

void SoundBridge::startTake(InstrumentState& state)
{
    takes_.start(*engine_);
    const std::int64_t start = takes_.startFrame();
    MelodyPlayer::prune(melodySent_, start);
    std::vector<vk_event> events;
    for (const MelodyPlayer::Event& e : MelodyPlayer::carryOver(melodySent_, start)) {
        vk_event event{};
        event.frame = e.frame;
        event.id = e.id;
        if (e.kind == MelodyPlayer::Event::Kind::on) {
            event.type = VK_EVENT_KEY_ON;
            event.value = static_cast<float>(Notes::midiToFrequency(e.note));
            event.value3 = static_cast<float>(e.velocity);
        } else {
            event.type = VK_EVENT_KEY_OFF;
        }
        events.push_back(event);
    }
    takes_.add(events);
    state.takeStarted.set(std::chrono::system_clock::now());
}

void SoundBridge::toggleMelodyCapture(InstrumentState& state)
{
    if (state.melodyCapture.get()) {
        state.melodyPlaying.set(false);
        return;
    }
    if (!state.toneLocked.get() || takes_.isRecording() || state.movieProgress.get()) return;
    stopMelody(state);
    state.melodyPlaying.set(false);
    startTake(state);
    state.melodyCapture.set(true);
    state.melodyPlaying.set(true); // the melody player starts the melody anew at the next frame
}

void SoundBridge::runCapture(InstrumentState& state)
{
    if (!state.melodyCapture.get() || state.melodyPlaying.get()) {
        captureTail_.clear(); // a tail that had begun is abandoned when the melody plays again
        return;
    }
    // A silent engine (no device, or a device lost) measures the tail by the clock.
    const bool sounding = engine_->isRunning() && !audioLost_;
    if (!captureTail_.reached(sounding, engine_->currentFrame(), engine_->sampleRate(), mediaNow())) return;
    captureTail_.clear();
    state.melodyCapture.set(false);
    state.takeStarted.set(std::nullopt);
    std::optional<Take> take = takes_.stop();
    if (!take) return;
    std::string name = RecordingFiles::captureMovieName(state.melodyID.get());
    // After this frame, and only while the bridge (and with it its movie side) exists.
    movies().later([&state, take = std::move(*take), name = std::move(name)](MovieExport& movies) mutable {
        if (const auto& destination = state.captureDestination.get())
            movies.render(state, std::move(take), *destination, MovieExport::captureOptions(), true, true, false);
        else
            movies.exportTake(state, std::move(take), std::move(name));
    });
}

void SoundBridge::exportMovie(InstrumentState& state) { movies().chooseTake(state); }

void SoundBridge::exportMovie(InstrumentState& state, Take take, std::string suggestedName)
{
    movies().exportTake(state, std::move(take), std::move(suggestedName));
}

void SoundBridge::renderMovie(const Take& take, const fs::path& to, const TakeRenderer::Options& options, bool wav,
                              bool hud, bool interactive, InstrumentState& state)
{
    movies().render(state, take, to, options, wav, hud, interactive);
}

void SoundBridge::cancelMovie() { movieCancel_->set(true); }

void SoundBridge::exportLockedTone(InstrumentState& state, ToneExportFormat format, Dialogs::Presenter* dialogs)
{
    if (format == ToneExportFormat::midi)
        ToneExport::exportMIDI(state, presenterOr(dialogs));
    else
        ToneExport::exportAbleton(state, presenterOr(dialogs));
}

} // namespace veltrane
