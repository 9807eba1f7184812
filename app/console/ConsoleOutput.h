// What tervscan tells the user: result lines on standard output (and in the log file, when asked for),
// messages on standard error. Each line is written when it is given, whole: to a console as wide text,
// to a file or a pipe as UTF-8. Lines may come from any thread.
#pragma once

#include "base/WinHandle.h"

#include <boost/thread/mutex.hpp>

#include <string>

class ConsoleOutput {
public:
    static ConsoleOutput& Get();

    // Appends the results from now on to this file too; false when it cannot be opened.
    bool OpenLog(const std::wstring& path);

    void Result(const std::wstring& line);
    // A line that the next one replaces, shown only on a console (progress).
    void Progress(const std::wstring& line);
    void Error(const std::wstring& line);

private:
    ConsoleOutput();
    void Write(HANDLE handle, bool console, const std::wstring& text);

    boost::mutex mutex_;
    HANDLE output_, errors_;
    bool outputIsConsole_, errorsAreConsole_;
    bool progressShown_ = false;
    Win::FileHandle log_;
};

// Text of a file given by the user (a list of paths): UTF-8, with or without a byte-order mark, or
// UTF-16 with one. False when the file cannot be read.
bool ReadTextFile(const std::wstring& path, std::wstring& text);
