// Where bases come from and which ones: the [update] section of refengine.ini in the bases folder.
//   [update]
//   mirror=https://database.example.net/     (repeatable: mirror=, mirror2=, ...; tried in order)
//   bases=main daily bytecode                (the default)
//   deadline=1800                            (seconds one base's update may take, all transfers together)
//   minimum_rate=1024                        (bytes a second, judged over half a minute, below which a
//                                             transfer is given up)
#pragma once

#include "update/BaseSignature.h"

#include <string>
#include <vector>

namespace Update {

struct UpdateSettings {
    std::vector<std::wstring> mirrors;  // each ends with '/'
    std::vector<std::string> bases;
    uint64_t deadlineSeconds = 1800;
    uint64_t minimumRate = 1024;
    SigningKey baseKey, patchKey;
};

// The keys are the publisher's, unless the machine's test setting names one of its own
// (HKEY_LOCAL_MACHINE\Software\Tervan\Scanner\UpdateTest, TestKey = "modulus:exponent"): only
// test prefixes have it, and only an administrator can write it.
UpdateSettings ReadUpdateSettings(const std::wstring& basesFolder);

}  // namespace Update
