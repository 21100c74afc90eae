#pragma once
// The program's one change-notification mechanism: a value that tells its observers when it changes.
//
// Contract:
// - `set(v)` on a type with `==` compares first: an equal value is stored and nobody is told; a
//   different value is stored, then every observer is called. A type without `==` (callbacks, records
//   that cannot be compared) always notifies. Doubles compare numerically, so a NaN written over a
//   NaN notifies.
// - `modify(f)` changes the value in place (toggle a flag, insert into a set, change one field of a
//   record) and always notifies, whether or not the value changed.
// - Observers are `void()` callbacks, called after the new value is stored, in the order they
//   subscribed; they read the value with `get()`. `observe` returns a move-only ObservationToken;
//   destroying it unsubscribes. The token may outlive the observable (it then does nothing).
// - During a notification a callback may write any observable (the same one included: the nested
//   notification runs at once, to completion), subscribe (the new observer is first called on the next
//   notification) or unsubscribe itself or others (an unsubscribed observer is not called again, not
//   even later in the round under way). It may also destroy the observable whose observers are
//   being called; the observers not yet called in that round are skipped.
// - Main thread only: observables have no lock. Debug builds assert that every write, subscription
//   and unsubscription happens on the thread that used an observable first.
// - Cost: a write with no observers is a comparison and a store; no allocation, no atomic operation.
//   The observer list is allocated on the first subscription.
//
// Owners that alone may write a value (a library's list, a port's state) keep the Observable private
// and hand out `const Observable<T>&`: reading and observing are const.
#include <cassert>
#include <concepts>
#include <cstdint>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

namespace veltrane {

namespace detail {

// The thread of the first observable use; every later use is checked against it in debug builds.
void checkObservableThread() noexcept;

inline void assertMainThread() noexcept
{
#ifndef NDEBUG
    checkObservableThread();
#endif
}

// The observers of one observable. Shared with the tokens (weakly), so a token that outlives its
// observable finds nothing to remove.
class ObserverList {
public:
    std::uint64_t add(std::function<void()> callback);
    void remove(std::uint64_t id) noexcept;
    // Calls every live observer; `self` keeps the list alive while a callback destroys its owner.
    static void notify(const std::shared_ptr<ObserverList>& self);
    bool empty() const noexcept { return live_ == 0; }
    // The observable is gone: a notification under way stops calling observers.
    void detach() noexcept { detached_ = true; }

private:
    struct Entry {
        std::uint64_t id;
        std::function<void()> callback; // emptied when removed during a notification
    };
    void compact() noexcept;

    // Entries live on the heap so that a subscription during a notification (which may grow the
    // vector) never moves the callback that is running.
    std::vector<std::unique_ptr<Entry>> entries_;
    std::size_t live_ = 0;
    std::uint64_t nextId_ = 1;
    int depth_ = 0;        // nested notifications under way
    bool removed_ = false; // entries were emptied during a notification; compact when it ends
    bool detached_ = false;
};

} // namespace detail

class ObservationToken {
public:
    ObservationToken() noexcept = default;
    ObservationToken(std::weak_ptr<detail::ObserverList> list, std::uint64_t id) noexcept
        : list_(std::move(list)), id_(id)
    {}
    ObservationToken(ObservationToken&& other) noexcept
        : list_(std::move(other.list_)), id_(std::exchange(other.id_, 0))
    {}
    ObservationToken& operator=(ObservationToken&& other) noexcept
    {
        if (this != &other) {
            reset();
            list_ = std::move(other.list_);
            id_ = std::exchange(other.id_, 0);
        }
        return *this;
    }
    ObservationToken(const ObservationToken&) = delete;
    ObservationToken& operator=(const ObservationToken&) = delete;
    ~ObservationToken() { reset(); }

    // Unsubscribes now; the token is empty afterwards.
    void reset() noexcept
    {
        if (id_ == 0) return;
        if (auto list = list_.lock()) list->remove(id_);
        list_.reset();
        id_ = 0;
    }
    bool active() const noexcept { return id_ != 0 && !list_.expired(); }

private:
    std::weak_ptr<detail::ObserverList> list_;
    std::uint64_t id_ = 0;
};

template <class T>
class Observable {
public:
    Observable() requires std::default_initializable<T>
    = default;
    explicit Observable(T value) : value_(std::move(value)) {}

    // Observers belong to one object: copying an observable copies neither its observers nor its
    // identity, and moving one would strand the tokens. A holder of observables has identity too.
    Observable(const Observable&) = delete;
    Observable& operator=(const Observable&) = delete;
    ~Observable()
    {
        if (observers_) observers_->detach();
    }

    const T& get() const noexcept { return value_; }

    void set(T value)
    {
        detail::assertMainThread();
        if constexpr (std::equality_comparable<T>) {
            if (value_ == value) return;
        }
        value_ = std::move(value);
        notify();
    }

    // Calls f(value) and notifies; returns what f returns.
    template <class F>
    decltype(auto) modify(F&& f)
    {
        detail::assertMainThread();
        if constexpr (std::is_void_v<std::invoke_result_t<F, T&>>) {
            std::invoke(std::forward<F>(f), value_);
            notify();
        } else {
            decltype(auto) result = std::invoke(std::forward<F>(f), value_);
            notify();
            return result;
        }
    }

    [[nodiscard]] ObservationToken observe(std::function<void()> callback) const
    {
        detail::assertMainThread();
        if (!observers_) observers_ = std::make_shared<detail::ObserverList>();
        const std::uint64_t id = observers_->add(std::move(callback));
        return ObservationToken(observers_, id);
    }

    bool hasObservers() const noexcept { return observers_ && !observers_->empty(); }

private:
    void notify()
    {
        if (observers_ && !observers_->empty()) detail::ObserverList::notify(observers_);
    }

    T value_{};
    mutable std::shared_ptr<detail::ObserverList> observers_;
};

} // namespace veltrane
