// Writing scan reports and keeping the newest of them.
#include "scan/ScanReport.h"

#include "base/Text.h"
#include "base/WinHandle.h"

#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <cwchar>

namespace {

std::wstring& ChosenFolder() {
    static std::wstring folder;
    return folder;
}

std::string LocalTime(time_t when, const char* format) {
    const __time64_t value = when;
    struct tm local = {};
    if (_localtime64_s(&local, &value) != 0) return std::string();
    char text[64] = {};
    std::strftime(text, sizeof(text), format, &local);
    return text;
}

// A tab or a line end inside a path or name would break the report's columns.
std::wstring Cell(std::wstring text) {
    std::replace(text.begin(), text.end(), L'\t', L' ');
    std::replace(text.begin(), text.end(), L'\n', L' ');
    std::replace(text.begin(), text.end(), L'\r', L' ');
    return text;
}

}  // namespace

std::string RenderReport(const ScanReport& report) {
    std::string text = "Tervan! Scanner - scan report\r\n";
    text += "Date: " + LocalTime(report.started, "%Y-%m-%d %H:%M:%S") + "\r\n";
    text += "Scan: " + Utf8(report.scanType) + "\r\n";
    std::wstring targets;
    for (const std::wstring& target : report.targets) targets += (targets.empty() ? L"" : L"; ") + target;
    text += "Targets: " + Utf8(targets) + "\r\n";
    char elapsed[32];
    std::snprintf(elapsed, sizeof(elapsed), "%02d:%02d:%02d", report.elapsedSeconds / 3600,
                  (report.elapsedSeconds / 60) % 60, report.elapsedSeconds % 60);
    text += std::string("Elapsed time: ") + elapsed + "\r\n";
    text += std::string("Result: ") + (report.completed ? "finished" : "aborted") + "\r\n";
    text += "Checked files: " + std::to_string(report.checked) + "\r\n";
    text += "Threats found: " + std::to_string(report.found) + "\r\n";
    text += "Threats cured: " + std::to_string(report.cured) + "\r\n";
    text += "Files deleted: " + std::to_string(report.deleted) + "\r\n";
    text += "Files not scanned: " + std::to_string(report.notScanned) + "\r\n";
    text += "\r\nFile name\tVirus name\tAction\r\n";
    for (const ScanReport::Row& row : report.rows)
        text += Utf8(Cell(row.path)) + "\t" + Utf8(Cell(row.threat)) + "\t" + Utf8(Cell(row.action)) + "\r\n";
    return text;
}

bool WriteReport(const std::wstring& path, const ScanReport& report) {
    const std::string text = "\xEF\xBB\xBF" + RenderReport(report);  // a byte-order mark: Notepad reads it as UTF-8
    Win::FileHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    DWORD written = 0;
    return ::WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) && written == text.size();
}

std::wstring ReportsFolder() {
    if (!ChosenFolder().empty()) return ChosenFolder();
    wchar_t local[MAX_PATH] = {};
    if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, local))) return std::wstring();
    return std::wstring(local) + L"\\Tervan Scanner\\Reports";
}

void SetReportsFolder(const std::wstring& folder) { ChosenFolder() = folder; }

std::wstring AutomaticReportName(time_t started) {
    const std::string name = "scan-" + LocalTime(started, "%Y%m%d-%H%M%S") + ".txt";
    return std::wstring(name.begin(), name.end());
}

std::wstring SaveAutomaticReport(const ScanReport& report) {
    const std::wstring folder = ReportsFolder();
    if (folder.empty()) return std::wstring();
    ::SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
    const std::wstring path = folder + L"\\" + AutomaticReportName(report.started);
    if (!WriteReport(path, report)) return std::wstring();
    PruneReports(folder, KeptReports);
    return path;
}

void PruneReports(const std::wstring& folder, size_t keep) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    Win::FindHandle find(::FindFirstFileW((folder + L"\\scan-*.txt").c_str(), &data));
    if (!find) return;
    do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(data.cFileName);
    } while (::FindNextFileW(find.Get(), &data));
    // The names carry the time of the scan, so their order is the order of the scans.
    std::sort(names.begin(), names.end());
    for (size_t i = 0; i + keep < names.size(); ++i) ::DeleteFileW((folder + L"\\" + names[i]).c_str());
}
