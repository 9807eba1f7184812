// AvEngineManager: owns the loaded engine and runs one scan task at a time on a worker thread (which
// may hand the files it finds to further scanning threads), beside a thread that counts the task's files. Pause and abort are flags the threads poll; abort
// also reaches a running engine call through the scanner's stop request.
#pragma once

#include "engine/AvCore.h"
#include "scan/FileOperations.h"
#include "scan/FileScanEvents.h"
#include "scan/ScanTask.h"

#include <boost/filesystem/path.hpp>
#include <boost/signals2/signal.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>

#include <atomic>
#include <set>
#include <vector>

class AvQuarantineManager;

class AvEngineManager : boost::noncopyable, private FileScanEvents {
public:
    boost::signals2::signal<void(bool)> engineLoaded;  // end of InitEngine; user-interface thread
    boost::signals2::signal<void()> started;           // once per task; worker
    boost::signals2::signal<void()> paused;            // a thread found the pause request; worker or counter
    boost::signals2::signal<void()> resumed;           // that thread goes on without an abort
    boost::signals2::signal<void()> pump;              // every 50 ms while Stop waits; Stop's caller
    boost::signals2::signal<void(int)> progress;       // percent of files scanned; worker
    boost::signals2::signal<void(bool)> finished;      // true: completed, false: aborted; worker
    boost::signals2::signal<void(const wchar_t*, AvCore::ObjectType, bool)> objectScanned;  // worker
    boost::signals2::signal<void(const AvCore::Threat*, bool, bool)> threatHandled;  // threat, cured, quarantined
    // Right before threatHandled of a curable threat that was not cured: why (no quarantine copy, or
    // the cure did not take); worker.
    boost::signals2::signal<void(const AvCore::Threat*, const Reason&)> cureWithheld;
    // A file the engine could not scan, and why; worker.
    boost::signals2::signal<void(const wchar_t*, const Reason&)> objectNotScanned;

    // Written by the user interface: true pauses, false continues.
    std::atomic<bool> pauseRequested;

    // The one manager of the process; it reaches the process's quarantine manager.
    static AvEngineManager& Get();

    explicit AvEngineManager(AvQuarantineManager& quarantine);
    ~AvEngineManager();

    // Loads the engine from the folder (once) and emits engineLoaded.
    void InitEngine(const std::wstring& engineFolder);
    bool HasEngine() const { return static_cast<bool>(engine_); }
    // Loads the engine again (new bases) and emits engineLoaded; false, changing nothing, while a
    // scan runs. A scanner still held keeps the bases it was made with.
    bool ReloadEngine(const std::wstring& engineFolder);
    // Why the engine could not be loaded, in plain words; empty when it was.
    const std::wstring& LoadFailure() const { return loadFailure_; }
    boost::shared_ptr<AvCore::CAvCore> GetEngine() const { return engine_; }

    // Starts the task; an empty result means nothing was started. A scan still running is stopped first.
    boost::shared_ptr<AvCore::CAvCoreScanner> StartScan(boost::shared_ptr<AvScanTask> task);
    // Aborts the running task and returns when its worker has ended, emitting pump while it waits.
    void Stop();

    // Used by the scanning threads and their operations. True when the scan (or the given task) is
    // being stopped; waits while paused.
    bool CheckPauseAbort(const AvScanTask* task = nullptr);

    // One walk over a task's targets, by one of its passes: the folders entered so far, by identity
    // (volume and file index), so that no link, junction or loop makes it enter a folder twice.
    struct WalkPass {
        WalkPass(AvScanTask& task, AvEngineFileOp& op, bool counting) : task(task), op(op), counting(counting) {}
        AvScanTask& task;
        AvEngineFileOp& op;
        bool counting;
        std::set<std::wstring> entered;
    };
    // Depth first, following links into folders not entered yet; an unreadable folder is skipped.
    void WalkDirectory(const std::wstring& directory, WalkPass& pass);
    void ProcessIfWanted(const std::wstring& file, uint64_t size, WalkPass& pass);
    void ReportNotScanned(const std::wstring& folder, const Reason& why, WalkPass& pass);
    // Every target of the task: folders walked, anything else handed to the operation as it is.
    void WalkTargets(WalkPass& pass);
    AvQuarantineManager& Quarantine() override { return quarantine_; }

private:
    // What the scan of each file tells the manager: emitted as its signals.
    void OnObject(AvCore::CAvCoreScanner& scanner, const wchar_t* name, AvCore::ObjectType type, bool inner) override;
    void ObjectScanned(const wchar_t* path, AvCore::ObjectType type, bool inner) override { objectScanned(path, type, inner); }
    void ObjectNotScanned(const wchar_t* path, const Reason& why) override { objectNotScanned(path, why); }
    void ThreatHandled(const AvCore::Threat* threat, bool cured, bool quarantined) override { threatHandled(threat, cured, quarantined); }
    void CureWithheld(const AvCore::Threat* threat, const Reason& why) override { cureWithheld(threat, why); }
    void Progress(int32_t percent) override { progress(percent); }

    bool CheckAbort(const AvScanTask& task) const;
    void Run(boost::shared_ptr<AvScanTask> task);
    // The walk and the scans on threads of their own; the largest percentage reported is returned.
    int32_t ScanWithWorkers(AvScanTask& task);
    void CountFiles(boost::shared_ptr<AvScanTask> task);

    AvQuarantineManager& quarantine_;
    boost::shared_ptr<AvScanTask> task_;
    std::atomic<bool> abortRequested_;
    boost::thread worker_;
    // Counting threads are not waited for by the scan, but must not outlive the manager.
    boost::mutex countersMutex_;
    std::vector<boost::shared_ptr<boost::thread>> counters_;
    boost::shared_ptr<AvCore::CAvCore> engine_;
    std::wstring loadFailure_;
};

// True when a file passes the extension filter: an empty filter, a name without extension, or
// ".ext." (lower case, from the last dot) occurring in the filter.
bool PassesExtensionFilter(const std::wstring& fileName, const std::wstring& filter);
