// Launch arguments of the instrument: "--name value" pairs read from the program's argument list.
#pragma once

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace veltrane {

// The argument after the first `name`, or nothing when `name` is absent or is the last argument.
inline std::optional<std::string> launchValue(const std::vector<std::string>& arguments, std::string_view name)
{
    const auto it = std::find(arguments.begin(), arguments.end(), name);
    if (it == arguments.end() || it + 1 == arguments.end()) return std::nullopt;
    return *(it + 1);
}

} // namespace veltrane
