// Loading ScanMain.DLL and its main context.
#include "engine/CoreProxy.h"

#include "engine/AvCoreException.h"
#include "base/DiagnosticLog.h"

#include <windows.h>

#include <stdexcept>
#include <string>

namespace AvCore {
namespace {

const size_t CurrentDirectoryBufferSize = 2048;
const char* const ExportNames[] = {"CoreInit",  "CoreFree",  "CoreOptions", "CoreFScan",
                                   "CoreMScan", "CoreRScan", "CoreStopScan"};

}  // namespace

std::wstring EngineLibraryPath(const std::wstring& engineFolder) {
    std::wstring path = engineFolder;
    if (path.empty() || path.back() != L'\\') path += L'\\';
    return path + L"ScanMain.DLL";
}

CCoreProxy::CCoreProxy(const wchar_t* engineFolder) : info_() {
    wchar_t savedDirectory[CurrentDirectoryBufferSize] = {};
    if (::GetCurrentDirectoryW(CurrentDirectoryBufferSize, savedDirectory) == 0)
        throw AvCoreException("GetCurrentDirectoryW failed");
    if (!::SetCurrentDirectoryW(engineFolder)) throw AvCoreException("SetCurrentDirectoryW failed");

    try {
        const std::wstring library = EngineLibraryPath(engineFolder);
        module_.Reset(::LoadLibraryW(library.c_str()));
        if (!module_) {
            const DWORD error = ::GetLastError();
            throw EngineLoadError("Failed to load ScanMain.DLL",
                                  ::GetFileAttributesW(library.c_str()) == INVALID_FILE_ATTRIBUTES
                                      ? "ScanMain.DLL is missing from the engine folder"
                                      : "ScanMain.DLL cannot be loaded (error " + std::to_string(error) + ")");
        }

        FARPROC exports[sizeof(ExportNames) / sizeof(ExportNames[0])];
        for (size_t i = 0; i < sizeof(ExportNames) / sizeof(ExportNames[0]); ++i) {
            exports[i] = ::GetProcAddress(module_.Get(), ExportNames[i]);
            if (!exports[i])
                throw EngineLoadError("ScanMain.DLL has invalid format",
                                      std::string("ScanMain.DLL lacks the export ") + ExportNames[i]);
        }
        coreInit_ = reinterpret_cast<CoreInitFn>(exports[0]);
        coreFree_ = reinterpret_cast<CoreFreeFn>(exports[1]);
        coreFScan = reinterpret_cast<CoreFScanFn>(exports[3]);
        coreStopScan = reinterpret_cast<CoreStopScanFn>(exports[6]);

        CoreInitParams params = {engineFolder, engineFolder, 0, nullptr, nullptr, 0, &info_};
        mainCoreId_ = coreInit_(&params);
        if (!IsValidCoreId(mainCoreId_))
            throw EngineLoadError("Failed to init avcore",
                                  "the engine refused to start (CoreInit answered " + std::to_string(mainCoreId_) + ")");
    } catch (...) {
        module_.Reset();
        ::SetCurrentDirectoryW(savedDirectory);
        throw;
    }
    DebugLine() << L"CCoreProxy created" << L'\n';
}

CCoreProxy::~CCoreProxy() {
    Free(mainCoreId_);
    module_.Reset();
    DebugLine() << L"CCoreProxy destroyed" << L'\n';
}

uint32_t CCoreProxy::Init(ObjectCallbackFn objectCallback, AuxCallbackFn auxCallback, uint32_t reserved) {
    static const wchar_t emptyPath[] = L"";
    boost::mutex::scoped_lock lock(mutex_);
    CoreInfo scratch = {};
    CoreInitParams params = {emptyPath, emptyPath, reserved, objectCallback, auxCallback, 0, &scratch};
    return coreInit_(&params);
}

uint32_t CCoreProxy::Free(uint32_t coreId) {
    boost::mutex::scoped_lock lock(mutex_);
    return coreFree_(coreId);
}

}  // namespace AvCore
