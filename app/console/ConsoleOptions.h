// The command line of tervscan.exe.
#pragma once

#include <string>
#include <vector>

struct ConsoleOptions {
    enum Mode { Scan, Help, QuarantineList, QuarantineRestore, QuarantineDelete };

    Mode mode = Scan;
    bool cure = true;
    bool allFiles = false;
    std::wstring engineFolder;  // empty: "Bases" beside the program
    std::vector<std::wstring> paths;
    int identifier = 0;
    std::wstring restoreFolder;  // empty: the entry's original place
    std::wstring error;          // not empty: the arguments were not understood
};

// Arguments without the program name.
ConsoleOptions ParseCommandLine(const std::vector<std::wstring>& arguments);

extern const wchar_t* const ConsoleUsage;
