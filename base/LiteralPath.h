// Full paths as Windows takes them literally, for every operation on a user's file: with the "\\?\"
// prefix ("\\?\D:\dir\nul.exe", "\\?\UNC\server\share\a.exe") a device name (NUL, AUX, COM1), a
// trailing dot or space and a length beyond MAX_PATH all name the file itself, never a device or
// another file. Paths are shown to the user without the prefix.
#pragma once

#include <string>

// The literal form of a full path ("X:\..." or "\\server\share\...") whose components are names (no
// "/", no "." or ".." to resolve); any other path, or one already literal, comes back as it is.
std::wstring LiteralPath(const std::wstring& path);

// The usual form of a literal path: the prefix taken off again; any other path as it is.
std::wstring DisplayPath(const std::wstring& path);

// The literal path the system gives for an open file or folder, every link on the way resolved
// ("\\?\D:\real\a.exe", "\\?\UNC\...", under Wine "\\?\unix\..." outside every drive); empty when
// it gives none.
std::wstring FinalPath(void* handle);

// Whether an open file or folder lies on a drive or a share, wherever the path that opened it led
// (through links): false for one outside every drive (a link under Wine to the machine's own "/").
bool LiesOnADrive(void* handle);
