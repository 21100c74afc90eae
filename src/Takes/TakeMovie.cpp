#include "Takes/TakeMovie.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <span>

#include "FractalRender/FractalRenderer.h"
#include "Takes/TakeRenderer.h"

namespace veltrane::TakeRenderer {

namespace {

constexpr std::int64_t kAudioChunk = 4800;  // sound frames handed to the writer at a time
constexpr std::int64_t kAudioAhead = 2;     // movie frames of sound kept ahead of the picture
constexpr std::size_t kAnalysisSpan = 4096; // newest mono samples the analyser is shown per frame
constexpr double kPixelSamples = 33177600;  // pixels x samples per frame the automatic choice aims at
constexpr double kMaxFps = 1000;

// The writer's stages and the message each gives; where the writer has words of its own (FFmpeg's
// or the system's text), they take the message's place.
struct StageMessage {
    video::VideoError::Kind kind;
    const char* message;
    bool ownWords;
};
constexpr StageMessage kStageMessages[] = {
    {video::VideoError::Kind::inputs, "cannot add inputs", false},
    {video::VideoError::Kind::start, "start", true},
    {video::VideoError::Kind::failed, "status 3", true},
    {video::VideoError::Kind::framePool, "no pixel buffer pool", false},
    {video::VideoError::Kind::frame, "no pixel buffer", false},
    {video::VideoError::Kind::audioBuffer, "audio buffer", false},
    {video::VideoError::Kind::audioAppend, "audio append", false},
    {video::VideoError::Kind::finish, "finish", true},
};

Failure failureOf(const video::VideoError& error)
{
    for (const StageMessage& s : kStageMessages)
        if (s.kind == error.kind)
            return Failure::writer(s.ownWords && !error.detail.empty() ? error.detail : s.message);
    return Failure::writer(error.what());
}

std::string number(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

// A take built in memory is held to what a take file may hold: a rate the offline kernel runs at
// and a length whose sound fits in memory. Anything else would divide by zero, count frames past
// any end or reserve more sound than there is memory.
void checkTake(const Take& take, const Options& options)
{
    if (!(take.sampleRate >= Take::minSampleRate && take.sampleRate <= Take::maxSampleRate))
        throw Failure::writer("take sample rate " + number(take.sampleRate) + " Hz is outside " +
                              number(Take::minSampleRate) + " to " + number(Take::maxSampleRate));
    if (take.length < 0 || take.seconds() > Take::maxSeconds)
        throw Failure::writer("take length of " + std::to_string(take.length) + " frames is outside 0 to " +
                              number(Take::maxSeconds) + " seconds");
    if (!(options.fps >= 0.5 && options.fps <= kMaxFps))
        throw Failure::writer("frame rate " + number(options.fps) + " is outside 1 to " + number(kMaxFps));
    if (options.width <= 0 || options.height <= 0)
        throw Failure::writer("movie size " + std::to_string(options.width) + "x" + std::to_string(options.height));
}

// One channel of a premultiplied pixel of `image` at a fractional position, bilinear, edges held.
float sample(const Image& image, double x, double y, int channel)
{
    x = std::clamp(x, 0.0, double(image.width - 1));
    y = std::clamp(y, 0.0, double(image.height - 1));
    const int x0 = int(x), y0 = int(y);
    const int x1 = std::min(x0 + 1, image.width - 1), y1 = std::min(y0 + 1, image.height - 1);
    const double fx = x - x0, fy = y - y0;
    auto at = [&](int px, int py) {
        return double(
            image.bgrx[(std::size_t(py) * std::size_t(image.width) + std::size_t(px)) * 4 + std::size_t(channel)]);
    };
    const double top = at(x0, y0) + fx * (at(x1, y0) - at(x0, y0));
    const double bottom = at(x0, y1) + fx * (at(x1, y1) - at(x0, y1));
    return float(top + fy * (bottom - top));
}

// Draws the premultiplied overlay over the whole still ("source over"); the frame stays opaque.
void composite(Image& still, const Image& overlay)
{
    if (overlay.width <= 0 || overlay.height <= 0 ||
        overlay.bgrx.size() < std::size_t(overlay.width) * std::size_t(overlay.height) * 4)
        return;
    const bool sameSize = overlay.width == still.width && overlay.height == still.height;
    const double sx = double(overlay.width) / still.width, sy = double(overlay.height) / still.height;
    for (int y = 0; y < still.height; ++y)
        for (int x = 0; x < still.width; ++x) {
            uint8_t* out = &still.bgrx[(std::size_t(y) * std::size_t(still.width) + std::size_t(x)) * 4];
            float over[4];
            if (sameSize) {
                const uint8_t* in = &overlay.bgrx[(std::size_t(y) * std::size_t(still.width) + std::size_t(x)) * 4];
                for (int c = 0; c < 4; ++c) over[c] = in[c];
            } else {
                for (int c = 0; c < 4; ++c) over[c] = sample(overlay, (x + 0.5) * sx - 0.5, (y + 0.5) * sy - 0.5, c);
            }
            const float keep = 1.0f - over[3] / 255.0f;
            for (int c = 0; c < 3; ++c) out[c] = uint8_t(std::clamp(std::lround(over[c] + out[c] * keep), 0L, 255L));
            out[3] = 255;
        }
}

// Hands the sound from `position` up to `end` to the writer in chunks, interleaved.
void appendSound(video::MovieWriter& writer, const std::vector<float>& left, const std::vector<float>& right,
                 std::int64_t& position, std::int64_t end, std::vector<float>& chunk)
{
    while (position < end) {
        const std::int64_t n = std::min(end - position, kAudioChunk);
        chunk.resize(std::size_t(n) * 2);
        for (std::int64_t i = 0; i < n; ++i) {
            chunk[std::size_t(i) * 2] = left[std::size_t(position + i)];
            chunk[std::size_t(i) * 2 + 1] = right[std::size_t(position + i)];
        }
        writer.appendAudio(chunk, position);
        position += n;
    }
}

} // namespace

std::int64_t Options::samplesPerPixel() const
{
    if (samples) return std::max<std::int64_t>(*samples, 1);
    const std::int64_t p = std::int64_t(width) * std::int64_t(height);
    const std::int64_t target = std::int64_t(kPixelSamples);
    return std::clamp<std::int64_t>((p / 2 + target) / std::max<std::int64_t>(p, 1), 4, 16);
}

std::int64_t Options::bitRate() const
{
    const double p = double(std::int64_t(width) * std::int64_t(height));
    return std::int64_t(std::pow(p / 2073600.0, 0.75) * std::pow(fps / 30.0, 0.75) * 21772800.0);
}

AudioVisuals frameVisuals(const AnalysisFrame& analysis, double time, double zoom)
{
    AudioVisuals visuals;
    visuals.amplitude = analysis.amplitude;
    visuals.dominantFrequency = analysis.dominantFrequency;
    visuals.transientPulse = analysis.transientPulse;
    visuals.bass = analysis.bass;
    visuals.mid = analysis.mid;
    visuals.treble = analysis.treble;
    // A Julia set breathes with the loudness and the bass, less in deep views.
    const double depth = std::max(std::sqrt(zoom), 1.0);
    visuals.juliaCOffset = Complex{0.035 * std::sin(0.5 * time) * analysis.amplitude / depth,
                                   0.02 * std::cos(0.7 * time) * analysis.bass / depth};
    return visuals;
}

std::int64_t frameCount(const Take& take, double fps)
{
    return std::max<std::int64_t>(1, std::int64_t(std::floor(fps * (double(take.length) / take.sampleRate))));
}

void render(const Take& take, const std::filesystem::path& to, const Options& options, const Progress& progress,
            const Overlay& overlay)
{
    render(take, to, options, progress, overlay, video::openMovie);
}

void render(const Take& take, const std::filesystem::path& to, const Options& options, const Progress& progress,
            const Overlay& overlay, const WriterOpener& open)
{
    checkTake(take, options);
    const auto [left, right] = renderAudio(take); // the whole sound exists before the first picture
    FractalRenderer renderer(GpuDevice::systemDefault());

    video::MovieFormat format;
    format.width = options.width;
    format.height = options.height;
    format.frameRate = int(std::lround(options.fps));
    format.codec = options.codec == Codec::prores ? video::VideoCodec::prores4444 : video::VideoCodec::hevcMain10;
    format.bitRate = options.bitRate();
    format.sampleRate = int(take.sampleRate);

    try {
        auto writer = open(to, format); // unfinished, it removes what it wrote when it goes
        const double rate = take.sampleRate;
        const std::int64_t count = frameCount(take, options.fps);
        const std::int64_t soundEnd = std::int64_t(std::min(left.size(), right.size()));
        std::vector<float> mono(static_cast<std::size_t>(soundEnd));
        for (std::size_t i = 0; i < mono.size(); ++i) mono[i] = (left[i] + right[i]) * 0.5f;
        const int samples = int(std::min<std::int64_t>(options.samplesPerPixel(), FractalRenderer::maxSamples));
        Analyser analyser;
        std::int64_t position = 0;
        std::vector<float> chunk;

        for (std::int64_t i = 0; i < count; ++i) {
            const double t = double(i) / options.fps;
            const std::int64_t a = std::int64_t(rate * t);
            auto [view, post] = TakeRenderer::view(a, take);

            const std::size_t end = std::size_t(std::clamp<std::int64_t>(a, 0, soundEnd));
            const std::size_t begin = end - std::min(end, kAnalysisSpan);
            const AnalysisFrame analysis =
                analyser.update(std::span<const float>(mono.data() + begin, end - begin), rate, 1.0 / options.fps);
            const AudioVisuals visuals = frameVisuals(analysis, t, view.zoom);

            post.autoQuality = false;
            Image frame = renderer.renderStill(view, options.width, options.height, post, visuals, t, samples);
            if (overlay) {
                const auto& waveform = analyser.waveform();
                const auto& spectrum = analyser.spectrumDB();
                const auto image =
                    overlay(OverlayFrame{a, t, view, std::vector<float>(waveform.begin(), waveform.end()),
                                         std::vector<float>(spectrum.begin(), spectrum.end())});
                if (image) composite(frame, *image);
            }
            writer->appendVideo(std::move(frame), i);
            appendSound(*writer, left, right, position,
                        std::min(soundEnd, std::int64_t(std::floor(rate * double(i + kAudioAhead) / options.fps))),
                        chunk);
            if (progress && !progress(double(i + 1) / double(count))) {
                writer->cancel(); // the movie is abandoned; the destination keeps what it had
                return;
            }
        }
        appendSound(*writer, left, right, position, soundEnd, chunk);
        writer->finish();
    } catch (const video::VideoError& error) {
        throw failureOf(error);
    }
}

} // namespace veltrane::TakeRenderer
