// A scanning engine for tests: honours the engine contract, and decides what it reports from
// directive lines in the scanned file. A line "TVE:<VERB> args" anywhere in the first 64 KiB:
//   DETECT <code> <name> [curable]   result code and threat name (code 1 or 2 is a detection)
//   CURE change|one|touch|truncate|nochange|fail|delete   what a cure (mode 1) does; default change
//   OBJECT <verdict> <name> [threat]  one callback for the object "<path>><name>" before the result
//   LOOP <count> <sleep ms>          that many callbacks; ends early after CoreStopScan
//   CALLBACKID <id>                  one detected callback with that coreId
//   LONGNAME                         detection code 1 with a 64-byte name and no terminating NUL
//   ANSINAME                         detection code 2 with the name "Virus.\xC4" (system code page)
//   RESULT <n> [reason]              return n from CoreFScan, with the reason in the name buffer
//   SLEEP <ms>                       wait that long inside the scan
// "change" rewrites every "TVE:DETECT" into "TVE:CLEAN-", so a rescan finds the file clean; "one"
// rewrites only the first; "touch" appends a byte and leaves the detection in place; "truncate" cuts the
// file where its first "TVE:DETECT" begins.
// Build variants: TVE_MISSING_<export>, TVE_MAIN_INIT_RESULT, TVE_REFUSE_CONTEXTS, TVE_READ_ONLY.
#include "contract/CoreAbi.h"
#include "tests/engine/testengine/TestEngineStats.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace AvCore;

#define TVE_EXPORT extern "C" __declspec(dllexport)

namespace {

#if defined(TVE_READ_ONLY) || defined(TVE_MISSING_CoreFScan)
#define TVE_UNUSED_IN_READ_ONLY __attribute__((unused))
#else
#define TVE_UNUSED_IN_READ_ONLY
#endif

struct Context {
    bool open = false;
    ObjectCallbackFn objectCallback = nullptr;
    volatile long stopRequested = 0;
};

Context contexts[MaxCoreId + 1];
CRITICAL_SECTION lock;
TveStats stats;
const uint32_t MainCoreId = 1;

struct Directives {
    uint32_t result = 0;
    bool resultSet = false;
    std::string name;
    bool curable = false;
    std::string cure = "change";
    struct Object {
        uint32_t verdict;
        std::string name;
        std::string threat;
    };
    std::vector<Object> objects;
    uint32_t loopCount = 0;
    uint32_t loopSleep = 0;
    bool callbackIdSet = false;
    uint32_t callbackId = 0;
    bool longName = false;
    bool ansiName = false;
    uint32_t sleep = 0;
};

// The file's first bytes; *openError (when given) is the system's error when it cannot be opened.
std::vector<char> ReadContent(const wchar_t* path, size_t limit, DWORD* openError = nullptr) {
    std::vector<char> data;
    HANDLE file = ::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (openError) *openError = file == INVALID_HANDLE_VALUE ? ::GetLastError() : 0;
    if (file == INVALID_HANDLE_VALUE) return data;
    char block[65536];
    DWORD got = 0;
    while (::ReadFile(file, block, sizeof(block), &got, nullptr) && got > 0) {
        if (data.size() < limit) data.insert(data.end(), block, block + got);
    }
    ::CloseHandle(file);
    return data;
}

TVE_UNUSED_IN_READ_ONLY Directives Parse(const std::vector<char>& data) {
    Directives d;
    const size_t limit = data.size() < 65536 ? data.size() : 65536;
    std::string text(data.begin(), data.begin() + limit);
    size_t pos = 0;
    while ((pos = text.find("TVE:", pos)) != std::string::npos) {
        const bool atLineStart = pos == 0 || text[pos - 1] == '\n' || text[pos - 1] == '\r';
        size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos + 4, end - pos - 4);
        pos = end;
        if (!atLineStart) continue;
        char verb[32] = {}, a[256] = {}, b[256] = {}, c[256] = {};
        const int n = std::sscanf(line.c_str(), "%31s %255s %255s %255s", verb, a, b, c);
        const std::string v = verb;
        if (v == "DETECT" && n >= 3) {
            d.result = std::strtoul(a, nullptr, 10);
            d.resultSet = true;
            d.name = b;
            d.curable = n >= 4 && std::string(c) == "curable";
        } else if (v == "CURE" && n >= 2) {
            d.cure = a;
        } else if (v == "OBJECT" && n >= 3) {
            d.objects.push_back({static_cast<uint32_t>(std::strtoul(a, nullptr, 0)), b, n >= 4 ? c : ""});
        } else if (v == "LOOP" && n >= 3) {
            d.loopCount = std::strtoul(a, nullptr, 10);
            d.loopSleep = std::strtoul(b, nullptr, 10);
        } else if (v == "CALLBACKID" && n >= 2) {
            d.callbackIdSet = true;
            d.callbackId = std::strtoul(a, nullptr, 10);
        } else if (v == "LONGNAME") {
            d.longName = true;
        } else if (v == "ANSINAME") {
            d.ansiName = true;
        } else if (v == "RESULT" && n >= 2) {
            d.result = std::strtoul(a, nullptr, 10);
            d.resultSet = true;
            if (n >= 3) d.name = b;
        } else if (v == "SLEEP" && n >= 2) {
            d.sleep = std::strtoul(a, nullptr, 10);
        }
    }
    return d;
}

TVE_UNUSED_IN_READ_ONLY std::wstring Widen(const std::string& text) {
    std::wstring wide;
    for (unsigned char ch : text) wide += static_cast<wchar_t>(ch);
    return wide;
}

TVE_UNUSED_IN_READ_ONLY bool StopRequested(uint32_t coreId) { return ::InterlockedCompareExchange(&contexts[coreId].stopRequested, 0, 0) != 0; }

// Rewrites detection lines in place (all, or only the first), or appends a byte.
TVE_UNUSED_IN_READ_ONLY bool CureFile(const wchar_t* path, const std::string& how) {
    std::vector<char> data = ReadContent(path, static_cast<size_t>(-1));
    std::string text(data.begin(), data.end());
    if (how == "touch") {
        text += "+";
    } else if (how == "truncate") {
        const size_t at = text.find("TVE:DETECT");
        if (at == std::string::npos) return false;
        text.resize(at);
    } else {
        size_t pos = 0;
        while ((pos = text.find("TVE:DETECT", pos)) != std::string::npos) {
            text.replace(pos, 10, "TVE:CLEAN-");
            if (how == "one") break;
        }
    }
    HANDLE file = ::CreateFileW(path, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const BOOL ok = ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                    (how != "truncate" || ::SetEndOfFile(file));
    ::CloseHandle(file);
    return ok && written == text.size();
}

}  // namespace

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) ::InitializeCriticalSection(&lock);
    if (reason == DLL_PROCESS_DETACH) ::DeleteCriticalSection(&lock);
    return TRUE;
}

#ifndef TVE_MISSING_CoreInit
TVE_EXPORT uint32_t __stdcall CoreInit(CoreInitParams* params) {
    ::EnterCriticalSection(&lock);
    ++stats.initCalls;
    uint32_t id = 0;
    if (!params->objectCallback) {  // the main context
        lstrcpynW(stats.mainEngineFolder, params->engineFolder, 260);
        stats.mainPathsShared = params->engineFolder == params->basesFolder;
        stats.mainCallbacksNull = !params->objectCallback && !params->auxCallback;
        stats.mainReserved = params->reserved;
        stats.mainReserved2 = params->reserved2;
        ::GetCurrentDirectoryW(260, stats.currentDirectoryAtInit);
        params->info->coreVersion = 0x01020304;
        params->info->recordCount = 12345;
#ifdef TVE_MAIN_INIT_RESULT
        id = TVE_MAIN_INIT_RESULT;
#else
        id = MainCoreId;
#endif
        if (IsValidCoreId(id)) contexts[id].open = true;
    } else {
        stats.contextPathsEmpty = params->engineFolder[0] == 0 && params->basesFolder[0] == 0;
        stats.contextReserved = params->reserved;
        stats.contextReserved2 = params->reserved2;
        stats.contextInfoZeroed = params->info && params->info->coreVersion == 0 && params->info->recordCount == 0;
        stats.contextCallbacksSet = params->objectCallback && params->auxCallback;
#ifndef TVE_REFUSE_CONTEXTS
        for (uint32_t i = MinCoreId; i <= MaxCoreId; ++i) {
            if (!contexts[i].open) {
                contexts[i].open = true;
                contexts[i].objectCallback = params->objectCallback;
                contexts[i].stopRequested = 0;
                ++stats.openContexts;
                id = i;
                break;
            }
        }
#endif
    }
    ::LeaveCriticalSection(&lock);
    return id;
}
#endif

#ifndef TVE_MISSING_CoreFree
TVE_EXPORT uint32_t __stdcall CoreFree(uint32_t coreId) {
    ::EnterCriticalSection(&lock);
    ++stats.freeCalls;
    stats.lastFreedCoreId = coreId;
    if (IsValidCoreId(coreId) && contexts[coreId].open) {
        contexts[coreId].open = false;
        if (contexts[coreId].objectCallback) --stats.openContexts;
        contexts[coreId].objectCallback = nullptr;
    }
    ::LeaveCriticalSection(&lock);
    return 0;
}
#endif

#ifndef TVE_MISSING_CoreOptions
TVE_EXPORT uint32_t __stdcall CoreOptions(uint32_t) { return 0; }
#endif

#ifndef TVE_MISSING_CoreMScan
TVE_EXPORT uint32_t __stdcall CoreMScan(uint32_t, void*) { return 0; }
#endif

#ifndef TVE_MISSING_CoreRScan
TVE_EXPORT uint32_t __stdcall CoreRScan(uint32_t, void*) { return 0; }
#endif

#ifndef TVE_MISSING_CoreStopScan
TVE_EXPORT uint32_t __stdcall CoreStopScan(uint32_t coreId) {
    ::InterlockedIncrement(reinterpret_cast<volatile long*>(&stats.stopCalls));
    stats.lastStopCoreId = coreId;
    if (IsValidCoreId(coreId)) ::InterlockedExchange(&contexts[coreId].stopRequested, 1);
    return 0;
}
#endif

#ifndef TVE_MISSING_CoreFScan
TVE_EXPORT uint32_t __stdcall CoreFScan(uint32_t coreId, CoreScanParams* params) {
    ::InterlockedIncrement(reinterpret_cast<volatile long*>(&stats.fscanCalls));
    if (!IsValidCoreId(coreId) || !contexts[coreId].open) return 0;
    Context& context = contexts[coreId];
    ::InterlockedExchange(&context.stopRequested, 0);
    stats.lastCoreId = coreId;
    stats.lastMode = params->mode;
    stats.lastFlags = params->flags;
    stats.lastOptions = *params->options;
    const ScanOutcome& outcome = *params->outcome;
    stats.lastOutcomeZeroed = outcome.errorCode == 0 && outcome.unread4 == 0 && outcome.curable == 0 &&
                              outcome.action == 0 && outcome.unread16 == 0;
    lstrcpynW(stats.lastPath, params->path, 1024);

    DWORD openError = 0;
#ifdef TVE_READ_ONLY
    ReadContent(params->path, 0, &openError);
    params->outcome->errorCode = openError;
    return openError ? CodeNotScanned : 0;
#else
    const std::vector<char> content = ReadContent(params->path, 65536, &openError);
    if (openError) {
        params->outcome->errorCode = openError;
        return CodeNotScanned;
    }
    const Directives d = Parse(content);
    if (d.sleep) ::Sleep(d.sleep);

    if (params->mode == ScanModeCure) {
        if (!d.resultSet || !IsDetection(d.result)) return 0;
        if (d.cure == "change" || d.cure == "one" || d.cure == "touch" || d.cure == "truncate") {
            if (CureFile(params->path, d.cure)) params->outcome->action = ScanModeCure;
        } else if (d.cure == "nochange") {
            params->outcome->action = ScanModeCure;
        } else if (d.cure == "delete") {
            if (::DeleteFileW(params->path)) params->outcome->action = ScanModeCure;
        }
        return d.result;
    }

    const std::wstring base = params->path;
    for (const Directives::Object& object : d.objects) {
        if (StopRequested(coreId)) return 0;
        const std::wstring name = base + L">" + Widen(object.name);
        context.objectCallback(coreId, name.c_str(), object.verdict, object.threat.c_str());
    }
    stats.loopCallbacksMade = 0;
    for (uint32_t i = 0; i < d.loopCount && !StopRequested(coreId); ++i) {
        const std::wstring name = base + L">loop" + std::to_wstring(i);
        context.objectCallback(coreId, name.c_str(), 0, "");
        ++stats.loopCallbacksMade;
        if (d.loopSleep) ::Sleep(d.loopSleep);
    }
    if (d.callbackIdSet)
        stats.lastForeignCallbackResult =
            context.objectCallback(d.callbackId, (base + L">foreign").c_str(), DetectionCodeOne, "Foreign.Id");
    if (d.longName) {
        std::memset(params->threatName, 'L', ThreatNameBufferSize);
        return DetectionCodeOne;
    }
    if (d.ansiName) {
        lstrcpynA(params->threatName, "Virus.\xC4", ThreatNameBufferSize);
        return DetectionCodeTwo;
    }
    if (!d.resultSet) return 0;
    if (IsNotScanned(d.result)) lstrcpynA(params->threatName, d.name.c_str(), ThreatNameBufferSize);
    if (IsDetection(d.result)) {
        lstrcpynA(params->threatName, d.name.c_str(), ThreatNameBufferSize);
        params->outcome->curable = d.curable ? 1 : 0;
    }
    return d.result;
#endif
}
#endif

TVE_EXPORT void __stdcall TveGetStats(TveStats* out) { *out = stats; }

TVE_EXPORT void __stdcall TveReset() {
    const uint32_t open = stats.openContexts;
    std::memset(&stats, 0, sizeof(stats));
    stats.openContexts = open;
}
