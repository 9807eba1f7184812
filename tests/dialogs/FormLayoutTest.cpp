// The layout helper on a real resizable dialog (the scan progress template).
#include "dialogs/FormLayout.h"
#include "framework/Dialog.h"
#include "resources/resource.h"
#include "tests/support/WindowTest.h"

#include <gtest/gtest.h>

using namespace TestSupport;

namespace {

class LayoutDialog : public CDialog, public FormLayout {
public:
    LayoutDialog() : CDialog(IDD_SCAN_PROGRESS, nullptr) {}
    CWnd progress, percent, object, frame, list, pause, abort, action, elapsed;
    bool pauseTwice = false;

protected:
    BOOL OnInitDialog() override {
        CDialog::OnInitDialog();
        const struct {
            CWnd* control;
            int id;
        } controls[] = {{&progress, IDC_PROGRESS}, {&percent, IDC_PERCENT}, {&object, IDC_CURRENT_OBJECT},
                        {&frame, IDC_PROGRESS_FRAME}, {&list, IDC_THREAT_LIST}, {&pause, IDC_PAUSE},
                        {&abort, IDC_ABORT}, {&action, IDC_TAKE_ACTION}, {&elapsed, IDC_ELAPSED}};
        for (const auto& c : controls) c.control->Attach(GetDlgItem(c.id));
        Register(this);
        AddControl(&progress, 0, AnchorX);
        AddControl(&percent, AnchorX, 0);
        AddControl(&object, 0, AnchorX);
        AddControl(&frame, 0, AnchorX);
        AddControl(&list, 0, AnchorX | AnchorY);
        AddControl(&pause, AnchorX | AnchorY, 0);
        AddControl(&abort, AnchorX | AnchorY, 0);
        AddControl(&action, AnchorY, 0);
        AddControl(nullptr, AnchorX, 0);
        if (pauseTwice) AddControl(&pause, 0, AnchorX);
        return TRUE;
    }
    bool OnMessage(UINT message, WPARAM, LPARAM lParam, LRESULT& result) override {
        return OnLayoutMessage(message, lParam, result);
    }
};

RECT ClientRectOf(const CWnd& control, const CWnd& dialog) {
    RECT rect = control.GetWindowRect();
    ::MapWindowPoints(nullptr, dialog.GetSafeHwnd(), reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

void Grow(const CWnd& dialog, int dx, int dy) {
    const RECT window = dialog.GetWindowRect();
    ::SetWindowPos(dialog.GetSafeHwnd(), nullptr, 0, 0, window.right - window.left + dx, window.bottom - window.top + dy,
                   SWP_NOMOVE | SWP_NOZORDER);
    PumpMessages();
}

}  // namespace

TEST(FormLayouts, ControlsMoveAndStretchWithTheEdges) {
    LayoutDialog dialog;
    RunModal(dialog, [&] {
        const RECT pause = ClientRectOf(dialog.pause, dialog), list = ClientRectOf(dialog.list, dialog);
        const RECT bar = ClientRectOf(dialog.progress, dialog), action = ClientRectOf(dialog.action, dialog);
        const RECT elapsed = ClientRectOf(dialog.elapsed, dialog), percent = ClientRectOf(dialog.percent, dialog);
        Grow(dialog, 200, 100);
        const RECT pause2 = ClientRectOf(dialog.pause, dialog), list2 = ClientRectOf(dialog.list, dialog);
        const RECT bar2 = ClientRectOf(dialog.progress, dialog), action2 = ClientRectOf(dialog.action, dialog);
        EXPECT_EQ(pause.left + 200, pause2.left);
        EXPECT_EQ(pause.top + 100, pause2.top);
        EXPECT_EQ(pause.right - pause.left, pause2.right - pause2.left);
        EXPECT_EQ(list.left, list2.left);
        EXPECT_EQ(list.right + 200, list2.right);
        EXPECT_EQ(list.bottom + 100, list2.bottom);
        EXPECT_EQ(bar.right + 200, bar2.right);
        EXPECT_EQ(bar.top, bar2.top);
        EXPECT_EQ(action.left, action2.left);
        EXPECT_EQ(action.top + 100, action2.top);
        EXPECT_EQ(percent.left + 200, ClientRectOf(dialog.percent, dialog).left);
        const RECT elapsed2 = ClientRectOf(dialog.elapsed, dialog);
        EXPECT_TRUE(::EqualRect(&elapsed, &elapsed2)) << "the statistics lines keep their places";

        ::ShowWindow(dialog.GetSafeHwnd(), SW_MAXIMIZE);
        PumpMessages();
        const RECT client = dialog.GetClientRect(), maxed = ClientRectOf(dialog.abort, dialog);
        EXPECT_EQ(client.right - (dialog.GetClientRect().right - maxed.right), maxed.right);
        EXPECT_GT(maxed.left, pause2.left) << "maximised: Abort goes to the bottom-right corner";
    });
}

TEST(FormLayouts, DraggingInwardStopsAtTheFirstSize) {
    LayoutDialog dialog;
    RunModal(dialog, [&] {
        const RECT start = dialog.GetWindowRect();
        RECT proposed = {100, 100, 200, 150};
        EXPECT_FALSE(dialog.ClampSize(&proposed));
        EXPECT_EQ(start.right - start.left, proposed.right - proposed.left);
        EXPECT_EQ(start.bottom - start.top, proposed.bottom - proposed.top);
        EXPECT_EQ(100, proposed.left) << "the right and bottom edges move";
        RECT large = {0, 0, 2000, 1500};
        EXPECT_TRUE(dialog.ClampSize(&large));
        RECT dragged = {start.left, start.top, start.right - 50, start.bottom};
        dialog.SendMessage(WM_SIZING, WMSZ_RIGHT, reinterpret_cast<LPARAM>(&dragged));
        EXPECT_EQ(start.right, dragged.right);
    });
}

TEST(FormLayouts, NothingMovesBeforeRegisterAndASecondAddReplacesTheFirst) {
    FormLayout unregistered;
    unregistered.Layout();  // a WM_SIZE before Register changes nothing and does not fail
    CWnd control;
    unregistered.AddControl(&control, FormLayout::AnchorX, 0);

    LayoutDialog dialog;
    dialog.pauseTwice = true;
    RunModal(dialog, [&] {
        const RECT pause = ClientRectOf(dialog.pause, dialog);
        Grow(dialog, 120, 80);
        const RECT pause2 = ClientRectOf(dialog.pause, dialog);
        EXPECT_EQ(pause.left, pause2.left) << "only the second flags (stretch X) hold";
        EXPECT_EQ(pause.top, pause2.top);
        EXPECT_EQ(pause.right + 120, pause2.right);
    });
}
