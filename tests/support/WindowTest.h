// Helpers for tests that drive real windows: running a dialog modally around a test body.
#pragma once

#include "framework/Dialog.h"

#include <functional>

namespace TestSupport {

// Runs the dialog modally; once it is up, the body runs inside its message loop, then the dialog is
// ended with IDCANCEL unless the body ended it. Returns DoModal's result.
INT_PTR RunModal(CDialog& dialog, const std::function<void()>& body);

// Called from a body: the dialog's own loop goes on for that long before the dialog is ended, so that
// posted messages pass through it (PreTranslateMessage, IsDialogMessage) as a user's would.
void EndModalAfter(int milliseconds);

// Dispatches waiting messages for about the given time.
void PumpFor(int milliseconds);

}  // namespace TestSupport
