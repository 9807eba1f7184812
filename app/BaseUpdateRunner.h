// A base update on a thread of its own, for the main window: its progress and its end reach the window
// as posted messages, so the thread never waits for the user interface, and a running scan is never
// touched (the window loads the new bases when no scan runs).
#pragma once

#include "update/BaseUpdater.h"

#include <boost/noncopyable.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>

#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

class BaseUpdateRunner : boost::noncopyable {
public:
    BaseUpdateRunner(UINT progressMessage, UINT finishedMessage);
    ~BaseUpdateRunner();  // stops a running update and waits for it

    // False when one is already running.
    bool Start(HWND window, const std::wstring& basesFolder, const std::wstring& trialProgram);
    bool Running() const { return thread_.joinable(); }
    // What is being fetched, for the window: "daily.cvd 45% (1234 of 2345 KB)".
    std::wstring Status() const;
    // After the finished message: waits for the thread, and gives what the update said.
    Update::BaseUpdater::Outcome Finish(std::vector<std::wstring>& lines);

private:
    void Run(HWND window, std::wstring basesFolder, std::wstring trialProgram);

    const UINT progressMessage_, finishedMessage_;
    boost::thread thread_;
    std::atomic<bool> stop_{false};
    mutable boost::mutex mutex_;
    std::wstring status_;
    std::vector<std::wstring> lines_;
    Update::BaseUpdater::Outcome outcome_ = Update::BaseUpdater::Failed;
};
