// The temporary file of a restore: created beside its target under a name no user file has
// ("~tqr-<GUID>.!tqr-tmp"), and recorded in a quarantine folder ("<GUID>.!tqt") for as long as it may
// exist, so that the next start removes one that a crash left behind.
#pragma once

#include <boost/noncopyable.hpp>

#include <string>

namespace Quarantine {

class CTemporaryFile : boost::noncopyable {
public:
    // Writes and flushes the record in the journal folder (a quarantine folder) first; the file
    // itself is created by its user, always as a new file. Throws IOError when the record cannot be
    // written.
    CTemporaryFile(const std::wstring& journalFolder, const std::wstring& targetFolder, const std::wstring& guid);
    // Removes the file if it is still there, then the record.
    ~CTemporaryFile();

    const std::wstring& Path() const { return path_; }

private:
    std::wstring path_;
    std::wstring record_;
};

// At load: the record names a temporary file of an interrupted restore; remove that file (only a file
// whose name is the record's own temporary name) and then the record.
void RemoveLeftoverTemporary(const std::wstring& recordPath);

// The temporary name for a GUID, and the record's extension.
std::wstring TemporaryFileName(const std::wstring& guid);
extern const wchar_t* const TemporaryRecordExtension;

}  // namespace Quarantine
