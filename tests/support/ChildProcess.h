// Runs a program of the build inside the sandbox and collects what it wrote.
#pragma once

#include <string>

namespace TestSupport {

struct ChildResult {
    unsigned long exitCode = 0xFFFFFFFF;
    std::string output;  // standard output, UTF-8
    std::string errors;  // standard error, UTF-8
};

// commandLine: the program's arguments, already quoted; the program is looked up beside the tests.
ChildResult RunProgram(const std::wstring& program, const std::wstring& arguments, unsigned long timeoutMs = 120000);

}  // namespace TestSupport
