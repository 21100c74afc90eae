#pragma once
// JSON coding of enumerations with stored texts (EnumText.h): a case is written as its text.
//
// Declare non-template `to_json`/`from_json` next to the enumeration that forward to
// `enumToJson`/`enumFromJson`, and define them where JSON is used; nlohmann picks them by
// argument-dependent lookup. A text that is not one of the table's is a decoding error (Json::Error),
// never a fallback to some case.
#include "Platform/Json/Json.h"
#include "Support/EnumText.h"

#include <string>
#include <string_view>

namespace veltrane {

template <TextEnum E>
void enumToJson(Json::Value& json, E value)
{
    json = std::string(toText(value));
}

template <TextEnum E>
void enumFromJson(const Json::Value& json, E& value, std::string_view what)
{
    if (!json.is_string()) throw Json::Error(std::string(what) + ": expected a text");
    auto parsed = fromText<E>(json.get_ref<const std::string&>());
    if (!parsed) throw Json::Error(std::string(what) + ": unknown value \"" + json.get<std::string>() + "\"");
    value = *parsed;
}

} // namespace veltrane
