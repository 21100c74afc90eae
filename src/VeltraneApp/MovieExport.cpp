#include "VeltraneApp/MovieExport.h"

#include "Platform/Files/Files.h"
#include "Synth/WAV.h"
#include "Takes/TakeRenderer.h"
#include "VeltraneApp/ExportMessages.h"
#include "VeltraneApp/InstrumentState.h"
#include "VeltraneApp/RecordingFiles.h"

#include <cmath>
#include <string_view>
#include <thread>

namespace veltrane {

namespace fs = std::filesystem;

namespace {

std::string describe(const std::exception& error)
{
    if (const auto* file = dynamic_cast<const Files::Error*>(&error))
        return file->path().string() + ": " + file->what();
    return error.what();
}

Files::UserDefaults defaultsAt(const std::optional<fs::path>& file)
{
    return file ? Files::UserDefaults(*file) : Files::UserDefaults();
}

} // namespace

TakeRenderer::Options MovieExport::options(const Format& format)
{
    TakeRenderer::Options o;
    o.width = format.width;
    o.height = format.height;
    o.fps = framesPerSecond;
    o.codec = format.codec;
    o.samples.reset();
    return o;
}

TakeRenderer::Options MovieExport::captureOptions()
{
    TakeRenderer::Options o = options(formats[2]);
    o.samples = 1;
    return o;
}

MovieExport::MovieExport() : MovieExport(Services{}) {}

MovieExport::MovieExport(Services services)
    : dialogs_(services.dialogs ? *services.dialogs : Dialogs::systemPresenter()),
      main_(services.main ? *services.main : MainQueue::main()), defaultsFile_(std::move(services.defaultsFile)),
      overlay_(std::move(services.overlay)), render_(std::move(services.render)), log_(std::move(services.log)),
      cancel_(services.cancel ? std::move(services.cancel) : std::make_shared<CancelFlag>())
{
    if (!render_)
        render_ = [](const Take& take, const fs::path& to, const TakeRenderer::Options& options,
                     const TakeRenderer::Progress& progress, const TakeRenderer::Overlay& overlay) {
            TakeRenderer::render(take, to, options, progress, overlay);
        };
    if (!log_) log_ = systemLog;
}

MovieExport::~MovieExport()
{
    waiting_.clear();
    cancel_->set(true);
}

void MovieExport::later(std::function<void(MovieExport&)> task)
{
    main_.post([weak = std::weak_ptr(self_), task = std::move(task)] {
        if (const auto self = weak.lock()) task(**self);
    });
}

void MovieExport::chooseTake(InstrumentState& state)
{
    if (state.movieProgress.get()) return;
    const Dialogs::OpenPanel panel{std::string(ExportMessages::chooseTake), {ExportMessages::takeType}, false};
    dialogs_.open(panel, [weak = std::weak_ptr(self_), &state](Dialogs::Paths chosen) {
        const auto self = weak.lock();
        if (!self || chosen.empty()) return;
        std::optional<Take> take;
        try {
            const auto bytes = Files::readAll(chosen.front());
            take = Take::decode(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
        } catch (const std::exception&) {
            return; // an unreadable take file ends the export without a word
        }
        (*self)->exportTake(state, std::move(*take), chosen.front().stem().string());
    });
}

void MovieExport::exportTake(InstrumentState& state, Take take, std::string suggestedName)
{
    const Files::UserDefaults defaults = defaultsAt(defaultsFile_);
    Dialogs::CheckBox hud{std::string(ExportMessages::showHUD), defaults.boolValue(hudKey, true), true, {}};
    if (take.hud.empty()) {
        hud = {std::string(ExportMessages::showHUD), false, false, std::string(ExportMessages::hudMissing)};
    } else if (!overlay_) {
        hud.on = hud.enabled = false; // no HUD to draw yet
    }
    Dialogs::PopUp format{std::string(ExportMessages::movieFormat), {}, 0};
    for (const Format& f : formats) format.titles.emplace_back(f.title);
    const Dialogs::CheckBox wav{std::string(ExportMessages::alsoWAV), defaults.boolValue(wavKey, true), true, {}};

    Dialogs::SavePanel panel{ExportMessages::movieSaveMessage(take.seconds()),
                             {ExportMessages::movieType},
                             suggestedName + ".mov",
                             {format, hud, wav}};
    dialogs_.saveWithOptions(panel, [weak = std::weak_ptr(self_), &state, take = std::move(take),
                                     hudEnabled = hud.enabled](std::optional<Dialogs::SaveChoice> choice) mutable {
        const auto self = weak.lock();
        if (!self || !choice || choice->values.size() != 3) return;
        MovieExport& me = **self;
        const int index = choice->values[0];
        const Format& format = formats[index >= 0 && std::size_t(index) < formats.size() ? std::size_t(index) : 0];
        const bool hudOn = hudEnabled && choice->values[1] != 0;
        const bool wavOn = choice->values[2] != 0;
        // Remembering the choices is a convenience: a defaults file that cannot be written does not
        // stop the export.
        try {
            Files::UserDefaults defaults = defaultsAt(me.defaultsFile_);
            defaults.set(wavKey, wavOn);
            if (hudEnabled) defaults.set(hudKey, hudOn);
        } catch (const Files::Error&) {}
        me.render(state, std::move(take), RecordingFiles::destination(choice->path, "mov"), options(format), wavOn,
                  hudOn, true);
    });
}

void MovieExport::render(InstrumentState& state, Take take, fs::path to, TakeRenderer::Options options, bool wav,
                         bool hud, bool interactive)
{
    Job job{&state, std::move(take), std::move(to), std::move(options), wav, hud, interactive};
    if (rendering_) {
        waiting_.push_back(std::move(job));
        return;
    }
    start(std::move(job));
}

void MovieExport::start(Job job)
{
    rendering_ = true;
    cancel_->set(false);
    job.state->movieProgress.set(0.0);
    TakeRenderer::Overlay overlay;
    if (job.hud && overlay_) overlay = overlay_(job.take, job.options.width, job.options.height);

    std::thread([job = std::move(job), overlay = std::move(overlay), render = render_, cancel = cancel_,
                 weak = std::weak_ptr(self_), &main = main_]() mutable {
        std::optional<std::string> failure;
        std::optional<fs::path> wavWritten;
        try {
            if (job.wav) {
                auto [left, right] = TakeRenderer::renderAudio(job.take);
                const auto bytes = WAV::encode({std::move(left), std::move(right)},
                                               static_cast<int>(std::trunc(job.take.sampleRate)), 24);
                fs::path wanted = job.to;
                wanted.replace_extension("wav");
                wavWritten = RecordingFiles::createBeside(wanted, bytes);
            }
            const TakeRenderer::Progress progress = [&main, &cancel, weak, state = job.state](double fraction) {
                main.post([weak, state, fraction] {
                    if (weak.lock()) state->movieProgress.set(fraction);
                });
                return !cancel->value();
            };
            render(job.take, job.to, job.options, progress, overlay);
        } catch (const std::exception& error) {
            failure = describe(error);
        } catch (...) {
            failure = "unknown error";
        }
        if (failure && wavWritten) {
            std::error_code ignored;
            fs::remove(*wavWritten, ignored); // its movie does not exist
        }
        main.post([weak, job = std::move(job), failure] {
            if (const auto self = weak.lock()) (*self)->finished(job, failure);
        });
    }).detach();
}

void MovieExport::finished(const Job& job, const std::optional<std::string>& failure)
{
    job.state->movieProgress.set(std::nullopt);
    rendering_ = false;
    const ExportMessages::Reporter report{log_, &dialogs_};
    if (failure)
        report(job.interactive ? ExportMessages::Failure::movieAlert : ExportMessages::Failure::movieLogged, *failure);
    else if (!cancel_->value() && job.interactive)
        dialogs_.reveal(job.to);
    if (!waiting_.empty()) {
        Job next = std::move(waiting_.front());
        waiting_.pop_front();
        start(std::move(next));
    }
}

} // namespace veltrane
