// Reason: why something did not happen to a user's file, as a string-table entry and the one text it
// names (a path, a name, a code). The layers below the windows give reasons; whoever shows them turns
// them into words with ReasonText.
#pragma once

#include <cstdint>
#include <string>

struct Reason {
    unsigned id = 0;        // a string-table entry; 0: no reason
    std::wstring argument;  // for the entry's %s

    Reason() = default;
    Reason(unsigned id, const std::wstring& argument = std::wstring()) : id(id), argument(argument) {}
    explicit operator bool() const { return id != 0; }
};

// The entry of the program's string table with the argument put in. A program without that entry
// still says something: "#<id> <argument>".
std::wstring ReasonText(const Reason& reason);

// A failed system call in plain words: the common cases from the string table, the rest as the
// system words them.
Reason SystemErrorReason(uint32_t code);
// That reason's words, and the code after them when the words do not already hold it.
std::wstring SystemErrorText(uint32_t code);
