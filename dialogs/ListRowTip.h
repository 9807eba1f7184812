// Tooltips of list rows whose texts are cut off by their columns.
#pragma once

#include "framework/Controls.h"

#include <commctrl.h>

// Answers LVN_GETINFOTIPW: when any column of the row is too narrow for its text, the tooltip shows
// the row's texts whole, a line each; otherwise none.
void FillTipWithCutRow(CListCtrl& list, NMLVGETINFOTIPW* tip);
