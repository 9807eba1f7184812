// File actions on quarantine entries: delete, restore to the original place, restore into a chosen
// folder. Each runs on one entry identifier at a time and says whether it handled the entry; a
// restored entry leaves the quarantine only after its restore succeeded.
#pragma once

#include "framework/String.h"

#include <windows.h>

#include <boost/function.hpp>

#include <set>
#include <string>
#include <vector>

class AvQuarantineManager;

class CFileAction {
public:
    explicit CFileAction(AvQuarantineManager& manager) : manager_(manager) {}
    virtual ~CFileAction() = default;
    CFileAction(const CFileAction&) = delete;
    CFileAction& operator=(const CFileAction&) = delete;

    // Called once with every identifier the action is about to run on, in that order.
    virtual void Prepare(const std::vector<int>& identifiers) {}
    virtual bool Execute(int identifier) = 0;
    // Why the last Execute returned false; empty when there is nothing to tell the user.
    const std::wstring& LastError() const { return lastError_; }

protected:
    AvQuarantineManager& manager_;
    std::wstring lastError_;
};

class CFileDeleteAction : public CFileAction {
public:
    explicit CFileDeleteAction(AvQuarantineManager& manager);
    bool Execute(int identifier) override;  // false when the container could not be deleted
};

// Restores entries to their original place. Of several entries of one original path in one run, only
// the oldest (the file as it was before any cure) is restored; the others stay in the quarantine.
class CFileRestoreAction : public CFileAction {
public:
    // Asks the user whether a file goes back to an unusual original place (the question's text given).
    typedef boost::function<bool(const std::wstring& question)> Confirmation;

    explicit CFileRestoreAction(AvQuarantineManager& manager);
    void Prepare(const std::vector<int>& identifiers) override;
    // A file whose original place is unusual (another drive, a share, the folder of Windows or of
    // this program) is restored there only when the user confirms it.
    bool Execute(int identifier) override;

    // The question used from now on: the windows ask in a message box (dialogs/FileActionPrompts);
    // empty: nobody is asked, and the place is refused.
    static void SetConfirmation(const Confirmation& confirmation);

private:
    std::set<int> heldBack_;
};

class CFileRestoreToFolderAction : public CFileAction {
public:
    // Asks the user for a folder: true and its full path when one was chosen.
    typedef boost::function<bool(HWND owner, std::wstring& chosenFolder)> FolderDialog;

    // Asks for the folder now; a cancelled choice leaves the folder empty.
    CFileRestoreToFolderAction(HWND parent, AvQuarantineManager& manager);
    bool Execute(int identifier) override;
    const CString& Folder() const { return folder_; }

    // The dialog used from now on: the windows show the shell's folder browser
    // (dialogs/FileActionPrompts); empty: no folder is chosen.
    static void SetFolderDialog(const FolderDialog& dialog);

private:
    CString folder_;
};

// Of the identifiers, those that are not the oldest entry of their original path (compared without
// regard to case): restoring them too would write a later, partly cured copy over the oldest.
std::set<int> NewerCopiesOfOnePath(AvQuarantineManager& manager, const std::vector<int>& identifiers);
