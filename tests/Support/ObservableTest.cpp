#include "Support/Observable.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace veltrane {
namespace {

struct NoEquality {
    int x = 0;
};

static_assert(!std::is_copy_constructible_v<Observable<int>>);
static_assert(!std::is_copy_constructible_v<ObservationToken>);
static_assert(std::is_nothrow_move_constructible_v<ObservationToken>);
// An optional of a type without == has no == either, so it always notifies.
static_assert(!std::equality_comparable<std::optional<NoEquality>>);

// Writes `second` after `first` and reports how many times one observer was told.
template <class T>
int notificationsFor(T first, T second)
{
    Observable<T> value(std::move(first));
    int calls = 0;
    ObservationToken token = value.observe([&] { ++calls; });
    value.set(std::move(second));
    return calls;
}

TEST(Observable, EqualWritesNotifyNobodyAndOthersNotifyOnce)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        const char* what;
        int calls;
        int expected;
    };
    const Case cases[] = {
        {"equal int", notificationsFor(3, 3), 0},
        {"different int", notificationsFor(3, 4), 1},
        {"0.0 and -0.0 compare equal", notificationsFor(0.0, -0.0), 0},
        {"NaN over NaN", notificationsFor(nan, nan), 1},
        {"two absent optionals", notificationsFor<std::optional<int>>(std::nullopt, std::nullopt), 0},
        {"absent to present", notificationsFor<std::optional<int>>(std::nullopt, 0), 1},
        {"equal sets", notificationsFor(std::set<int>{1, 2}, std::set<int>{2, 1}), 0},
        {"equal texts", notificationsFor(std::string("web"), std::string("web")), 0},
        {"vectors differing in one element", notificationsFor(std::vector<float>{1, 2}, std::vector<float>{1, 3}), 1},
        {"no equality", notificationsFor(NoEquality{}, NoEquality{}), 1},
        {"optional without equality", notificationsFor<std::optional<NoEquality>>(std::nullopt, std::nullopt), 1},
        {"callbacks", notificationsFor<std::function<void()>>(nullptr, nullptr), 1},
    };
    for (const Case& c : cases) EXPECT_EQ(c.calls, c.expected) << c.what;
}

TEST(Observable, InPlaceChangesAlwaysNotifyAndObserversSeeTheStoredValue)
{
    Observable<std::set<int>> notes;
    std::vector<std::size_t> seen;
    ObservationToken token = notes.observe([&] { seen.push_back(notes.get().size()); });
    EXPECT_TRUE(notes.modify([](std::set<int>& s) { return s.insert(60).second; }));
    EXPECT_FALSE(notes.modify([](std::set<int>& s) { return s.insert(60).second; })); // no change, still told
    notes.modify([](std::set<int>& s) { s.erase(61); });
    EXPECT_EQ(seen, (std::vector<std::size_t>{1, 1, 1}));
}

TEST(Observable, TokensUnsubscribeWhenDestroyedMovedOrReset)
{
    Observable<int> value(0);
    int a = 0, b = 0;
    {
        ObservationToken first = value.observe([&] { ++a; });
        ObservationToken second = value.observe([&] { ++b; });
        value.set(1);
        ObservationToken moved = std::move(second);
        EXPECT_FALSE(second.active());
        EXPECT_TRUE(moved.active());
        value.set(2);
        first = std::move(moved); // drops the first subscription, keeps the second
        value.set(3);
        EXPECT_EQ(a, 2);
        EXPECT_EQ(b, 3);
        first.reset();
        value.set(4);
        EXPECT_EQ(b, 3);
    }
    EXPECT_FALSE(value.hasObservers());
}

TEST(Observable, TokenOutlivingItsObservableDoesNothing)
{
    ObservationToken token;
    {
        Observable<int> value(0);
        token = value.observe([] {});
        EXPECT_TRUE(token.active());
    }
    EXPECT_FALSE(token.active());
    token.reset(); // and again in the destructor
}

TEST(Observable, CallbacksMayUnsubscribeSubscribeAndWriteDuringANotification)
{
    Observable<int> value(0);
    std::vector<std::string> log;
    ObservationToken self, later, added;
    ObservationToken first = value.observe([&] {
        log.push_back("first " + std::to_string(value.get()));
        if (value.get() == 1) {
            later.reset(); // not called in this round any more
            added = value.observe([&] { log.push_back("added " + std::to_string(value.get())); });
        }
    });
    self = value.observe([&] {
        log.push_back("self " + std::to_string(value.get()));
        self.reset(); // unsubscribes itself while it runs
    });
    later = value.observe([&] { log.push_back("later"); });

    value.set(1);
    EXPECT_EQ(log, (std::vector<std::string>{"first 1", "self 1"}));
    log.clear();
    value.set(2);
    EXPECT_EQ(log, (std::vector<std::string>{"first 2", "added 2"}));

    // A write inside a notification notifies at once, to completion, then the outer round goes on.
    log.clear();
    Observable<int> counter(0);
    ObservationToken bump = counter.observe([&] {
        log.push_back("bump " + std::to_string(counter.get()));
        if (counter.get() < 3) counter.set(counter.get() + 1);
    });
    ObservationToken watch = counter.observe([&] { log.push_back("watch " + std::to_string(counter.get())); });
    counter.set(1);
    EXPECT_EQ(log, (std::vector<std::string>{"bump 1", "bump 2", "bump 3", "watch 3", "watch 3", "watch 3"}));
}

TEST(Observable, ACallbackMayDestroyTheObservable)
{
    auto value = std::make_unique<Observable<int>>(0);
    int after = 0;
    ObservationToken killer = value->observe([&] { value.reset(); });
    ObservationToken skipped = value->observe([&] { ++after; });
    value->set(1);
    EXPECT_EQ(value, nullptr);
    EXPECT_EQ(after, 0);
    EXPECT_FALSE(skipped.active());
}

} // namespace
} // namespace veltrane
