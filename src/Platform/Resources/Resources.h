#pragma once
// Finds the program's resource files (shader sources, tunes, presets, fonts): the `resources/`
// folder next to the executable, or in one of its parent folders (the build tree keeps executables
// in subfolders). Tests point it at the source tree with setRoot.

#include <filesystem>
#include <optional>
#include <string>

namespace veltrane::Resources {

// The resource root in use; empty when none was found.
std::filesystem::path root();

// Replaces the root for the rest of the process (tests); an empty path restores the search.
void setRoot(const std::filesystem::path& root);

// The file `name` in `subdirectory` of the root, else at the root itself; nothing when neither exists.
std::optional<std::filesystem::path> find(const std::string& name, const std::string& subdirectory = "");

// The whole file as text; nothing when it cannot be read.
std::optional<std::string> readText(const std::filesystem::path& path);

} // namespace veltrane::Resources
