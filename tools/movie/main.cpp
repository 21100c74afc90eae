// Renders a take file to a QuickTime movie without the instrument, with a progress bar.
//
//   veltrane-movie TAKE.veltranetake OUT.mov [--size 1920x1080] [--fps 60] [--codec hevc|prores]
//                  [--samples N]
//
// Defaults are the movie export's: 3840x2160 at 60 fps, HEVC, samples chosen by size. Ctrl+C
// cancels: nothing is left at OUT.mov, and a movie that was there stays as it was.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "Platform/Files/Files.h"
#include "Takes/TakeMovie.h"

using namespace veltrane;

namespace {

std::atomic<bool> interrupted{false};

void interrupt(int) { interrupted = true; }

int usage(const std::string& message)
{
    std::fprintf(stderr, "veltrane-movie: %s\n", message.c_str());
    std::fprintf(stderr, "usage: veltrane-movie TAKE.veltranetake OUT.mov [--size WxH] [--fps N]\n"
                         "                      [--codec hevc|prores] [--samples N]\n");
    return 2;
}

// One line, redrawn in place: [#####.....] 42%  25/60 frames  3.1 fps  12 s left
class ProgressBar {
public:
    explicit ProgressBar(std::int64_t frames) : frames_(frames), start_(std::chrono::steady_clock::now()) {}

    void show(double fraction)
    {
        constexpr int kWidth = 30;
        const int filled = int(fraction * kWidth + 1e-9);
        const std::int64_t done = std::int64_t(fraction * double(frames_) + 0.5);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        const double fps = seconds > 0 ? double(done) / seconds : 0;
        const double left = fps > 0 ? double(frames_ - done) / fps : 0;
        std::string bar(size_t(filled), '#');
        bar.append(size_t(kWidth - filled), '.');
        std::fprintf(stderr, "%s[%s] %3d%%  %lld/%lld frames  %.1f fps  %.0f s left  ", tty_ ? "\r" : "", bar.c_str(),
                     int(fraction * 100 + 1e-9), static_cast<long long>(done), static_cast<long long>(frames_), fps,
                     left);
        if (!tty_) std::fputc('\n', stderr);
        std::fflush(stderr);
    }
    void end() const
    {
        if (tty_) std::fputc('\n', stderr);
    }

private:
    std::int64_t frames_;
    std::chrono::steady_clock::time_point start_;
    bool tty_ = ::isatty(STDERR_FILENO);
};

} // namespace

int main(int argc, char** argv)
{
    std::string takePath, moviePath;
    TakeRenderer::Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.starts_with("--")) {
            if (i + 1 >= argc) return usage("missing value for " + arg);
            const std::string value = argv[++i];
            char* end = nullptr;
            if (arg == "--size") {
                if (std::sscanf(value.c_str(), "%dx%d", &options.width, &options.height) != 2 || options.width < 2 ||
                    options.height < 2)
                    return usage("size must be WxH");
            } else if (arg == "--fps") {
                options.fps = std::strtod(value.c_str(), &end);
                if (*end || !(options.fps > 0)) return usage("fps must be a number above 0");
            } else if (arg == "--codec") {
                const auto codec = fromText<TakeRenderer::Codec>(value);
                if (!codec) return usage("codec must be hevc or prores");
                options.codec = *codec;
            } else if (arg == "--samples") {
                options.samples = std::strtoll(value.c_str(), &end, 10);
                if (*end) return usage("samples must be a whole number");
            } else {
                return usage("unknown option " + arg);
            }
        } else if (takePath.empty()) {
            takePath = arg;
        } else if (moviePath.empty()) {
            moviePath = arg;
        } else {
            return usage("one take and one movie");
        }
    }
    if (moviePath.empty()) return usage("a take file and a movie file are needed");

    std::optional<Take> take;
    try {
        const auto bytes = Files::readAll(takePath);
        take = Take::decode(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    } catch (const Files::Error& error) {
        std::fprintf(stderr, "veltrane-movie: %s: %s\n", takePath.c_str(), error.what());
        return 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "veltrane-movie: %s is not a take: %s\n", takePath.c_str(), error.what());
        return 1;
    }

    std::signal(SIGINT, interrupt);
    std::signal(SIGTERM, interrupt);
    const std::int64_t frames = TakeRenderer::frameCount(*take, options.fps);
    std::fprintf(stderr, "%s: %.2f s, %lld frames of %dx%d at %g fps, %s, %lld samples per pixel\n", takePath.c_str(),
                 take->seconds(), static_cast<long long>(frames), options.width, options.height, options.fps,
                 std::string(toText(options.codec)).c_str(), static_cast<long long>(options.samplesPerPixel()));
    ProgressBar bar(frames);
    const auto start = std::chrono::steady_clock::now();
    try {
        TakeRenderer::render(*take, moviePath, options, [&](double fraction) {
            bar.show(fraction);
            return !interrupted;
        });
    } catch (const std::exception& error) {
        bar.end();
        std::fprintf(stderr, "movie export failed: %s\n", error.what());
        return 1;
    }
    bar.end();
    if (interrupted) {
        std::fprintf(stderr, "cancelled: nothing written\n");
        return 130;
    }
    std::fprintf(stderr, "%s in %.1f s\n", moviePath.c_str(),
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    return 0;
}
