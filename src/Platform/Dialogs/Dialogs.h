#pragma once
// Open and save panels that never block the frame loop.
//
// What it does: a `Presenter` shows a panel and returns at once; the user's choice arrives later as
// a call of the completion on the main queue (MainQueue), an empty choice meaning "cancelled".
// Three presenters:
// - ZenityPresenter: the desktop's own file chooser through the `zenity` program, run on a worker
//   thread of its own (`available()` says whether zenity is on the PATH and a display is set);
// - InAppPresenter: keeps the requests in a queue for the program's own interface to draw and
//   answer (head-less, nothing is drawn and requests wait until answered or cancelled);
// - ScriptedPresenter: answers from a script given in advance and records every request (tests).
// `systemPresenter()` is zenity when available, else the in-app one.
//
// What it does not do: alerts, folder choosers, previews, remembering the last folder, or checking
// the extension of a typed name (the caller does what it needs with the path it gets).
#include "Platform/Queues/MainQueue.h"

#include <deque>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace veltrane::Dialogs {

struct FileType {
    std::string name;                    // "Veltrane presets"
    std::vector<std::string> extensions; // without the dot: "veltrane"
};

struct OpenPanel {
    std::string message;
    std::vector<FileType> types; // empty: any file
    bool multiple = false;
};

struct SavePanel {
    std::string message;
    std::vector<FileType> types;
    std::string proposedName;
};

using Paths = std::vector<std::filesystem::path>;
using OpenCompletion = std::function<void(Paths)>;                                // empty: cancelled
using SaveCompletion = std::function<void(std::optional<std::filesystem::path>)>; // none: cancelled

class Presenter {
public:
    virtual ~Presenter() = default;
    virtual void open(const OpenPanel& panel, OpenCompletion done) = 0;
    virtual void save(const SavePanel& panel, SaveCompletion done) = 0;
};

class ZenityPresenter final : public Presenter {
public:
    explicit ZenityPresenter(MainQueue& main = MainQueue::main()) : main_(main) {}
    static bool available();
    void open(const OpenPanel& panel, OpenCompletion done) override;
    void save(const SavePanel& panel, SaveCompletion done) override;

    // The zenity arguments of a panel (without the program name); for tests.
    static std::vector<std::string> arguments(const OpenPanel& panel);
    static std::vector<std::string> arguments(const SavePanel& panel);

private:
    MainQueue& main_;
};

class InAppPresenter final : public Presenter {
public:
    using Request = std::variant<OpenPanel, SavePanel>;

    explicit InAppPresenter(MainQueue& main = MainQueue::main()) : main_(main) {}
    void open(const OpenPanel& panel, OpenCompletion done) override;
    void save(const SavePanel& panel, SaveCompletion done) override;

    // The request to draw now (the oldest unanswered), if any. Main thread.
    const Request* current() const { return pending_.empty() ? nullptr : &pending_.front().request; }
    // Answer the current request; a kind that does not match it, or no request, does nothing.
    void answer(Paths chosen);
    void answer(std::optional<std::filesystem::path> chosen);
    void cancel();

private:
    struct Pending {
        Request request;
        std::variant<OpenCompletion, SaveCompletion> done;
    };
    MainQueue& main_;
    std::deque<Pending> pending_;
};

class ScriptedPresenter final : public Presenter {
public:
    explicit ScriptedPresenter(MainQueue& main = MainQueue::main()) : main_(main) {}
    // The next open or save panel gets this answer (in order per kind); without one, it is cancelled.
    void willOpen(Paths chosen) { opens_.push_back(std::move(chosen)); }
    void willSave(std::optional<std::filesystem::path> chosen) { saves_.push_back(std::move(chosen)); }
    void open(const OpenPanel& panel, OpenCompletion done) override;
    void save(const SavePanel& panel, SaveCompletion done) override;

    std::vector<OpenPanel> openRequests;
    std::vector<SavePanel> saveRequests;

private:
    MainQueue& main_;
    std::deque<Paths> opens_;
    std::deque<std::optional<std::filesystem::path>> saves_;
};

// The program's presenter: zenity when available, else the in-app one; made on first use.
Presenter& systemPresenter();

} // namespace veltrane::Dialogs
