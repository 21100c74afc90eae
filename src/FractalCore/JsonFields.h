#pragma once
// Reading required fields of a JSON object, for the records of this folder.
#include "Platform/Json/Json.h"

#include <string>

namespace veltrane::detail {

inline double requiredNumber(const Json::Value& object, const char* key, const char* what) {
    if (!object.is_object()) throw Json::Error(std::string(what) + ": expected an object");
    auto it = object.find(key);
    if (it == object.end()) throw Json::Error(std::string(what) + ": missing key \"" + key + "\"");
    if (!it->is_number()) throw Json::Error(std::string(what) + ": \"" + key + "\" is not a number");
    return it->get<double>();
}

} // namespace veltrane::detail
