// The files a walk has found, waiting for the threads that scan them: bounded, so that a fast walk
// cannot run ahead of slow scans by more than a few hundred paths.
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
        while (!closed_ && items_.size() >= capacity_) notFull_.wait(lock);
        if (closed_) return false;
        items_.push_back(std::move(item));
        notEmpty_.notify_one();
        return true;
    }

    // Waits for an item; false once the queue is closed and, unless it was abandoned, empty.
    bool Pop(Item& item) {
        boost::mutex::scoped_lock lock(mutex_);
        while (items_.empty() && !closed_) notEmpty_.wait(lock);
        if (items_.empty() || abandoned_) return false;
        item = std::move(items_.front());
        items_.pop_front();
        notFull_.notify_one();
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
    bool closed_ = false;
    bool abandoned_ = false;
};
