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

    const auto args = ZenityPresenter::arguments(SavePanel{"Export", {{"Veltrane presets", {"veltrane"}}}, "p.veltrane"});
    EXPECT_EQ(args, (std::vector<std::string>{"--file-selection", "--save", "--confirm-overwrite", "--title=Export",
                                              "--filename=p.veltrane", "--file-filter=Veltrane presets | *.veltrane"}));
}

} // namespace
} // namespace veltrane::Dialogs
