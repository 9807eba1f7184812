// Who may enter a quarantine folder: the copies of users' infected files are no one else's business,
// and a container another user put there could name any place to restore to.
#pragma once

#include <string>

namespace Quarantine {

// The folder's access list in SDDL: protected from inheritance; full access for the system, the
// administrators and the user creating it, inherited by every container; no one else.
std::wstring QuarantineFolderSddl();

// Creates the folder with that access list; false (GetLastError() says why) when it cannot be made.
bool CreateQuarantineFolder(const std::wstring& folder);

// Whether an owner may have made a container: the system, the administrators, or the user given.
bool IsTrustedOwner(void* ownerSid, void* userSid);

// Whether the file or folder belongs to the system, the administrators or the user running this program. A
// container someone else put into the folder is foreign: what it says is that user's word. True when
// the owner cannot be read (a file system that keeps none): nothing then says it is foreign.
bool IsOwnFile(const std::wstring& path);

}  // namespace Quarantine
