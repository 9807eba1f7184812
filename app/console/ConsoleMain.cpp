// tervscan.exe: the scanner's engine, scan and quarantine on the command line.
#include "app/console/ConsoleCommands.h"
#include "app/console/ConsoleOutput.h"

#include "base/DiagnosticLog.h"

#include <windows.h>

#include <iostream>

int wmain(int argc, wchar_t** argv) {
    // Libraries loaded from now on come from the system folder, never from beside the program or the
    // current folder, where anyone may have put a DLL of a system library's name.
    ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    ::SetDllDirectoryW(L"");
    const ConsoleOptions options = ParseCommandLine(std::vector<std::wstring>(argv + 1, argv + argc));
    // Results alone on standard output; the diagnostic lines go to standard error when asked for.
    HANDLE errors = ::GetStdHandle(STD_ERROR_HANDLE);
    if (errors == INVALID_HANDLE_VALUE || ::GetFileType(errors) == FILE_TYPE_UNKNOWN) errors = nullptr;
    std::wcout.rdbuf(AvCore::MakeUtf8Output(options.verbose ? errors : nullptr).release());

    if (!options.error.empty()) {
        ReportError(L"tervscan: " + options.error + L"\n\n" + ConsoleUsage);
        return 2;
    }
    switch (options.mode) {
    case ConsoleOptions::Help:
        ConsoleOutput::Get().Result(ConsoleUsage);
        return 0;
    case ConsoleOptions::Version:
        return RunConsoleVersion(options);
    case ConsoleOptions::Update:
        return RunConsoleUpdate(options);
    case ConsoleOptions::Scan:
        return RunConsoleScan(options);
    default:
        return RunConsoleQuarantine(options);
    }
}
