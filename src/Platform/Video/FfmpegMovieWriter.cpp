// The FFmpeg backend: a mov muxer with a libx265 or prores_ks video encoder and a pcm_s24le sound
// encoder, fed by one worker thread that converts frames with swscale.
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <variant>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include "Platform/Dsp/Pcm.h"
#include "Platform/Files/Files.h"
#include "Platform/Video/MovieChecks.h"
#include "Platform/Video/MovieWriter.h"

namespace veltrane::video {

namespace {

// x265's speed against size: "fast" keeps a 1080p frame's encoding well below the time the GPU
// takes to draw its still, so the encoder keeps up behind the renderer.
constexpr const char* kX265Preset = "fast";

std::string avText(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

struct CodecContextFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct SwsFree {
    void operator()(SwsContext* s) const { sws_freeContext(s); }
};
using CodecContext = std::unique_ptr<AVCodecContext, CodecContextFree>;
using Frame = std::unique_ptr<AVFrame, FrameFree>;
using Packet = std::unique_ptr<AVPacket, PacketFree>;
using Scaler = std::unique_ptr<SwsContext, SwsFree>;

// Only errors reach the terminal: the encoders' banners and the muxer's notes are not the user's.
void quietLibraries()
{
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_ERROR); });
}

class FfmpegMovieWriter final : public MovieWriter {
public:
    FfmpegMovieWriter(const std::filesystem::path& destination, const MovieFormat& format)
        : format_(checkedFormat(format)), file_(openPending(destination))
    {
        quietLibraries();
        try {
            setUp();
        } catch (...) {
            release();
            throw;
        }
        worker_ = std::thread([this] { work(); });
    }

    ~FfmpegMovieWriter() override { cancel(); }

    void appendVideo(Image frame, std::int64_t index) override
    {
        checkFrame(format_, frame);
        std::unique_lock lock(mutex_);
        taken_.wait(lock, [&] { return failure_ || stopping_ || queuedVideo_ < format_.queuedFrames; });
        if (failure_) throw *failure_;
        if (stopping_) throw std::logic_error("movie frame after the movie ended");
        jobs_.push_back(VideoJob{std::move(frame), index});
        ++queuedVideo_;
        arrived_.notify_one();
    }

    void appendAudio(std::span<const float> interleaved, std::int64_t position) override
    {
        if (interleaved.empty()) return;
        std::lock_guard lock(mutex_);
        if (failure_) throw *failure_;
        if (stopping_) throw std::logic_error("movie sound after the movie ended");
        jobs_.push_back(AudioJob{std::vector<float>(interleaved.begin(), interleaved.end()), position});
        arrived_.notify_one();
    }

    void finish() override
    {
        stopWorker(false);
        if (failure_) {
            VideoError error = *failure_;
            release();
            throw error;
        }
        try {
            // Encoders hold frames back (x265's look-ahead); an empty frame makes them give them up.
            drain(video_.get(), videoStream_, nullptr, VideoError::Kind::finish);
            drain(audio_.get(), audioStream_, nullptr, VideoError::Kind::finish);
            if (int e = av_write_trailer(format_ctx_); e < 0) throw VideoError(VideoError::Kind::finish, avText(e));
            if (int e = avio_closep(&format_ctx_->pb); e < 0) throw VideoError(VideoError::Kind::finish, avText(e));
            file_->commit();
        } catch (const Files::Error& error) {
            release();
            throw VideoError(VideoError::Kind::finish, error.path().string() + ": " + error.what());
        } catch (...) {
            release();
            throw;
        }
        release();
    }

    void cancel() noexcept override
    {
        stopWorker(true);
        release();
    }

private:
    struct VideoJob {
        Image frame;
        std::int64_t index;
    };
    struct AudioJob {
        std::vector<float> samples;
        std::int64_t position;
    };
    using Job = std::variant<VideoJob, AudioJob>;

    static std::optional<Files::PendingFile> openPending(const std::filesystem::path& destination)
    {
        try {
            return Files::PendingFile(destination);
        } catch (const Files::Error& error) {
            throw VideoError(VideoError::Kind::start, error.path().string() + ": " + error.what());
        }
    }

    void setUp()
    {
        if (int e = avformat_alloc_output_context2(&format_ctx_, nullptr, "mov", nullptr); e < 0 || !format_ctx_)
            throw VideoError(VideoError::Kind::start, avText(e));
        const bool globalHeader = format_ctx_->oformat->flags & AVFMT_GLOBALHEADER;
        setUpVideo(globalHeader);
        setUpAudio(globalHeader);

        packet_.reset(av_packet_alloc());
        picture_.reset(av_frame_alloc());
        if (!packet_ || !picture_) throw VideoError(VideoError::Kind::framePool, "");
        picture_->format = video_->pix_fmt;
        picture_->width = format_.width;
        picture_->height = format_.height;
        picture_->color_primaries = AVCOL_PRI_BT709;
        picture_->color_trc = AVCOL_TRC_BT709;
        picture_->colorspace = AVCOL_SPC_BT709;
        picture_->color_range = AVCOL_RANGE_MPEG;
        if (int e = av_frame_get_buffer(picture_.get(), 0); e < 0)
            throw VideoError(VideoError::Kind::framePool, avText(e));

        scaler_.reset(sws_getContext(format_.width, format_.height, AV_PIX_FMT_BGRA, format_.width, format_.height,
                                     video_->pix_fmt, SWS_BICUBIC | SWS_ACCURATE_RND, nullptr, nullptr, nullptr));
        if (!scaler_) throw VideoError(VideoError::Kind::framePool, "");
        // RGB in full range through the BT.709 matrix into video range (the tags written above).
        const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
        sws_setColorspaceDetails(scaler_.get(), bt709, 1, bt709, 0, 0, 1 << 16, 1 << 16);

        const std::string temporary = file_->path().string();
        if (int e = avio_open(&format_ctx_->pb, temporary.c_str(), AVIO_FLAG_WRITE); e < 0)
            throw VideoError(VideoError::Kind::start, avText(e));
        if (int e = avformat_write_header(format_ctx_, nullptr); e < 0)
            throw VideoError(VideoError::Kind::start, avText(e));
    }

    void setUpVideo(bool globalHeader)
    {
        const bool hevc = format_.codec == VideoCodec::hevcMain10;
        const AVCodec* codec = avcodec_find_encoder_by_name(hevc ? "libx265" : "prores_ks");
        if (!codec) throw VideoError(VideoError::Kind::inputs, "");
        video_.reset(avcodec_alloc_context3(codec));
        if (!video_) throw VideoError(VideoError::Kind::inputs, "");
        AVCodecContext& c = *video_;
        c.width = format_.width;
        c.height = format_.height;
        c.time_base = AVRational{1, format_.frameRate};
        c.framerate = AVRational{format_.frameRate, 1};
        c.sample_aspect_ratio = AVRational{1, 1};
        c.color_primaries = AVCOL_PRI_BT709;
        c.color_trc = AVCOL_TRC_BT709;
        c.colorspace = AVCOL_SPC_BT709;
        c.color_range = AVCOL_RANGE_MPEG;
        c.thread_count = 0; // as many as the machine has (libavcodec's default is one)
        if (hevc) {
            c.pix_fmt = AV_PIX_FMT_YUV420P10LE;
            c.bit_rate = format_.bitRate;
            c.codec_tag = MKTAG('h', 'v', 'c', '1'); // QuickTime plays HEVC tagged hvc1, not hev1
            av_opt_set(c.priv_data, "preset", kX265Preset, 0);
            av_opt_set(c.priv_data, "profile", "main10", 0);
            av_opt_set(c.priv_data, "x265-params", "log-level=error", 0);
        } else {
            c.pix_fmt = AV_PIX_FMT_YUVA444P10LE;
            av_opt_set(c.priv_data, "profile", "4444", 0);
            av_opt_set_int(c.priv_data, "alpha_bits", 16, 0);
        }
        if (globalHeader) c.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        if (avcodec_open2(video_.get(), codec, nullptr) < 0) throw VideoError(VideoError::Kind::inputs, "");
        videoStream_ = avformat_new_stream(format_ctx_, nullptr);
        if (!videoStream_ || avcodec_parameters_from_context(videoStream_->codecpar, video_.get()) < 0)
            throw VideoError(VideoError::Kind::inputs, "");
        videoStream_->time_base = c.time_base;
        videoStream_->avg_frame_rate = c.framerate;
    }

    void setUpAudio(bool globalHeader)
    {
        const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PCM_S24LE);
        if (!codec) throw VideoError(VideoError::Kind::inputs, "");
        audio_.reset(avcodec_alloc_context3(codec));
        if (!audio_) throw VideoError(VideoError::Kind::inputs, "");
        AVCodecContext& c = *audio_;
        c.sample_fmt = AV_SAMPLE_FMT_S32; // the encoder keeps the top 24 bits
        c.sample_rate = format_.sampleRate;
        c.time_base = AVRational{1, format_.sampleRate};
        av_channel_layout_default(&c.ch_layout, 2);
        if (globalHeader) c.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        if (avcodec_open2(audio_.get(), codec, nullptr) < 0) throw VideoError(VideoError::Kind::inputs, "");
        audioStream_ = avformat_new_stream(format_ctx_, nullptr);
        if (!audioStream_ || avcodec_parameters_from_context(audioStream_->codecpar, audio_.get()) < 0)
            throw VideoError(VideoError::Kind::inputs, "");
        audioStream_->time_base = c.time_base;
    }

    // The worker: takes jobs in order until told to stop; after a failure it only empties the queue.
    void work()
    {
        for (;;) {
            Job job;
            {
                std::unique_lock lock(mutex_);
                arrived_.wait(lock, [&] { return stopping_ || abandon_ || !jobs_.empty(); });
                if (abandon_ || (stopping_ && jobs_.empty())) return;
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            std::optional<VideoError> error;
            try {
                if (auto* video = std::get_if<VideoJob>(&job))
                    encodeVideo(*video);
                else
                    encodeAudio(std::get<AudioJob>(job));
            } catch (const VideoError& e) {
                error = e;
            } catch (const std::exception& e) { // memory for a frame: nothing may leave the thread
                error = VideoError(VideoError::Kind::failed, e.what());
            }
            std::lock_guard lock(mutex_);
            if (std::holds_alternative<VideoJob>(job)) --queuedVideo_;
            if (error && !failure_) failure_ = error;
            if (failure_) {
                queuedVideo_ = 0;
                jobs_.clear();
            }
            taken_.notify_all();
        }
    }

    void encodeVideo(VideoJob& job)
    {
        if (int e = av_frame_make_writable(picture_.get()); e < 0) throw VideoError(VideoError::Kind::frame, avText(e));
        const uint8_t* source[1] = {job.frame.bgrx.data()};
        const int stride[1] = {format_.width * 4};
        sws_scale(scaler_.get(), source, stride, 0, format_.height, picture_->data, picture_->linesize);
        job.frame = Image{}; // the frame's memory goes before the encoder runs
        picture_->pts = job.index;
        drain(video_.get(), videoStream_, picture_.get(), VideoError::Kind::failed);
    }

    void encodeAudio(const AudioJob& job)
    {
        const int count = int(job.samples.size() / 2);
        Frame frame(av_frame_alloc());
        if (!frame) throw VideoError(VideoError::Kind::audioBuffer, "");
        frame->format = AV_SAMPLE_FMT_S32;
        frame->sample_rate = format_.sampleRate;
        frame->nb_samples = count;
        frame->pts = job.position;
        if (av_channel_layout_copy(&frame->ch_layout, &audio_->ch_layout) < 0 ||
            av_frame_get_buffer(frame.get(), 0) < 0)
            throw VideoError(VideoError::Kind::audioBuffer, "");
        auto* out = reinterpret_cast<int32_t*>(frame->data[0]);
        for (std::size_t i = 0; i < std::size_t(count) * 2; ++i)
            out[i] = int32_t(uint32_t(dsp::pcmInteger(job.samples[i], 24)) << 8);
        drain(audio_.get(), audioStream_, frame.get(), VideoError::Kind::audioAppend);
    }

    // Sends a frame (nothing: the end) and writes every packet the encoder gives back.
    void drain(AVCodecContext* codec, AVStream* stream, const AVFrame* frame, VideoError::Kind kind)
    {
        if (int e = avcodec_send_frame(codec, frame); e < 0) throw VideoError(kind, avText(e));
        for (;;) {
            int e = avcodec_receive_packet(codec, packet_.get());
            if (e == AVERROR(EAGAIN) || e == AVERROR_EOF) return;
            if (e < 0) throw VideoError(kind, avText(e));
            // The muxer chose the stream's time base when it wrote the header.
            av_packet_rescale_ts(packet_.get(), codec->time_base, stream->time_base);
            packet_->stream_index = stream->index;
            e = av_interleaved_write_frame(format_ctx_, packet_.get()); // takes the packet's reference
            if (e < 0) throw VideoError(frame ? VideoError::Kind::failed : kind, avText(e));
        }
    }

    void stopWorker(bool abandon)
    {
        if (!worker_.joinable()) return;
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
            abandon_ = abandon;
            arrived_.notify_all();
            taken_.notify_all();
        }
        worker_.join();
    }

    // Frees everything and removes the temporary file unless the movie was committed.
    void release() noexcept
    {
        if (format_ctx_) {
            if (format_ctx_->pb) avio_closep(&format_ctx_->pb);
            avformat_free_context(format_ctx_);
            format_ctx_ = nullptr;
        }
        video_.reset();
        audio_.reset();
        scaler_.reset();
        picture_.reset();
        packet_.reset();
        file_.reset();
    }

    MovieFormat format_;
    std::optional<Files::PendingFile> file_;
    AVFormatContext* format_ctx_ = nullptr;
    AVStream* videoStream_ = nullptr;
    AVStream* audioStream_ = nullptr;
    CodecContext video_, audio_;
    Scaler scaler_;
    Frame picture_;
    Packet packet_;

    std::thread worker_;
    std::mutex mutex_;
    std::condition_variable arrived_, taken_;
    std::deque<Job> jobs_;
    int queuedVideo_ = 0;
    bool stopping_ = false, abandon_ = false;
    std::optional<VideoError> failure_;
};

} // namespace

std::unique_ptr<MovieWriter> openMovie(const std::filesystem::path& destination, const MovieFormat& format)
{
    return std::make_unique<FfmpegMovieWriter>(destination, format);
}

} // namespace veltrane::video
