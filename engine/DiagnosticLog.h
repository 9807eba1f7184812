// Diagnostic lines on the process's wide standard output: "[DEBUG] " or "[WARN] ", pieces, '\n'.
#pragma once

#include <locale>
#include <ostream>

namespace AvCore {

// Makes the wide standard output write UTF-8 and never fail on a character it cannot encode.
// Call once at the start of main, before anything is written.
void ConfigureDiagnosticOutput();
// The locale that ConfigureDiagnosticOutput gives the wide standard output.
std::locale DiagnosticOutputLocale();

// Start a line: clear an earlier failure of the stream, then write the level prefix.
// The caller inserts the pieces and the final '\n'; the stream is not flushed.
std::wostream& DebugLine();
std::wostream& WarnLine();

}  // namespace AvCore
