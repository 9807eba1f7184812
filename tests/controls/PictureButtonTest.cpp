// The picture buttons, drawn into memory pictures in each of their states.
#include "tests/support/ButtonsDialog.h"
#include "tests/support/WindowTest.h"

#include <gtest/gtest.h>

using namespace TestSupport;

namespace {

// A drawing of the button in a memory picture of its size.
class Drawing {
public:
    Drawing(CPictureButton& button, UINT state) {
        const RECT client = button.GetClientRect();
        width = client.right;
        height = client.bottom;
        HDC screen = ::GetDC(nullptr);
        dc_ = ::CreateCompatibleDC(screen);
        bitmap_ = ::CreateCompatibleBitmap(screen, width, height);
        ::ReleaseDC(nullptr, screen);
        old_ = ::SelectObject(dc_, bitmap_);
        ::SelectObject(dc_, button.GetFont() ? button.GetFont() : ::GetStockObject(DEFAULT_GUI_FONT));
        DRAWITEMSTRUCT request = {};
        request.CtlType = ODT_BUTTON;
        request.itemAction = ODA_DRAWENTIRE;
        request.itemState = state;
        request.hwndItem = button.GetSafeHwnd();
        request.hDC = dc_;
        request.rcItem = client;
        button.DrawItem(&request);
    }
    ~Drawing() {
        ::SelectObject(dc_, old_);
        ::DeleteObject(bitmap_);
        ::DeleteDC(dc_);
    }
    COLORREF At(int x, int y) const { return ::GetPixel(dc_, x, y); }
    bool Same(const Drawing& other) const {
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                if (At(x, y) != other.At(x, y)) return false;
        return true;
    }
    // Rows of the area [x0, x1) that hold a pixel other than the given colour.
    std::vector<int> RowsNotOf(COLORREF color, int x0, int x1) const {
        std::vector<int> rows;
        for (int y = 0; y < height; ++y)
            for (int x = x0; x < x1; ++x)
                if (At(x, y) != color) {
                    rows.push_back(y);
                    break;
                }
        return rows;
    }
    int width, height;

private:
    HDC dc_;
    HBITMAP bitmap_;
    HGDIOBJ old_;
};

bool IsGrey(COLORREF c) { return GetRValue(c) == GetGValue(c) && GetGValue(c) == GetBValue(c); }

// Moves the pointer over the button as a user's mouse would, and lets the messages arrive: on a
// loaded machine (or a shared display) a move can take long or be lost, so it is sent again, a pixel
// aside, every half second until the button sees it (ten seconds at most).
void Hover(CPictureButton& button) {
    const RECT rect = button.GetWindowRect();
    for (int i = 0; i < 1000 && !button.IsHovered(); ++i) {
        if (i % 50 == 0) {
            INPUT input = {};
            input.type = INPUT_MOUSE;
            input.mi.dx = ((rect.left + rect.right) / 2 + (i / 50) % 2) * 65535 / (::GetSystemMetrics(SM_CXSCREEN) - 1);
            input.mi.dy = ((rect.top + rect.bottom) / 2) * 65535 / (::GetSystemMetrics(SM_CYSCREEN) - 1);
            input.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
            ::SendInput(1, &input, sizeof(input));
        }
        PumpFor(10);
    }
}

}  // namespace

TEST(PictureButtons, EdgesAndFacesOfEachState) {
    ButtonsDialog dialog;
    RunModal(dialog, [&] {
        const COLORREF face = ::GetSysColor(COLOR_BTNFACE), highlight = ::GetSysColor(COLOR_BTNHIGHLIGHT);
        const COLORREF shadow = ::GetSysColor(COLOR_BTNSHADOW);
        CDoubleLineTextButton& button = dialog.full;
        {
            Drawing rest(button, 0);
            EXPECT_EQ(face, rest.At(0, 0)) << "a flat button shows no edge at rest";
            EXPECT_EQ(face, rest.At(rest.width - 1, rest.height - 1));
            EXPECT_EQ(face, rest.At(rest.width - 3, 2));
        }
        {
            Drawing pressed(button, ODS_SELECTED);
            EXPECT_EQ(shadow, pressed.At(0, 0)) << "sunken: shadow at the top left";
            EXPECT_EQ(highlight, pressed.At(pressed.width - 1, pressed.height - 1));
        }
        Hover(button);
        ASSERT_TRUE(button.IsHovered());
        {
            Drawing hovered(button, 0);
            EXPECT_EQ(highlight, hovered.At(0, 0)) << "raised: highlight at the top left";
            EXPECT_EQ(shadow, hovered.At(hovered.width - 1, hovered.height - 1));
            EXPECT_EQ(button.GetColor(CPictureButton::HoverBackground), hovered.At(hovered.width - 3, 2));
            EXPECT_NE(face, hovered.At(hovered.width - 3, 2)) << "the hover face is lighter";
        }
        // Moving to the next button ends this hover as that one begins.
        Hover(dialog.custom);
        for (int i = 0; i < 1000 && button.IsHovered(); ++i) PumpFor(10);
        EXPECT_TRUE(dialog.custom.IsHovered());
        EXPECT_FALSE(button.IsHovered());
    });
}

TEST(PictureButtons, KeyboardFocusShowsAndMouseFocusDoesNot) {
    ButtonsDialog dialog;
    RunModal(dialog, [&] {
        CDoubleLineTextButton& button = dialog.full;
        Drawing rest(button, 0), mouse(button, ODS_FOCUS | ODS_NOFOCUSRECT), keyboard(button, ODS_FOCUS);
        EXPECT_TRUE(rest.Same(mouse)) << "focus put there by the mouse: flat, as at rest";
        EXPECT_FALSE(rest.Same(keyboard)) << "reached with the keyboard: a focus cue";
        EXPECT_NE(rest.At(3, rest.height / 2), keyboard.At(3, rest.height / 2)) << "the dotted frame inside the edge";
    });
}

TEST(PictureButtons, PicturesDisabledGreyAndLogoStill) {
    ButtonsDialog dialog;
    RunModal(dialog, [&] {
        // The picture sits left of the caption, 3 pixels in and centred vertically.
        Drawing rest(dialog.quick, 0), disabled(dialog.quick, ODS_DISABLED);
        const int top = (rest.height - 64) / 2;
        int colourful = 0, notGrey = 0;
        for (int y = top; y < top + 64; ++y)
            for (int x = 3; x < 3 + 64; ++x) {
                if (!IsGrey(rest.At(x, y))) ++colourful;
                if (!IsGrey(disabled.At(x, y))) ++notGrey;
            }
        EXPECT_GT(colourful, 500);
        EXPECT_EQ(0, notGrey) << "a disabled picture is drawn grey";

        dialog.logo.SendMessage(WM_MOUSEMOVE);
        Drawing logoRest(dialog.logo, 0), logoPressed(dialog.logo, ODS_SELECTED);
        EXPECT_EQ(48, logoRest.width) << "sized to its picture";
        EXPECT_TRUE(logoRest.Same(logoPressed)) << "the logo neither moves nor shows an edge when pressed";
    });
}

TEST(PictureButtons, CaptionsWithAndWithoutDescription) {
    ButtonsDialog dialog;
    RunModal(dialog, [&] {
        const COLORREF face = ::GetSysColor(COLOR_BTNFACE);
        Drawing twoLines(dialog.quick, 0), oneLine(dialog.repository, 0);
        const std::vector<int> rows = twoLines.RowsNotOf(face, 64 + 6, twoLines.width);
        ASSERT_FALSE(rows.empty());
        EXPECT_LT(rows.front(), twoLines.height / 2) << "the caption is in the upper half";
        EXPECT_GT(rows.back(), twoLines.height / 2) << "the description is below it";
        const std::vector<int> single = oneLine.RowsNotOf(face, 64 + 6, oneLine.width);
        ASSERT_FALSE(single.empty());
        const int middle = (single.front() + single.back()) / 2;
        EXPECT_NEAR(oneLine.height / 2, middle, 3) << "a caption alone is centred vertically";
    });
}

TEST(PictureButtons, HoverColourRuleAndItsResetAndTheDoubleClick) {
    ButtonsDialog dialog;
    RunModal(dialog, [&] {
        const COLORREF face = ::GetSysColor(COLOR_BTNFACE);
        int room = 30;
        for (int channel : {GetRValue(face), GetGValue(face), GetBValue(face)})
            room = std::min(room, channel < 226 ? 30 : 255 - channel);
        EXPECT_EQ(RGB(GetRValue(face) + room, GetGValue(face) + room, GetBValue(face) + room),
                  dialog.quick.GetColor(CPictureButton::HoverBackground));
        EXPECT_EQ(face, dialog.logo.GetColor(CPictureButton::HoverBackground)) << "the logo was not lightened";
        dialog.SendMessage(WM_SYSCOLORCHANGE);
        EXPECT_EQ(face, dialog.quick.GetColor(CPictureButton::HoverBackground));

        EXPECT_EQ(BS_OWNERDRAW, dialog.quick.GetStyle() & 0x1F);
        dialog.quick.PostMessage(WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(10, 10));
        dialog.quick.PostMessage(WM_LBUTTONUP, 0, MAKELPARAM(10, 10));
        dialog.quick.PostMessage(WM_LBUTTONDBLCLK, MK_LBUTTON, MAKELPARAM(10, 10));
        dialog.quick.PostMessage(WM_LBUTTONUP, 0, MAKELPARAM(10, 10));
        EndModalAfter(300);
    });
    EXPECT_EQ(2, dialog.clicks) << "a double click is two clicks";
}
