#pragma once
// A take rendered to a QuickTime movie: its sound rendered offline, one fractal still per movie
// frame at the view of that moment with the audio-reactive effects of the sound around it, an
// optional overlay (the HUD) drawn over each frame, HEVC Main 10 or ProRes 4444 video and 24-bit
// PCM stereo sound at the take's rate.
//
// The movie appears at its destination only once it is complete: it is written beside it under a
// hidden name, and a cancelled or failed render leaves whatever was at the destination as it was.
// The GPU draws the stills on the calling thread while the movie writer converts, encodes and
// writes the frames before them on its own; the call blocks for the whole movie, so the
// instrument calls it from a thread of its own.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "FractalRender/RenderTypes.h"
#include "Platform/Image/Image.h"
#include "Platform/Video/MovieWriter.h"
#include "Support/EnumText.h"
#include "Synth/Analyser.h"
#include "Takes/Take.h"

namespace veltrane::TakeRenderer {

enum class Codec { hevc, prores };

struct Options {
    int width = 3840;
    int height = 2160;
    double fps = 60;
    Codec codec = Codec::hevc;
    std::optional<std::int64_t> samples; // supersamples per pixel; none: samplesPerPixel chooses

    // `samples` when set (at least 1); otherwise about 33177600 / (width x height), within 4 ... 16:
    // 4 at 3840 x 2160, 16 at 1920 x 1080.
    std::int64_t samplesPerPixel() const;
    // HEVC's average bit rate in bits per second: 21772800 at 1920 x 1080 and 30 fps, growing with
    // the 0.75th power of the pixel count and of the frame rate.
    std::int64_t bitRate() const;
};

// Handed to the overlay for each frame.
struct OverlayFrame {
    std::int64_t frame = 0; // the audio frame of this movie frame within the take
    double time = 0;        // seconds from the start of the movie
    RenderView view;
    std::vector<float> waveform;   // the analyser's current samples
    std::vector<float> spectrumDB; // and its spectrum in dB
};

// What the overlay gives back: an image whose fourth byte is its (premultiplied) alpha, drawn over
// the whole frame, scaled to the movie's size when it has another.
using Overlay = std::function<std::optional<Image>(const OverlayFrame&)>;
// Called after each frame with the fraction done; false cancels the movie.
using Progress = std::function<bool(double)>;

// what() is "movie writer: " followed by the message.
class Failure : public std::runtime_error {
public:
    enum class Kind { writer };
    static Failure writer(std::string message) { return Failure(std::move(message)); }
    Kind kind = Kind::writer;
    std::string message;

private:
    explicit Failure(std::string text) : std::runtime_error("movie writer: " + text), message(std::move(text)) {}
};

// Renders the take into a movie at `to`. Returns normally when the movie is complete and when the
// progress callback cancelled it (then nothing is written). Throws Failure for the writer's failures
// and for a take or options that give no movie (a sample rate or length outside what a take may
// hold, a frame rate that rounds to nothing); errors of the GPU renderer come through unchanged.
// The overlay is called on the calling thread, once per frame, before the frame is handed over.
void render(const Take& take, const std::filesystem::path& to, const Options& options, const Progress& progress,
            const Overlay& overlay = {});

// The same, writing through `open` in place of the movie file writer (a null writer runs it
// head-less).
using WriterOpener =
    std::function<std::unique_ptr<video::MovieWriter>(const std::filesystem::path&, const video::MovieFormat&)>;
void render(const Take& take, const std::filesystem::path& to, const Options& options, const Progress& progress,
            const Overlay& overlay, const WriterOpener& open);

// The number of movie frames: max(1, floor(fps x length / sampleRate)).
std::int64_t frameCount(const Take& take, double fps);

// The audio-reactive inputs of the frame at `time` seconds drawing a view at `zoom`, from the
// analysis of the sound up to that moment.
AudioVisuals frameVisuals(const AnalysisFrame& analysis, double time, double zoom);

} // namespace veltrane::TakeRenderer

namespace veltrane {
template <>
struct EnumTexts<TakeRenderer::Codec> {
    static constexpr std::array table{
        std::pair{TakeRenderer::Codec::hevc, std::string_view{"hevc"}},
        std::pair{TakeRenderer::Codec::prores, std::string_view{"prores"}},
    };
};
} // namespace veltrane
