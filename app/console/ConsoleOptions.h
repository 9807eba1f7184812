// The command line of tervscan.exe.
#pragma once

#include <string>
#include <vector>

struct ConsoleOptions {
    enum Mode { Scan, Help, Version, Update, QuarantineList, QuarantineRestore, QuarantineDelete };

    static const int MaxWorkers = 32;

    Mode mode = Scan;
    bool cure = true;
    bool dangerousOnly = false;  // in folders, only the types of the window's quick scan
    bool infectedOnly = false;  // no "OK" lines for clean files
    bool verbose = false;       // diagnostic lines on standard error
    std::wstring engineFolder;  // empty: "Bases" beside the program
    std::vector<std::wstring> paths;
    std::wstring fileList;  // a file naming one path a line
    std::wstring logFile;   // the results also go there
    std::vector<std::wstring> excludeFiles, excludeFolders;
    int workers = 0;  // scanning threads; 0: one per processor
    bool remove = false;         // threats not cured: removed after a quarantine copy
    std::wstring moveFolder;     // not empty: threats not cured are moved there after a quarantine copy
    std::wstring entry;          // a quarantine entry: its GUID, or a unique start of it
    std::wstring restoreFolder;  // empty: the entry's original place
    std::wstring error;          // not empty: the arguments were not understood
};

// Arguments without the program name.
ConsoleOptions ParseCommandLine(const std::vector<std::wstring>& arguments);

extern const wchar_t* const ConsoleUsage;
