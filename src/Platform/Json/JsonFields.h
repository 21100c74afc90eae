#pragma once
// Reading fields of stored records: a missing key or a value of the wrong type fails the decode with
// Json::Error naming the record (`what`) and the key.
#include "Platform/Json/Json.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace veltrane::Json {

inline Error wrongType(std::string_view key, std::string_view what, std::string_view expected)
{
    return Error(std::string(what) + ": \"" + std::string(key) + "\" is not " + std::string(expected));
}

inline const Value& field(const Value& object, const char* key, std::string_view what)
{
    if (!object.is_object()) throw Error(std::string(what) + ": expected an object");
    const auto it = object.find(key);
    if (it == object.end()) throw Error(std::string(what) + ": missing key \"" + key + "\"");
    return *it;
}

inline double number(const Value& value, const char* key, std::string_view what)
{
    if (!value.is_number()) throw wrongType(key, what, "a number");
    return value.get<double>();
}

inline double requiredNumber(const Value& object, const char* key, std::string_view what)
{
    return number(field(object, key, what), key, what);
}

// Absent or null gives no value; anything else must be a number.
inline std::optional<double> optionalNumber(const Value& object, const char* key, std::string_view what)
{
    const auto it = object.find(key);
    if (it == object.end() || it->is_null()) return std::nullopt;
    return number(*it, key, what);
}

inline std::vector<double> numbers(const Value& value, const char* key, std::string_view what)
{
    if (!value.is_array()) throw wrongType(key, what, "a list of numbers");
    std::vector<double> result;
    result.reserve(value.size());
    for (const Value& element : value) {
        if (!element.is_number()) throw wrongType(key, what, "a list of numbers");
        result.push_back(element.get<double>());
    }
    return result;
}

inline std::vector<double> requiredNumbers(const Value& object, const char* key, std::string_view what)
{
    return numbers(field(object, key, what), key, what);
}

inline std::int64_t requiredInteger(const Value& object, const char* key, std::string_view what)
{
    const Value& value = field(object, key, what);
    // An unsigned integer past the signed range would wrap to a negative value.
    if (!value.is_number_integer() || (value.is_number_unsigned() && value.get<std::uint64_t>() > INT64_MAX))
        throw wrongType(key, what, "a signed 64-bit integer");
    return value.get<std::int64_t>();
}

inline bool requiredBool(const Value& object, const char* key, std::string_view what)
{
    const Value& value = field(object, key, what);
    if (!value.is_boolean()) throw wrongType(key, what, "true or false");
    return value.get<bool>();
}

inline std::string requiredText(const Value& object, const char* key, std::string_view what)
{
    const Value& value = field(object, key, what);
    if (!value.is_string()) throw wrongType(key, what, "a text");
    return value.get<std::string>();
}

} // namespace veltrane::Json
