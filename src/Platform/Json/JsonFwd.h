#pragma once
// The names of the JSON layer's document types and its error, without the parser and its templates:
// for headers that only declare a type's `to_json`/`from_json`. Code that builds, reads or writes
// documents includes Json.h.
#include <nlohmann/json_fwd.hpp>

#include <stdexcept>

namespace veltrane::Json {

using Value = nlohmann::json;
using OrderedValue = nlohmann::ordered_json;

class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

} // namespace veltrane::Json
