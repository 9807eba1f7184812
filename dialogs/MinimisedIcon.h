// The window icon of a minimised dialog, drawn centred in its client area.
#pragma once

#include <windows.h>

// Paints for WM_PAINT; false (and nothing painted) when the dialog is not minimised.
bool PaintMinimisedIcon(HWND dialog, HICON icon);
