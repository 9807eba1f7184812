// One scan job and what it covers: targets, the extension filter and the counters the job fills.
#pragma once

#include "engine/AvCore.h"

#include <boost/shared_ptr.hpp>

#include <atomic>
#include <cstdint>
#include <list>
#include <string>
#include <vector>

class AvEngineManager;

// Atomic, so that several scanning threads may add to them; the progress dialog reads them without a lock.
struct ScanStatistics {
    std::atomic<int32_t> checked{0};  // files scanned
    std::atomic<int32_t> found{0};    // detections reported
    std::atomic<int32_t> cured{0};    // cures that changed a file
    std::atomic<int32_t> deleted{0};  // untreated files the user deleted
    std::atomic<int32_t> notScanned{0};  // files the engine could not scan (never counted as clean)
    std::atomic<int32_t> folders{0};     // folders the scanning pass walked
    std::atomic<int64_t> bytes{0};       // bytes of the files handed to the engine
    std::atomic<int32_t> total{0};    // files found by the counting pass
    std::atomic<bool> totalKnown{false};
};

class AvScanTask {
public:
    enum Type { Quick = 1, Full = 2, Custom = 3 };

    explicit AvScanTask(int type) : type(type) {}

    int32_t type;
    boost::shared_ptr<AvCore::CAvCoreScanner> scanner;  // set by the engine manager when the scan starts
    std::list<std::wstring> targets;                    // drive roots, folders or files, in scan order
    std::wstring extensionFilter;                       // empty: every file; else ".ext.ext." in lower case
    bool cureThreats = true;                            // false: curable detections are only reported
    // A task whose progress nobody shows (the console's) has no counting pass and no head start, so
    // that a scan of one file answers at once.
    bool showsProgress = true;
    // Threads that scan the task's files, each through an engine context of its own, while one walks
    // the targets; the windows keep one. Lines about different files may then come in any order.
    int32_t workers = 1;
    // Wildcard patterns ("*", "?"; case ignored) of files and of folders left out of the walk: a
    // pattern with a backslash is matched against the whole path, any other against the name.
    std::vector<std::wstring> excludeFiles, excludeFolders;
    ScanStatistics stats;
    // Set when the task's scan is stopped or replaced; both of its passes end at their next entry.
    std::atomic<bool> aborted{false};
};

// Whether the name (or path) matches the wildcard pattern; case is ignored.
bool MatchesWildcard(const std::wstring& pattern, const std::wstring& text);
// Whether a file or folder at the path is left out by one of the patterns.
bool IsExcluded(const std::vector<std::wstring>& patterns, const std::wstring& path);

// The 61 potentially dangerous extensions.
extern const wchar_t* const PotentiallyDangerousExtensions;
// The extensions of the archives and compressed files the engine opens.
extern const wchar_t* const ArchiveExtensions;
// Both lists in one: the filter of quick scans, drops and "Potentially dangerous" custom scans.
const std::wstring& QuickScanExtensions();

// Appends C:\ to Z:\ for every fixed drive; C: and Z: are left out on a developer machine.
void AddFixedDrives(AvScanTask& task);
void AddFixedDrives(AvScanTask& task, bool developerMachine);

// A task of the type over every fixed drive, with the filter.
boost::shared_ptr<AvScanTask> MakeDriveTask(int type, const std::wstring& filter);
// Empty while the engine manager has no engine (EngineManager.cpp).
boost::shared_ptr<AvScanTask> MakeQuickScanTask();
boost::shared_ptr<AvScanTask> MakeFullScanTask();
boost::shared_ptr<AvScanTask> MakeQuickScanTask(const AvEngineManager& manager);
boost::shared_ptr<AvScanTask> MakeFullScanTask(const AvEngineManager& manager);

// The program's folder followed by "Bases"; empty when the program's path cannot be read.
std::wstring GetEngineFolder();

// True on the machine of the program's developer, or when the names cannot be read. Asked anew each time.
bool IsDeveloperMachine();
bool IsDeveloperMachine(const wchar_t* computerName, const wchar_t* userName);
