// The quarantine folder's access list.
#include "quarantine/FolderSecurity.h"

#include "framework/WinHandle.h"

#include <windows.h>

#include <sddl.h>

#include <vector>

namespace Quarantine {
namespace {

// The user this process runs as, as an SID string; empty when the token cannot be read.
std::wstring CurrentUserSid() {
    HANDLE raw = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw)) return std::wstring();
    Win::KernelHandle token(raw);
    DWORD size = 0;
    ::GetTokenInformation(token.Get(), TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buffer(size ? size : 1);
    if (!size || !::GetTokenInformation(token.Get(), TokenUser, buffer.data(), size, &size)) return std::wstring();
    LPWSTR text = nullptr;
    if (!::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) return std::wstring();
    std::wstring sid(text);
    ::LocalFree(text);
    return sid;
}

}  // namespace

std::wstring QuarantineFolderSddl() {
    std::wstring sddl = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
    const std::wstring user = CurrentUserSid();
    if (!user.empty()) sddl += L"(A;OICI;FA;;;" + user + L")";
    return sddl;
}

bool CreateQuarantineFolder(const std::wstring& folder) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(QuarantineFolderSddl().c_str(), SDDL_REVISION_1,
                                                                &descriptor, nullptr))
        return false;
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};
    const BOOL created = ::CreateDirectoryW(folder.c_str(), &attributes);
    const DWORD error = ::GetLastError();
    ::LocalFree(descriptor);
    ::SetLastError(error);
    return created != FALSE;
}

}  // namespace Quarantine
