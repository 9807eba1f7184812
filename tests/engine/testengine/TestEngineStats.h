// What the test engine saw of its caller, read by tests through the extra export TveGetStats.
#pragma once

#include "contract/CoreAbi.h"

#include <cstdint>

struct TveStats {
    uint32_t initCalls;
    uint32_t freeCalls;
    uint32_t fscanCalls;
    uint32_t stopCalls;
    uint32_t lastStopCoreId;
    uint32_t lastFreedCoreId;
    uint32_t openContexts;  // scanning contexts not yet freed
    // The main context's CoreInit block.
    wchar_t mainEngineFolder[260];
    uint32_t mainPathsShared;  // both path pointers equal
    uint32_t mainCallbacksNull;
    uint32_t mainReserved;
    uint32_t mainReserved2;
    wchar_t currentDirectoryAtInit[260];
    // The last scanning context's CoreInit block.
    uint32_t contextPathsEmpty;
    uint32_t contextReserved;
    uint32_t contextReserved2;
    uint32_t contextInfoZeroed;  // the scratch CoreInfo arrived zeroed
    uint32_t contextCallbacksSet;
    // The last CoreFScan call.
    uint32_t lastCoreId;
    uint32_t lastMode;
    uint32_t lastFlags;
    AvCore::ScanOptions lastOptions;
    uint32_t lastOutcomeZeroed;  // the ScanOutcome block arrived zeroed
    wchar_t lastPath[1024];
    // Results of the last callbacks with an out-of-range coreId.
    int32_t lastForeignCallbackResult;
    uint32_t loopCallbacksMade;  // callbacks of the last TVE:LOOP before it stopped
};

typedef void(__stdcall* TveGetStatsFn)(TveStats* out);
typedef void(__stdcall* TveResetFn)();
