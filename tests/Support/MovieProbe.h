#pragma once
// Movies read back by FFmpeg's own command-line tools (ffprobe, ffmpeg), independently of the writer:
// what the container says, the sound as integers, and a frame as 8-bit RGB the way a player converts
// it (by the colour tags of the stream).
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "Platform/Json/Json.h"

namespace veltrane::testsupport {

// Standard output of a shell command, and its exit status.
struct CommandOutput {
    std::string bytes;
    int status = -1;
};

inline CommandOutput runCommand(const std::string& command)
{
    CommandOutput out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return out;
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.bytes.append(buffer, n);
    out.status = ::pclose(pipe);
    return out;
}

inline std::string quoted(const std::filesystem::path& path)
{
    std::string q = "'";
    for (char c : path.string()) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// ffprobe's view of the file: "format" and "streams" (frames counted by decoding).
inline Json::Value probeMovie(const std::filesystem::path& movie)
{
    const auto out = runCommand("ffprobe -v error -count_frames -show_format -show_streams -of json " + quoted(movie));
    if (out.status != 0) return Json::Value();
    return Json::parse(out.bytes);
}

// The first stream of a kind ("video", "audio"); null when there is none.
inline Json::Value stream(const Json::Value& probe, const std::string& kind)
{
    if (probe.contains("streams"))
        for (const auto& s : probe["streams"])
            if (s.value("codec_type", "") == kind) return s;
    return Json::Value();
}

// The sound decoded to interleaved 32-bit integers (24-bit samples in the top bits).
inline std::vector<int32_t> decodeSound(const std::filesystem::path& movie)
{
    const auto out = runCommand("ffmpeg -v error -i " + quoted(movie) + " -map 0:a:0 -f s32le -c:a pcm_s32le -");
    std::vector<int32_t> samples(out.bytes.size() / 4);
    std::memcpy(samples.data(), out.bytes.data(), samples.size() * 4);
    return samples;
}

// Frame `index` decoded to 8-bit RGB, rows from the top.
inline std::vector<uint8_t> decodeFrameRGB(const std::filesystem::path& movie, int index = 0)
{
    const auto out = runCommand("ffmpeg -v error -i " + quoted(movie) + " -vf \"select=eq(n\\," +
                                std::to_string(index) + ")\" -frames:v 1 -f rawvideo -pix_fmt rgb24 -");
    return std::vector<uint8_t>(out.bytes.begin(), out.bytes.end());
}

// Peak signal-to-noise ratio in dB of 8-bit RGB against the red, green and blue of BGRX pixels.
inline double psnrAgainstBGRX(const std::vector<uint8_t>& rgb, const std::vector<uint8_t>& bgrx)
{
    if (rgb.empty() || rgb.size() / 3 != bgrx.size() / 4) return 0;
    double sum = 0;
    for (size_t p = 0; p < rgb.size() / 3; ++p)
        for (int c = 0; c < 3; ++c) {
            const double d = double(rgb[p * 3 + size_t(c)]) - double(bgrx[p * 4 + size_t(2 - c)]);
            sum += d * d;
        }
    const double mse = sum / double(rgb.size());
    return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

} // namespace veltrane::testsupport
