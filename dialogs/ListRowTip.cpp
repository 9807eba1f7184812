// Whole rows in tooltips.
#include "dialogs/ListRowTip.h"

#include <string>

void FillTipWithCutRow(CListCtrl& list, NMLVGETINFOTIPW* tip) {
    HWND header = reinterpret_cast<HWND>(list.SendMessage(LVM_GETHEADER, 0, 0));
    const int columns = header ? static_cast<int>(::SendMessageW(header, HDM_GETITEMCOUNT, 0, 0)) : 1;
    std::wstring whole;
    bool cut = false;
    for (int column = 0; column < columns; ++column) {
        const std::wstring text = list.GetItemText(tip->iItem, column);
        const int needed = static_cast<int>(list.SendMessage(LVM_GETSTRINGWIDTHW, 0, reinterpret_cast<LPARAM>(text.c_str())));
        cut = cut || needed + 12 > list.GetColumnWidth(column);
        if (!text.empty()) whole += (whole.empty() ? L"" : L"\n") + text;
    }
    if (cut && tip->pszText && tip->cchTextMax > 0) lstrcpynW(tip->pszText, whole.c_str(), tip->cchTextMax);
}
