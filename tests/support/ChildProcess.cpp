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

}  // namespace TestSupport
