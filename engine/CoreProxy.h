// CCoreProxy: loads ScanMain.DLL from the engine folder, opens its main context, and serialises the
// opening and closing of scanning contexts. The library stays loaded while any owner holds the proxy.
#pragma once

#include "contract/CoreAbi.h"
#include "base/WinHandle.h"

#include <boost/noncopyable.hpp>
#include <boost/thread/mutex.hpp>

#include <string>

namespace AvCore {

// The engine folder, a backslash unless it already ends with one, then "ScanMain.DLL".
std::wstring EngineLibraryPath(const std::wstring& engineFolder);

class CCoreProxy : boost::noncopyable {
public:
    // Throws AvCoreException ("GetCurrentDirectoryW failed", "SetCurrentDirectoryW failed") or
    // std::runtime_error ("Failed to load ScanMain.DLL", "ScanMain.DLL has invalid format",
    // "Failed to init avcore"). On success the engine folder is left as the current directory;
    // after a failure to load, the previous current directory is back.
    explicit CCoreProxy(const wchar_t* engineFolder);
    ~CCoreProxy();

    // Opens a scanning context; returns CoreInit's result unchecked.
    uint32_t Init(ObjectCallbackFn objectCallback, AuxCallbackFn auxCallback, uint32_t reserved);
    uint32_t Free(uint32_t coreId);

    uint32_t CoreVersion() const { return info_.coreVersion; }
    uint32_t RecordCount() const { return info_.recordCount; }

    // Called without the mutex, on the scanning thread.
    CoreFScanFn coreFScan = nullptr;
    CoreStopScanFn coreStopScan = nullptr;

private:
    CoreInitFn coreInit_ = nullptr;
    CoreFreeFn coreFree_ = nullptr;
    Win::ModuleHandle module_;
    CoreInfo info_;
    uint32_t mainCoreId_ = 0;
    boost::mutex mutex_;
};

}  // namespace AvCore
