// What the two backends share: the error type, the format's checks and the null writer.
#include "Platform/Video/MovieWriter.h"

#include "Platform/Video/MovieChecks.h"

namespace veltrane::video {

namespace {

const char* stageName(VideoError::Kind kind)
{
    switch (kind) {
    case VideoError::Kind::inputs: return "inputs";
    case VideoError::Kind::start: return "start";
    case VideoError::Kind::failed: return "failed";
    case VideoError::Kind::framePool: return "frame pool";
    case VideoError::Kind::frame: return "frame";
    case VideoError::Kind::audioBuffer: return "audio buffer";
    case VideoError::Kind::audioAppend: return "audio append";
    case VideoError::Kind::finish: return "finish";
    }
    return "?";
}

class NullMovieWriter final : public MovieWriter {
public:
    NullMovieWriter(const MovieFormat& format, std::shared_ptr<NullMovieLog> log)
        : format_(checkedFormat(format)), log_(std::move(log))
    {}
    ~NullMovieWriter() override
    {
        if (!done_) cancel();
    }

    void appendVideo(Image frame, std::int64_t index) override
    {
        checkFrame(format_, frame);
        record({NullMovieLog::Call::Kind::video, index, 0});
        if (log_ && log_->keepFrames) {
            std::lock_guard lock(log_->mutex);
            log_->frames.push_back(std::move(frame));
        }
    }
    void appendAudio(std::span<const float> interleaved, std::int64_t position) override
    {
        record({NullMovieLog::Call::Kind::audio, position, std::int64_t(interleaved.size() / 2)});
    }
    void finish() override
    {
        done_ = true;
        record({NullMovieLog::Call::Kind::finish, 0, 0});
    }
    void cancel() noexcept override
    {
        done_ = true;
        try {
            record({NullMovieLog::Call::Kind::cancel, 0, 0});
        } catch (...) {}
    }

private:
    void record(NullMovieLog::Call call)
    {
        if (!log_) return;
        std::lock_guard lock(log_->mutex);
        log_->calls.push_back(call);
    }
    MovieFormat format_;
    std::shared_ptr<NullMovieLog> log_;
    bool done_ = false;
};

} // namespace

VideoError::VideoError(Kind kind, std::string detail)
    : std::runtime_error(detail.empty() ? stageName(kind) : detail), kind(kind), detail(std::move(detail))
{}

MovieFormat checkedFormat(MovieFormat format)
{
    if (format.width <= 0 || format.height <= 0)
        throw std::invalid_argument("movie size " + std::to_string(format.width) + "x" + std::to_string(format.height));
    if (format.frameRate <= 0) throw std::invalid_argument("movie frame rate " + std::to_string(format.frameRate));
    if (format.sampleRate <= 0) throw std::invalid_argument("movie sample rate " + std::to_string(format.sampleRate));
    if (format.codec == VideoCodec::hevcMain10 && format.bitRate <= 0)
        throw std::invalid_argument("movie bit rate " + std::to_string(format.bitRate));
    if (format.queuedFrames <= 0) format.queuedFrames = 3;
    return format;
}

void checkFrame(const MovieFormat& format, const Image& frame)
{
    if (frame.width != format.width || frame.height != format.height ||
        frame.bgrx.size() != std::size_t(format.width) * std::size_t(format.height) * 4)
        throw std::invalid_argument("movie frame of " + std::to_string(frame.width) + "x" +
                                    std::to_string(frame.height) + " pixels");
}

std::unique_ptr<MovieWriter> openNullMovie(const MovieFormat& format, std::shared_ptr<NullMovieLog> log)
{
    return std::make_unique<NullMovieWriter>(format, std::move(log));
}

} // namespace veltrane::video
