#pragma once
// A named serial queue: one worker thread runs the submitted tasks one at a time, in submission order.
//
// Stands in for a serial dispatch queue (the reverb build queue, the reference-orbit builders).
// `async` never blocks; `sync` waits for its task and everything submitted before it, and runs the
// task at once when called from the queue's own worker (so a task may call `sync` on its own queue
// without deadlocking). An exception escaping an `async` task is written as one line on standard
// error and the queue goes on; an exception from a `sync` task reaches the caller of `sync`.
// Destruction runs every task already submitted, then joins the worker. Not for the audio thread:
// submitting allocates and locks.
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace veltrane {

class SerialQueue {
public:
    explicit SerialQueue(std::string name);
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const std::string& name() const { return name_; }

    void async(std::function<void()> task);
    void sync(const std::function<void()>& task);

    // Blocks until every task submitted so far has run.
    void drain();

    // True on the queue's own worker thread.
    bool isCurrent() const { return std::this_thread::get_id() == worker_.get_id(); }

private:
    void run();

    std::string name_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<std::function<void()>> tasks_;
    bool busy_ = false;
    bool stopping_ = false;
    std::thread worker_;
};

} // namespace veltrane
