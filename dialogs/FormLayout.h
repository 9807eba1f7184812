// FormLayout: keeps a resizable dialog's controls in place. Each registered control moves with, or
// stretches to, the right and/or bottom edge; the dialog never gets smaller than when it was shown.
#pragma once

#include "framework/Wnd.h"

#include <map>

class FormLayout {
public:
    enum Anchor { AnchorX = 1, AnchorY = 2 };

    virtual ~FormLayout() = default;

    // Once, from the dialog's initialisation, before any AddControl.
    void Register(CWnd* dialog);
    // Adding a control again replaces its entry; a null control is ignored.
    void AddControl(CWnd* control, int moveFlags, int stretchFlags);
    virtual void Layout();
    // Enlarges a proposed window rectangle to the minimum size; true when it was large enough.
    bool ClampSize(RECT* rect) const;

    // The two messages a dialog forwards: WM_SIZING (the proposed rectangle) and WM_SIZE.
    void OnSizing(RECT* proposed) {
        if (ClampSize(proposed)) Layout();
    }
    void OnSize() { Layout(); }
    // Handles either of them for a dialog's message handler; true when WM_SIZING was answered.
    bool OnLayoutMessage(UINT message, LPARAM lParam, LRESULT& result) {
        if (message == WM_SIZING) {
            OnSizing(reinterpret_cast<RECT*>(lParam));
            result = TRUE;
            return true;
        }
        if (message == WM_SIZE) OnSize();
        return false;
    }

protected:
    CWnd* LayoutDialog() const { return dialog_; }

private:
    struct ControlAnchor {
        int left, top, rightMargin, bottomMargin, width, height;
        int stretch, move;
    };

    int initialWidth_ = 0;
    int initialHeight_ = 0;
    RECT initialClient_ = {};
    CWnd* dialog_ = nullptr;
    std::map<CWnd*, ControlAnchor> anchors_;
};
