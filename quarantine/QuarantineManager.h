// AvQuarantineManager: the process-wide owner of the quarantine store and the only way the rest of
// the program reaches it.
#pragma once

#include "quarantine/Quarantine.h"

#include <boost/function.hpp>
#include <boost/signals2/connection.hpp>

#include <atomic>
#include <list>
#include <utility>

class AvQuarantineManager : boost::noncopyable {
public:
    typedef std::list<std::pair<int, Quarantine::Entry>> Snapshot;
    typedef boost::function<boost::shared_ptr<Quarantine::CQuarantine>()> StoreFactory;

    // Emitted once by Start: true when the store runs and its first load has finished.
    boost::signals2::signal<void(bool)> ready;

    // The one manager of the process.
    static AvQuarantineManager& Get();

    // A manager whose store comes from the factory (by default: every fixed disk).
    explicit AvQuarantineManager(const StoreFactory& factory = StoreFactory());
    ~AvQuarantineManager();

    // Creates the store and blocks until its first load has finished; once only.
    void Start();
    // Copies the threat's file (through its handle when it is held) into the quarantine with origin
    // code 100. Never throws; on failure the reason is written to *why when given.
    bool QuarantineThreat(const AvCore::Threat& threat, Reason* why = nullptr,
                          const Quarantine::CHeldFile* held = nullptr);
    // The same, giving the new entry's identifier (0 on failure).
    int QuarantineThreatEntry(const AvCore::Threat& threat, Reason* why = nullptr,
                              const Quarantine::CHeldFile* held = nullptr);
    // Removes a threat's file, or moves it into a folder (under a free name there), after a restorable
    // copy of it as it is now went into the quarantine (none is made when quarantined is true and the
    // newest entry of its path holds that content). The file is held from its copy to its removal, so no
    // change another program makes in between goes without a copy. False, the file left as it was and
    // why, when no copy could be made or the file could not be removed; quarantined tells afterwards
    // whether a copy of it is in the quarantine. Never throws.
    bool RemoveWithCopy(const AvCore::Threat& threat, bool& quarantined, Reason& why,
                        const std::wstring& moveToFolder = std::wstring(), std::wstring* movedTo = nullptr);
    // Removes the file for good, with no copy: only for a user who was told and confirmed it (a file
    // too large for the quarantine). A path that no copy could name is refused. Never throws.
    bool RemoveWithoutCopy(const AvCore::Threat& threat, Reason& why);
    // Whether the newest entry of the held file's path holds exactly its present content.
    bool HasCopyOf(const Quarantine::CHeldFile& held);
    // Appends every entry to out, oldest first; equal times keep identifier order.
    void GetSnapshot(Snapshot& out);
    // Restores the entry over its original path; the entry stays. A different file at that path is
    // first copied into the quarantine; a stored path that is not a full path on a drive or a share is
    // refused, and so is one in an unusual place (see IsUsualPlace) or kept by another user (Foreign)
    // unless the user confirmed it.
    // Never throws; on failure the reason is written to *why when given.
    bool RestoreToOriginal(int identifier, Reason* why = nullptr, bool confirmed = false);
    boost::shared_ptr<Quarantine::CQuarantine> GetStore();

    bool IsLoaded() const { return loaded_; }

private:
    void OnLoadStarted() { loaded_ = false; }
    void OnLoadFinished() { loaded_ = true; }
    void OnEntryAdded(int, const Quarantine::Entry&) {}
    void OnEntryDeleted(int) {}

    std::atomic<bool> loaded_;
    boost::shared_ptr<Quarantine::CQuarantine> store_;
    StoreFactory factory_;
    // Released before the store, which a file action may still hold.
    boost::signals2::scoped_connection connections_[4];
};
