#pragma once
// Whole-buffer gzip compression and decompression on zlib, for the device-rack export and its
// template.
// - compress: deflate at level 6 in a gzip wrapper with a fixed header (no name, comment or extra
//   field, modification time 0, operating system 3 = Unix), so equal input gives equal bytes;
// - decompress: a zlib or gzip wrapper, detected from the data; bytes after the end of the first
//   stream are ignored.
// Not for streams, and not for buffers of 4 GiB or more (zlib takes the input in one piece).
// Failures: Gzip::Error, `zlib` with zlib's status (Z_DATA_ERROR for data in neither wrapper, …) or
// `truncated` when the data stops before the stream ends (the empty buffer included).
#include <cstdint>
#include <span>
#include <stdexcept>
#include <vector>

namespace veltrane::Gzip {

class Error : public std::runtime_error {
public:
    enum class Kind { zlib, truncated };

    static Error zlib(int status);
    static Error truncated() { return Error(Kind::truncated, 0, "The compressed data is cut short."); }

    Kind kind;
    int status; // zlib's status code for Kind::zlib

    friend bool operator==(const Error& a, const Error& b) noexcept { return a.kind == b.kind && a.status == b.status; }

private:
    Error(Kind kind, int status, const std::string& text) : std::runtime_error(text), kind(kind), status(status) {}
};

std::vector<std::uint8_t> compress(std::span<const std::uint8_t> data);
std::vector<std::uint8_t> decompress(std::span<const std::uint8_t> data);

} // namespace veltrane::Gzip
