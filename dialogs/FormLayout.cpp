// Anchoring controls of resizable dialogs.
#include "dialogs/FormLayout.h"

void FormLayout::Register(CWnd* dialog) {
    if (dialog_ || !dialog) return;
    dialog_ = dialog;
    const RECT window = dialog->GetWindowRect();
    initialWidth_ = window.right - window.left;
    initialHeight_ = window.bottom - window.top;
    initialClient_ = dialog->GetClientRect();
}

void FormLayout::AddControl(CWnd* control, int moveFlags, int stretchFlags) {
    if (!control || !dialog_) return;
    RECT rect = control->GetWindowRect();
    ::MapWindowPoints(nullptr, dialog_->GetSafeHwnd(), reinterpret_cast<POINT*>(&rect), 2);
    ControlAnchor anchor;
    anchor.left = rect.left;
    anchor.top = rect.top;
    anchor.rightMargin = initialClient_.right - rect.right;
    anchor.bottomMargin = initialClient_.bottom - rect.bottom;
    anchor.width = rect.right - rect.left;
    anchor.height = rect.bottom - rect.top;
    anchor.stretch = stretchFlags;
    anchor.move = moveFlags;
    anchors_[control] = anchor;
}

void FormLayout::Layout() {
    if (!dialog_) return;
    const RECT client = dialog_->GetClientRect();
    for (const auto& entry : anchors_) {
        const ControlAnchor& a = entry.second;
        RECT r = {0, 0, 0, 0};
        if (a.move) {
            r = {a.left, a.top, a.left + a.width, a.top + a.height};
            if (a.move & AnchorX) {
                r.right = client.right - a.rightMargin;
                r.left = r.right - a.width;
            }
            if (a.move & AnchorY) {
                r.bottom = client.bottom - a.bottomMargin;
                r.top = r.bottom - a.height;
            }
        }
        if (a.stretch) {
            r = {a.left, a.top, a.left + a.width, a.top + a.height};
            if (a.stretch & AnchorX) r.right = client.right - a.rightMargin;
            if (a.stretch & AnchorY) r.bottom = client.bottom - a.bottomMargin;
        }
        if (r.right > r.left && r.bottom > r.top)
            ::MoveWindow(entry.first->GetSafeHwnd(), r.left, r.top, r.right - r.left, r.bottom - r.top, FALSE);
    }
    ::RedrawWindow(dialog_->GetSafeHwnd(), nullptr, nullptr,
                   RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN);
}

bool FormLayout::ClampSize(RECT* rect) const {
    bool ok = true;
    if (rect->right - rect->left < initialWidth_) {
        rect->right = rect->left + initialWidth_;
        ok = false;
    }
    if (rect->bottom - rect->top < initialHeight_) {
        rect->bottom = rect->top + initialHeight_;
        ok = false;
    }
    return ok;
}
