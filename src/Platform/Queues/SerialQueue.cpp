#include "Platform/Queues/SerialQueue.h"

#include "Platform/Queues/RunAndWait.h"

#include <cstdio>
#include <exception>

#include <pthread.h>

namespace veltrane {

SerialQueue::SerialQueue(std::string name) : name_(std::move(name))
{
    worker_ = std::thread([this] { run(); });
    // Thread names are limited to 15 bytes: keep the tail, which is the distinctive part of a
    // reverse-domain label ("com.korvat.veltrane.reverb" -> "veltrane.reverb").
    std::string shortName = name_.size() > 15 ? name_.substr(name_.size() - 15) : name_;
    pthread_setname_np(worker_.native_handle(), shortName.c_str());
}

SerialQueue::~SerialQueue()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    worker_.join();
}

void SerialQueue::async(std::function<void()> task)
{
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    wake_.notify_one();
}

void SerialQueue::sync(const std::function<void()>& task)
{
    if (isCurrent()) {
        task();
        return;
    }
    detail::runAndWait([this](std::function<void()> wrapped) { async(std::move(wrapped)); }, task);
}

void SerialQueue::drain()
{
    if (isCurrent()) return;
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return tasks_.empty() && !busy_; });
}

void SerialQueue::run()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
        if (tasks_.empty()) {
            if (stopping_) return;
            continue;
        }
        auto task = std::move(tasks_.front());
        tasks_.pop_front();
        busy_ = true;
        lock.unlock();
        try {
            task();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s: task failed: %s\n", name_.c_str(), e.what());
        } catch (...) {
            std::fprintf(stderr, "%s: task failed\n", name_.c_str());
        }
        task = nullptr; // release captures outside the lock
        lock.lock();
        busy_ = false;
        if (tasks_.empty()) idle_.notify_all();
    }
}

} // namespace veltrane
