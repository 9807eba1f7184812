// Quarantines the files of a folder again and again until it is killed: quarantine_child FOLDER
#include "base/DiagnosticLog.h"
#include "quarantine/Quarantine.h"

#include <windows.h>

#include <string>
#include <vector>

int wmain(int argc, wchar_t** argv) {
    AvCore::ConfigureDiagnosticOutput();
    if (argc < 2) return 2;
    const std::wstring folder = argv[1];
    std::vector<std::wstring> files;
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return 2;
    do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) files.push_back(folder + L"\\" + data.cFileName);
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);

    Quarantine::CQuarantine store(L"d");
    for (size_t i = 0;; ++i) {
        AvCore::Threat threat;
        threat.name = L"Kill.Test";
        threat.object = files[i % files.size()];
        try {
            store.Add(threat, 100);
        } catch (...) {
        }
    }
}
