// The binary contract with ScanMain.DLL: block layouts, export and callback types (32-bit x86, stdcall).
#pragma once

#include <cstddef>
#include <cstdint>

namespace AvCore {

typedef int32_t(__stdcall* ObjectCallbackFn)(uint32_t coreId, const wchar_t* objectName, uint32_t verdict,
                                             const char* threatName);
typedef int32_t(__stdcall* AuxCallbackFn)(uint32_t, uint32_t);

// Context identifiers the engine may hand out; anything else from CoreInit is a failure.
const uint32_t MinCoreId = 1;
const uint32_t MaxCoreId = 64;
inline bool IsValidCoreId(uint32_t coreId) { return coreId >= MinCoreId && coreId <= MaxCoreId; }

// Detection codes of CoreFScan and of a callback verdict's low byte.
const uint32_t DetectionCodeOne = 1;
const uint32_t DetectionCodeTwo = 2;
inline bool IsDetection(uint32_t code) { return code == DetectionCodeOne || code == DetectionCodeTwo; }
// A file the engine could not scan (unreadable, or cut short by a limit): any code but 0, 1 and 2. The
// engine may say why in the name buffer (ANSI text) and in ScanOutcome::errorCode; such a file is never
// taken for a clean one. Engines of this system return CodeNotScanned.
const uint32_t CodeClean = 0;
const uint32_t CodeNotScanned = 0xFFFFFFFFu;
inline bool IsNotScanned(uint32_t code) { return code != CodeClean && !IsDetection(code); }

const uint32_t ScanModeScan = 0;
const uint32_t ScanModeCure = 1;
const uint32_t ScanFlagsAll = 0xFFFFFFFFu;
const size_t ThreatNameBufferSize = 64;

struct CoreInfo {
    uint32_t coreVersion;  // four 8-bit numbers, most significant first
    uint32_t recordCount;
};

struct CoreInitParams {
    const wchar_t* engineFolder;
    const wchar_t* basesFolder;
    uint32_t reserved;
    ObjectCallbackFn objectCallback;
    AuxCallbackFn auxCallback;
    uint32_t reserved2;
    CoreInfo* info;
};

struct ScanOptions {
    uint32_t options[8];
    uint32_t zero[8];
    uint32_t one;    // always 1
    uint32_t zero2;  // always 0
};

struct ScanOutcome {
    uint32_t errorCode;  // for a file not scanned: the system's error code, or 0
    uint32_t unread4;
    uint32_t curable;  // 1: the detected object can be cured
    uint32_t action;   // the action carried out; equals the mode when a cure succeeded
    uint32_t unread16;
};

struct CoreScanParams {
    const wchar_t* path;
    uint32_t mode;
    uint32_t flags;
    ScanOptions* options;
    char* threatName;  // ThreatNameBufferSize bytes, ANSI
    ScanOutcome* outcome;
};

typedef uint32_t(__stdcall* CoreInitFn)(CoreInitParams* params);
typedef uint32_t(__stdcall* CoreFreeFn)(uint32_t coreId);
typedef uint32_t(__stdcall* CoreFScanFn)(uint32_t coreId, CoreScanParams* params);
typedef uint32_t(__stdcall* CoreStopScanFn)(uint32_t coreId);

static_assert(sizeof(void*) == 4, "the engine contract is 32-bit");
static_assert(sizeof(CoreInfo) == 8, "CoreInfo layout");
static_assert(sizeof(CoreInitParams) == 28 && offsetof(CoreInitParams, objectCallback) == 12 &&
                  offsetof(CoreInitParams, auxCallback) == 16 && offsetof(CoreInitParams, info) == 24,
              "CoreInitParams layout");
static_assert(sizeof(ScanOptions) == 72 && offsetof(ScanOptions, one) == 64, "ScanOptions layout");
static_assert(sizeof(ScanOutcome) == 20 && offsetof(ScanOutcome, curable) == 8 && offsetof(ScanOutcome, action) == 12,
              "ScanOutcome layout");
static_assert(sizeof(CoreScanParams) == 24 && offsetof(CoreScanParams, threatName) == 16 &&
                  offsetof(CoreScanParams, outcome) == 20,
              "CoreScanParams layout");

}  // namespace AvCore
