#pragma once
// Open and save panels, alerts and the file browser, never blocking the frame loop.
//
// What it does: a `Presenter` shows a panel or an alert and returns at once; the user's choice
// arrives later as a call of the completion on the main queue (MainQueue), an empty choice meaning
// "cancelled". A save panel may carry accessory controls (pop-up lists and checkboxes under the file
// chooser); their final values come back with the location. `reveal` shows a file's folder in the
// desktop's file browser (`xdg-open`). Three presenters:
// - ZenityPresenter: the desktop's own file chooser through the `zenity` program, run on a worker
//   thread of its own (`available()` says whether zenity is on the PATH and a display is set);
//   accessory controls follow the chooser as one zenity form, alerts are zenity warnings;
// - InAppPresenter: keeps the requests and alerts in a queue for the program's own interface to
//   draw and answer (head-less, nothing is drawn and requests wait until answered or cancelled);
// - ScriptedPresenter: answers from a script given in advance and records every request, alert
//   and reveal (tests).
// `systemPresenter()` is zenity when available, else the in-app one.
//
// What it does not do: folder choosers, previews, remembering the last folder, selecting the file
// inside its folder (xdg-open opens the folder), or checking the extension of a typed name (the
// caller does what it needs with the path it gets).
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

// Accessory controls of a save panel.
struct PopUp {
    std::string label; // what the list chooses ("Movie format")
    std::vector<std::string> titles;
    int selected = 0;
};
struct CheckBox {
    std::string title;
    bool on = false;
    bool enabled = true; // a disabled checkbox is shown (or left out) and keeps its value
    std::string tooltip; // why it is disabled, when it is
};
using Control = std::variant<PopUp, CheckBox>;

struct SavePanel {
    std::string message;
    std::vector<FileType> types;
    std::string proposedName;
    std::vector<Control> accessory;  // for saveWithOptions; in order, top to bottom
    std::filesystem::path directory; // the folder the panel opens in; empty: the presenter's choice
};

// A confirmed save panel with accessory controls: the location, and each control's final value in
// the panel's order (a pop-up's selected index, a checkbox's 0 or 1).
struct SaveChoice {
    std::filesystem::path path;
    std::vector<int> values;
};

// A modal alert: a title and the informative text under it.
struct Alert {
    std::string message;
    std::string informative;
    friend bool operator==(const Alert&, const Alert&) = default;
};

using Paths = std::vector<std::filesystem::path>;
using OpenCompletion = std::function<void(Paths)>;                                // empty: cancelled
using SaveCompletion = std::function<void(std::optional<std::filesystem::path>)>; // none: cancelled
using SaveChoiceCompletion = std::function<void(std::optional<SaveChoice>)>;      // none: cancelled

// The values the controls start with (what a panel answered without touching them gives back).
std::vector<int> initialValues(const std::vector<Control>& accessory);

class Presenter {
public:
    virtual ~Presenter() = default;
    virtual void open(const OpenPanel& panel, OpenCompletion done) = 0;
    virtual void save(const SavePanel& panel, SaveCompletion done) = 0;
    virtual void saveWithOptions(const SavePanel& panel, SaveChoiceCompletion done) = 0;
    virtual void alert(const Alert& alert) = 0;
    // Opens the folder holding `file` in the file browser.
    virtual void reveal(const std::filesystem::path& file) = 0;
};

class ZenityPresenter final : public Presenter {
public:
    explicit ZenityPresenter(MainQueue& main = MainQueue::main()) : main_(main) {}
    static bool available();
    void open(const OpenPanel& panel, OpenCompletion done) override;
    void save(const SavePanel& panel, SaveCompletion done) override;
    void saveWithOptions(const SavePanel& panel, SaveChoiceCompletion done) override;
    void alert(const Alert& alert) override;
    void reveal(const std::filesystem::path& file) override;

    // The zenity arguments of a panel (without the program name); for tests.
    static std::vector<std::string> arguments(const OpenPanel& panel);
    static std::vector<std::string> arguments(const SavePanel& panel);
    // The form that asks for the enabled accessory controls after the chooser (empty: none to ask),
    // and the values its answer gives (the initial value where a field came back empty).
    static std::vector<std::string> formArguments(const SavePanel& panel);
    static std::vector<int> formValues(const std::vector<Control>& accessory, const std::string& answer);
    static std::vector<std::string> arguments(const Alert& alert);

private:
    MainQueue& main_;
};

class InAppPresenter final : public Presenter {
public:
    using Request = std::variant<OpenPanel, SavePanel, Alert>;

    explicit InAppPresenter(MainQueue& main = MainQueue::main()) : main_(main) {}
    void open(const OpenPanel& panel, OpenCompletion done) override;
    void save(const SavePanel& panel, SaveCompletion done) override;
    void saveWithOptions(const SavePanel& panel, SaveChoiceCompletion done) override;
    void alert(const Alert& alert) override;
    void reveal(const std::filesystem::path& file) override;

    // The request to draw now (the oldest unanswered), if any. Main thread.
    const Request* current() const { return pending_.empty() ? nullptr : &pending_.front().request; }
    // Answer the current request; a kind that does not match it, or no request, does nothing. A
    // save panel with controls answered by a bare location keeps their initial values.
    void answer(Paths chosen);
    void answer(std::optional<std::filesystem::path> chosen);
    void answer(SaveChoice chosen);
    // Cancels the current panel or dismisses the current alert.
    void cancel();

private:
    struct Pending {
        Request request;
        std::variant<std::monostate, OpenCompletion, SaveCompletion, SaveChoiceCompletion> done;
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
    // The next confirmed save panel with controls gives these values (in order); without them the
    // controls keep their initial values.
    void willChoose(std::vector<int> values) { choices_.push_back(std::move(values)); }
    void open(const OpenPanel& panel, OpenCompletion done) override;
    void save(const SavePanel& panel, SaveCompletion done) override;
    void saveWithOptions(const SavePanel& panel, SaveChoiceCompletion done) override;
    void alert(const Alert& alert) override { alerts.push_back(alert); }
    void reveal(const std::filesystem::path& file) override { reveals.push_back(file); }

    std::vector<OpenPanel> openRequests;
    std::vector<SavePanel> saveRequests; // with and without controls
    std::vector<Alert> alerts;
    std::vector<std::filesystem::path> reveals;

private:
    MainQueue& main_;
    std::deque<Paths> opens_;
    std::deque<std::optional<std::filesystem::path>> saves_;
    std::deque<std::vector<int>> choices_;
};

// Opens the folder of `file` with `xdg-open`, without waiting for it; nothing when there is no
// xdg-open or no display.
void revealInFileBrowser(const std::filesystem::path& file);

// The program's presenter: zenity when available, else the in-app one; made on first use.
Presenter& systemPresenter();

} // namespace veltrane::Dialogs
