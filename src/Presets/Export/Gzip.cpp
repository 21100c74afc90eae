#include "Presets/Export/Gzip.h"

#include <zlib.h>

#include <climits>
#include <string>

namespace veltrane::Gzip {

namespace {

constexpr std::size_t chunk = 65536;
constexpr int level = 6;
constexpr int gzipWindowBits = 31;   // 15-bit window, gzip wrapper
constexpr int detectWindowBits = 47; // 32 + 15: zlib or gzip, detected
constexpr int memoryLevel = 8;
constexpr int unixOS = 3;

// Runs a zlib stream to its end into fresh 64 KiB buffers; `step` is deflate or inflate.
template <class Step>
int drain(z_stream& stream, std::vector<std::uint8_t>& out, Step step)
{
    int status;
    do {
        const std::size_t used = out.size();
        out.resize(used + chunk);
        stream.next_out = out.data() + used;
        stream.avail_out = static_cast<uInt>(chunk);
        status = step(stream);
        out.resize(used + (chunk - stream.avail_out));
    } while (status == Z_OK);
    return status;
}

void checkSize(std::span<const std::uint8_t> data)
{
    if (data.size() > UINT_MAX) throw Error::zlib(Z_BUF_ERROR);
}

} // namespace

Error Error::zlib(int status)
{
    return Error(Kind::zlib, status, "zlib failed with status " + std::to_string(status) + ".");
}

std::vector<std::uint8_t> compress(std::span<const std::uint8_t> data)
{
    checkSize(data);
    z_stream stream{};
    int status = deflateInit2_(&stream, level, Z_DEFLATED, gzipWindowBits, memoryLevel, Z_DEFAULT_STRATEGY,
                               ZLIB_VERSION, static_cast<int>(sizeof(z_stream)));
    if (status != Z_OK) throw Error::zlib(status);
    gz_header header{};
    header.os = unixOS; // everything else zero: no name, comment, extra field, header CRC or text flag
    status = deflateSetHeader(&stream, &header);
    if (status != Z_OK) {
        deflateEnd(&stream);
        throw Error::zlib(status);
    }
    stream.next_in = const_cast<Bytef*>(data.data());
    stream.avail_in = static_cast<uInt>(data.size());
    std::vector<std::uint8_t> out;
    status = drain(stream, out, [](z_stream& s) { return deflate(&s, Z_FINISH); });
    deflateEnd(&stream);
    if (status != Z_STREAM_END) throw Error::zlib(status);
    return out;
}

std::vector<std::uint8_t> decompress(std::span<const std::uint8_t> data)
{
    checkSize(data);
    z_stream stream{};
    int status = inflateInit2_(&stream, detectWindowBits, ZLIB_VERSION, static_cast<int>(sizeof(z_stream)));
    if (status != Z_OK) throw Error::zlib(status);
    stream.next_in = const_cast<Bytef*>(data.data());
    stream.avail_in = static_cast<uInt>(data.size());
    std::vector<std::uint8_t> out;
    status = drain(stream, out, [](z_stream& s) { return inflate(&s, Z_NO_FLUSH); });
    const bool inputLeft = stream.avail_in > 0;
    inflateEnd(&stream);
    if (status == Z_STREAM_END) return out;
    if (status == Z_BUF_ERROR && !inputLeft) throw Error::truncated();
    throw Error::zlib(status);
}

} // namespace veltrane::Gzip
