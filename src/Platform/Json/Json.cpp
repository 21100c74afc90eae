#include "Platform/Json/Json.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>
#include <system_error>

namespace veltrane::Json {

void appendNumber(std::string& out, double value)
{
    if (!std::isfinite(value)) throw Error("JSON cannot hold a non-finite number");
    if (value == 0) {
        out.push_back('0'); // also -0, as JavaScript prints it
        return;
    }

    // Shortest round-trip digits in scientific form: "d.ddde±XX".
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    if (ec != std::errc()) throw Error("JSON number could not be formatted");
    const char* p = buf;
    if (*p == '-') {
        out.push_back('-');
        ++p;
    }
    char digits[32];
    int k = 0;
    for (; p < end && *p != 'e'; ++p)
        if (*p != '.') digits[k++] = *p;
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
    if (!std::isfinite(value)) throw Error("JSON cannot hold a non-finite number");
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
    if (ec != std::errc()) throw Error("JSON number could not be formatted");
    double result = 0;
    std::from_chars(buf, end, result);
    return result;
}

namespace {

void writeString(std::string& out, std::string_view s)
{
    static const char* hex = "0123456789abcdef";
    out.push_back('"');
    std::size_t run = 0; // start of the characters not yet copied: they need no escape
    for (std::size_t i = 0; i < s.size(); ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c != '"' && c != '\\') continue;
        out.append(s.data() + run, i - run);
        run = i + 1;
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            out += "\\u00";
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        }
    }
    out.append(s.data() + run, s.size() - run);
    out.push_back('"');
}

template <class J>
void writeValue(std::string& out, const J& v, bool pretty, int depth)
{
    auto newline = [&](int d) {
        if (!pretty) return;
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
            if (!first) out.push_back(',');
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
            if (!first) out.push_back(',');
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
    case nlohmann::json::value_t::discarded: throw Error("JSON value cannot be written");
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
        if (wroteValue_) throw Error("JSON writer: a second document");
        return;
    }
    Level& level = levels_.back();
    if (level.object) {
        if (level.keyDue) throw Error("JSON writer: a value where a key is due");
        level.keyDue = true;
    } else {
        if (!level.empty) out_.push_back(',');
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
    if (levels_.empty() || levels_.back().object) throw Error("JSON writer: an array ends where it cannot");
    levels_.pop_back();
    out_.push_back(']');
    wroteValue_ = wroteValue_ || levels_.empty();
}

void Writer::number(double value)
{
    if (!std::isfinite(value)) throw Error("JSON cannot hold a non-finite number");
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
//
// A reader of its own rather than the document parser's event interface: takes are tens of
// megabytes, mostly long Base64 texts, which this reads in runs instead of byte by byte. It accepts
// exactly what the document parser accepts (RFC 8259, UTF-8 checked, a leading byte-order mark
// skipped, numbers that overflow a double refused); the take fuzzer holds the two side by side.

namespace {

class EventParser {
public:
    EventParser(std::string_view text, Events& handler)
        : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()), h_(handler)
    {}

    void run()
    {
        if (end_ - p_ >= 3 && std::memcmp(p_, "\xEF\xBB\xBF", 3) == 0) p_ += 3;
        std::vector<bool> stack; // true: an object
        bool needValue = true;
        for (;;) {
            if (needValue) {
                skipSpace();
                if (p_ == end_) fail("unexpected end of input");
                if (*p_ == '{') {
                    ++p_;
                    h_.beginObject();
                    skipSpace();
                    if (p_ < end_ && *p_ == '}') {
                        ++p_;
                        h_.endObject();
                    } else {
                        stack.push_back(true);
                        readKey();
                        continue;
                    }
                } else if (*p_ == '[') {
                    ++p_;
                    h_.beginArray();
                    skipSpace();
                    if (p_ < end_ && *p_ == ']') {
                        ++p_;
                        h_.endArray();
                    } else {
                        stack.push_back(false);
                        continue;
                    }
                } else {
                    scalar();
                }
                needValue = false;
            }
            skipSpace();
            if (stack.empty()) {
                if (p_ != end_) fail("unexpected text after the document");
                return;
            }
            if (p_ == end_) fail("unexpected end of input");
            const char c = *p_++;
            if (c == ',') {
                needValue = true;
                if (stack.back()) {
                    skipSpace();
                    readKey();
                }
            } else if (c == (stack.back() ? '}' : ']')) {
                const bool object = stack.back();
                stack.pop_back();
                if (object)
                    h_.endObject();
                else
                    h_.endArray();
            } else {
                --p_;
                fail(stack.back() ? "expected ',' or '}'" : "expected ',' or ']'");
            }
        }
    }

private:
    [[noreturn]] void fail(const char* what) const
    {
        throw Error("JSON parse error at byte " + std::to_string(p_ - begin_) + ": " + what);
    }

    void skipSpace()
    {
        while (p_ < end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
    }

    void readKey()
    {
        if (p_ == end_ || *p_ != '"') fail("expected a key");
        readString();
        h_.key(text_);
        skipSpace();
        if (p_ == end_ || *p_ != ':') fail("expected ':'");
        ++p_;
    }

    void literal(std::string_view word)
    {
        if (static_cast<std::size_t>(end_ - p_) < word.size() || std::memcmp(p_, word.data(), word.size()) != 0)
            fail("invalid literal");
        p_ += word.size();
    }

    void scalar()
    {
        switch (*p_) {
        case '"':
            readString();
            h_.string(text_);
            return;
        case 't':
            literal("true");
            h_.boolean(true);
            return;
        case 'f':
            literal("false");
            h_.boolean(false);
            return;
        case 'n':
            literal("null");
            h_.null();
            return;
        default:
            if (*p_ == '-' || (*p_ >= '0' && *p_ <= '9')) return number();
            fail("unexpected character");
        }
    }

    static bool digit(char c) { return c >= '0' && c <= '9'; }

    void number()
    {
        const char* start = p_;
        if (*p_ == '-') ++p_;
        if (p_ == end_ || !digit(*p_)) fail("invalid number");
        if (*p_ == '0')
            ++p_;
        else
            while (p_ < end_ && digit(*p_)) ++p_;
        bool integral = true;
        if (p_ < end_ && *p_ == '.') {
            integral = false;
            ++p_;
            if (p_ == end_ || !digit(*p_)) fail("invalid number");
            while (p_ < end_ && digit(*p_)) ++p_;
        }
        if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
            integral = false;
            ++p_;
            if (p_ < end_ && (*p_ == '+' || *p_ == '-')) ++p_;
            if (p_ == end_ || !digit(*p_)) fail("invalid number");
            while (p_ < end_ && digit(*p_)) ++p_;
        }
        if (integral) {
            std::int64_t value = 0;
            const auto [at, ec] = std::from_chars(start, p_, value);
            if (ec == std::errc() && at == p_) {
                h_.integer(value);
                return;
            }
        }
        double value = 0;
        const auto [at, ec] = std::from_chars(start, p_, value);
        if (ec != std::errc() || at != p_) {
            // Out of range: strtod tells an overflow (refused) from an underflow (towards 0).
            const std::string token(start, p_);
            value = std::strtod(token.c_str(), nullptr);
        }
        if (!std::isfinite(value)) fail("number overflow");
        h_.number(value);
    }

    int hex4()
    {
        if (end_ - p_ < 4) fail("invalid \\u escape");
        int v = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = *p_++;
            v <<= 4;
            if (c >= '0' && c <= '9')
                v |= c - '0';
            else if (c >= 'a' && c <= 'f')
                v |= c - 'a' + 10;
            else if (c >= 'A' && c <= 'F')
                v |= c - 'A' + 10;
            else
                fail("invalid \\u escape");
        }
        return v;
    }

    void appendUtf8(std::uint32_t cp)
    {
        if (cp < 0x80) {
            text_.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            text_.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            text_.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            text_.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            text_.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            text_.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            text_.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            text_.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            text_.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            text_.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }

    // One UTF-8 sequence of two to four bytes starting at p_, by the well-formed ranges of
    // Unicode's table 3-7 (no overlong forms, no surrogates, nothing past U+10FFFF).
    void multibyte()
    {
        const auto b = [&](std::ptrdiff_t i) { return static_cast<unsigned char>(p_[i]); };
        const unsigned char lead = b(0);
        int n = 0;
        unsigned char lo = 0x80, hi = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF)
            n = 2;
        else if (lead >= 0xE0 && lead <= 0xEF) {
            n = 3;
            lo = lead == 0xE0 ? 0xA0 : 0x80;
            hi = lead == 0xED ? 0x9F : 0xBF;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            n = 4;
            lo = lead == 0xF0 ? 0x90 : 0x80;
            hi = lead == 0xF4 ? 0x8F : 0xBF;
        } else
            fail("invalid UTF-8");
        if (end_ - p_ < n || b(1) < lo || b(1) > hi) fail("invalid UTF-8");
        for (int i = 2; i < n; ++i)
            if (b(i) < 0x80 || b(i) > 0xBF) fail("invalid UTF-8");
        text_.append(p_, static_cast<std::size_t>(n));
        p_ += n;
    }

    // The string at p_ (its opening quote) into text_.
    void readString()
    {
        ++p_;
        text_.clear();
        for (;;) {
            const char* run = p_;
            while (p_ < end_) {
                const auto c = static_cast<unsigned char>(*p_);
                if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) break;
                ++p_;
            }
            text_.append(run, static_cast<std::size_t>(p_ - run));
            if (p_ == end_) fail("missing closing quote");
            const auto c = static_cast<unsigned char>(*p_);
            if (c == '"') {
                ++p_;
                return;
            }
            if (c < 0x20) fail("control character in a string");
            if (c >= 0x80) {
                multibyte();
                continue;
            }
            ++p_; // the backslash
            if (p_ == end_) fail("missing closing quote");
            switch (*p_++) {
            case '"': text_.push_back('"'); break;
            case '\\': text_.push_back('\\'); break;
            case '/': text_.push_back('/'); break;
            case 'b': text_.push_back('\b'); break;
            case 'f': text_.push_back('\f'); break;
            case 'n': text_.push_back('\n'); break;
            case 'r': text_.push_back('\r'); break;
            case 't': text_.push_back('\t'); break;
            case 'u': {
                std::uint32_t cp = static_cast<std::uint32_t>(hex4());
                if (cp >= 0xDC00 && cp <= 0xDFFF) fail("a low surrogate without a high one");
                if (cp >= 0xD800 && cp <= 0xDBFF) {
                    if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u') fail("a high surrogate without a low one");
                    p_ += 2;
                    const auto low = static_cast<std::uint32_t>(hex4());
                    if (low < 0xDC00 || low > 0xDFFF) fail("a high surrogate without a low one");
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                }
                appendUtf8(cp);
                break;
            }
            default: --p_; fail("invalid escape");
            }
        }
    }

    const char* begin_;
    const char* p_;
    const char* end_;
    Events& h_;
    std::string text_;
};

} // namespace

void parseEvents(std::string_view text, Events& handler) { EventParser(text, handler).run(); }

} // namespace veltrane::Json
