// Per-file operations of the two passes of a scan: counting and scanning (with the cure loop).
#pragma once

#include "engine/AvCore.h"
#include "scan/ScanTask.h"

#include <boost/filesystem/path.hpp>
#include <boost/noncopyable.hpp>
#include <boost/signals2/connection.hpp>

#include <cstdint>

class FileScanEvents;

class AvEngineFileOp : boost::noncopyable {
public:
    static const uint64_t UnknownSize = ~0ull;

    virtual ~AvEngineFileOp() {}
    // One file; its size when the walk's listing gave it, else UnknownSize.
    virtual void Process(const boost::filesystem::path& file, uint64_t size = UnknownSize) = 0;
};

// Counts the files the scanning pass will scan; the count is known once the operation is gone.
class AvEngineCountFiles : public AvEngineFileOp {
public:
    explicit AvEngineCountFiles(ScanStatistics* stats) : stats_(stats) {}
    ~AvEngineCountFiles() override { stats_->totalKnown = true; }
    void Process(const boost::filesystem::path&, uint64_t) override { ++stats_->total; }

private:
    ScanStatistics* stats_;
};

// Scans one file; a curable detection is copied into the quarantine, cured, and the file scanned
// again while cures keep changing it (at most MaxCureRounds cures, so that an engine whose cure never
// removes its detection cannot keep the scan on one file forever; a file still detected then is
// reported as not cured). No cure without a complete quarantine copy first: when the copy fails the
// file is left as it is and reported as not cured, with the reason. A file the engine could not scan
// is counted and reported, never taken for clean.
class AvEngineScanFile : public AvEngineFileOp {
public:
    static const int MaxCureRounds = 8;

    AvEngineScanFile(FileScanEvents& scan, const boost::shared_ptr<AvCore::CAvCoreScanner>& scanner,
                     ScanStatistics* stats, bool cureThreats = true);
    ~AvEngineScanFile() override;
    void Process(const boost::filesystem::path& file, uint64_t size) override;
    int32_t LastPercent() const { return lastPercent_; }

private:
    void OnThreat(const AvCore::Threat& threat) { current_ = threat; }
    void ReportNotScanned(const std::wstring& path, const Reason& why);
    // False for a pipe or a device (what GetFileType does not call a disk file).
    static bool IsRegularFile(const std::wstring& path);
    // Copies the file into the quarantine and cures it; true when the cure changed it. Otherwise why
    // the file was left as it is goes to withheld.
    bool CureWithCopy(const AvCore::Threat& threat, bool& quarantined, Reason& withheld);

    FileScanEvents& scan_;
    boost::shared_ptr<AvCore::CAvCoreScanner> scanner_;
    AvCore::Threat current_;
    ScanStatistics* stats_;
    bool cureThreats_;
    bool curing_ = false;  // a working copy's objects and threats are not the file's: not shown
    int32_t lastPercent_;
    boost::signals2::connection threatConnection_;
    boost::signals2::connection objectConnection_;
};

// CRC-32 (IEEE 802.3) of the whole file; 0xFFFFFFFF when it cannot be read. An empty file gives 0.
uint32_t FileCrc32(const wchar_t* path);
