// Records what a quarantine store announces, from any thread.
#pragma once

#include "quarantine/Quarantine.h"

#include <boost/thread/mutex.hpp>

#include <windows.h>

#include <vector>

namespace TestSupport {

class StoreRecorder {
public:
    explicit StoreRecorder(Quarantine::CQuarantine& store) {
        connections_.emplace_back(store.entryAdded.connect([this](int id, const Quarantine::Entry&) {
            boost::mutex::scoped_lock lock(mutex_);
            added_.push_back(id);
        }));
        connections_.emplace_back(store.entryDeleted.connect([this](int id) {
            boost::mutex::scoped_lock lock(mutex_);
            deleted_.push_back(id);
        }));
        connections_.emplace_back(store.loadStarted.connect([this] {
            boost::mutex::scoped_lock lock(mutex_);
            ++started_;
        }));
        connections_.emplace_back(store.loadFinished.connect([this] {
            boost::mutex::scoped_lock lock(mutex_);
            ++finished_;
        }));
    }
    std::vector<int> Added() const {
        boost::mutex::scoped_lock lock(mutex_);
        return added_;
    }
    std::vector<int> Deleted() const {
        boost::mutex::scoped_lock lock(mutex_);
        return deleted_;
    }
    int Started() const {
        boost::mutex::scoped_lock lock(mutex_);
        return started_;
    }
    int Finished() const {
        boost::mutex::scoped_lock lock(mutex_);
        return finished_;
    }

private:
    mutable boost::mutex mutex_;
    std::vector<int> added_, deleted_;
    int started_ = 0, finished_ = 0;
    std::vector<boost::signals2::scoped_connection> connections_;
};

// Waits (bounded) until the store's loaders have all finished.
inline bool WaitForLoad(const Quarantine::CQuarantine& store) {
    for (int i = 0; i < 3000 && store.IsLoading(); ++i) ::Sleep(10);
    return !store.IsLoading();
}

}  // namespace TestSupport
