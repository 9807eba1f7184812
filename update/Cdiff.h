// Patches of a base (.cdiff): the gzip-compressed edit script, then ':' and the publisher's signature.
// The script's lines, applied to the files of the previous version:
//   OPEN name / ADD line / DEL number start / XCHG number start new-line / CLOSE
//   MOVE from to first-number first-start last-number last-start / UNLINK name
// Line numbers count from 1 in the file as it was opened; "start" is what that line must begin with,
// so that a patch made for another version fails instead of editing the wrong line.
#pragma once

#include "update/BaseSignature.h"

#include <map>
#include <string>

namespace Update {

// The script, once the signature over the bytes before the last ':' checked with the key.
bool OpenPatch(const std::string& patch, const SigningKey& key, std::string& script, std::wstring& error);

// Applies the script to the files; on any failure the files are left as they were and error says why.
bool ApplyPatch(const std::string& script, std::map<std::string, std::string>& files, std::wstring& error);

}  // namespace Update
