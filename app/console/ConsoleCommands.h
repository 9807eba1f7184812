// What tervscan.exe does: scan paths, update the bases, or list, restore and delete quarantine entries.
// Each returns the process exit code: 0 nothing found or done, 1 threats found, 2 error.
#pragma once

#include "app/console/ConsoleOptions.h"

int RunConsoleScan(const ConsoleOptions& options);
int RunConsoleVersion(const ConsoleOptions& options);
int RunConsoleUpdate(const ConsoleOptions& options);
int RunConsoleQuarantine(const ConsoleOptions& options);

// A message on standard error, at once.
void ReportError(const std::wstring& message);
