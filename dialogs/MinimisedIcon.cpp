// The icon of a minimised dialog.
#include "dialogs/MinimisedIcon.h"

bool PaintMinimisedIcon(HWND dialog, HICON icon) {
    if (!::IsIconic(dialog)) return false;
    PAINTSTRUCT paint;
    HDC dc = ::BeginPaint(dialog, &paint);
    ::SendMessageW(dialog, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    RECT client;
    ::GetClientRect(dialog, &client);
    const int width = ::GetSystemMetrics(SM_CXICON), height = ::GetSystemMetrics(SM_CYICON);
    ::DrawIcon(dc, (client.right - width + 1) / 2, (client.bottom - height + 1) / 2, icon);
    ::EndPaint(dialog, &paint);
    return true;
}
