// Running scan tasks: worker and counting threads, the walk, pause, abort and stop.
#include "scan/EngineManager.h"

#include "scan/FileQueue.h"
#include "scan/OpenFolder.h"

#include "contract/CoreAbi.h"
#include "base/DiagnosticLog.h"
#include "base/LiteralPath.h"
#include "base/Text.h"
#include "quarantine/QuarantineManager.h"
#include "resources/resource.h"

#include <boost/filesystem/operations.hpp>

#include "base/WinHandle.h"

#include <windows.h>

#include <algorithm>
#include <utility>
#include <cwchar>

namespace fs = boost::filesystem;

namespace {

const uint32_t NoOptions[8] = {};

bool IsDirectory(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(LiteralPath(path).c_str());  // through a link to where it leads
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The volume and file index of an open file; zeros when the system does not say.
std::pair<DWORD, uint64_t> VolumeAndIndexOf(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(file, &info)) return {0, 0};
    return {info.dwVolumeSerialNumber, (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

// What makes a folder the same folder whatever path leads to it: its volume and file index (this
// works for links, junctions and Unix links under Wine alike); its path when the system keeps no index.
std::wstring FolderIdentity(DWORD volume, uint64_t index, const std::wstring& path) {
    if (!index) return L"path:" + LowerCase(path);
    wchar_t id[40];
    swprintf(id, 40, L"%08lx:%016llx", static_cast<unsigned long>(volume), static_cast<unsigned long long>(index));
    return id;
}

std::wstring Child(const std::wstring& folder, const wchar_t* name) {
    return !folder.empty() && (folder.back() == L'\\' || folder.back() == L'/') ? folder + name : folder + L"\\" + name;
}

}  // namespace

bool PassesExtensionFilter(const std::wstring& fileName, const std::wstring& filter) {
    if (filter.empty()) return true;
    const size_t dot = fileName.rfind(L'.');
    if (dot == std::wstring::npos) return true;
    const std::wstring extension = LowerCase(fileName.substr(dot) + L".");
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
        loadFailure_.clear();
        try {
            engine_.reset(new AvCore::CAvCore(engineFolder.c_str()));
        } catch (const AvCore::EngineLoadError& e) {
            engine_.reset();
            loadFailure_.assign(e.detail.begin(), e.detail.end());
        } catch (const std::exception& e) {
            engine_.reset();
            const std::string what = e.what();
            if (what == "SetCurrentDirectoryW failed")
                loadFailure_ = L"the engine folder " + engineFolder + L" does not exist or cannot be opened";
            else
                loadFailure_.assign(what.begin(), what.end());
        }
    }
    engineLoaded(static_cast<bool>(engine_));
}

bool AvEngineManager::ReloadEngine(const std::wstring& engineFolder) {
    if (worker_.joinable() && !worker_.try_join_for(boost::chrono::milliseconds(0))) return false;
    engine_.reset();
    InitEngine(engineFolder);
    return true;
}

boost::shared_ptr<AvCore::CAvCoreScanner> AvEngineManager::StartScan(boost::shared_ptr<AvScanTask> task) {
    if (!engine_ || !task) return boost::shared_ptr<AvCore::CAvCoreScanner>();
    // One scan at a time: a worker that has not ended yet is stopped (one that has is only joined).
    if (worker_.joinable() && !worker_.try_join_for(boost::chrono::milliseconds(0))) Stop();
    // The previous task's counting pass may still walk: it ends with its own task.
    if (task_) task_->aborted = true;
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
    if (task_) task_->aborted = true;
    if (worker_.joinable() && worker_.get_id() == boost::this_thread::get_id()) return;  // called from the scan
    for (;;) {
        pump();
        if (!worker_.joinable() || worker_.try_join_for(boost::chrono::milliseconds(50))) break;
    }
}

void AvEngineManager::Run(boost::shared_ptr<AvScanTask> task) {
    if (task->showsProgress) {
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
        if (task->showsProgress)
            for (int slice = 0; slice < 100 && !CheckAbort(*task); ++slice) ::Sleep(10);

        int32_t lastPercent = 0;
        if (task->workers > 1) {
            lastPercent = ScanWithWorkers(*task);
        } else {
            AvEngineScanFile op(*this, task->scanner, &task->stats, task->cureThreats);
            WalkPass pass(*task, op, false);
            WalkTargets(pass);
            lastPercent = op.LastPercent();
        }
        if (!CheckPauseAbort(task.get())) {
            if (lastPercent != 100) progress(100);  // never the same percentage twice in a row
            completed = true;
        }
        finished(completed);
    } catch (const std::exception&) {
        // Whatever went wrong, the listeners still learn that this scan is over.
        if (completed) return;
        finished(false);
    }
}

namespace {

// The walk's side of a scan with several workers: each file found waits in the queue.
class AvEngineQueueFiles : public AvEngineFileOp {
public:
    explicit AvEngineQueueFiles(FileQueue& queue) : queue_(queue) {}
    void Process(const fs::path& file, uint64_t size) override { queue_.Push(FileQueue::Item{file.wstring(), size}); }

private:
    FileQueue& queue_;
};

}  // namespace

int32_t AvEngineManager::ScanWithWorkers(AvScanTask& task) {
    // One engine context per worker; an engine that grants fewer gets fewer workers.
    std::vector<boost::shared_ptr<AvCore::CAvCoreScanner>> scanners(1, task.scanner);
    while (scanners.size() < static_cast<size_t>(task.workers)) {
        boost::shared_ptr<AvCore::CAvCoreScanner> scanner;
        try {
            scanner = engine_->CreateScanner(AvCore::ScanFlagsAll, NoOptions);
        } catch (const AvCore::AvCoreException&) {
        }
        if (!scanner) break;
        scanners.push_back(scanner);
    }
    FileQueue queue(256);
    std::atomic<int32_t> lastPercent(0);
    auto work = [&](const boost::shared_ptr<AvCore::CAvCoreScanner>& scanner) {
        try {
            AvEngineScanFile op(*this, scanner, &task.stats, task.cureThreats);
            FileQueue::Item item;
            while (queue.Pop(item) && !CheckPauseAbort(&task)) op.Process(fs::path(item.path), item.size);
            int32_t seen = lastPercent;
            while (op.LastPercent() > seen && !lastPercent.compare_exchange_weak(seen, op.LastPercent())) {
            }
        } catch (const std::exception&) {
            task.aborted = true;  // as with one worker: a scan that failed did not complete
        }
        queue.Abandon();  // a worker that stops early stops the walk too (the others end with it)
    };
    std::vector<boost::thread> workers;
    try {
        for (const auto& scanner : scanners) workers.emplace_back(work, scanner);
        AvEngineQueueFiles op(queue);
        WalkPass pass(task, op, false);
        WalkTargets(pass);
    } catch (const std::exception&) {
        task.aborted = true;  // a worker that could not start, or a walk that failed: no queue outlives this
    }
    if (CheckAbort(task)) queue.Abandon();
    else queue.Close();
    for (boost::thread& worker : workers) worker.join();
    return lastPercent;
}

void AvEngineManager::CountFiles(boost::shared_ptr<AvScanTask> task) {
    try {
        task->stats.total = 0;
        AvEngineCountFiles op(&task->stats);
        WalkPass pass(*task, op, true);
        WalkTargets(pass);
    } catch (const std::exception&) {
        task->stats.totalKnown = true;
    }
}

bool AvEngineManager::CheckAbort(const AvScanTask& task) const { return abortRequested_ || task.aborted; }

bool AvEngineManager::CheckPauseAbort(const AvScanTask* task) {
    bool notified = false;
    auto aborting = [&] { return abortRequested_ || (task && task->aborted); };
    while (pauseRequested) {
        if (aborting()) break;
        if (!notified) {
            paused();
            notified = true;
        }
        ::Sleep(10);
    }
    if (!aborting() && notified) resumed();
    return aborting();
}

void AvEngineManager::OnObject(AvCore::CAvCoreScanner& scanner, const wchar_t* name, AvCore::ObjectType type,
                               bool inner) {
    objectScanned(name, type, inner);
    if (CheckPauseAbort()) scanner.Stop();
}

void AvEngineManager::WalkTargets(WalkPass& pass) {
    for (const std::wstring& target : pass.task.targets) {
        if (CheckPauseAbort(&pass.task)) return;
        // A target that is a folder, or a link to one, is walked; anything else is one file.
        if (IsDirectory(target)) {
            if (!IsExcluded(pass.task.excludeFolders, target)) WalkDirectory(target, pass);
        } else if (!IsExcluded(pass.task.excludeFiles, target)) {
            pass.op.Process(fs::path(target), AvEngineFileOp::UnknownSize);
        }
    }
}

void AvEngineManager::WalkDirectory(const std::wstring& directory, WalkPass& pass) {
    // An explicit stack instead of recursion: a deep tree cannot exhaust the thread's stack. Each
    // level holds its folder open, and the next is opened through it. A folder's files come before
    // its subfolders, so results appear at once however deep the tree goes.
    struct Level {
        std::wstring folder;
        std::unique_ptr<OpenFolder> open;
        DWORD volume;
        bool listed;
        std::vector<OpenFolder::Entry> subfolders;  // found while listing, entered after it
        size_t nextSubfolder;
    };
    std::vector<Level> stack;
    // parent: the folder it lies in, null for the walk's start. Whether the way to it can lead off the
    // drives (the start, or a link) is asked only then: it costs a lookup of the whole path.
    // entry: the folder as its parent listed it (null for the walk's start).
    auto enter = [&](const std::wstring& folder, const Level* parent, const OpenFolder::Entry* entry) {
        const bool mayLeave = !entry || (entry->attributes & FILE_ATTRIBUTE_REPARSE_POINT);
        DWORD error = 0;
        std::unique_ptr<OpenFolder> open = parent ? parent->open->OpenChild(entry->name, error) : OpenFolder::Open(folder, error);
        if (!open) {
            // A folder that cannot be listed is not scanned, and says so: never taken for an empty one.
            if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND && !pass.counting)
                ReportNotScanned(folder, SystemErrorReason(error), pass);
            return;
        }
        if (mayLeave && !LiesOnADrive(open->Get())) {
            // A link out of every drive: what lies there is not the user's to scan or cure.
            if (!pass.counting) ReportNotScanned(folder, Reason(IDS_REASON_OUTSIDE_DRIVES), pass);
            return;
        }
        // Where it is: asked of the folder itself only past a link; a plain subfolder is its listed
        // index on its parent's volume.
        const std::pair<DWORD, uint64_t> where = mayLeave || !parent ? VolumeAndIndexOf(open->Get()) : std::make_pair(parent->volume, entry->fileId);
        const DWORD volume = where.first;
        if (!pass.entered.insert(FolderIdentity(volume, where.second, folder)).second) return;  // been there, by another path
        if (!pass.counting) ++pass.task.stats.folders;
        stack.push_back(Level{folder, std::move(open), volume, false, {}, 0});
    };
    enter(directory, nullptr, nullptr);
    while (!stack.empty()) {
        if (CheckPauseAbort(&pass.task)) return;
        Level& level = stack.back();
        if (!level.listed) {
            OpenFolder::Entry entry;
            DWORD error = 0;
            if (!level.open->Next(entry, error)) {
                if (error && !pass.counting) ReportNotScanned(level.folder, SystemErrorReason(error), pass);
                level.listed = true;
                continue;
            }
            const std::wstring path = Child(level.folder, entry.name.c_str());
            if (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) {
                if (!IsExcluded(pass.task.excludeFolders, path)) level.subfolders.push_back(std::move(entry));
            } else if (!IsExcluded(pass.task.excludeFiles, path)) {
                ProcessIfWanted(path, entry.size, pass);
            }
            continue;
        }
        if (level.nextSubfolder == level.subfolders.size()) {
            stack.pop_back();
            continue;
        }
        const OpenFolder::Entry next = std::move(level.subfolders[level.nextSubfolder++]);
        enter(Child(level.folder, next.name.c_str()), &level, &next);
    }
}

void AvEngineManager::ReportNotScanned(const std::wstring& folder, const Reason& why, WalkPass& pass) {
    ++pass.task.stats.notScanned;
    AvCore::WarnLine() << L"Not scanned: " << folder << L" : " << ReasonText(why) << L'\n';
    objectNotScanned(folder.c_str(), why);
}

void AvEngineManager::ProcessIfWanted(const std::wstring& file, uint64_t size, WalkPass& pass) {
    const size_t slash = file.find_last_of(L'\\');
    if (PassesExtensionFilter(slash == std::wstring::npos ? file : file.substr(slash + 1), pass.task.extensionFilter))
        pass.op.Process(fs::path(file), size);
}

boost::shared_ptr<AvScanTask> MakeQuickScanTask() { return MakeQuickScanTask(AvEngineManager::Get()); }
boost::shared_ptr<AvScanTask> MakeFullScanTask() { return MakeFullScanTask(AvEngineManager::Get()); }

boost::shared_ptr<AvScanTask> MakeQuickScanTask(const AvEngineManager& manager) {
    return manager.HasEngine() ? MakeDriveTask(AvScanTask::Quick, QuickScanExtensions()) : boost::shared_ptr<AvScanTask>();
}

boost::shared_ptr<AvScanTask> MakeFullScanTask(const AvEngineManager& manager) {
    return manager.HasEngine() ? MakeDriveTask(AvScanTask::Full, std::wstring()) : boost::shared_ptr<AvScanTask>();
}
