// tervscan.exe: the scanner's engine, scan and quarantine on the command line.
#include "app/console/ConsoleCommands.h"

#include "engine/DiagnosticLog.h"

#include <windows.h>

#include <iostream>

void ReportError(const std::wstring& message) {
    std::wcerr << (message + L"\n");
    std::wcerr.flush();
}

int wmain(int argc, wchar_t** argv) {
    AvCore::ConfigureDiagnosticOutput();
    HANDLE errorOutput = ::GetStdHandle(STD_ERROR_HANDLE);
    if (errorOutput == INVALID_HANDLE_VALUE || ::GetFileType(errorOutput) == FILE_TYPE_UNKNOWN) errorOutput = nullptr;
    std::wcerr.rdbuf(AvCore::MakeUtf8Output(errorOutput).release());

    const ConsoleOptions options = ParseCommandLine(std::vector<std::wstring>(argv + 1, argv + argc));
    if (!options.error.empty()) {
        ReportError(L"tervscan: " + options.error + L"\n\n" + ConsoleUsage);
        return 2;
    }
    if (options.mode == ConsoleOptions::Help) {
        std::wcout << ConsoleUsage;
        std::wcout.flush();
        return 0;
    }
    if (options.mode == ConsoleOptions::Scan) return RunConsoleScan(options);
    return RunConsoleQuarantine(options);
}
