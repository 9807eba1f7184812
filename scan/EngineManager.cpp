// Running scan tasks: worker and counting threads, the walk, pause, abort and stop.
#include "scan/EngineManager.h"

#include "engine/CoreAbi.h"
#include "quarantine/QuarantineManager.h"

#include <boost/filesystem/operations.hpp>

#include <windows.h>

#include <algorithm>

namespace fs = boost::filesystem;

namespace {

const uint32_t NoOptions[8] = {};

// A folder to walk into: directory links and junctions are not followed, so a loop cannot trap the walk.
bool IsWalkableDirectory(const fs::path& path) {
    if (!fs::is_directory(path)) return false;
    return fs::symlink_status(path).type() != fs::symlink_file &&
           !(::GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT);
}

}  // namespace

bool PassesExtensionFilter(const std::wstring& fileName, const std::wstring& filter) {
    if (filter.empty()) return true;
    const size_t dot = fileName.rfind(L'.');
    if (dot == std::wstring::npos) return true;
    std::wstring extension = fileName.substr(dot) + L".";
    ::CharLowerBuffW(&extension[0], static_cast<DWORD>(extension.size()));
    return filter.find(extension) != std::wstring::npos;
}

AvEngineManager& AvEngineManager::Get() {
    // The quarantine manager is made first, so it is destroyed after this one.
    static AvEngineManager manager(AvQuarantineManager::Get());
    return manager;
}

AvEngineManager::AvEngineManager(AvQuarantineManager& quarantine)
    : pauseRequested(false), quarantine_(quarantine), abortRequested_(false) {}

AvEngineManager::~AvEngineManager() {
    Stop();
    task_.reset();
    std::vector<boost::shared_ptr<boost::thread>> counters;
    {
        boost::mutex::scoped_lock lock(countersMutex_);
        counters.swap(counters_);
    }
    for (auto& counter : counters) counter->join();  // the abort request ends them at their next entry
    engine_.reset();
}

void AvEngineManager::InitEngine(const std::wstring& engineFolder) {
    if (!engine_) {
        try {
            engine_.reset(new AvCore::CAvCore(engineFolder.c_str()));
        } catch (const std::exception&) {
            engine_.reset();
        }
    }
    engineLoaded(static_cast<bool>(engine_));
}

boost::shared_ptr<AvCore::CAvCoreScanner> AvEngineManager::StartScan(boost::shared_ptr<AvScanTask> task) {
    if (!engine_ || !task) return boost::shared_ptr<AvCore::CAvCoreScanner>();
    // One scan at a time: a worker that has not ended yet is stopped (one that has is only joined).
    if (worker_.joinable() && !worker_.try_join_for(boost::chrono::milliseconds(0))) Stop();
    abortRequested_ = false;
    pauseRequested = false;
    task_ = task;
    boost::shared_ptr<AvCore::CAvCoreScanner> scanner;
    try {
        scanner = engine_->CreateScanner(AvCore::ScanFlagsAll, NoOptions);
    } catch (const AvCore::AvCoreException&) {
    }
    if (!scanner) return scanner;
    task->scanner = scanner;
    worker_ = boost::thread(&AvEngineManager::Run, this, task);
    return scanner;
}

void AvEngineManager::Stop() {
    abortRequested_ = true;
    if (worker_.joinable() && worker_.get_id() == boost::this_thread::get_id()) return;  // called from the scan
    for (;;) {
        pump();
        if (!worker_.joinable() || worker_.try_join_for(boost::chrono::milliseconds(50))) break;
    }
}

void AvEngineManager::Run(boost::shared_ptr<AvScanTask> task) {
    {
        boost::shared_ptr<boost::thread> counter(new boost::thread(&AvEngineManager::CountFiles, this, task));
        boost::mutex::scoped_lock lock(countersMutex_);
        counters_.erase(std::remove_if(counters_.begin(), counters_.end(),
                                       [](const boost::shared_ptr<boost::thread>& t) {
                                           return t->try_join_for(boost::chrono::milliseconds(0));
                                       }),
                        counters_.end());
        counters_.push_back(counter);
    }
    bool completed = false;
    try {
        started();
        ::SetThreadIdealProcessor(::GetCurrentThread(), 0);
        // The counting pass gets a head start, so that a percentage is available early.
        for (int slice = 0; slice < 100 && !abortRequested_; ++slice) ::Sleep(10);

        AvEngineScanFile op(*this, task->scanner, &task->stats, task->cureThreats);
        bool aborted = false;
        for (const std::wstring& target : task->targets) {
            try {
                if (IsWalkableDirectory(target))
                    WalkDirectory(target, &op, task->extensionFilter);
                else
                    op.Process(target);
            } catch (const fs::filesystem_error&) {
                // The rest of this target is skipped.
            }
            if (CheckPauseAbort()) {
                aborted = true;
                break;
            }
        }
        if (!aborted) {
            if (op.LastPercent() != 100) progress(100);  // never the same percentage twice in a row
            completed = true;
        }
        finished(completed);
    } catch (const std::exception&) {
        // Whatever went wrong, the listeners still learn that this scan is over.
        if (completed) return;
        finished(false);
    }
}

void AvEngineManager::CountFiles(boost::shared_ptr<AvScanTask> task) {
    try {
        task->stats.total = 0;
        AvEngineCountFiles op(&task->stats);
        for (const std::wstring& target : task->targets) {
            try {
                if (IsWalkableDirectory(target))
                    WalkDirectory(target, &op, task->extensionFilter);
                else
                    ++task->stats.total;
            } catch (const fs::filesystem_error&) {
            }
        }
    } catch (const std::exception&) {
        task->stats.totalKnown = true;
    }
}

bool AvEngineManager::CheckPauseAbort() {
    bool notified = false;
    while (pauseRequested) {
        if (abortRequested_) break;
        if (!notified) {
            paused();
            notified = true;
        }
        ::Sleep(10);
    }
    if (!abortRequested_ && notified) resumed();
    return abortRequested_;
}

void AvEngineManager::OnObject(AvCore::CAvCoreScanner& scanner, const wchar_t* name, AvCore::ObjectType type,
                               bool inner) {
    objectScanned(name, type, inner);
    if (CheckPauseAbort()) scanner.Stop();
}

void AvEngineManager::WalkDirectory(const fs::path& directory, AvEngineFileOp* op, const std::wstring& filter) {
    // An explicit stack instead of recursion: a deep tree cannot exhaust the thread's stack.
    std::vector<fs::directory_iterator> stack;
    stack.emplace_back(directory);
    while (!stack.empty()) {
        if (stack.back() == fs::directory_iterator()) {
            stack.pop_back();
            continue;
        }
        if (CheckPauseAbort()) return;
        fs::path entry;
        bool descend = false;
        try {
            // The listing already says what an entry is; only links need a look of their own.
            const fs::directory_entry& listed = *stack.back();
            entry = listed.path();
            const fs::file_type type = listed.symlink_status().type();
            if (type == fs::directory_file)
                descend = true;
            else if (type == fs::regular_file || !fs::is_directory(listed.status()))
                ProcessIfWanted(entry, op, filter);
        } catch (const fs::filesystem_error&) {
            descend = false;  // this entry is skipped
        }
        try {
            ++stack.back();
        } catch (const fs::filesystem_error&) {
            if (stack.size() == 1) throw;
            stack.back() = fs::directory_iterator();  // the rest of this subfolder is skipped
        }
        if (descend) {
            try {
                stack.emplace_back(entry);
            } catch (const fs::filesystem_error&) {
                // A subfolder that cannot be opened is skipped.
            }
        }
    }
}

void AvEngineManager::ProcessIfWanted(const fs::path& file, AvEngineFileOp* op, const std::wstring& filter) {
    if (PassesExtensionFilter(file.filename().wstring(), filter)) op->Process(fs::path(file).make_preferred());
}
