// CVersionResource: reads a module's version resource: the fixed block and the twelve standard
// strings of the translation that suits the user's language best.
#pragma once

#include <windows.h>

#include <string>

class CVersionResource {
public:
    enum StringValue {
        CompanyName, FileDescription, FileVersion, InternalName, LegalCopyright, OriginalFileName,
        ProductName, ProductVersion, Comments, LegalTrademarks, PrivateBuild, SpecialBuild, StringCount
    };

    CVersionResource() { Reset(); }
    virtual ~CVersionResource() = default;

    virtual void Reset();
    // False when the file has no readable version resource; missing strings stay empty.
    bool Create(const std::wstring& path);
    bool Create(const std::wstring& path, LANGID userLanguage);

    const VS_FIXEDFILEINFO& GetFixedInfo() const { return fixed_; }
    const std::wstring& GetCompanyName() const { return strings_[CompanyName]; }
    const std::wstring& GetFileDescription() const { return strings_[FileDescription]; }
    const std::wstring& GetFileVersion() const { return strings_[FileVersion]; }
    const std::wstring& GetInternalName() const { return strings_[InternalName]; }
    const std::wstring& GetLegalCopyright() const { return strings_[LegalCopyright]; }
    const std::wstring& GetOriginalFileName() const { return strings_[OriginalFileName]; }
    const std::wstring& GetProductName() const { return strings_[ProductName]; }
    const std::wstring& GetProductVersion() const { return strings_[ProductVersion]; }
    const std::wstring& GetComments() const { return strings_[Comments]; }
    const std::wstring& GetLegalTrademarks() const { return strings_[LegalTrademarks]; }
    const std::wstring& GetPrivateBuild() const { return strings_[PrivateBuild]; }
    const std::wstring& GetSpecialBuild() const { return strings_[SpecialBuild]; }

private:
    VS_FIXEDFILEINFO fixed_;
    std::wstring strings_[StringCount];
};

// The translation (language in the low 16 bits, code page in the high 16 bits) to read for a user:
// exact language, then same primary language, then neutral (0), then English (9), then the first.
DWORD ChooseTranslation(const DWORD* translations, size_t count, LANGID userLanguage);
