#pragma once
// Reading the probe's JSON records: every key is required unless a reader says otherwise, and a
// missing key or a value of the wrong type fails the whole decode with Json::Error naming both.

#include <string>
#include <vector>

#include "Platform/Json/Json.h"

namespace veltrane::probejson {

inline const Json::Value& field(const Json::Value& object, const char* key, const char* what) {
    if (!object.is_object()) throw Json::Error(std::string(what) + ": expected an object");
    const auto it = object.find(key);
    if (it == object.end()) throw Json::Error(std::string(what) + ": missing key \"" + key + "\"");
    return *it;
}

inline Json::Error wrongType(const char* key, const char* what, const char* expected) {
    return Json::Error(std::string(what) + ": \"" + key + "\" is not " + expected);
}

inline double number(const Json::Value& value, const char* key, const char* what) {
    if (!value.is_number()) throw wrongType(key, what, "a number");
    return value.get<double>();
}

inline double requiredNumber(const Json::Value& object, const char* key, const char* what) {
    return number(field(object, key, what), key, what);
}

inline std::vector<double> numbers(const Json::Value& value, const char* key, const char* what) {
    if (!value.is_array()) throw wrongType(key, what, "a list of numbers");
    std::vector<double> result;
    result.reserve(value.size());
    for (const Json::Value& element : value) {
        if (!element.is_number()) throw wrongType(key, what, "a list of numbers");
        result.push_back(element.get<double>());
    }
    return result;
}

inline std::vector<double> requiredNumbers(const Json::Value& object, const char* key, const char* what) {
    return numbers(field(object, key, what), key, what);
}

inline bool requiredBool(const Json::Value& object, const char* key, const char* what) {
    const Json::Value& value = field(object, key, what);
    if (!value.is_boolean()) throw wrongType(key, what, "true or false");
    return value.get<bool>();
}

inline std::string requiredText(const Json::Value& object, const char* key, const char* what) {
    const Json::Value& value = field(object, key, what);
    if (!value.is_string()) throw wrongType(key, what, "a text");
    return value.get<std::string>();
}

}  // namespace veltrane::probejson
