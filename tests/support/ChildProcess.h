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

// A program of the build whose standard output is a pipe, read while the program runs.
class RunningProgram {
public:
    RunningProgram(const std::wstring& program, const std::wstring& arguments);
    ~RunningProgram();  // ends the program if it still runs
    RunningProgram(const RunningProgram&) = delete;
    RunningProgram& operator=(const RunningProgram&) = delete;

    // Reads until the output so far holds the text or the time is up; returns the output so far.
    std::string ReadUntil(const std::string& text, unsigned long timeoutMs);
    bool Running() const;
    // Waits for the end, reading the rest; the exit code.
    unsigned long Finish(unsigned long timeoutMs);
    const std::string& Output() const { return output_; }

private:
    void ReadAvailable();
    void* process_ = nullptr;
    void* pipe_ = nullptr;
    std::string output_;
};

}  // namespace TestSupport
