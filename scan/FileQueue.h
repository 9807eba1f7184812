// The files a walk has found, waiting for the threads that scan them: bounded, so that a fast walk
// cannot run ahead of slow scans by more than a few hundred paths. A thread is woken only when one
// waits, and a full queue wakes its walk only once it is half empty: every wake-up is a trip through
// the system, which under Wine costs about as much as opening a file.
#pragma once

#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>

#include <cstdint>
#include <deque>
#include <string>

class FileQueue {
public:
    struct Item {
        std::wstring path;
        uint64_t size;
    };

    explicit FileQueue(size_t capacity) : capacity_(capacity) {}

    // Waits while the queue is full; false when it was closed (nothing is added then).
    bool Push(Item item) {
        boost::mutex::scoped_lock lock(mutex_);
        if (!closed_ && items_.size() >= capacity_) {
            ++pushersWaiting_;
            while (!closed_ && items_.size() > capacity_ / 2) notFull_.wait(lock);
            --pushersWaiting_;
        }
        if (closed_) return false;
        items_.push_back(std::move(item));
        if (poppersWaiting_ > 0) notEmpty_.notify_one();
        return true;
    }

    // Waits for an item; false once the queue is closed and, unless it was abandoned, empty.
    bool Pop(Item& item) {
        boost::mutex::scoped_lock lock(mutex_);
        ++poppersWaiting_;
        while (items_.empty() && !closed_) notEmpty_.wait(lock);
        --poppersWaiting_;
        if (items_.empty() || abandoned_) return false;
        item = std::move(items_.front());
        items_.pop_front();
        if (pushersWaiting_ > 0 && items_.size() <= capacity_ / 2) notFull_.notify_all();
        return true;
    }

    // No more items: what is queued is still handed out.
    void Close() { Finish(false); }
    // No more items, and what is queued is dropped (an aborted scan).
    void Abandon() { Finish(true); }

private:
    void Finish(bool abandon) {
        boost::mutex::scoped_lock lock(mutex_);
        closed_ = true;
        abandoned_ = abandoned_ || abandon;
        notEmpty_.notify_all();
        notFull_.notify_all();
    }

    boost::mutex mutex_;
    boost::condition_variable notEmpty_, notFull_;
    std::deque<Item> items_;
    const size_t capacity_;
    int pushersWaiting_ = 0, poppersWaiting_ = 0;
    bool closed_ = false;
    bool abandoned_ = false;
};
