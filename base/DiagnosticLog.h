// Diagnostic lines on the process's wide standard output: "[DEBUG] " or "[WARN] ", pieces, '\n'.
#pragma once

#include <windows.h>

#include <memory>
#include <ostream>
#include <streambuf>

namespace AvCore {

// Gives the wide standard output a buffer that writes UTF-8 to the standard output handle, keeps each
// thread's lines whole when threads write at once, never fails on a character it cannot encode, and
// drops everything when the process has no standard output. Call once at the start of main.
void ConfigureDiagnosticOutput();

// Such a buffer over any handle (null: discard). It writes when it holds enough and on sync.
std::unique_ptr<std::wstreambuf> MakeUtf8Output(HANDLE output);

// Start a line: clear an earlier failure of the stream, then write the level prefix.
// The caller inserts the pieces and the final '\n'; the stream is not flushed.
std::wostream& DebugLine();
std::wostream& WarnLine();

}  // namespace AvCore
