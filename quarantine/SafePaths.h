// Paths read from a container are input: they decide where a restore writes. These checks keep a
// restore inside the folder the user chose and off names that lead elsewhere. Every restore writes
// through literal paths, so device names (NUL, COM1) and trailing dots and spaces are plain names.
#pragma once

#include "base/Reason.h"

#include <string>

namespace Quarantine {

// A name that can be created as a file inside a folder: not empty, not "." or "..", no separator,
// stream separator (":") or other character Windows forbids in names.
bool IsSafeFileName(const std::wstring& name);

// The name an entry gets in another folder: the last component of its stored path (after "\" or
// "/", and after a drive's "X:"). Empty, with the reason, when that is not a safe name.
std::wstring FileNameFromStoredPath(const std::wstring& storedPath, Reason* why = nullptr);

// A stored path that may be written to as it stands: "X:\" or "\\server\share\" followed by safe
// names separated by backslashes only (no "/", no "." or "..").
bool IsSafeOriginalPath(const std::wstring& path);

// Whether a restore to the stored path stays where a scan of the container's own drive could have
// found the file: on that drive, and outside the folder of Windows and of the running program, both
// as the path is written and where its links lead. A crafted container could otherwise plant a file
// into them, or onto another drive or a share.
bool IsUsualPlace(const std::wstring& storedPath, const std::wstring& containerPath);

// "name (2).ext", "name (3).ext", ...: the n-th choice for a name already taken (n >= 2).
std::wstring NumberedName(const std::wstring& name, int n);

}  // namespace Quarantine
