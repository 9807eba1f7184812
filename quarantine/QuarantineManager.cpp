// The process-wide quarantine manager.
#include "quarantine/QuarantineManager.h"

#include "quarantine/Container.h"
#include "quarantine/HeldFile.h"
#include "quarantine/QuarantineErrors.h"
#include "quarantine/SafePaths.h"
#include "resources/resource.h"

#include <boost/algorithm/string/predicate.hpp>
#include <boost/bind/bind.hpp>

#include <algorithm>

using Quarantine::CQuarantine;

namespace {

boost::shared_ptr<CQuarantine> EveryFixedDisk() { return boost::shared_ptr<CQuarantine>(new CQuarantine()); }

}  // namespace

AvQuarantineManager& AvQuarantineManager::Get() {
    static AvQuarantineManager manager;
    return manager;
}

AvQuarantineManager::AvQuarantineManager(const StoreFactory& factory)
    : loaded_(false), factory_(factory ? factory : StoreFactory(EveryFixedDisk)) {}

AvQuarantineManager::~AvQuarantineManager() {
    for (auto& connection : connections_) connection.disconnect();
}

void AvQuarantineManager::Start() {
    if (store_) return;
    try {
        store_ = factory_();
    } catch (...) {
        store_.reset();
    }
    if (!store_) {
        ready(false);
        return;
    }
    connections_[0] = store_->loadStarted.connect(boost::bind(&AvQuarantineManager::OnLoadStarted, this));
    connections_[1] = store_->loadFinished.connect(boost::bind(&AvQuarantineManager::OnLoadFinished, this));
    connections_[2] = store_->entryAdded.connect(
        boost::bind(&AvQuarantineManager::OnEntryAdded, this, boost::placeholders::_1, boost::placeholders::_2));
    connections_[3] = store_->entryDeleted.connect(
        boost::bind(&AvQuarantineManager::OnEntryDeleted, this, boost::placeholders::_1));
    // The loaders started with the store: a loader that finished before the connection, or no disk
    // at all, must not keep this wait going, so the store's own count decides.
    while (store_->IsLoading()) ::Sleep(10);
    loaded_ = true;
    ready(true);
}

bool AvQuarantineManager::QuarantineThreat(const AvCore::Threat& threat, Reason* why, const Quarantine::CHeldFile* held) {
    return QuarantineThreatEntry(threat, why, held) > 0;
}

int AvQuarantineManager::QuarantineThreatEntry(const AvCore::Threat& threat, Reason* why,
                                               const Quarantine::CHeldFile* held) {
    Reason reason(IDS_REASON_NO_QUARANTINE);
    if (store_) {
        try {
            const int identifier = store_->Add(threat, Quarantine::Format::OwnOriginCode, held);
            if (identifier > 0) return identifier;
        } catch (const std::exception& e) {
            reason = Quarantine::ReasonOf(e);
        } catch (...) {
        }
    }
    if (why) *why = reason;
    return 0;
}

namespace {

// Moves the held file into the folder under its own name, or "name (2).ext" and on when that is taken:
// renamed within its disk, copied to another and removed.
std::wstring MoveHeld(Quarantine::CHeldFile& held, const std::wstring& folder) {
    const std::wstring name = Quarantine::FileNameFromStoredPath(held.Path());
    const std::wstring base = !folder.empty() && folder.back() == L'\\' ? folder : folder + L"\\";
    bool sameDisk = true;
    for (int n = 1; n <= 9999; ++n) {
        const std::wstring candidate = base + (n == 1 ? name : Quarantine::NumberedName(name, n));
        try {
            if (sameDisk) {
                held.Rename(candidate);
            } else {
                held.CopyTo(candidate);
                held.Remove();
            }
            return candidate;
        } catch (const Quarantine::IOError& e) {
            if (sameDisk && e.Code() == ERROR_NOT_SAME_DEVICE) {
                sameDisk = false;
                --n;
            } else if (e.Code() != ERROR_ALREADY_EXISTS && e.Code() != ERROR_FILE_EXISTS) {
                throw;
            }
        }
    }
    throw Quarantine::QuarantineException("No free name", Reason(IDS_REASON_NO_FREE_NAME, folder));
}

}  // namespace

bool AvQuarantineManager::RemoveWithCopy(const AvCore::Threat& threat, bool& quarantined, Reason& why,
                                         const std::wstring& moveToFolder, std::wstring* movedTo) {
    // Never a removal that no restore could undo.
    if (!Quarantine::IsSafeOriginalPath(threat.object)) {
        why = Reason(IDS_REASON_NO_COPY, ReasonText(Reason(IDS_REASON_BAD_PATH, threat.object)));
        return false;
    }
    int fresh = 0;
    try {
        const std::unique_ptr<Quarantine::CHeldFile> holding = Quarantine::HoldFile(
            threat.object, moveToFolder.empty() ? Quarantine::CHeldFile::Access::ReadOnly : Quarantine::CHeldFile::Access::ReadWrite);
        Quarantine::CHeldFile& held = *holding;
        if (!quarantined || !HasCopyOf(held)) {
            Reason copyFailure;
            fresh = QuarantineThreatEntry(threat, &copyFailure, &held);
            if (!fresh) {
                why = Reason(IDS_REASON_NO_COPY, ReasonText(copyFailure));
                return false;
            }
            quarantined = true;
        }
        if (moveToFolder.empty()) {
            held.Remove();
        } else {
            const std::wstring moved = MoveHeld(held, moveToFolder);
            if (movedTo) *movedTo = moved;
        }
        return true;
    } catch (const Quarantine::IOError& e) {
        why = e.reason ? e.reason : SystemErrorReason(e.Code());
    } catch (const std::exception& e) {
        why = Quarantine::ReasonOf(e);
    }
    // The file is still there as it was: the copy just made is not needed, and a later try makes its own.
    if (fresh) {
        if (store_) store_->Delete(fresh);
        quarantined = false;
    }
    return false;
}

bool AvQuarantineManager::RemoveWithoutCopy(const AvCore::Threat& threat, Reason& why) {
    if (!Quarantine::IsSafeOriginalPath(threat.object)) {
        why = Reason(IDS_REASON_BAD_PATH, threat.object);
        return false;
    }
    try {
        Quarantine::HoldFile(threat.object, Quarantine::CHeldFile::Access::ReadOnly)->Remove();
        return true;
    } catch (const Quarantine::IOError& e) {
        why = e.reason ? e.reason : SystemErrorReason(e.Code());
    } catch (const std::exception& e) {
        why = Quarantine::ReasonOf(e);
    }
    return false;
}

bool AvQuarantineManager::HasCopyOf(const Quarantine::CHeldFile& held) {
    if (!store_) return false;
    Quarantine::EntryTable table;
    store_->GetEntries(table);
    const Quarantine::Entry* newest = nullptr;
    for (const auto& entry : table)
        if (boost::algorithm::iequals(entry.second.OriginalPath, held.Path()) &&
            (!newest || Quarantine::IsOlderCopy(*newest, entry.second)))
            newest = &entry.second;
    try {
        return newest && Quarantine::CContainerReader(newest->ContainerPath).SameContent(0, held.Get());
    } catch (const std::exception&) {
        return false;
    }
}

void AvQuarantineManager::GetSnapshot(Snapshot& out) {
    if (!store_) return;
    Quarantine::EntryTable table;
    store_->GetEntries(table);
    Snapshot sorted;
    for (const auto& entry : table) sorted.push_back(entry);
    sorted.sort([](const Snapshot::value_type& a, const Snapshot::value_type& b) {
        return a.second.Time < b.second.Time;
    });  // std::list::sort is stable
    out.splice(out.end(), sorted);
}

bool AvQuarantineManager::RestoreToOriginal(int identifier, Reason* why, bool confirmed) {
    auto fail = [why](const Reason& reason) {
        if (why) *why = reason;
        return false;
    };
    if (!store_) return fail(Reason(IDS_REASON_NO_QUARANTINE));
    try {
        Quarantine::Entry entry;
        if (!store_->GetEntry(identifier, entry)) return fail(Reason(IDS_REASON_ENTRY_GONE));
        if (!Quarantine::IsSafeOriginalPath(entry.OriginalPath)) return fail(Reason(IDS_REASON_BAD_PATH, entry.OriginalPath));
        if (!confirmed && entry.Foreign) return fail(Reason(IDS_REASON_FOREIGN_COPY, entry.OriginalPath));
        if (!confirmed && !Quarantine::IsUsualPlace(entry.OriginalPath, entry.ContainerPath))
            return fail(Reason(IDS_REASON_UNUSUAL_PLACE, entry.OriginalPath));
        store_->Restore(identifier, entry.OriginalPath.c_str(), Quarantine::CQuarantine::RestoreMode::Overwrite);
        return true;
    } catch (const std::exception& e) {
        return fail(Quarantine::ReasonOf(e));
    }
}

boost::shared_ptr<CQuarantine> AvQuarantineManager::GetStore() { return store_; }
