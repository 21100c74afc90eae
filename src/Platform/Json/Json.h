#pragma once
// The one JSON layer of the program.
//
// Reading: nlohmann-json documents (`Json::Value`, objects kept sorted by key in byte order, or
// `Json::OrderedValue`, objects kept in insertion order for formats with a fixed key order).
// Writing: our own writer, so every file format follows the same rules:
//   - numbers in the shortest text that reads back to the same double, printed the way JavaScript
//     prints numbers (90, 0.1, 1e-7, 1e+300; never "90.0");
//   - a value that stands for a 32-bit float is stored with `Json::floatNumber` and prints as the
//     shortest text that reads back to that float (0.1f prints "0.1", not "0.10000000149011612");
//   - a non-finite number is an error (`Json::Error`), never "null";
//   - compact (no whitespace at all) or pretty (two-space indent, one member per line).
// Strings are written as UTF-8 with only the escapes JSON requires.
#include <nlohmann/json.hpp>

#include <stdexcept>
#include <string>
#include <string_view>

namespace veltrane::Json {

using Value = nlohmann::json;
using OrderedValue = nlohmann::ordered_json;

class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class Style { compact, pretty };

std::string write(const Value& value, Style style = Style::compact);
std::string write(const OrderedValue& value, Style style = Style::compact);

// Parses UTF-8 text; throws Error with the parser's message on malformed input.
Value parse(std::string_view text);
OrderedValue parseOrdered(std::string_view text);

// JavaScript's Number-to-string for a finite double; throws Error for NaN and infinities.
std::string formatNumber(double value);

// The double whose shortest text equals the float's shortest text, for storing float fields.
// Throws Error for a non-finite value.
double floatNumber(float value);

} // namespace veltrane::Json
