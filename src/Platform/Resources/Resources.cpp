#include "Platform/Resources/Resources.h"

#include <mutex>
#include <system_error>

namespace veltrane::Resources {
namespace fs = std::filesystem;

namespace {

std::mutex lock;
bool overridden = false;
std::optional<fs::path> overrideFolder;

std::optional<fs::path> besideExecutable() {
    std::error_code error;
    fs::path exe = fs::read_symlink("/proc/self/exe", error);
    if (error) return std::nullopt;
    for (fs::path dir = exe.parent_path(); !dir.empty(); dir = dir.parent_path()) {
        fs::path candidate = dir / "resources";
        if (fs::is_directory(candidate, error)) return candidate;
        if (dir == dir.parent_path()) break;
    }
    return std::nullopt;
}

}  // namespace

std::optional<fs::path> root() {
    {
        std::lock_guard guard(lock);
        if (overridden) return overrideFolder;
    }
    static const std::optional<fs::path> found = besideExecutable();
    return found;
}

void setRoot(std::optional<fs::path> folder) {
    std::lock_guard guard(lock);
    overridden = true;
    overrideFolder = std::move(folder);
}

std::optional<fs::path> find(std::string_view name, std::string_view extension, std::string_view subdirectory) {
    auto base = root();
    if (!base || name.empty()) return std::nullopt;
    fs::path file = subdirectory.empty() ? *base : *base / subdirectory;
    std::string leaf(name);
    if (!extension.empty()) leaf += "." + std::string(extension);
    file /= leaf;
    std::error_code error;
    if (!fs::is_regular_file(file, error)) return std::nullopt;
    return file;
}

}  // namespace veltrane::Resources
