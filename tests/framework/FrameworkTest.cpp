// The window layer: modal runs and their results, exceptions stopped at the dialog procedure,
// subclassed controls, the string table, and the dialog font's glyphs for non-Latin file names.
#include "framework/Controls.h"
#include "framework/Dialog.h"
#include "framework/String.h"
#include "resources/resource.h"
#include "tests/support/WindowTest.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

using namespace TestSupport;

namespace {

class ProbeDialog : public CDialog {
public:
    ProbeDialog() : CDialog(IDD_DELETE_FILES, nullptr) {}
    std::string reported;
    int selectAllClicks = 0;
    CButton selectAll;

protected:
    void DoDataExchange() override { selectAll.SubclassDlgItem(IDC_DELETE_SELECT_ALL, this); }
    bool OnCommand(UINT id, UINT code, HWND) override {
        if (id == IDC_DELETE_SELECT_ALL) {
            ++selectAllClicks;
            return true;
        }
        if (id == IDC_DELETE_DESELECT) throw std::runtime_error("handler failed");
        return false;
    }
    void ReportException(const char* what) override { reported = what; }
};

}  // namespace

TEST(ModalDialogs, StandardCommandsEndWithTheirResults) {
    const DWORD start = ::GetTickCount();
    ProbeDialog ok;
    EXPECT_EQ(IDOK, RunModal(ok, [&] { ok.SendMessage(WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED)); }));
    ProbeDialog escape;
    EXPECT_EQ(IDCANCEL, RunModal(escape, [&] {
                  ::PostMessageW(escape.GetDlgItem(IDC_DELETE_SELECT_ALL), WM_KEYDOWN, VK_ESCAPE, 0);
                  EndModalAfter(2000);
              }));
    ProbeDialog closed;
    EXPECT_EQ(IDCANCEL, RunModal(closed, [&] {
                  closed.PostMessage(WM_CLOSE);
                  EndModalAfter(2000);
              }));
    EXPECT_LT(::GetTickCount() - start, 1500u) << "Escape and Close ended their dialogs themselves";
}

TEST(ModalDialogs, ExceptionsStopAtTheDialogProcedure) {
    ProbeDialog dialog;
    RunModal(dialog, [&] {
        dialog.SendMessage(WM_COMMAND, MAKEWPARAM(IDC_DELETE_DESELECT, BN_CLICKED),
                           reinterpret_cast<LPARAM>(dialog.GetDlgItem(IDC_DELETE_DESELECT)));
        EXPECT_EQ("handler failed", dialog.reported);
        EXPECT_TRUE(dialog.IsRunning()) << "the dialog goes on";
        ::SendMessageW(dialog.selectAll, BM_CLICK, 0, 0);
        EXPECT_EQ(1, dialog.selectAllClicks);
        EXPECT_EQ(&dialog.selectAll, CWnd::FromHandle(dialog.GetDlgItem(IDC_DELETE_SELECT_ALL)));
    });
    EXPECT_EQ(nullptr, dialog.selectAll.GetSafeHwnd()) << "the wrapper lets go when its window is destroyed";
}

TEST(Strings, TableEntriesAndFormats) {
    EXPECT_EQ(L"Tervan! Scanner", CString::Load(IDS_APP_TITLE));
    EXPECT_EQ(L"Virus base: 12345 records",
              CString::FormatId(IDS_VIRUS_BASE, CString::FormatId(IDS_RECORDS, 12345).c_str()));
    EXPECT_EQ(L"Exhausted time:    01:02:03", CString::FormatId(IDS_EXHAUSTED_TIME, L"01:02:03"));
    EXPECT_EQ(L"57%", CString::Format(L"%i%%", 57));
    EXPECT_EQ(L"", CString::Load(138)) << "no entry";
    const CString explanation = CString::Load(IDS_REPOSITORY_EXPLANATION);
    EXPECT_NE(std::wstring::npos, explanation.find(L"any file. \\ nPlease careful!"));
    EXPECT_EQ(std::wstring(5000, L'x'), CString::Format(L"%s", std::wstring(5000, L'x').c_str()));
}

namespace {

// The pixels of one character drawn in black on white with the font.
std::vector<COLORREF> GlyphPixels(HFONT font, wchar_t character) {
    const int size = 32;
    HDC screen = ::GetDC(nullptr);
    HDC dc = ::CreateCompatibleDC(screen);
    HBITMAP bitmap = ::CreateCompatibleBitmap(screen, size, size);
    ::ReleaseDC(nullptr, screen);
    HGDIOBJ oldBitmap = ::SelectObject(dc, bitmap);
    HGDIOBJ oldFont = ::SelectObject(dc, font);
    RECT all = {0, 0, size, size};
    ::FillRect(dc, &all, static_cast<HBRUSH>(::GetStockObject(WHITE_BRUSH)));
    ::SetTextColor(dc, RGB(0, 0, 0));
    ::SetBkMode(dc, TRANSPARENT);
    ::TextOutW(dc, 2, 2, &character, 1);
    std::vector<COLORREF> pixels;
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x) pixels.push_back(::GetPixel(dc, x, y));
    ::SelectObject(dc, oldFont);
    ::SelectObject(dc, oldBitmap);
    ::DeleteObject(bitmap);
    ::DeleteDC(dc);
    return pixels;
}

}  // namespace

// A font without a glyph draws the same box for every such character; the prefix links the dialog
// fonts to one that has Chinese, Japanese and Korean.
TEST(Fonts, DialogFontDrawsChineseJapaneseKoreanNames) {
    ProbeDialog dialog;
    RunModal(dialog, [&] {
        const HFONT regular = reinterpret_cast<HFONT>(dialog.SendMessage(WM_GETFONT));
        ASSERT_NE(nullptr, regular);
        // Bold too: a tree draws its ticked items so.
        LOGFONTW description = {};
        ::GetObjectW(regular, sizeof(description), &description);
        description.lfWeight = FW_BOLD;
        const HFONT bold = ::CreateFontIndirectW(&description);
        for (HFONT font : {regular, bold}) {
            const std::vector<COLORREF> box = GlyphPixels(font, 0xE000);  // private use: no font has it
            const wchar_t names[] = {0x4E2D, 0x6587, 0x3042, 0x30AB, 0xD55C, 0xAE00};  // 中 文 あ カ 한 글
            std::vector<std::vector<COLORREF>> drawn;
            for (wchar_t character : names) {
                drawn.push_back(GlyphPixels(font, character));
                EXPECT_TRUE(box != drawn.back()) << "U+" << std::hex << int(character) << " drawn as a box, bold: " << (font == bold);
            }
            for (size_t i = 1; i < drawn.size(); ++i)
                EXPECT_TRUE(drawn[i - 1] != drawn[i]) << "the same glyph for characters " << i - 1 << " and " << i;
        }
        ::DeleteObject(bold);
    });
}
