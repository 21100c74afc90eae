#include "Platform/Json/Json.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <system_error>

namespace veltrane::Json {

void appendNumber(std::string& out, double value)
{
    if (!std::isfinite(value))
        throw Error("JSON cannot hold a non-finite number");
    if (value == 0) {
        out.push_back('0'); // also -0, as JavaScript prints it
        return;
    }

    // Shortest round-trip digits in scientific form: "d.ddde±XX".
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    if (ec != std::errc())
        throw Error("JSON number could not be formatted");
    const char* p = buf;
    if (*p == '-') {
        out.push_back('-');
        ++p;
    }
    char digits[32];
    int k = 0;
    for (; p < end && *p != 'e'; ++p)
        if (*p != '.')
            digits[k++] = *p;
    int exp10 = 0;
    std::from_chars(p + 1 + (p[1] == '+'), end, exp10);
    const int n = exp10 + 1; // value = 0.digits × 10^n

    if (k <= n && n <= 21) {
        out.append(digits, static_cast<size_t>(k));
        out.append(static_cast<size_t>(n - k), '0');
    } else if (0 < n && n <= 21) {
        out.append(digits, static_cast<size_t>(n));
        out.push_back('.');
        out.append(digits + n, static_cast<size_t>(k - n));
    } else if (-6 < n && n <= 0) {
        out += "0.";
        out.append(static_cast<size_t>(-n), '0');
        out.append(digits, static_cast<size_t>(k));
    } else {
        out.push_back(digits[0]);
        if (k > 1) {
            out.push_back('.');
            out.append(digits + 1, static_cast<size_t>(k - 1));
        }
        out.push_back('e');
        out.push_back(n - 1 >= 0 ? '+' : '-');
        char e[8];
        const auto [eEnd, eErr] = std::to_chars(e, e + sizeof e, std::abs(n - 1));
        out.append(e, eEnd);
    }
}

std::string formatNumber(double value)
{
    std::string out;
    appendNumber(out, value);
    return out;
}

double floatNumber(float value)
{
    if (!std::isfinite(value))
        throw Error("JSON cannot hold a non-finite number");
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
    if (ec != std::errc())
        throw Error("JSON number could not be formatted");
    double result = 0;
    std::from_chars(buf, end, result);
    return result;
}

namespace {

void writeString(std::string& out, std::string_view s)
{
    static const char* hex = "0123456789abcdef";
    out.push_back('"');
    for (unsigned char c : s) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                out += "\\u00";
                out.push_back(hex[c >> 4]);
                out.push_back(hex[c & 15]);
            } else {
                out.push_back(static_cast<char>(c));
            }
        }
    }
    out.push_back('"');
}

template <class J>
void writeValue(std::string& out, const J& v, bool pretty, int depth)
{
    auto newline = [&](int d) {
        if (!pretty)
            return;
        out.push_back('\n');
        out.append(static_cast<size_t>(2 * d), ' ');
    };
    switch (v.type()) {
    case nlohmann::json::value_t::null: out += "null"; break;
    case nlohmann::json::value_t::boolean: out += v.template get<bool>() ? "true" : "false"; break;
    case nlohmann::json::value_t::number_integer: out += std::to_string(v.template get<std::int64_t>()); break;
    case nlohmann::json::value_t::number_unsigned: out += std::to_string(v.template get<std::uint64_t>()); break;
    case nlohmann::json::value_t::number_float: appendNumber(out, v.template get<double>()); break;
    case nlohmann::json::value_t::string: writeString(out, v.template get_ref<const std::string&>()); break;
    case nlohmann::json::value_t::array: {
        if (v.empty()) {
            out += "[]";
            break;
        }
        out.push_back('[');
        bool first = true;
        for (const auto& item : v) {
            if (!first)
                out.push_back(',');
            first = false;
            newline(depth + 1);
            writeValue(out, item, pretty, depth + 1);
        }
        newline(depth);
        out.push_back(']');
        break;
    }
    case nlohmann::json::value_t::object: {
        if (v.empty()) {
            out += "{}";
            break;
        }
        out.push_back('{');
        bool first = true;
        for (auto it = v.begin(); it != v.end(); ++it) {
            if (!first)
                out.push_back(',');
            first = false;
            newline(depth + 1);
            writeString(out, it.key());
            out += pretty ? ": " : ":";
            writeValue(out, it.value(), pretty, depth + 1);
        }
        newline(depth);
        out.push_back('}');
        break;
    }
    case nlohmann::json::value_t::binary:
    case nlohmann::json::value_t::discarded:
        throw Error("JSON value cannot be written");
    }
}

template <class J>
std::string writeDocument(const J& value, Style style)
{
    std::string out;
    writeValue(out, value, style == Style::pretty, 0);
    return out;
}

} // namespace

std::string write(const Value& value, Style style) { return writeDocument(value, style); }
std::string write(const OrderedValue& value, Style style) { return writeDocument(value, style); }

Value parse(std::string_view text)
{
    try {
        return Value::parse(text.begin(), text.end());
    } catch (const nlohmann::json::exception& e) {
        throw Error(e.what());
    }
}

OrderedValue parseOrdered(std::string_view text)
{
    try {
        return OrderedValue::parse(text.begin(), text.end());
    } catch (const nlohmann::json::exception& e) {
        throw Error(e.what());
    }
}

// ---- streaming writer ----

void Writer::beforeValue()
{
    if (levels_.empty()) {
        if (wroteValue_)
            throw Error("JSON writer: a second document");
        return;
    }
    Level& level = levels_.back();
    if (level.object) {
        if (level.keyDue)
            throw Error("JSON writer: a value where a key is due");
        level.keyDue = true;
    } else {
        if (!level.empty)
            out_.push_back(',');
        level.empty = false;
    }
}

void Writer::key(std::string_view name)
{
    if (levels_.empty() || !levels_.back().object || !levels_.back().keyDue)
        throw Error("JSON writer: a key outside an object");
    Level& level = levels_.back();
    if (!level.empty) {
        if (!(std::string_view(level.lastKey) < name))
            throw Error("JSON writer: key \"" + std::string(name) + "\" out of order after \"" + level.lastKey + "\"");
        out_.push_back(',');
    }
    level.empty = false;
    level.keyDue = false;
    level.lastKey.assign(name);
    writeString(out_, name);
    out_.push_back(':');
}

void Writer::beginObject()
{
    beforeValue();
    out_.push_back('{');
    levels_.push_back({.object = true});
}

void Writer::beginArray()
{
    beforeValue();
    out_.push_back('[');
    levels_.push_back({.object = false});
}

void Writer::endObject()
{
    if (levels_.empty() || !levels_.back().object || !levels_.back().keyDue)
        throw Error("JSON writer: an object ends where it cannot");
    levels_.pop_back();
    out_.push_back('}');
    wroteValue_ = wroteValue_ || levels_.empty();
}

void Writer::endArray()
{
    if (levels_.empty() || levels_.back().object)
        throw Error("JSON writer: an array ends where it cannot");
    levels_.pop_back();
    out_.push_back(']');
    wroteValue_ = wroteValue_ || levels_.empty();
}

void Writer::number(double value)
{
    if (!std::isfinite(value))
        throw Error("JSON cannot hold a non-finite number");
    beforeValue();
    appendNumber(out_, value);
    wroteValue_ = wroteValue_ || levels_.empty();
}

void Writer::floatNumber(float value) { number(Json::floatNumber(value)); }

void Writer::integer(std::int64_t value)
{
    beforeValue();
    char buf[24];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
    out_.append(buf, end);
    wroteValue_ = wroteValue_ || levels_.empty();
}

void Writer::string(std::string_view value)
{
    beforeValue();
    writeString(out_, value);
    wroteValue_ = wroteValue_ || levels_.empty();
}

void Writer::boolean(bool value)
{
    beforeValue();
    out_ += value ? "true" : "false";
    wroteValue_ = wroteValue_ || levels_.empty();
}

void Writer::null()
{
    beforeValue();
    out_ += "null";
    wroteValue_ = wroteValue_ || levels_.empty();
}

// ---- event reader ----

namespace {

// nlohmann's SAX interface turned into ours; parse errors become Error.
struct SaxAdapter {
    Events& handler;

    bool null()
    {
        handler.null();
        return true;
    }
    bool boolean(bool value)
    {
        handler.boolean(value);
        return true;
    }
    bool number_integer(Value::number_integer_t value)
    {
        handler.integer(value);
        return true;
    }
    bool number_unsigned(Value::number_unsigned_t value)
    {
        if (value <= static_cast<Value::number_unsigned_t>(INT64_MAX))
            handler.integer(static_cast<std::int64_t>(value));
        else
            handler.number(static_cast<double>(value));
        return true;
    }
    bool number_float(Value::number_float_t value, const Value::string_t&)
    {
        handler.number(value);
        return true;
    }
    bool string(Value::string_t& value)
    {
        handler.string(value);
        return true;
    }
    bool binary(Value::binary_t&) { throw Error("JSON reader: binary values are not JSON"); }
    bool start_object(std::size_t)
    {
        handler.beginObject();
        return true;
    }
    bool key(Value::string_t& name)
    {
        handler.key(name);
        return true;
    }
    bool end_object()
    {
        handler.endObject();
        return true;
    }
    bool start_array(std::size_t)
    {
        handler.beginArray();
        return true;
    }
    bool end_array()
    {
        handler.endArray();
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::json::exception& e) { throw Error(e.what()); }
};

} // namespace

void parseEvents(std::string_view text, Events& handler)
{
    SaxAdapter adapter{handler};
    Value::sax_parse(text.begin(), text.end(), &adapter);
}

} // namespace veltrane::Json
