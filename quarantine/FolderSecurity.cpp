// The quarantine folder's access list.
#include "quarantine/FolderSecurity.h"

#include "base/WinHandle.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <vector>

namespace Quarantine {
namespace {

// The user this process runs as (a TOKEN_USER); empty when the token cannot be read.
std::vector<BYTE> CurrentUser() {
    HANDLE raw = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw)) return {};
    Win::KernelHandle token(raw);
    DWORD size = 0;
    ::GetTokenInformation(token.Get(), TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buffer(size ? size : 1);
    if (!size || !::GetTokenInformation(token.Get(), TokenUser, buffer.data(), size, &size)) return {};
    return buffer;
}

// That user as an SID string; empty when the token cannot be read.
std::wstring CurrentUserSid() {
    const std::vector<BYTE> user = CurrentUser();
    LPWSTR text = nullptr;
    if (user.empty() || !::ConvertSidToStringSidW(reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid, &text)) return std::wstring();
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

bool IsTrustedOwner(void* ownerSid, void* userSid) {
    PSID owner = static_cast<PSID>(ownerSid);
    if (!owner || !::IsValidSid(owner)) return false;
    return ::IsWellKnownSid(owner, WinLocalSystemSid) || ::IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
           (userSid && ::IsValidSid(static_cast<PSID>(userSid)) && ::EqualSid(owner, static_cast<PSID>(userSid)));
}

bool IsOwnFile(const std::wstring& path) {
    // Backup semantics: a folder opens as well as a file.
    Win::FileHandle file(::CreateFileW(path.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!file || ::GetSecurityInfo(file.Get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr, &descriptor) !=
                     ERROR_SUCCESS)
        return true;
    std::vector<BYTE> user = CurrentUser();
    const bool own = !owner || IsTrustedOwner(owner, user.empty() ? nullptr : reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid);
    ::LocalFree(descriptor);
    return own;
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
