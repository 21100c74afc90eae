#include "Support/Observable.h"

#include <algorithm>
#include <atomic>
#include <thread>

namespace veltrane::detail {

void checkObservableThread() noexcept
{
    // Only the first use writes; the atomic keeps that first write itself free of a race, so the
    // assertion reports the misuse instead of a torn read.
    static std::atomic<std::thread::id> owner{};
    std::thread::id expected{};
    const std::thread::id self = std::this_thread::get_id();
    if (owner.compare_exchange_strong(expected, self)) return;
    assert(expected == self && "observables are main-thread only");
    (void)expected;
}

std::uint64_t ObserverList::add(std::function<void()> callback)
{
    const std::uint64_t id = nextId_++;
    entries_.push_back(std::make_unique<Entry>(Entry{id, std::move(callback)}));
    ++live_;
    return id;
}

void ObserverList::remove(std::uint64_t id) noexcept
{
    assertMainThread();
    const auto it =
        std::find_if(entries_.begin(), entries_.end(), [id](const std::unique_ptr<Entry>& e) { return e->id == id; });
    if (it == entries_.end()) return;
    --live_;
    if (depth_ > 0) {
        // The callback may be running right now (an observer unsubscribing itself): empty it only
        // once the notification is over, and skip it for the rest of the round.
        (*it)->id = 0;
        removed_ = true;
        return;
    }
    entries_.erase(it);
}

void ObserverList::notify(const std::shared_ptr<ObserverList>& self)
{
    const std::shared_ptr<ObserverList> keep = self; // a callback may destroy the observable
    ObserverList& list = *keep;
    ++list.depth_;
    // Observers added during this round wait for the next one.
    const std::size_t count = list.entries_.size();
    try {
        for (std::size_t i = 0; i < count && !list.detached_; ++i) {
            Entry& entry = *list.entries_[i];
            if (entry.id != 0 && entry.callback) entry.callback();
        }
    } catch (...) {
        --list.depth_;
        list.compact();
        throw;
    }
    --list.depth_;
    list.compact();
}

void ObserverList::compact() noexcept
{
    if (depth_ > 0 || !removed_) return;
    removed_ = false;
    std::erase_if(entries_, [](const std::unique_ptr<Entry>& e) { return e->id == 0; });
}

} // namespace veltrane::detail
