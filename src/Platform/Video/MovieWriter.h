#pragma once
// QuickTime movies from 8-bit BGRA frames and stereo float sound, over FFmpeg (libavformat, libavcodec
// with libx265 and prores_ks, libswscale).
//
// What it does:
// - Writes a .mov with one video track, HEVC Main 10 (10-bit 4:2:0, tagged `hvc1`, at an average bit
//   rate) or ProRes 4444 (10-bit 4:4:4 with alpha), and one track of 24-bit PCM stereo sound.
// - Frames are sRGB-encoded BGRA as the GPU reads them back; they are converted with the BT.709 matrix
//   into video range and the track is tagged BT.709 (primaries, transfer, matrix), so a player shows
//   the colours the canvas showed. Sound is converted to 24 bits by dsp::pcmInteger, as WAV files are.
// - Frame i is shown at i / frameRate; sound given at sound frame p plays at p / sampleRate.
// - Works on a thread of its own: appendVideo hands the frame over and returns, and the conversion,
//   the encoding (on the encoder's own threads as well) and the writing go on behind the caller. At
//   most `queuedFrames` frames wait; a further appendVideo blocks until the writer takes one.
// - Writes under a hidden temporary name in the destination's folder; the movie takes the
//   destination's place only when finish() has completed it. cancel(), a failure, or a writer dropped
//   unfinished removes the temporary file and leaves whatever was at the destination untouched.
// - A failure on the writer's thread is thrown by the next call (appendVideo, appendAudio or finish).
//
// What it does not do: read movies, scale frames, resample sound, write other than two channels, or
// offer the encoders' own settings. The null backend (openNullMovie) takes and checks the same calls
// and writes nothing: it records them, so the movie path runs head-less and tests can watch it.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "Platform/Image/Image.h"

namespace veltrane::video {

enum class VideoCodec { hevcMain10, prores4444 };

struct MovieFormat {
    int width = 0; // even, for 4:2:0 HEVC
    int height = 0;
    int frameRate = 0; // frames per second, the video's time scale
    VideoCodec codec = VideoCodec::hevcMain10;
    std::int64_t bitRate = 0; // HEVC's average, bits per second; ProRes has none
    int sampleRate = 0;       // of the stereo sound, its time scale
    int queuedFrames = 0;     // frames waiting for the writer's thread; 0 = 3 (double buffering + one)
};

// The stage at which writing failed. what() is FFmpeg's or the system's own text when there is one
// (detail), else the stage's name.
class VideoError : public std::runtime_error {
public:
    enum class Kind {
        inputs,      // an encoder or a track could not be set up for the format
        start,       // the file could not be created or begun
        failed,      // converting, encoding or writing failed while frames came in
        framePool,   // no conversion context or frame storage for the format
        frame,       // no frame to convert into
        audioBuffer, // no frame for a chunk of sound
        audioAppend, // the sound encoder refused a chunk
        finish,      // the movie could not be completed
    };
    VideoError(Kind kind, std::string detail);
    Kind kind;
    std::string detail; // empty when there is no text beyond the stage
};

class MovieWriter {
public:
    virtual ~MovieWriter() = default; // unfinished: as cancel()

    // frame: width x height pixels of blue, green, red, alpha bytes (premultiplied), rows from the
    // top; ProRes keeps the alpha, HEVC drops it. index: the frame's place, counted from 0. Throws
    // VideoError, or std::invalid_argument for a frame of the wrong size.
    virtual void appendVideo(Image frame, std::int64_t index) = 0;
    // Interleaved left, right samples, starting at sound frame `position`. Throws VideoError.
    virtual void appendAudio(std::span<const float> interleaved, std::int64_t position) = 0;
    // Writes what waits, completes the movie and moves it to its destination. Throws VideoError.
    virtual void finish() = 0;
    // Abandons the movie: nothing is left of it, the destination is untouched.
    virtual void cancel() noexcept = 0;
};

// Checks the format and creates the temporary file. Throws VideoError (start when the folder takes no
// new file, inputs when the format cannot be encoded) or std::invalid_argument for a format outside the
// ranges above (sizes, rates and bit rate positive).
std::unique_ptr<MovieWriter> openMovie(const std::filesystem::path& destination, const MovieFormat& format);

// What a null writer was given, in order.
struct NullMovieLog {
    struct Call {
        enum class Kind { video, audio, finish, cancel } kind;
        std::int64_t position = 0; // frame index, or the first sound frame
        std::int64_t count = 0;    // sound frames
    };
    std::mutex mutex;
    std::vector<Call> calls;
    bool keepFrames = false;   // set before the writer is opened
    std::vector<Image> frames; // the frames given, when kept
};

// Checks the format as openMovie does and records the calls in `log`; never fails otherwise.
std::unique_ptr<MovieWriter> openNullMovie(const MovieFormat& format, std::shared_ptr<NullMovieLog> log);

} // namespace veltrane::video
