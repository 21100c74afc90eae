#include "Platform/Dialogs/Dialogs.h"

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace veltrane::Dialogs {

namespace {

std::optional<std::string> findOnPath(const std::string& program)
{
    const char* path = std::getenv("PATH");
    if (!path) return std::nullopt;
    std::stringstream folders(path);
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        if (folder.empty()) continue;
        const std::string candidate = folder + "/" + program;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return std::nullopt;
}

std::string filter(const FileType& type)
{
    std::string text = type.name + " |";
    for (const std::string& ext : type.extensions) text += " *." + ext;
    return text;
}

// Runs zenity and returns its standard output; nothing when it ends without a choice.
std::optional<std::string> runZenity(const std::vector<std::string>& arguments)
{
    const auto program = findOnPath("zenity");
    if (!program) return std::nullopt;
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return std::nullopt;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    std::vector<char*> argv{const_cast<char*>("zenity")};
    for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, program->c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    std::string text;
    if (spawned == 0) {
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(out[0], buffer, sizeof buffer);
            if (n > 0) text.append(buffer, static_cast<std::size_t>(n));
            else if (n < 0 && errno == EINTR) continue;
            else break;
        }
    }
    ::close(out[0]);
    if (spawned != 0) return std::nullopt;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt; // cancelled or failed
    return text;
}

Paths lines(const std::string& text)
{
    Paths paths;
    std::stringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (!line.empty()) paths.emplace_back(line);
    return paths;
}

} // namespace

bool ZenityPresenter::available()
{
    const char* display = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    const bool hasDisplay = (display && *display) || (wayland && *wayland);
    return hasDisplay && findOnPath("zenity").has_value();
}

std::vector<std::string> ZenityPresenter::arguments(const OpenPanel& panel)
{
    std::vector<std::string> args{"--file-selection", "--title=" + panel.message};
    if (panel.multiple) args.insert(args.end(), {"--multiple", "--separator=\n"});
    for (const FileType& type : panel.types) args.push_back("--file-filter=" + filter(type));
    return args;
}

std::vector<std::string> ZenityPresenter::arguments(const SavePanel& panel)
{
    std::vector<std::string> args{"--file-selection", "--save", "--confirm-overwrite", "--title=" + panel.message,
                                  "--filename=" + panel.proposedName};
    for (const FileType& type : panel.types) args.push_back("--file-filter=" + filter(type));
    return args;
}

// The chooser runs on a detached thread: it may stay open for minutes while frames go on. The main
// queue outlives every panel (it is the program's own), so the thread may post to it at any time.
void ZenityPresenter::open(const OpenPanel& panel, OpenCompletion done)
{
    std::thread([&main = main_, args = arguments(panel), done = std::move(done)]() mutable {
        const auto text = runZenity(args);
        Paths chosen = text ? lines(*text) : Paths{};
        main.post([done = std::move(done), chosen = std::move(chosen)]() mutable { done(std::move(chosen)); });
    }).detach();
}

void ZenityPresenter::save(const SavePanel& panel, SaveCompletion done)
{
    std::thread([&main = main_, args = arguments(panel), done = std::move(done)]() mutable {
        const auto text = runZenity(args);
        const Paths chosen = text ? lines(*text) : Paths{};
        std::optional<std::filesystem::path> path;
        if (!chosen.empty()) path = chosen.front();
        main.post([done = std::move(done), path]() mutable { done(path); });
    }).detach();
}

void InAppPresenter::open(const OpenPanel& panel, OpenCompletion done)
{
    pending_.push_back(Pending{panel, std::move(done)});
}

void InAppPresenter::save(const SavePanel& panel, SaveCompletion done)
{
    pending_.push_back(Pending{panel, std::move(done)});
}

void InAppPresenter::answer(Paths chosen)
{
    if (pending_.empty() || !std::holds_alternative<OpenPanel>(pending_.front().request)) return;
    auto done = std::get<OpenCompletion>(std::move(pending_.front().done));
    pending_.pop_front();
    main_.post([done = std::move(done), chosen = std::move(chosen)]() mutable { done(std::move(chosen)); });
}

void InAppPresenter::answer(std::optional<std::filesystem::path> chosen)
{
    if (pending_.empty() || !std::holds_alternative<SavePanel>(pending_.front().request)) return;
    auto done = std::get<SaveCompletion>(std::move(pending_.front().done));
    pending_.pop_front();
    main_.post([done = std::move(done), chosen]() mutable { done(chosen); });
}

void InAppPresenter::cancel()
{
    if (pending_.empty()) return;
    if (std::holds_alternative<OpenPanel>(pending_.front().request))
        answer(Paths{});
    else
        answer(std::optional<std::filesystem::path>{});
}

void ScriptedPresenter::open(const OpenPanel& panel, OpenCompletion done)
{
    openRequests.push_back(panel);
    Paths chosen;
    if (!opens_.empty()) {
        chosen = std::move(opens_.front());
        opens_.pop_front();
    }
    main_.post([done = std::move(done), chosen = std::move(chosen)]() mutable { done(std::move(chosen)); });
}

void ScriptedPresenter::save(const SavePanel& panel, SaveCompletion done)
{
    saveRequests.push_back(panel);
    std::optional<std::filesystem::path> chosen;
    if (!saves_.empty()) {
        chosen = std::move(saves_.front());
        saves_.pop_front();
    }
    main_.post([done = std::move(done), chosen]() mutable { done(chosen); });
}

Presenter& systemPresenter()
{
    static const std::unique_ptr<Presenter> presenter = ZenityPresenter::available()
                                                            ? std::unique_ptr<Presenter>(new ZenityPresenter())
                                                            : std::unique_ptr<Presenter>(new InAppPresenter());
    return *presenter;
}

} // namespace veltrane::Dialogs
