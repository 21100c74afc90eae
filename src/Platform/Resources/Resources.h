#pragma once
// The program's resource folder: `resources/` next to the executable (the build tree and an install
// tree are laid out alike), or a folder set explicitly (tests point it at the source tree or a
// temporary folder). Finds files by name, extension and subfolder; reads nothing itself.
// Thread-safe.

#include <filesystem>
#include <optional>
#include <string_view>

namespace veltrane::Resources {

// The folder resources are looked up in: the override if one is set, otherwise the first `resources`
// folder in the executable's directory or one of its ancestors; nothing when there is none.
std::optional<std::filesystem::path> root();

// Replaces the lookup above with `folder`; nothing restores it.
void setRoot(std::optional<std::filesystem::path> folder);

// `<root>/<subdirectory>/<name>.<extension>` if that is a regular file; an empty subdirectory means the
// root itself. Nothing when there is no root or no such file.
std::optional<std::filesystem::path> find(std::string_view name, std::string_view extension,
                                          std::string_view subdirectory = {});

}  // namespace veltrane::Resources
