// Reading version resources.
#include "app/VersionResource.h"

#include <cstring>
#include <cwchar>
#include <vector>

namespace {

const wchar_t* const StringNames[CVersionResource::StringCount] = {
    L"CompanyName", L"FileDescription", L"FileVersion",    L"InternalName", L"LegalCopyright", L"OriginalFileName",
    L"ProductName", L"ProductVersion",  L"Comments",       L"LegalTrademarks", L"PrivateBuild", L"SpecialBuild"};

// The first translation whose language is the wanted one, exactly or by its low byte.
const DWORD* FindLanguage(const DWORD* translations, size_t count, WORD language) {
    for (size_t i = 0; i < count; ++i)
        if (LOWORD(translations[i]) == language) return &translations[i];
    for (size_t i = 0; i < count; ++i)
        if ((LOWORD(translations[i]) & 0xFF) == (language & 0xFF)) return &translations[i];
    return nullptr;
}

// version.dll is no library Windows always takes from its own folder: loaded from there by hand, so
// that a version.dll planted beside the program is never loaded.
struct VersionFunctions {
    typedef DWORD(WINAPI* SizeFn)(LPCWSTR, LPDWORD);
    typedef BOOL(WINAPI* InfoFn)(LPCWSTR, DWORD, DWORD, LPVOID);
    typedef BOOL(WINAPI* QueryFn)(LPCVOID, LPCWSTR, LPVOID*, PUINT);
    SizeFn size = nullptr;
    InfoFn info = nullptr;
    QueryFn query = nullptr;

    VersionFunctions() {
        HMODULE module = ::LoadLibraryExW(L"version.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        if (!module) return;
        size = reinterpret_cast<SizeFn>(::GetProcAddress(module, "GetFileVersionInfoSizeW"));
        info = reinterpret_cast<InfoFn>(::GetProcAddress(module, "GetFileVersionInfoW"));
        query = reinterpret_cast<QueryFn>(::GetProcAddress(module, "VerQueryValueW"));
    }
    bool Ready() const { return size && info && query; }
};

const VersionFunctions& Version() {
    static const VersionFunctions functions;
    return functions;
}

}  // namespace

DWORD ChooseTranslation(const DWORD* translations, size_t count, LANGID userLanguage) {
    for (WORD language : {static_cast<WORD>(userLanguage), static_cast<WORD>(0), static_cast<WORD>(9)})
        if (const DWORD* found = FindLanguage(translations, count, language)) return *found;
    return translations[0];
}

void CVersionResource::Reset() {
    std::memset(&fixed_, 0, sizeof(fixed_));
    for (std::wstring& value : strings_) value.clear();
}

bool CVersionResource::Create(const std::wstring& path) { return Create(path, ::GetUserDefaultLangID()); }

bool CVersionResource::Create(const std::wstring& path, LANGID userLanguage) {
    Reset();
    if (!Version().Ready()) return false;
    DWORD ignored = 0;
    const DWORD size = Version().size(path.c_str(), &ignored);
    if (size == 0) return false;
    std::vector<unsigned char> block(size);
    if (!Version().info(path.c_str(), 0, size, block.data())) return false;

    void* value = nullptr;
    UINT length = 0;
    if (Version().query(block.data(), L"\\", &value, &length) && length == sizeof(fixed_))
        std::memcpy(&fixed_, value, sizeof(fixed_));

    if (!Version().query(block.data(), L"\\VarFileInfo\\Translation", &value, &length) || length < sizeof(DWORD))
        return true;
    const DWORD chosen = ChooseTranslation(static_cast<const DWORD*>(value), length / sizeof(DWORD), userLanguage);
    wchar_t prefix[64];
    swprintf(prefix, 64, L"\\StringFileInfo\\%04X%04X\\", LOWORD(chosen), HIWORD(chosen));
    for (int i = 0; i < StringCount; ++i) {
        if (Version().query(block.data(), (std::wstring(prefix) + StringNames[i]).c_str(), &value, &length) && value)
            strings_[i] = static_cast<const wchar_t*>(value);
    }
    return true;
}
