#include "Support/Base64.h"

#include <array>

namespace veltrane::Base64 {

namespace {

constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<int, 256> values = [] {
    std::array<int, 256> table{};
    table.fill(-1);
    for (std::size_t i = 0; i < alphabet.size(); ++i) table[static_cast<unsigned char>(alphabet[i])] = int(i);
    return table;
}();

} // namespace

std::string encode(std::span<const std::uint8_t> bytes)
{
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t n = (std::uint32_t(bytes[i]) << 16) | (std::uint32_t(bytes[i + 1]) << 8) | bytes[i + 2];
        for (int shift = 18; shift >= 0; shift -= 6) out.push_back(alphabet[(n >> shift) & 63]);
    }
    if (const std::size_t rest = bytes.size() - i; rest > 0) {
        std::uint32_t n = std::uint32_t(bytes[i]) << 16;
        if (rest == 2) n |= std::uint32_t(bytes[i + 1]) << 8;
        out.push_back(alphabet[(n >> 18) & 63]);
        out.push_back(alphabet[(n >> 12) & 63]);
        out.push_back(rest == 2 ? alphabet[(n >> 6) & 63] : '=');
        out.push_back('=');
    }
    return out;
}

std::optional<std::vector<std::uint8_t>> decode(std::string_view text)
{
    if (text.size() % 4 != 0) return std::nullopt;
    std::size_t padding = 0;
    if (!text.empty() && text.back() == '=') padding = text.size() >= 2 && text[text.size() - 2] == '=' ? 2 : 1;
    std::vector<std::uint8_t> out;
    out.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        std::uint32_t n = 0;
        for (std::size_t j = 0; j < 4; ++j) {
            const char c = text[i + j];
            int v;
            if (last && j >= 4 - padding)
                v = 0; // a padding position
            else if ((v = values[static_cast<unsigned char>(c)]) < 0)
                return std::nullopt;
            n = (n << 6) | std::uint32_t(v);
        }
        out.push_back(std::uint8_t(n >> 16));
        if (!last || padding < 2) out.push_back(std::uint8_t(n >> 8));
        if (!last || padding < 1) out.push_back(std::uint8_t(n));
    }
    return out;
}

} // namespace veltrane::Base64
