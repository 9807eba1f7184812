#include "update/UpdateSettings.h"

#include <windows.h>

#include <sstream>

namespace Update {
namespace {

std::string TestKeyText() {
    wchar_t value[2048] = {};
    DWORD size = sizeof value;
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, L"Software\\Tervan\\Scanner\\UpdateTest", L"TestKey", RRF_RT_REG_SZ, nullptr, value, &size) !=
        ERROR_SUCCESS)
        return std::string();
    std::string text;
    for (const wchar_t* c = value; *c; ++c) text += static_cast<char>(*c < 128 ? *c : '?');
    return text;
}

}  // namespace

UpdateSettings ReadUpdateSettings(const std::wstring& basesFolder) {
    UpdateSettings settings;
    const std::wstring ini = basesFolder + L"\\refengine.ini";
    std::wstring section(32768, L'\0');
    section.resize(::GetPrivateProfileSectionW(L"update", &section[0], static_cast<DWORD>(section.size()), ini.c_str()));
    // "key=value\0key=value\0"; keys keep their order, and mirror= may repeat.
    for (size_t start = 0; start < section.size();) {
        const size_t end = section.find(L'\0', start);
        const std::wstring line = section.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
        start = end == std::wstring::npos ? section.size() : end + 1;
        const size_t equals = line.find(L'=');
        if (equals == std::wstring::npos) continue;
        std::wstring key = line.substr(0, equals), value = line.substr(equals + 1);
        while (!key.empty() && key.back() == L' ') key.pop_back();
        while (!value.empty() && value[0] == L' ') value.erase(0, 1);
        while (!value.empty() && value.back() == L' ') value.pop_back();
        for (wchar_t& c : key) c = static_cast<wchar_t>(towlower(c));
        if (key.compare(0, 6, L"mirror") == 0 && !value.empty()) {
            if (value.back() != L'/') value += L'/';
            settings.mirrors.push_back(value);
        } else if (key == L"deadline" || key == L"minimum_rate") {
            // Out of range or not a number: the default stays (a deadline of a few seconds, or no
            // minimum rate, would let a typo end or hang every update).
            const unsigned long long number = value.size() <= 9 && value.find_first_not_of(L"0123456789") == std::wstring::npos && !value.empty()
                                                  ? std::stoull(value)
                                                  : 0;
            if (key == L"deadline" && number >= 10) settings.deadlineSeconds = number;
            if (key == L"minimum_rate" && number >= 1) settings.minimumRate = number;
        } else if (key == L"bases") {
            std::wistringstream words(value);
            std::wstring word;
            while (words >> word) {
                std::string name;
                for (wchar_t c : word)
                    if (c < 128 && (iswalnum(c) || c == L'-' || c == L'_')) name += static_cast<char>(c);
                if (!name.empty() && name.size() == word.size()) settings.bases.push_back(name);
            }
        }
    }
    if (settings.bases.empty()) settings.bases = {"main", "daily", "bytecode"};
    const SigningKey test = KeyFromText(TestKeyText());
    settings.baseKey = test.Valid() ? test : PublisherBaseKey();
    settings.patchKey = test.Valid() ? test : PublisherPatchKey();
    return settings;
}

}  // namespace Update
