#pragma once
// Standard Base64 (RFC 4648 alphabet, "=" padding), as data URLs carry pictures.
// Decoding is strict: the text's length is a multiple of four, every character is of the alphabet
// (no line breaks or spaces), and padding appears only at the end; anything else gives nothing.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace veltrane::Base64 {

std::string encode(std::span<const std::uint8_t> bytes);
std::optional<std::vector<std::uint8_t>> decode(std::string_view text);

} // namespace veltrane::Base64
