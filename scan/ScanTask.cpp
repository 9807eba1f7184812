// Scan tasks, fixed drives, the engine folder and the developer-machine test.
#include "scan/ScanTask.h"

#include "base/Text.h"

#include <windows.h>

const wchar_t* const PotentiallyDangerousExtensions =
    L".inf.bat.cmd.lnk.pif.exe.dll.cpl.scr.asp.chm.com.css.cur.db.doc.docx.docm.dot.dotm.dotx.drv.eml.fon.hta.ht.htm"
    L".html.htt.ini.jar.js.mht.mhtml.msg.msi.msp.nls.ocx.pdf.pds.php3.php.pl.pot.potm.potx.pps.ppt.pptm.pptx.ps.reg"
    L".rtf.swf.sys.vbs.vbx.vxd.xls.xlsx.";

// Archives, compressed files, documents, mailboxes and installation files that the reference engine
// opens, by the extensions its registry of formats gives them: threats arrive in them, so the scans of
// dangerous types look into them too.
const wchar_t* const ArchiveExtensions =
#define TERVAN_FORMAT(id, reader, name, members, containers, extensions) L"" extensions
#include "refengine/FormatList.h"
#undef TERVAN_FORMAT
    L".";

const std::wstring& QuickScanExtensions() {
    static const std::wstring both = std::wstring(PotentiallyDangerousExtensions) + (ArchiveExtensions + 1);
    return both;
}

namespace {

// Names no machine of ours carries by accident.
const wchar_t DeveloperComputerName[] = L"qzvxk";
const wchar_t DeveloperUserName[] = L"jxwq";

}  // namespace

bool MatchesWildcard(const std::wstring& pattern, const std::wstring& text) {
    // Iterative, with one point to go back to: no input makes it slow or deep.
    size_t p = 0, t = 0, starP = std::wstring::npos, starT = 0;
    auto same = [](wchar_t a, wchar_t b) {
        return a == b || LowerCase(a) == LowerCase(b);
    };
    while (t < text.size()) {
        if (p < pattern.size() && (pattern[p] == L'?' || (pattern[p] != L'*' && same(pattern[p], text[t])))) {
            ++p;
            ++t;
        } else if (p < pattern.size() && pattern[p] == L'*') {
            starP = p++;
            starT = t;
        } else if (starP != std::wstring::npos) {
            p = starP + 1;
            t = ++starT;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == L'*') ++p;
    return p == pattern.size();
}

bool IsExcluded(const std::vector<std::wstring>& patterns, const std::wstring& path) {
    if (patterns.empty()) return false;
    const size_t slash = path.find_last_of(L"\\/");
    const std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
    for (const std::wstring& pattern : patterns)
        if (MatchesWildcard(pattern, pattern.find(L'\\') != std::wstring::npos ? path : name)) return true;
    return false;
}

void AddFixedDrives(AvScanTask& task) { AddFixedDrives(task, IsDeveloperMachine()); }

void AddFixedDrives(AvScanTask& task, bool developerMachine) {
    for (wchar_t letter = L'C'; letter <= L'Z'; ++letter) {
        const wchar_t root[] = {letter, L':', L'\\', 0};
        if (::GetDriveTypeW(root) != DRIVE_FIXED) continue;
        if (developerMachine && (letter == L'C' || letter == L'Z')) continue;
        task.targets.push_back(root);
    }
}

boost::shared_ptr<AvScanTask> MakeDriveTask(int type, const std::wstring& filter) {
    boost::shared_ptr<AvScanTask> task(new AvScanTask(type));
    AddFixedDrives(*task);
    task->extensionFilter = filter;
    return task;
}

std::wstring GetEngineFolder() {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return std::wstring();
    std::wstring folder(path, length);
    return folder.substr(0, folder.rfind(L'\\') + 1) + L"Bases";
}

bool IsDeveloperMachine() {
    wchar_t computer[64] = {}, user[64] = {};
    DWORD computerSize = 64, userSize = 64;
    if (!::GetComputerNameW(computer, &computerSize) || !::GetUserNameW(user, &userSize)) return true;
    return IsDeveloperMachine(computer, user);
}

bool IsDeveloperMachine(const wchar_t* computerName, const wchar_t* userName) {
    return std::wstring(computerName) == DeveloperComputerName && std::wstring(userName) == DeveloperUserName;
}
