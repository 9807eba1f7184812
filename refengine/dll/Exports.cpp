// ScanMain.DLL, the reference engine: the engine contract's seven exports over the signature engine.
// The main context loads every base in the engine folder; scanning contexts scan and cure files.
#include "contract/CoreAbi.h"
#include "base/WinHandle.h"
#include "refengine/containers/Archive.h"
#include "refengine/core/Scanner.h"
#include "refengine/object/Scratch.h"

#include <windows.h>

#include <memory>
#include <string>

using namespace AvCore;

#define REF_EXPORT extern "C" __declspec(dllexport)

namespace {

const uint32_t CoreVersion = 0x01000000;  // 1.0.0.0
const uint32_t MainContext = 1;

struct Context {
    bool open = false;
    ObjectCallbackFn callback = nullptr;
    volatile long stop = 0;
    std::unique_ptr<RefEngine::ScratchSpace> scratch;  // kept from one scan to the next; freed with the context
};

CRITICAL_SECTION lock;
Context contexts[MaxCoreId + 1];
RefEngine::Database database;
std::unique_ptr<RefEngine::Engine> engine;

void CopyName(const std::string& name, char* buffer) {
    // Never past the 64-byte buffer, always with its NUL.
    const size_t length = name.size() < ThreatNameBufferSize - 1 ? name.size() : ThreatNameBufferSize - 1;
    memcpy(buffer, name.data(), length);
    buffer[length] = 0;
}

// Cuts the file at the match, in place, through the handle it was scanned through: the file keeps
// everything before the body, and no temporary file is ever made beside it. The scanner has put a
// copy into the quarantine first.
bool CutAt(HANDLE file, uint64_t length) {
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(length);
    return ::SetFilePointerEx(file, at, nullptr, FILE_BEGIN) && ::SetEndOfFile(file) && ::FlushFileBuffers(file);
}

// A file that cannot be read is reported as not scanned, with the system's reason.
uint32_t NotScanned(CoreScanParams* params, DWORD error, const char* why) {
    if (params->outcome) params->outcome->errorCode = error;
    if (params->threatName && why) CopyName(why, params->threatName);
    return CodeNotScanned;
}

// Text for a caller's buffer: at most size bytes, with the NUL; the whole length returned.
uint32_t CopyText(const std::string& text, char* buffer, uint32_t size) {
    if (buffer && size) {
        const size_t n = text.size() < size - 1 ? text.size() : size - 1;
        memcpy(buffer, text.data(), n);
        buffer[n] = 0;
    }
    return static_cast<uint32_t>(text.size());
}

}  // namespace

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) ::InitializeCriticalSection(&lock);
    if (reason == DLL_PROCESS_DETACH) ::DeleteCriticalSection(&lock);
    return TRUE;
}

REF_EXPORT uint32_t __stdcall CoreInit(CoreInitParams* params) {
    if (!params) return 0;
    ::EnterCriticalSection(&lock);
    uint32_t id = 0;
    if (!params->objectCallback) {  // the main context: load the bases once
        if (!engine) {
            try {
                const std::wstring folder = params->engineFolder ? params->engineFolder : L".";
                database.LoadFolder(folder);
                engine.reset(new RefEngine::Engine(database, RefEngine::Budgets(), RefEngine::LimitsFromSettings(folder + L"\\refengine.ini")));
            } catch (...) {
                // Bases that cannot be held: the engine refuses to start instead of ending the process.
                database = RefEngine::Database();
                ::LeaveCriticalSection(&lock);
                return 0;
            }
        }
        if (params->info) {
            params->info->coreVersion = CoreVersion;
            params->info->recordCount = database.Records();
        }
        contexts[MainContext].open = true;
        id = MainContext;
    } else {
        for (uint32_t i = MainContext + 1; i <= MaxCoreId; ++i)
            if (!contexts[i].open) {
                contexts[i].open = true;
                contexts[i].callback = params->objectCallback;
                contexts[i].stop = 0;
                contexts[i].scratch.reset(new RefEngine::ScratchSpace);
                id = i;
                break;
            }
    }
    ::LeaveCriticalSection(&lock);
    return id;
}

REF_EXPORT uint32_t __stdcall CoreFree(uint32_t coreId) {
    ::EnterCriticalSection(&lock);
    if (IsValidCoreId(coreId)) {
        contexts[coreId].open = false;
        contexts[coreId].callback = nullptr;
        contexts[coreId].scratch.reset();
        // With the last context gone the bases go too: the next start reads them anew (an update may
        // have replaced them), even when the system keeps this library loaded in between.
        bool open = false;
        for (uint32_t i = MainContext; i <= MaxCoreId; ++i) open = open || contexts[i].open;
        if (!open) {
            engine.reset();
            database = RefEngine::Database();
        }
    }
    ::LeaveCriticalSection(&lock);
    return 0;
}

REF_EXPORT uint32_t __stdcall CoreOptions(uint32_t) { return 0; }
REF_EXPORT uint32_t __stdcall CoreMScan(uint32_t, void*) { return 0; }
REF_EXPORT uint32_t __stdcall CoreRScan(uint32_t, void*) { return 0; }

REF_EXPORT uint32_t __stdcall CoreStopScan(uint32_t coreId) {
    if (IsValidCoreId(coreId)) ::InterlockedExchange(&contexts[coreId].stop, 1);
    return 0;
}

namespace {

uint32_t ScanFile(uint32_t coreId, Context& context, CoreScanParams* params) {
    // A cure scans and cuts through one handle that no other writer shares: what is cut is what was
    // scanned.
    const bool cure = params->mode == ScanModeCure;
    Win::FileHandle file(::CreateFileW(params->path, GENERIC_READ | (cure ? GENERIC_WRITE : 0),
                                       FILE_SHARE_READ | (cure ? 0 : FILE_SHARE_WRITE), nullptr, OPEN_EXISTING,
                                       FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) return NotScanned(params, ::GetLastError(), nullptr);
    // A device or a pipe (a Unix FIFO, a link to /dev/null) has no content to vouch for.
    if (::GetFileType(file.Get()) != FILE_TYPE_DISK) return NotScanned(params, 0, "not scanned: not a regular file");
    const RefEngine::ScratchScope scratch(*context.scratch);
    RefEngine::FileSource source(file.Get());
    auto member = [&](const std::wstring& name, const RefEngine::Detection& found) {
        if (!context.callback || ::InterlockedCompareExchange(&context.stop, 0, 0)) return;
        context.callback(coreId, name.c_str(), found.found ? DetectionCodeOne : 0, found.found ? found.name.c_str() : "");
    };
    const RefEngine::Detection detection = engine->Scan(source, params->path, &context.stop, member);
    if (!detection.found && (detection.incomplete || source.Failed())) {
        // Never clean when part of it could not be checked: the scanner shows it as not scanned.
        const std::string why = source.Failed() ? "the file could not be read to its end" : detection.why;
        // The reason whole (a signature's name in it) rather than its first words, when the buffer
        // cannot hold both.
        const std::string text = "not fully scanned: " + why;
        return NotScanned(params, 0, (text.size() < ThreatNameBufferSize ? text : why).c_str());
    }
    if (!detection.found) return CodeClean;
    if (params->threatName) CopyName(detection.name, params->threatName);
    if (params->outcome) params->outcome->curable = detection.curable ? 1 : 0;
    if (cure && detection.curable && params->outcome && CutAt(file.Get(), detection.matchStart))
        params->outcome->action = ScanModeCure;
    return DetectionCodeOne;
}

}  // namespace

REF_EXPORT uint32_t __stdcall CoreFScan(uint32_t coreId, CoreScanParams* params) {
    if (!IsValidCoreId(coreId) || coreId == MainContext || !contexts[coreId].open || !engine || !params || !params->path)
        return 0;
    Context& context = contexts[coreId];
    ::InterlockedExchange(&context.stop, 0);
    // Nothing may escape into the scanner's process: whatever is left is a file not scanned.
    try {
        return ScanFile(coreId, context, params);
    } catch (const std::bad_alloc&) {
        return NotScanned(params, ERROR_NOT_ENOUGH_MEMORY, "not scanned: out of memory");
    } catch (...) {
        return NotScanned(params, 0, "not scanned: an internal error of the engine");
    }
}

// What the limits left out so far: overlong base lines skipped, objects cut short by an archive limit
// (or damage), objects cut short by the matcher's work limits.
REF_EXPORT void __stdcall RefEngineLimits(uint32_t* overlongLines, uint32_t* archiveCuts, uint32_t* workCuts) {
    if (overlongLines) *overlongLines = database.overlong;
    if (archiveCuts) *archiveCuts = engine ? engine->ArchiveCuts() : 0;
    if (workCuts) *workCuts = engine ? engine->WorkCuts() : 0;
}

// The object that came closest to a work limit of the matcher so far: the share of the limit it used,
// in millionths, and which limit, signature and object, as text (at most size bytes with the NUL).
REF_EXPORT void __stdcall RefEngineWorkPeak(uint32_t* millionths, char* text, uint32_t size) {
    const RefEngine::Engine::WorkPeak peak = engine ? engine->BusiestObject() : RefEngine::Engine::WorkPeak();
    if (millionths) *millionths = peak.share;
    if (text && size) {
        const size_t n = peak.text.size() < size - 1 ? peak.text.size() : size - 1;
        memcpy(text, peak.text.data(), n);
        text[n] = 0;
    }
}

// For tests: what the bases held.
REF_EXPORT void __stdcall RefEngineReport(uint32_t* records, uint32_t* skipped) {
    if (records) *records = database.Records();
    if (skipped) *skipped = database.skipped;
}

// What the bases held, per type, as lines of text ("loaded .ndb 1200", "skipped files .cdb 1", and what
// each container said of itself), and the archive formats the engine opens. Writes at most size bytes,
// with the NUL; returns the whole length.
REF_EXPORT uint32_t __stdcall RefEngineReportText(char* buffer, uint32_t size) {
    std::string text = database.Summary() + "archive formats:";
    for (const auto& format : RefEngine::ArchiveFormats()) text += " " + format->Name() + ",";
    text.back() = '\n';
    return CopyText(text, buffer, size);
}

// Each base line skipped for a reason, as "type name: reason" lines (the first 100,000), in the same
// way as RefEngineReportText.
REF_EXPORT uint32_t __stdcall RefEngineSkippedText(char* buffer, uint32_t size) {
    std::string text;
    for (const std::string& line : database.skippedNames) text += line + "\n";
    return CopyText(text, buffer, size);
}
