// CWebLink: a static text that is a web link. Link, visited and hover colours, underlining (always,
// never, or while the pointer is over it), a hand cursor, a tool tip with the target, and a click that
// opens the target through the shell or, failing that, through the command registered for ".htm".
#pragma once

#include "framework/Controls.h"
#include "framework/Gdi.h"
#include "base/WinHandle.h"

#include <boost/function.hpp>

#include <string>

class CWebLink : public CStatic {
public:
    enum Underline { UnderlineHover = -1, UnderlineNever = 0, UnderlineAlways = 1 };

    // How a target is opened: the shell, then a command line; replaceable so that tests start nothing.
    struct Launcher {
        boost::function<INT_PTR(const std::wstring& target)> shellOpen;  // ShellExecuteW's result
        boost::function<UINT(const std::string& commandLine)> runCommand;  // WinExec's result
    };
    static void SetLauncher(const Launcher& launcher);  // empty members: the system's

    // Results above 32 are success; ResultTooLong is ours, for a target we refuse.
    static constexpr INT_PTR ResultTooLong = 206;
    static constexpr size_t MaxCommandLine = 2048;

    void SetTarget(const std::wstring& target);
    void SetUnderline(int mode);
    bool IsOver() const { return over_; }
    bool IsVisited() const { return visited_; }
    COLORREF TextColor() const { return over_ ? hoverColor_ : visited_ ? visitedColor_ : linkColor_; }

    // Opens a target as a click does; returns the result code.
    static INT_PTR OpenTarget(const std::wstring& target);
    // The command line of the fallback: the registered command cut at "%1" (with its quotes) plus
    // a blank and the target; empty when the result would be longer than MaxCommandLine.
    static std::wstring BuildFallbackCommand(const std::wstring& registeredCommand, const std::wstring& target);
    static std::wstring ErrorMessage(INT_PTR result);

protected:
    void PreSubclassWindow() override;
    bool PreTranslateMessage(MSG* msg) override;
    bool OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) override;
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    enum { HoverTimer = 100 };

    void FitToText();
    void OnClick();
    HFONT FontFor(bool underlined) const { return underlined ? underlined_.Get() : plain_.Get(); }

    COLORREF linkColor_ = RGB(0, 0, 238);
    COLORREF visitedColor_ = RGB(85, 26, 139);
    COLORREF hoverColor_ = RGB(255, 0, 0);
    bool over_ = false;
    bool visited_ = false;
    int underline_ = UnderlineHover;
    bool autoSize_ = true;
    std::wstring target_;
    CFont underlined_, plain_;
    Win::CursorHandle cursor_;
    HWND tooltip_ = nullptr;  // a child of the link's parent's thread, destroyed with the link
};
