#include "Platform/Files/Files.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <random>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

namespace veltrane::Files {

namespace fs = std::filesystem;

namespace {

Error systemError(const fs::path& path, int code) { return Error(path, std::strerror(code)); }

fs::path home()
{
    const char* h = std::getenv("HOME");
    if (h && *h) return h;
    return fs::temp_directory_path(); // no home at all: nothing better than a folder that exists
}

// An XDG variable when set to an absolute path, else home + fallback.
fs::path xdgHome(const char* variable, const char* fallback)
{
    const char* value = std::getenv(variable);
    if (value && *value && fs::path(value).is_absolute()) return value;
    return home() / fallback;
}

// XDG_MUSIC_DIR="$HOME/Music" as user-dirs.dirs writes it: a quoted path, absolute or under $HOME.
std::optional<fs::path> userMusicDir()
{
    std::ifstream in(xdgHome("XDG_CONFIG_HOME", ".config") / "user-dirs.dirs");
    std::string line;
    while (std::getline(in, line)) {
        constexpr std::string_view key = "XDG_MUSIC_DIR=\"";
        if (!line.starts_with(key) || line.size() < key.size() + 1 || line.back() != '"') continue;
        std::string value = line.substr(key.size(), line.size() - key.size() - 1);
        if (value.starts_with("$HOME")) return home() / fs::path(value.substr(5)).relative_path();
        if (fs::path(value).is_absolute()) return fs::path(value);
    }
    return std::nullopt;
}

// Writes all the bytes to the file at `path`, which exists.
void writeAll(const fs::path& path, const fs::path& reported, std::span<const std::uint8_t> bytes)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) throw systemError(reported, errno);
    std::size_t written = 0;
    int failure = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0) {
            if (errno == EINTR) continue;
            failure = errno;
            break;
        }
        written += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0 && !failure) failure = errno;
    if (failure) throw systemError(reported, failure);
}

} // namespace

fs::path dataFolder() { return xdgHome("XDG_DATA_HOME", ".local/share") / "Veltrane"; }
fs::path cacheFolder() { return xdgHome("XDG_CACHE_HOME", ".cache") / "Veltrane"; }
fs::path configFolder() { return xdgHome("XDG_CONFIG_HOME", ".config") / "Veltrane"; }
fs::path musicFolder() { return userMusicDir().value_or(home() / "Music"); }
fs::path temporaryFolder() { return fs::temp_directory_path(); }

std::vector<std::uint8_t> readAll(const fs::path& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw systemError(path, errno);
    std::vector<std::uint8_t> bytes;
    std::uint8_t buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int code = errno; // a folder fails here with EISDIR
            ::close(fd);
            throw systemError(path, code);
        }
        if (n == 0) break;
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
    ::close(fd);
    return bytes;
}

void createFolders(const fs::path& folder)
{
    std::error_code error;
    fs::create_directories(folder, error);
    if (error) throw Error(folder, error.message());
}

void replaceAtomically(const fs::path& path, std::span<const std::uint8_t> bytes)
{
    PendingFile file(path);
    writeAll(file.path(), path, bytes);
    file.commit();
}

bool createAtomically(const fs::path& path, std::span<const std::uint8_t> bytes)
{
    if (fs::exists(fs::symlink_status(path))) return false;
    PendingFile file(path);
    writeAll(file.path(), path, bytes);
    file.flush();
    // A hard link fails with EEXIST instead of replacing, so a file that appeared since the check
    // above is never overwritten. The temporary name goes when `file` does.
    if (::link(file.path().c_str(), path.c_str()) == 0) return true;
    if (errno == EEXIST) return false;
    throw systemError(path, errno);
}

PendingFile::PendingFile(fs::path destination) : destination_(std::move(destination))
{
    static std::mutex randomLock;
    static std::mt19937_64 random{std::random_device{}()};
    const fs::path folder = destination_.has_parent_path() ? destination_.parent_path() : fs::path(".");
    for (int attempt = 0; attempt < 16; ++attempt) {
        unsigned long long tag;
        {
            std::lock_guard lock(randomLock);
            tag = random();
        }
        char suffix[32];
        std::snprintf(suffix, sizeof suffix, ".%016llx.tmp", tag);
        // Hidden, so a folder listing in progress does not take it for a finished file.
        fs::path candidate = folder / ("." + destination_.filename().string() + suffix);
        const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            throw systemError(destination_, errno);
        }
        ::close(fd);
        temporary_ = std::move(candidate);
        return;
    }
    throw systemError(destination_, EEXIST);
}

PendingFile::~PendingFile() { discard(); }

PendingFile::PendingFile(PendingFile&& other) noexcept
    : destination_(std::move(other.destination_)), temporary_(std::exchange(other.temporary_, {}))
{}

PendingFile& PendingFile::operator=(PendingFile&& other) noexcept
{
    if (this != &other) {
        discard();
        destination_ = std::move(other.destination_);
        temporary_ = std::exchange(other.temporary_, {});
    }
    return *this;
}

void PendingFile::flush() const
{
    const int fd = ::open(temporary_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw systemError(destination_, errno);
    const int failure = ::fsync(fd) != 0 ? errno : 0;
    ::close(fd);
    if (failure) throw systemError(destination_, failure);
}

void PendingFile::commit()
{
    try {
        flush();
        if (::rename(temporary_.c_str(), destination_.c_str()) != 0) throw systemError(destination_, errno);
    } catch (...) {
        discard();
        throw;
    }
    temporary_.clear();
}

void PendingFile::discard() noexcept
{
    if (temporary_.empty()) return;
    ::unlink(temporary_.c_str());
    temporary_.clear();
}

namespace {

// Copies every byte of the open file `in` into the file at `path` (which exists).
void copyInto(int in, const fs::path& path, const fs::path& reported)
{
    const int out = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (out < 0) throw systemError(reported, errno);
    int failure = 0;
    std::vector<char> buffer(1 << 20);
    for (;;) {
        const ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            failure = errno;
            break;
        }
        if (n == 0) break;
        ssize_t written = 0;
        while (written < n) {
            const ssize_t w = ::write(out, buffer.data() + written, static_cast<std::size_t>(n - written));
            if (w < 0) {
                if (errno == EINTR) continue;
                failure = errno;
                break;
            }
            written += w;
        }
        if (failure) break;
    }
    if (::close(out) != 0 && !failure) failure = errno;
    if (failure) throw systemError(reported, failure);
}

} // namespace

void moveReplacing(const fs::path& from, const fs::path& to)
{
    const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) throw systemError(to, errno);
    // The bytes reach the disk before the name does, so a crash cannot leave `to` empty.
    ::fsync(in);
    if (::rename(from.c_str(), to.c_str()) == 0) {
        ::close(in);
        return;
    }
    const int code = errno;
    if (code != EXDEV) {
        ::close(in);
        throw systemError(to, code);
    }
    try {
        PendingFile copy(to);
        copyInto(in, copy.path(), to);
        copy.commit();
    } catch (...) {
        ::close(in);
        throw;
    }
    ::close(in);
    ::unlink(from.c_str()); // the bytes are safe at `to`; a leftover source is only a spare copy
}

bool moveWithoutReplacing(const fs::path& from, const fs::path& to)
{
    // renameat2's RENAME_NOREPLACE checks and renames in one step; file systems without it get a hard
    // link (which fails with EEXIST instead of replacing) and an unlink of the old name.
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno == EEXIST) return false;
    if (errno != EINVAL && errno != ENOSYS) throw systemError(from, errno);
    if (::link(from.c_str(), to.c_str()) != 0) {
        if (errno == EEXIST) return false;
        throw systemError(from, errno);
    }
    if (::unlink(from.c_str()) != 0) {
        const int code = errno;
        ::unlink(to.c_str());
        throw systemError(from, code);
    }
    return true;
}

UserDefaults::UserDefaults() : file_(configFolder() / "defaults.json") {}
UserDefaults::UserDefaults(fs::path file) : file_(std::move(file)) {}

Json::Value UserDefaults::read() const
{
    std::ifstream in(file_, std::ios::binary);
    if (!in) return Json::Value::object();
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    try {
        Json::Value json = Json::parse(text);
        if (json.is_object()) return json;
    } catch (const Json::Error&) {}
    return Json::Value::object();
}

std::optional<Json::Value> UserDefaults::value(std::string_view key) const
{
    const Json::Value json = read();
    const auto it = json.find(std::string(key));
    if (it == json.end()) return std::nullopt;
    return *it;
}

bool UserDefaults::boolValue(std::string_view key, bool fallback) const
{
    const auto stored = value(key);
    return stored && stored->is_boolean() ? stored->get<bool>() : fallback;
}

void UserDefaults::set(std::string_view key, const Json::Value& value)
{
    Json::Value json = read();
    json[std::string(key)] = value;
    std::string text;
    try {
        text = Json::write(json, Json::Style::pretty);
    } catch (const Json::Error& error) {
        throw Error(file_, error.what());
    }
    createFolders(file_.parent_path());
    replaceAtomically(file_, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

} // namespace veltrane::Files
