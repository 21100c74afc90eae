#pragma once
// Tests that need a second process (two programs sharing a folder at once) run another copy of their
// own test program on one test, told its role through the environment; and tests that move a folder
// variable put it back.
#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace veltrane::testsupport {

// Starts this test program on the tests `filter` selects, with `extra` ("NAME=value") added to the
// environment. -1 when it could not be started.
inline pid_t spawnSelf(const std::string& filter, const std::vector<std::string>& extra)
{
    std::string self = std::filesystem::read_symlink("/proc/self/exe");
    std::string filterArgument = "--gtest_filter=" + filter;
    std::vector<std::string> env = extra;
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    std::vector<char*> envp, argv = {self.data(), filterArgument.data(), nullptr};
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = -1;
    return posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv.data(), envp.data()) == 0 ? pid : -1;
}

// The child's exit status; 128 when it did not exit by itself.
inline int exitStatus(pid_t pid)
{
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return 128;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

// Sets an environment variable for its lifetime, then puts back what was there (or nothing).
class ScopedVariable {
public:
    explicit ScopedVariable(const char* name) : name_(name)
    {
        if (const char* value = std::getenv(name)) saved_ = value;
    }
    ScopedVariable(const char* name, const std::string& value) : ScopedVariable(name) { set(value); }
    ~ScopedVariable()
    {
        if (saved_)
            ::setenv(name_, saved_->c_str(), 1);
        else
            ::unsetenv(name_);
    }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

    void set(const std::string& value) const { ::setenv(name_, value.c_str(), 1); }

private:
    const char* name_;
    std::optional<std::string> saved_;
};

} // namespace veltrane::testsupport
