// Panels answer on the main queue, never at once, and the in-app queue answers in order.
#include "Platform/Dialogs/Dialogs.h"

#include <gtest/gtest.h>

namespace veltrane::Dialogs {
namespace {

TEST(Dialogs, InAppRequestsWaitForTheirAnswerInOrder)
{
    ManualClock clock;
    MainQueue main(clock);
    InAppPresenter presenter(main);
    std::vector<std::string> log;
    presenter.open({"Open", {}, true}, [&](Paths p) { log.push_back("open " + std::to_string(p.size())); });
    presenter.save({"Save", {}, "x.veltrane"}, [&](std::optional<std::filesystem::path> p) {
        log.push_back("save " + (p ? p->string() : std::string("cancelled")));
    });
    ASSERT_TRUE(presenter.current());
    EXPECT_TRUE(std::holds_alternative<OpenPanel>(*presenter.current()));
    presenter.answer(std::optional<std::filesystem::path>("/wrong/kind")); // not the current request's kind
    presenter.answer(Paths{"/a", "/b"});
    EXPECT_TRUE(log.empty());
    main.pump();
    EXPECT_EQ(log, std::vector<std::string>{"open 2"});
    presenter.cancel();
    main.pump();
    EXPECT_EQ(log.back(), "save cancelled");
    EXPECT_FALSE(presenter.current());
}

TEST(Dialogs, ScriptedAnswersAndZenityArguments)
{
    ManualClock clock;
    MainQueue main(clock);
    ScriptedPresenter presenter(main);
    presenter.willSave(std::filesystem::path("/tmp/out.veltrane"));
    std::optional<std::filesystem::path> first, second = std::filesystem::path("unset");
    presenter.save({"Save", {}, "x"}, [&](auto p) { first = p; });
    presenter.save({"Save", {}, "x"}, [&](auto p) { second = p; }); // unscripted: cancelled
    main.pump();
    EXPECT_EQ(first, std::filesystem::path("/tmp/out.veltrane"));
    EXPECT_FALSE(second);
    EXPECT_EQ(presenter.saveRequests.size(), 2u);

    const auto args =
        ZenityPresenter::arguments(SavePanel{"Export", {{"Veltrane presets", {"veltrane"}}}, "p.veltrane"});
    EXPECT_EQ(args, (std::vector<std::string>{"--file-selection", "--save", "--confirm-overwrite", "--title=Export",
                                              "--filename=p.veltrane", "--file-filter=Veltrane presets | *.veltrane"}));
}

TEST(Dialogs, SavePanelsWithControlsGiveBackTheirValues)
{
    ManualClock clock;
    MainQueue main(clock);
    const SavePanel panel{"Save the movie",
                          {{"QuickTime movie", {"mov"}}},
                          "a.mov",
                          {PopUp{"Movie format", {"4K", "1080p"}, 0}, CheckBox{"HUD", false, false, "why"},
                           CheckBox{"WAV", true, true, ""}}};
    EXPECT_EQ(initialValues(panel.accessory), (std::vector<int>{0, 0, 1}));

    ScriptedPresenter scripted(main);
    scripted.willSave(std::filesystem::path("/m/a.mov"));
    scripted.willSave(std::filesystem::path("/m/b.mov"));
    scripted.willChoose({1, 0, 0});
    std::vector<std::optional<SaveChoice>> answers;
    for (int i = 0; i < 3; ++i) scripted.saveWithOptions(panel, [&](auto c) { answers.push_back(c); });
    main.pump();
    ASSERT_EQ(answers.size(), 3u);
    EXPECT_EQ(answers[0]->path, "/m/a.mov");
    EXPECT_EQ(answers[0]->values, (std::vector<int>{1, 0, 0}));
    EXPECT_EQ(answers[1]->values, (std::vector<int>{0, 0, 1})); // untouched controls
    EXPECT_FALSE(answers[2]);
    scripted.alert({"Movie export failed", "disk full"});
    scripted.reveal("/m/a.mov");
    EXPECT_EQ(scripted.alerts, (std::vector<Alert>{{"Movie export failed", "disk full"}}));
    EXPECT_EQ(scripted.reveals, std::vector<std::filesystem::path>{"/m/a.mov"});

    // In the app: an alert waits in line with the panels, and is dismissed by cancel.
    InAppPresenter inApp(main);
    std::optional<SaveChoice> chosen;
    inApp.alert({"Ableton export failed", "The rack template is missing."});
    inApp.saveWithOptions(panel, [&](auto c) { chosen = c; });
    EXPECT_TRUE(std::holds_alternative<Alert>(*inApp.current()));
    inApp.cancel();
    ASSERT_TRUE(inApp.current());
    inApp.answer(std::optional<std::filesystem::path>("/m/c.mov"));
    main.pump();
    ASSERT_TRUE(chosen);
    EXPECT_EQ(chosen->values, (std::vector<int>{0, 0, 1}));
    EXPECT_FALSE(inApp.current());

    // zenity: the chooser, then one form for the enabled controls (the disabled checkbox is left out).
    const auto form = ZenityPresenter::formArguments(panel);
    EXPECT_EQ(form, (std::vector<std::string>{"--forms", "--title=Save the movie", "--text=Save the movie",
                                              "--separator=\x1f", "--add-combo=Movie format", "--combo-values=4K|1080p",
                                              "--add-combo=WAV", "--combo-values=Yes|No"}));
    EXPECT_EQ(ZenityPresenter::formValues(panel.accessory, "1080p\x1fNo\n"), (std::vector<int>{1, 0, 0}));
    EXPECT_EQ(ZenityPresenter::formValues(panel.accessory, "\x1f\n"), (std::vector<int>{0, 0, 1})); // left empty
    EXPECT_TRUE(ZenityPresenter::formArguments(SavePanel{"x", {}, "y"}).empty());
    EXPECT_EQ(ZenityPresenter::arguments(SavePanel{"Save", {}, "a.wav", {}, "/home/u/Music"}).at(4),
              "--filename=/home/u/Music/a.wav");
    EXPECT_EQ(ZenityPresenter::arguments(Alert{"Could not save a.mid", "Permission denied"}),
              (std::vector<std::string>{"--warning", "--no-markup", "--title=Could not save a.mid",
                                        "--text=Could not save a.mid\n\nPermission denied"}));
}

} // namespace
} // namespace veltrane::Dialogs
