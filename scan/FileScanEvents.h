// What the scan of one file tells the scan it belongs to, and what it takes from it: the objects the
// engine reports, files not scanned, threats handled and cures held back, progress, and the
// quarantine a cure's copy goes into. The engine manager is the one implementation; the per-file
// operations know it only through this.
#pragma once

#include "base/Reason.h"
#include "engine/AvCore.h"

#include <cstdint>

class AvQuarantineManager;

class FileScanEvents {
public:
    // An object the engine is looking at (the file, or a member inside it); the scan may be stopped here.
    virtual void OnObject(AvCore::CAvCoreScanner& scanner, const wchar_t* name, AvCore::ObjectType type, bool inner) = 0;
    virtual void ObjectScanned(const wchar_t* path, AvCore::ObjectType type, bool inner) = 0;
    virtual void ObjectNotScanned(const wchar_t* path, const Reason& why) = 0;
    virtual void ThreatHandled(const AvCore::Threat* threat, bool cured, bool quarantined) = 0;
    virtual void CureWithheld(const AvCore::Threat* threat, const Reason& why) = 0;
    virtual void Progress(int32_t percent) = 0;
    virtual AvQuarantineManager& Quarantine() = 0;

protected:
    ~FileScanEvents() = default;
};
