// The report of one scan: what was scanned, the counters and every threat with what was done about it.
// Saved by the user ("Save report...") and, for every finished or aborted scan, by itself into the
// reports folder, where the newest 50 are kept.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

struct ScanReport {
    struct Row {
        std::wstring path, threat, action;
    };
    time_t started = 0;
    std::wstring scanType;  // "Quick scan", "Full scan", "Custom scan"
    std::vector<std::wstring> targets;
    int elapsedSeconds = 0;
    bool completed = false;
    int32_t checked = 0, found = 0, cured = 0, deleted = 0, notScanned = 0;
    std::vector<Row> rows;
};

// The report as UTF-8 text, a line each for its facts, then a tab-separated line per threat.
std::string RenderReport(const ScanReport& report);
// Writes the report to the file (replacing it); false when it cannot be written.
bool WriteReport(const std::wstring& path, const ScanReport& report);

// "Reports" in the user's local application data ("...\Tervan Scanner\Reports"); tests choose another.
std::wstring ReportsFolder();
void SetReportsFolder(const std::wstring& folder);
const size_t KeptReports = 50;
// The file name of a scan's own report: "scan-YYYYMMDD-HHMMSS.txt" of its start, local time.
std::wstring AutomaticReportName(time_t started);
// Writes the report into the reports folder under its own name, then removes the oldest reports
// beyond the newest KeptReports. The path written, or empty when it could not be written.
std::wstring SaveAutomaticReport(const ScanReport& report);
// Removes the oldest "scan-*.txt" files of the folder beyond the newest keep.
void PruneReports(const std::wstring& folder, size_t keep);
