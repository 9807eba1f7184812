// Child processes for tests, with their output in temporary files.
#include "tests/support/ChildProcess.h"

#include "tests/support/Sandbox.h"

#include <windows.h>

namespace TestSupport {

ChildResult RunProgram(const std::wstring& program, const std::wstring& arguments, unsigned long timeoutMs) {
    ChildResult result;
    ScratchFolder folder;
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE out = ::CreateFileW((folder / L"out").c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE err = ::CreateFileW((folder / L"err").c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION process = {};
    std::wstring command = L"\"" + ExecutableFolder() + program + L"\" " + arguments;
    if (::CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        if (::WaitForSingleObject(process.hProcess, timeoutMs) != WAIT_OBJECT_0) ::TerminateProcess(process.hProcess, 0xDEAD);
        ::WaitForSingleObject(process.hProcess, INFINITE);
        ::GetExitCodeProcess(process.hProcess, &result.exitCode);
        ::CloseHandle(process.hThread);
        ::CloseHandle(process.hProcess);
    }
    ::CloseHandle(out);
    ::CloseHandle(err);
    result.output = ReadFile(folder / L"out");
    result.errors = ReadFile(folder / L"err");
    return result;
}

RunningProgram::RunningProgram(const std::wstring& program, const std::wstring& arguments) {
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE read = nullptr, write = nullptr;
    ::CreatePipe(&read, &write, &inherit, 0);
    ::SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = write;
    startup.hStdError = write;
    PROCESS_INFORMATION process = {};
    std::wstring command = L"\"" + ExecutableFolder() + program + L"\" " + arguments;
    if (::CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        ::CloseHandle(process.hThread);
        process_ = process.hProcess;
    }
    ::CloseHandle(write);
    pipe_ = read;
}

RunningProgram::~RunningProgram() {
    if (process_) {
        if (Running()) ::TerminateProcess(process_, 0xDEAD);
        ::WaitForSingleObject(process_, INFINITE);
        ::CloseHandle(process_);
    }
    if (pipe_) ::CloseHandle(pipe_);
}

void RunningProgram::ReadAvailable() {
    DWORD available = 0;
    while (::PeekNamedPipe(pipe_, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
        char block[4096];
        DWORD got = 0;
        if (!::ReadFile(pipe_, block, available < sizeof(block) ? available : sizeof(block), &got, nullptr) || !got) return;
        output_.append(block, got);
    }
}

std::string RunningProgram::ReadUntil(const std::string& text, unsigned long timeoutMs) {
    for (unsigned long waited = 0;; waited += 10) {
        ReadAvailable();
        if (output_.find(text) != std::string::npos || waited >= timeoutMs) return output_;
        ::Sleep(10);
    }
}

bool RunningProgram::Running() const { return process_ && ::WaitForSingleObject(process_, 0) == WAIT_TIMEOUT; }

unsigned long RunningProgram::Finish(unsigned long timeoutMs) {
    DWORD code = 0xFFFFFFFF;
    for (unsigned long waited = 0; Running() && waited < timeoutMs; waited += 10) {
        ReadAvailable();
        ::Sleep(10);
    }
    ReadAvailable();
    if (process_ && !Running()) ::GetExitCodeProcess(process_, &code);
    return code;
}

}  // namespace TestSupport
