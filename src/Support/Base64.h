#pragma once
// Standard Base64 (RFC 4648, section 4): the alphabet A-Z a-z 0-9 + /, '=' padding to a multiple of
// four characters, no line breaks. Decoding is strict: any other character, a length that is not a
// multiple of four, padding anywhere but at the end, or bits set in the padding give nothing, so
// every accepted text is the one encoding of its bytes.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace veltrane::Base64 {

std::string encode(std::string_view bytes);
// Appends the encoding to `out`.
void encode(std::string_view bytes, std::string& out);
std::optional<std::string> decode(std::string_view text);

} // namespace veltrane::Base64
