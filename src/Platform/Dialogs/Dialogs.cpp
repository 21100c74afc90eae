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
            if (n > 0)
                text.append(buffer, static_cast<std::size_t>(n));
            else if (n < 0 && errno == EINTR)
                continue;
            else
                break;
        }
    }
    ::close(out[0]);
    if (spawned != 0) return std::nullopt;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt; // cancelled or failed
    return text;
}

// Starts `program` with the arguments, its output discarded, and reaps it on a thread of its own.
void spawnDetached(const std::string& program, const std::vector<std::string>& arguments)
{
    const auto path = findOnPath(program);
    if (!path) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, path->c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return;
    std::thread([pid] {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    }).detach();
}

// Between the fields of a zenity form's answer: a character no title holds.
constexpr char formSeparator = '\x1f';

Paths lines(const std::string& text)
{
    Paths paths;
    std::stringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (!line.empty()) paths.emplace_back(line);
    return paths;
}

std::vector<std::string> split(const std::string& text, char separator)
{
    std::vector<std::string> parts{std::string()};
    for (char c : text) {
        if (c == separator)
            parts.emplace_back();
        else
            parts.back() += c;
    }
    return parts;
}

} // namespace

std::vector<int> initialValues(const std::vector<Control>& accessory)
{
    std::vector<int> values;
    for (const Control& control : accessory) {
        if (const auto* popUp = std::get_if<PopUp>(&control))
            values.push_back(popUp->selected);
        else
            values.push_back(std::get<CheckBox>(control).on ? 1 : 0);
    }
    return values;
}

void revealInFileBrowser(const std::filesystem::path& file)
{
    // Without a display xdg-open falls back to text-mode browsers, which have no terminal here.
    const char* display = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if (!(display && *display) && !(wayland && *wayland)) return;
    const std::filesystem::path folder = file.has_parent_path() ? file.parent_path() : std::filesystem::path(".");
    spawnDetached("xdg-open", {folder.string()});
}

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
                                  "--filename=" + (panel.directory.empty()
                                                       ? panel.proposedName
                                                       : (panel.directory / panel.proposedName).string())};
    for (const FileType& type : panel.types) args.push_back("--file-filter=" + filter(type));
    return args;
}

std::vector<std::string> ZenityPresenter::formArguments(const SavePanel& panel)
{
    std::vector<std::string> fields;
    for (const Control& control : panel.accessory) {
        if (const auto* popUp = std::get_if<PopUp>(&control)) {
            std::string values;
            for (const std::string& title : popUp->titles) values += (values.empty() ? "" : "|") + title;
            fields.insert(fields.end(), {"--add-combo=" + popUp->label, "--combo-values=" + values});
        } else if (const auto& box = std::get<CheckBox>(control); box.enabled) {
            // The current choice first, so the list opens on it.
            fields.insert(fields.end(),
                          {"--add-combo=" + box.title, box.on ? "--combo-values=Yes|No" : "--combo-values=No|Yes"});
        }
    }
    if (fields.empty()) return {};
    std::vector<std::string> args{"--forms", "--title=" + panel.message, "--text=" + panel.message,
                                  std::string("--separator=") + formSeparator};
    args.insert(args.end(), fields.begin(), fields.end());
    return args;
}

std::vector<int> ZenityPresenter::formValues(const std::vector<Control>& accessory, const std::string& answer)
{
    std::string text = answer;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    const std::vector<std::string> fields = split(text, formSeparator);
    std::vector<int> values = initialValues(accessory);
    std::size_t field = 0;
    for (std::size_t i = 0; i < accessory.size(); ++i) {
        if (const auto* popUp = std::get_if<PopUp>(&accessory[i])) {
            const std::string chosen = field < fields.size() ? fields[field] : std::string();
            ++field;
            for (std::size_t t = 0; t < popUp->titles.size(); ++t)
                if (popUp->titles[t] == chosen) values[i] = static_cast<int>(t);
        } else if (std::get<CheckBox>(accessory[i]).enabled) {
            const std::string chosen = field < fields.size() ? fields[field] : std::string();
            ++field;
            if (chosen == "Yes") values[i] = 1;
            if (chosen == "No") values[i] = 0;
        }
    }
    return values;
}

std::vector<std::string> ZenityPresenter::arguments(const Alert& alert)
{
    std::string text = alert.message;
    if (!alert.informative.empty()) text += "\n\n" + alert.informative;
    return {"--warning", "--no-markup", "--title=" + alert.message, "--text=" + text};
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

void ZenityPresenter::saveWithOptions(const SavePanel& panel, SaveChoiceCompletion done)
{
    std::thread([&main = main_, panel, done = std::move(done)]() mutable {
        std::optional<SaveChoice> choice;
        const auto text = runZenity(arguments(panel));
        const Paths chosen = text ? lines(*text) : Paths{};
        if (!chosen.empty()) {
            const auto form = formArguments(panel);
            if (form.empty()) {
                choice = SaveChoice{chosen.front(), initialValues(panel.accessory)};
            } else if (const auto answer = runZenity(form)) { // a cancelled form cancels the save
                choice = SaveChoice{chosen.front(), formValues(panel.accessory, *answer)};
            }
        }
        main.post([done = std::move(done), choice = std::move(choice)]() mutable { done(std::move(choice)); });
    }).detach();
}

void ZenityPresenter::alert(const Alert& alert)
{
    std::thread([args = arguments(alert)] { runZenity(args); }).detach();
}

void ZenityPresenter::reveal(const std::filesystem::path& file) { revealInFileBrowser(file); }

void InAppPresenter::open(const OpenPanel& panel, OpenCompletion done)
{
    pending_.push_back(Pending{panel, std::move(done)});
}

void InAppPresenter::save(const SavePanel& panel, SaveCompletion done)
{
    pending_.push_back(Pending{panel, std::move(done)});
}

void InAppPresenter::saveWithOptions(const SavePanel& panel, SaveChoiceCompletion done)
{
    pending_.push_back(Pending{panel, std::move(done)});
}

void InAppPresenter::alert(const Alert& alert) { pending_.push_back(Pending{alert, std::monostate{}}); }

void InAppPresenter::reveal(const std::filesystem::path& file) { revealInFileBrowser(file); }

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
    if (std::holds_alternative<SaveChoiceCompletion>(pending_.front().done)) {
        std::optional<SaveChoice> choice;
        if (chosen)
            choice = SaveChoice{*chosen, initialValues(std::get<SavePanel>(pending_.front().request).accessory)};
        auto done = std::get<SaveChoiceCompletion>(std::move(pending_.front().done));
        pending_.pop_front();
        main_.post([done = std::move(done), choice = std::move(choice)]() mutable { done(std::move(choice)); });
        return;
    }
    auto done = std::get<SaveCompletion>(std::move(pending_.front().done));
    pending_.pop_front();
    main_.post([done = std::move(done), chosen]() mutable { done(chosen); });
}

void InAppPresenter::answer(SaveChoice chosen)
{
    if (pending_.empty() || !std::holds_alternative<SaveChoiceCompletion>(pending_.front().done)) return;
    auto done = std::get<SaveChoiceCompletion>(std::move(pending_.front().done));
    pending_.pop_front();
    main_.post([done = std::move(done), chosen = std::move(chosen)]() mutable { done(std::move(chosen)); });
}

void InAppPresenter::cancel()
{
    if (pending_.empty()) return;
    if (std::holds_alternative<Alert>(pending_.front().request))
        pending_.pop_front();
    else if (std::holds_alternative<OpenPanel>(pending_.front().request))
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

void ScriptedPresenter::saveWithOptions(const SavePanel& panel, SaveChoiceCompletion done)
{
    saveRequests.push_back(panel);
    std::optional<SaveChoice> choice;
    if (!saves_.empty()) {
        if (saves_.front()) {
            choice = SaveChoice{*saves_.front(), initialValues(panel.accessory)};
            if (!choices_.empty()) {
                choice->values = std::move(choices_.front());
                choices_.pop_front();
            }
        }
        saves_.pop_front();
    }
    main_.post([done = std::move(done), choice = std::move(choice)]() mutable { done(std::move(choice)); });
}

Presenter& systemPresenter()
{
    static const std::unique_ptr<Presenter> presenter = ZenityPresenter::available()
                                                            ? std::unique_ptr<Presenter>(new ZenityPresenter())
                                                            : std::unique_ptr<Presenter>(new InAppPresenter());
    return *presenter;
}

} // namespace veltrane::Dialogs
