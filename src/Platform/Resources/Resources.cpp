#include "Platform/Resources/Resources.h"

#include <fstream>
#include <mutex>
#include <sstream>

namespace veltrane::Resources {

namespace {

std::mutex mutex;
std::filesystem::path overrideRoot;

std::filesystem::path searchRoot()
{
    std::error_code error;
    std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return {};
    std::filesystem::path dir = exe.parent_path();
    for (int depth = 0; depth < 5 && !dir.empty(); ++depth) {
        std::filesystem::path candidate = dir / "resources";
        if (std::filesystem::is_directory(candidate, error)) return candidate;
        if (dir == dir.parent_path()) break;
        dir = dir.parent_path();
    }
    return {};
}

} // namespace

std::filesystem::path root()
{
    std::lock_guard lock(mutex);
    if (!overrideRoot.empty()) return overrideRoot;
    static const std::filesystem::path found = searchRoot();
    return found;
}

void setRoot(const std::filesystem::path& newRoot)
{
    std::lock_guard lock(mutex);
    overrideRoot = newRoot;
}

std::optional<std::filesystem::path> find(const std::string& name, const std::string& subdirectory)
{
    std::filesystem::path base = root();
    if (base.empty()) return std::nullopt;
    std::error_code error;
    if (!subdirectory.empty()) {
        std::filesystem::path inSub = base / subdirectory / name;
        if (std::filesystem::is_regular_file(inSub, error)) return inSub;
    }
    std::filesystem::path atRoot = base / name;
    if (std::filesystem::is_regular_file(atRoot, error)) return atRoot;
    return std::nullopt;
}

std::optional<std::string> readText(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) return std::nullopt;
    return text.str();
}

} // namespace veltrane::Resources
