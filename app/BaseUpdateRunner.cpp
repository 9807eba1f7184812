#include "app/BaseUpdateRunner.h"

BaseUpdateRunner::BaseUpdateRunner(UINT progressMessage, UINT finishedMessage)
    : progressMessage_(progressMessage), finishedMessage_(finishedMessage) {}

BaseUpdateRunner::~BaseUpdateRunner() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

bool BaseUpdateRunner::Start(HWND window, const std::wstring& basesFolder, const std::wstring& trialProgram) {
    if (thread_.joinable()) return false;
    stop_ = false;
    {
        boost::mutex::scoped_lock lock(mutex_);
        status_.clear();
        lines_.clear();
    }
    thread_ = boost::thread(&BaseUpdateRunner::Run, this, window, basesFolder, trialProgram);
    return true;
}

std::wstring BaseUpdateRunner::Status() const {
    boost::mutex::scoped_lock lock(mutex_);
    return status_;
}

Update::BaseUpdater::Outcome BaseUpdateRunner::Finish(std::vector<std::wstring>& lines) {
    if (thread_.joinable()) thread_.join();
    boost::mutex::scoped_lock lock(mutex_);
    lines = lines_;
    return outcome_;
}

void BaseUpdateRunner::Run(HWND window, std::wstring basesFolder, std::wstring trialProgram) {
    Update::BaseUpdater updater(basesFolder, trialProgram);
    updater.shouldStop = [this] { return stop_.load(); };
    updater.onMessage = [this](const std::wstring& line) {
        boost::mutex::scoped_lock lock(mutex_);
        lines_.push_back(line);
    };
    int shown = -2;
    updater.onProgress = [&](const std::wstring& file, uint64_t done, uint64_t total) {
        const int percent = total ? static_cast<int>(done * 100 / total) : -1;
        if (percent == shown && total) return;
        shown = percent;
        std::wstring text = file + L" " + (total ? std::to_wstring(percent) + L"% (" : L"(") + std::to_wstring(done / 1024) +
                            (total ? L" of " + std::to_wstring(total / 1024) : std::wstring()) + L" KB)";
        {
            boost::mutex::scoped_lock lock(mutex_);
            status_.swap(text);
        }
        ::PostMessageW(window, progressMessage_, 0, 0);
    };
    const Update::BaseUpdater::Outcome outcome = updater.Run();
    {
        boost::mutex::scoped_lock lock(mutex_);
        outcome_ = outcome;
    }
    ::PostMessageW(window, finishedMessage_, 0, 0);
}
