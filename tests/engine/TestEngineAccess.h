// Reads what a loaded test engine saw, through its extra exports.
#pragma once

#include "tests/engine/testengine/TestEngineStats.h"
#include "engine/CoreProxy.h"

#include <windows.h>

#include <string>

namespace TestSupport {

inline HMODULE LoadedEngine(const std::wstring& folder) {
    return ::GetModuleHandleW(AvCore::EngineLibraryPath(folder).c_str());
}

inline TveStats EngineStats(const std::wstring& folder) {
    TveStats stats = {};
    HMODULE module = LoadedEngine(folder);
    if (module) reinterpret_cast<TveGetStatsFn>(::GetProcAddress(module, "TveGetStats"))(&stats);
    return stats;
}

inline void ResetEngineStats(const std::wstring& folder) {
    HMODULE module = LoadedEngine(folder);
    if (module) reinterpret_cast<TveResetFn>(::GetProcAddress(module, "TveReset"))();
}

}  // namespace TestSupport
