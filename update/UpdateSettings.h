// Where bases come from and which ones: the [update] section of refengine.ini in the bases folder.
//   [update]
//   mirror=https://database.example.net/     (repeatable: mirror=, mirror2=, ...; tried in order)
//   bases=main daily bytecode                (the default)
#pragma once

#include "update/BaseSignature.h"

#include <string>
#include <vector>

namespace Update {

struct UpdateSettings {
    std::vector<std::wstring> mirrors;  // each ends with '/'
    std::vector<std::string> bases;
    SigningKey baseKey, patchKey;
};

// The keys are the publisher's, unless the machine's test setting names one of its own
// (HKEY_LOCAL_MACHINE\Software\Tervan\Scanner\UpdateTest, TestKey = "modulus:exponent"): only
// test prefixes have it, and only an administrator can write it.
UpdateSettings ReadUpdateSettings(const std::wstring& basesFolder);

}  // namespace Update
