#pragma once
// Permission checks for tests that run as root, who may write anywhere: a forked child (a death
// test's statement) drops to the unprivileged user "nobody" before it tries a write.
#include <filesystem>

#include <grp.h>
#include <unistd.h>

namespace veltrane::testsupport {

// In the calling process, for good: root becomes nobody (user and group 65534, no supplementary
// groups, which would otherwise still match a folder's owning group). False when that fails.
inline bool becomeOrdinaryUser()
{
    if (::geteuid() != 0) return true;
    return ::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0;
}

// A folder whose files nobody may create or remove, inside `parent`, which others may pass through.
inline std::filesystem::path readOnlyFolder(const std::filesystem::path& parent, const char* name)
{
    namespace fs = std::filesystem;
    fs::permissions(parent, fs::perms::others_exec, fs::perm_options::add); // whatever the umask
    const fs::path folder = parent / name;
    fs::create_directories(folder);
    fs::permissions(folder,
                    fs::perms::owner_read | fs::perms::owner_exec | fs::perms::others_read | fs::perms::others_exec);
    return folder;
}

} // namespace veltrane::testsupport
