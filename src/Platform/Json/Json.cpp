#include "Platform/Json/Json.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <system_error>

namespace veltrane::Json {

std::string formatNumber(double value)
{
    if (!std::isfinite(value))
        throw Error("JSON cannot hold a non-finite number");
    if (value == 0)
        return "0"; // also -0, as JavaScript prints it

    // Shortest round-trip digits in scientific form: "d.ddde±XX".
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    if (ec != std::errc())
        throw Error("JSON number could not be formatted");
    std::string_view sci(buf, static_cast<size_t>(end - buf));

    std::string out;
    size_t pos = 0;
    if (sci[0] == '-') {
        out.push_back('-');
        pos = 1;
    }
    const size_t ePos = sci.find('e');
    std::string digits;
    for (size_t i = pos; i < ePos; ++i)
        if (sci[i] != '.')
            digits.push_back(sci[i]);
    const int exp10 = std::atoi(std::string(sci.substr(ePos + 1)).c_str());
    const int k = static_cast<int>(digits.size());
    const int n = exp10 + 1; // value = 0.digits × 10^n

    if (k <= n && n <= 21) {
        out += digits;
        out.append(static_cast<size_t>(n - k), '0');
    } else if (0 < n && n <= 21) {
        out += digits.substr(0, static_cast<size_t>(n));
        out.push_back('.');
        out += digits.substr(static_cast<size_t>(n));
    } else if (-6 < n && n <= 0) {
        out += "0.";
        out.append(static_cast<size_t>(-n), '0');
        out += digits;
    } else {
        out.push_back(digits[0]);
        if (k > 1) {
            out.push_back('.');
            out += digits.substr(1);
        }
        out.push_back('e');
        out.push_back(n - 1 >= 0 ? '+' : '-');
        out += std::to_string(std::abs(n - 1));
    }
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

void writeString(std::string& out, const std::string& s)
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
    case nlohmann::json::value_t::number_float: out += formatNumber(v.template get<double>()); break;
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

} // namespace veltrane::Json
