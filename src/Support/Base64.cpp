#include "Support/Base64.h"

#include <array>

namespace veltrane::Base64 {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Six-bit value of each character, 64 for a character outside the alphabet.
constexpr std::array<std::uint8_t, 256> kValues = [] {
    std::array<std::uint8_t, 256> values{};
    values.fill(64);
    for (int i = 0; i < 64; ++i) values[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::uint8_t>(i);
    return values;
}();

} // namespace

void encode(std::string_view bytes, std::string& out)
{
    const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    std::size_t at = out.size();
    out.resize(at + (n + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= n; i += 3) {
        const std::uint32_t v = std::uint32_t(in[i]) << 16 | std::uint32_t(in[i + 1]) << 8 | in[i + 2];
        out[at++] = kAlphabet[v >> 18];
        out[at++] = kAlphabet[(v >> 12) & 63];
        out[at++] = kAlphabet[(v >> 6) & 63];
        out[at++] = kAlphabet[v & 63];
    }
    if (const std::size_t rest = n - i; rest > 0) {
        const std::uint32_t v = std::uint32_t(in[i]) << 16 | (rest == 2 ? std::uint32_t(in[i + 1]) << 8 : 0);
        out[at++] = kAlphabet[v >> 18];
        out[at++] = kAlphabet[(v >> 12) & 63];
        out[at++] = rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        out[at++] = '=';
    }
}

std::string encode(std::string_view bytes)
{
    std::string out;
    encode(bytes, out);
    return out;
}

std::optional<std::string> decode(std::string_view text)
{
    if (text.size() % 4 != 0) return std::nullopt;
    std::size_t padding = 0;
    if (!text.empty() && text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;
    std::string out;
    out.resize(text.size() / 4 * 3 - padding);
    const auto* in = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t at = 0;
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        const std::size_t real = last ? 4 - padding : 4; // characters that carry bits in this group
        std::uint32_t v = 0;
        for (std::size_t j = 0; j < 4; ++j) {
            std::uint32_t d = 0;
            if (j < real) {
                d = kValues[in[i + j]];
                if (d == 64) return std::nullopt;
            }
            v = v << 6 | d;
        }
        if (!last || padding == 0) {
            out[at++] = static_cast<char>(v >> 16);
            out[at++] = static_cast<char>(v >> 8);
            out[at++] = static_cast<char>(v);
        } else if (padding == 1) {
            if (v & 0xff) return std::nullopt;
            out[at++] = static_cast<char>(v >> 16);
            out[at++] = static_cast<char>(v >> 8);
        } else {
            if (v & 0xffff) return std::nullopt;
            out[at++] = static_cast<char>(v >> 16);
        }
    }
    return out;
}

std::string encode(std::span<const std::uint8_t> bytes)
{
    return encode(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

std::optional<std::vector<std::uint8_t>> decodeBytes(std::string_view text)
{
    auto decoded = decode(text);
    if (!decoded) return std::nullopt;
    return std::vector<std::uint8_t>(decoded->begin(), decoded->end());
}

} // namespace veltrane::Base64
