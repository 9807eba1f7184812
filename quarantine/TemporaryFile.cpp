// Journaled temporary files of restores.
#include "quarantine/TemporaryFile.h"

#include "base/WinHandle.h"
#include "base/LiteralPath.h"
#include "quarantine/QuarantineErrors.h"

#include <cwctype>
#include <vector>

namespace Quarantine {
namespace {

void RemoveFile(const std::wstring& path) {
    const std::wstring literal = LiteralPath(path);
    ::SetFileAttributesW(literal.c_str(), FILE_ATTRIBUTE_NORMAL);
    ::DeleteFileW(literal.c_str());
}

bool SameDrive(const std::wstring& a, const std::wstring& b) {
    return a.size() > 2 && b.size() > 2 && a[1] == L':' && b[1] == L':' && std::towlower(a[0]) == std::towlower(b[0]);
}

std::wstring WithBackslash(const std::wstring& folder) {
    return !folder.empty() && folder.back() == L'\\' ? folder : folder + L"\\";
}

}  // namespace

const wchar_t* const TemporaryRecordExtension = L".!tqt";

std::wstring TemporaryFileName(const std::wstring& guid) { return L"~tqr-" + guid + L".!tqr-tmp"; }

CTemporaryFile::CTemporaryFile(const std::wstring& journalFolder, const std::wstring& targetFolder,
                               const std::wstring& guid)
    : path_(WithBackslash(targetFolder) + TemporaryFileName(guid)),
      record_(WithBackslash(journalFolder) + guid + TemporaryRecordExtension) {
    Win::FileHandle record(::CreateFileW(record_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                         nullptr));
    if (!record) {
        const DWORD error = ::GetLastError();
        record_.clear();
        throw IOError("CreateFileW failed", error);
    }
    DWORD written = 0;
    const DWORD size = static_cast<DWORD>(path_.size() * sizeof(wchar_t));
    if (!::WriteFile(record.Get(), path_.data(), size, &written, nullptr) || written != size ||
        !::FlushFileBuffers(record.Get())) {
        const DWORD error = ::GetLastError();
        record.Reset();
        RemoveFile(record_);
        record_.clear();
        throw IOError("WriteFile failed", error);
    }
}

CTemporaryFile::~CTemporaryFile() {
    if (::GetFileAttributesW(LiteralPath(path_).c_str()) != INVALID_FILE_ATTRIBUTES) RemoveFile(path_);
    if (!record_.empty()) RemoveFile(record_);
}

void RemoveLeftoverTemporary(const std::wstring& recordPath) {
    const size_t slash = recordPath.find_last_of(L"\\/");
    const std::wstring recordName = recordPath.substr(slash == std::wstring::npos ? 0 : slash + 1);
    const size_t extension = recordName.rfind(L'.');
    const std::wstring guid = recordName.substr(0, extension);
    {
        Win::FileHandle record(::CreateFileW(recordPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                             FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!record) return;
        std::vector<wchar_t> text(32768, 0);
        DWORD got = 0;
        if (!::ReadFile(record.Get(), text.data(), static_cast<DWORD>((text.size() - 1) * sizeof(wchar_t)), &got,
                        nullptr))
            return;
        const std::wstring path(text.data(), got / sizeof(wchar_t));
        const std::wstring expected = L"\\" + TemporaryFileName(guid);
        // Only ever the record's own temporary file on the record's own drive, whatever else the record
        // says: a record copied in cannot reach another drive or a share.
        if (!guid.empty() && path.size() > expected.size() && SameDrive(path, recordPath) &&
            path.compare(path.size() - expected.size(), expected.size(), expected) == 0)
            RemoveFile(path);
    }
    RemoveFile(recordPath);
}

}  // namespace Quarantine
