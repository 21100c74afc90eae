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
//
// For documents too large to hold twice (takes), `Writer` streams the same compact output straight
// into a text, and `parseEvents` reads a text as a stream of events without building a document.
#include "Platform/Json/JsonFwd.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace veltrane::Json {

enum class Style { compact, pretty };

std::string write(const Value& value, Style style = Style::compact);
std::string write(const OrderedValue& value, Style style = Style::compact);

// Parses UTF-8 text; throws Error with the parser's message on malformed input.
Value parse(std::string_view text);
OrderedValue parseOrdered(std::string_view text);

// JavaScript's Number-to-string for a finite double; throws Error for NaN and infinities.
std::string formatNumber(double value);

// formatNumber appended to `out`, without a temporary text.
void appendNumber(std::string& out, double value);

// The double whose shortest text equals the float's shortest text, for storing float fields.
// Throws Error for a non-finite value.
double floatNumber(float value);

// Compact output written as it is produced, under the rules above. The keys of one object must come
// in ascending byte order (sorted files stay sorted by construction): a key that does not follow
// the one before it throws Error, as does a value where a key is due or a misplaced end.
class Writer {
public:
    explicit Writer(std::string& out) : out_(out) {}
    void beginObject();
    void endObject();
    void beginArray();
    void endArray();
    void key(std::string_view name);
    void number(double value);     // Error for a non-finite value
    void floatNumber(float value); // the float's shortest text; Error for a non-finite value
    void integer(std::int64_t value);
    void string(std::string_view value);
    void boolean(bool value);
    void null();
    // True when every object and array begun has ended.
    bool complete() const { return levels_.empty() && wroteValue_; }

private:
    struct Level {
        bool object;
        bool empty = true;
        bool keyDue = true; // objects: a key comes next
        std::string lastKey;
    };
    void beforeValue();
    std::string& out_;
    std::vector<Level> levels_;
    bool wroteValue_ = false;
};

// What `parseEvents` reports, in document order. Integers that fit a signed 64-bit integer come as
// `integer`; every other number (fractions, exponents, larger integers) as `number`. A handler stops
// the reading by throwing; its exception leaves `parseEvents` unchanged.
class Events {
public:
    virtual ~Events() = default;
    virtual void null() = 0;
    virtual void boolean(bool value) = 0;
    virtual void integer(std::int64_t value) = 0;
    virtual void number(double value) = 0;
    virtual void string(std::string& value) = 0; // the handler may move the text away
    virtual void beginObject() = 0;
    virtual void key(std::string& name) = 0;
    virtual void endObject() = 0;
    virtual void beginArray() = 0;
    virtual void endArray() = 0;
};

// Reads UTF-8 text as events; throws Error with the parser's message on malformed input (after the
// events of the part that parsed).
void parseEvents(std::string_view text, Events& handler);

} // namespace veltrane::Json
