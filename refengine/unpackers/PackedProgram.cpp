// Programs packed by any packer (ASPack, MEW, PEtite, PESpin, Upack, yC, UPX's LZMA, ...): a program
// whose entry point lies in a writable section (or outside every section) is run in the interpreter,
// in a small imitation of a 32-bit Windows process, until its unpacking code is done: the image as
// it then lies in memory is the member, its headers made to fit a file (raw data where it lies in
// memory) and its entry point where the unpacked code was entered. Nothing here decides a verdict:
// a program the interpreter cannot take to its end is scanned as it stands, as before, and is not
// called incomplete for it.
#include "refengine/containers/ArchiveFormats.h"
#include "refengine/object/ByteOrder.h"
#include "refengine/object/Fields.h"
#include "refengine/object/ObjectType.h"
#include "refengine/executables/PeImage.h"
#include "refengine/unpackers/X86Machine.h"
#include "refengine/Limits.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <iterator>
#include <map>

namespace RefEngine {
namespace {

const char* const DumpName = "unpacked program";
const uint32_t StackTop = 0x00130000, StackSize = 0x00100000;
const uint32_t SystemBase = 0x7C800000;        // the imitation of the system's DLL: its calls live here
const uint32_t CallsAt = SystemBase + 0x1000;  // 8 bytes for each call the program takes
const uint32_t MaxCalls = 0x1000;
const uint32_t ExportsAt = 0xA000, SystemSize = 0x10000;  // the system DLL's exports, and its extent
const uint32_t HeapBase = 0x20000000, HeapEnd = 0x60000000;
const uint32_t PebAt = 0x7FFD9000, TebAt = 0x7FFDF000;
const uint32_t NtBase = 0x7C900000;  // the other system DLL: only its headers
const uint32_t ScnWrite = 0x80000000u;

// Packers leave their unpacking code where it may write: a program whose entry point lies in a
// writable section, or in none (in its headers), is one worth running; unless a module of its own
// unpacks it (UPX's layout: the packed image in the second section, the entry point in it, the first
// empty in the file; WWPack32's code at the entry point).
bool LooksPacked(const std::vector<uint8_t>& head) {
    PeLayout pe;
    if (!ReadLayout(head.data(), head.size(), pe) || pe.entry == 0) return false;  // 0: a DLL of resources only
    if (pe.entrySection == 1 && pe.sections[0].rawSize == 0 && UpxUnpacks(head)) return false;
    const bool writable = pe.entrySection < 0 ? pe.entry < pe.headersSize || pe.entry < 0x1000
                                              : (pe.sections[pe.entrySection].flags & ScnWrite) != 0;
    return writable && !WwpackUnpacks(head);  // WWPack32's own module unpacks it: its code may crash when run
}

// The calls a packer's unpacking code makes, with the bytes of arguments each takes off the stack.
const std::map<std::string, uint32_t>& KnownCalls() {
    static const std::map<std::string, uint32_t> calls = {
        {"LoadLibraryA", 4}, {"LoadLibraryW", 4}, {"LoadLibraryExA", 12}, {"LoadLibraryExW", 12},
        {"GetModuleHandleA", 4}, {"GetModuleHandleW", 4}, {"GetProcAddress", 8}, {"VirtualAlloc", 16},
        {"VirtualFree", 12}, {"VirtualProtect", 16}, {"ExitProcess", 4}, {"ExitThread", 4},
        {"GetModuleFileNameA", 12}, {"GetModuleFileNameW", 12}, {"GetCommandLineA", 0}, {"GetCommandLineW", 0},
        {"GetTickCount", 0}, {"IsDebuggerPresent", 0}, {"GetVersion", 0}, {"GetLastError", 0}, {"SetLastError", 4},
        {"Sleep", 4}, {"GetCurrentProcess", 0}, {"GetCurrentProcessId", 0}, {"GetCurrentThreadId", 0},
        {"CloseHandle", 4}, {"GlobalAlloc", 8}, {"LocalAlloc", 8}, {"GlobalFree", 4}, {"LocalFree", 4},
        {"GetProcessHeap", 0}, {"HeapAlloc", 12}, {"HeapFree", 12}, {"FlushInstructionCache", 12},
        {"SetErrorMode", 4}, {"GetVersionExA", 4}, {"GetSystemTimeAsFileTime", 4}, {"QueryPerformanceCounter", 4},
        // The program's own file, which some packers read back to check it.
        {"CreateFileA", 28}, {"CreateFileW", 28}, {"GetFileSize", 8}, {"ReadFile", 20}, {"SetFilePointer", 16},
        {"CreateFileMappingA", 24}, {"CreateFileMappingW", 24}, {"MapViewOfFile", 20}, {"UnmapViewOfFile", 4},
    };
    return calls;
}

// Functions the system DLL's export directory names without the imitation answering them: a packer
// that looks up all it may need before it starts finds them, and the run stops only if one is called.
const std::vector<const char*>& NamedOnly() {
    static const std::vector<const char*> names = {
        "CreateThread", "ExitThread", "GetStartupInfoA", "GetModuleHandleExA", "VirtualQuery", "WriteFile",
        "ReadProcessMemory", "WriteProcessMemory", "OpenProcess", "TerminateProcess", "CreateProcessA",
        "GetSystemDirectoryA", "GetWindowsDirectoryA", "GetTempPathA", "lstrlenA", "lstrcpyA", "lstrcmpA",
        "RtlMoveMemory", "RtlZeroMemory", "MultiByteToWideChar", "WideCharToMultiByte",
        "GetEnvironmentVariableA", "FreeLibrary", "GetCurrentThread", "SuspendThread", "ResumeThread",
        "SetUnhandledExceptionFilter", "UnhandledExceptionFilter", "OutputDebugStringA",
        "CheckRemoteDebuggerPresent", "DeleteFileA", "FindFirstFileA", "FindNextFileA", "FindClose",
        "GetFileAttributesA", "SetFileAttributesA", "GlobalLock", "GlobalUnlock", "LocalLock", "LocalUnlock",
        "HeapCreate", "HeapDestroy", "HeapReAlloc", "VirtualAllocEx", "VirtualProtectEx", "VirtualFreeEx",
        "CreateMutexA", "OpenMutexA", "ReleaseMutex", "WaitForSingleObject", "CreateEventA", "SetEvent",
        "GetExitCodeProcess", "GetLocalTime", "GetSystemTime", "GetTimeZoneInformation", "GetSystemInfo",
        "GetACP", "GetOEMCP", "GetCPInfo"};
    return names;
}

const uint32_t ExceptionReturn = 0;  // the first call: where an exception handler returns to

bool IsFileCall(const std::string& name) {
    static const char* const calls[] = {"CreateFileA", "CreateFileW", "GetFileSize", "ReadFile", "SetFilePointer",
                                        "CreateFileMappingA", "CreateFileMappingW", "MapViewOfFile", "UnmapViewOfFile"};
    return std::find(std::begin(calls), std::end(calls), name) != std::end(calls);
}

// The headers of a DLL of the imitation (at base, size bytes in memory), without exports: enough for
// code that checks "MZ" and "PE" at a module's handle.
std::vector<uint8_t> ModuleHeaders(uint32_t base, uint32_t size) {
    std::vector<uint8_t> image(0x400, 0);
    image[0] = 'M';
    image[1] = 'Z';
    WriteLe32(&image[0x3C], 0x80);
    uint8_t* pe = &image[0x80];
    std::memcpy(pe, "PE\0\0", 4);
    pe[4] = 0x4C, pe[5] = 0x01, pe[6] = 1, pe[20] = 0xE0, pe[22] = 0x02, pe[23] = 0x21;
    uint8_t* optional = pe + 24;
    optional[0] = 0x0B, optional[1] = 0x01;
    WriteLe32(optional + 28, base);
    WriteLe32(optional + 32, 0x1000);
    WriteLe32(optional + 36, 0x200);
    WriteLe32(optional + 56, size);
    WriteLe32(optional + 60, 0x400);
    WriteLe32(optional + 92, 16);
    return image;
}

class Process : public X86Cpu {
public:
    Process(X86Memory& memory, const PeLayout& pe, const std::vector<uint8_t>& file)
        : X86Cpu(memory), memory_(memory), pe_(pe), file_(file) {
        calls_.push_back("");  // ExceptionReturn
    }

    // A call into the system, by name: the address the program jumps to.
    uint32_t CallAddress(const std::string& name) {
        const auto known = callIndex_.find(name);
        if (known != callIndex_.end()) return CallsAt + known->second * 8;
        if (calls_.size() >= MaxCalls) return 0;
        callIndex_[name] = static_cast<uint32_t>(calls_.size());
        calls_.push_back(name);
        return CallsAt + static_cast<uint32_t>(calls_.size() - 1) * 8;
    }

    bool Watch(uint32_t at) override {
        if (at >= CallsAt && at < CallsAt + MaxCalls * 8) return true;
        // Where the unpacked program was entered: the first page run in its image outside the section
        // the packer's code began in, or (a packer under another) a page written before it was first
        // run, in another section again. The program itself, once entered, runs other pages of the
        // same section.
        if (!memory_.FirstRun(at)) return false;
        const uint32_t rva = at - pe_.imageBase;
        if (rva >= pe_.imageSize) return false;
        const int section = SectionOf(pe_, rva);
        if (section == pe_.entrySection || (entered_ && (!memory_.WasWritten(at) || section == SectionOf(pe_, entered_ - pe_.imageBase))))
            return false;
        entered_ = at;
        sinceEntered_ = 0;
        return false;
    }

    // Runs the program until it exits, stops or its instructions are spent.
    void RunProgram(uint64_t& steps) {
        for (;;) {
            uint64_t slice = steps;
            if (entered_) slice = std::min<uint64_t>(slice, Limits::AfterUnpacking - std::min(Limits::AfterUnpacking, sinceEntered_));
            if (slice == 0) return;
            const uint64_t before = slice;
            const Stop stop = Run(slice);
            steps -= before - slice;
            if (entered_) sinceEntered_ += before - slice;
            if (stop == Stop::Watch) {
                if (steps == 0 || !Call()) return;
                --steps;  // a call counts, so that a chain of them ends
            } else if (stop != Stop::Fault || !RaiseException()) {
                return;
            }
        }
    }

    uint32_t Entered() const { return entered_; }

private:
    uint32_t Argument(int n) {
        uint32_t value = 0;
        memory_.Read(reg[Esp] + 4 + 4 * n, &value, 4);
        return value;
    }

    std::string Text(uint32_t address, bool wide) {
        std::string text;
        for (uint32_t i = 0; i < 260; ++i) {
            uint16_t c = 0;
            if (!memory_.Read(address + i * (wide ? 2 : 1), &c, wide ? 2 : 1) || c == 0) break;
            text += static_cast<char>(c < 0x80 ? c : '_');
        }
        return text;
    }

    uint32_t ModuleHandle(const std::string& name) {
        std::string base = LowerAscii(name);
        const size_t slash = base.find_last_of("\\/");
        if (slash != std::string::npos) base = base.substr(slash + 1);
        if (base.size() > 4 && base.compare(base.size() - 4, 4, ".dll") == 0) base.resize(base.size() - 4);
        if (base == "kernel32") return SystemBase;
        const auto known = std::find(modules_.begin(), modules_.end(), base);
        if (known != modules_.end()) return 0x10000000u + static_cast<uint32_t>(known - modules_.begin()) * 0x10000u;
        if (modules_.size() >= 256) return 0;
        modules_.push_back(base);
        const uint32_t handle = 0x10000000u + static_cast<uint32_t>(modules_.size() - 1) * 0x10000u;
        const std::vector<uint8_t> headers = ModuleHeaders(handle, 0x1000);
        if (!memory_.Map(handle, 0x1000) || !memory_.Write(handle, headers.data(), static_cast<uint32_t>(headers.size()))) return 0;
        return handle;
    }

    // A function's address by its name or ordinal; 0 (as the system answers) for what names none:
    // unpackers end their import lists on that.
    uint32_t ProcAddress(uint32_t what) {
        if (what < 0x10000) return what == 0 ? 0 : CallAddress("#" + std::to_string(what));
        const std::string name = Text(what, false);
        if (name.empty()) return 0;
        for (char c : name)
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '@' && c != '?' && c != '$') return 0;
        return CallAddress(name);
    }

    // Memory for the program, on pages of its own; 0 when none is left.
    uint32_t Allocate(uint32_t wanted, uint32_t size) {
        if (size == 0 || size > (64u << 20)) return 0;
        if (wanted) {
            wanted &= ~(X86Memory::PageSize - 1);
            if (memory_.IsMapped(wanted)) return wanted;
            if (wanted >= HeapBase && wanted < HeapEnd) return 0;
            return memory_.Map(wanted, size) ? wanted : 0;
        }
        const uint32_t at = heap_;
        if (HeapEnd - heap_ < size || !memory_.Map(at, size)) return 0;
        heap_ += AlignUp(size, 0x10000);
        return at;
    }

    // The call the program jumped into; false when it cannot go on (it exits, or the call is unknown).
    bool Call() {
        const uint32_t index = (eip - CallsAt) / 8;
        if (index >= calls_.size() || (eip - CallsAt) % 8 != 0) return false;
        if (index == ExceptionReturn) return ResumeAfterHandler();
        const std::string& name = calls_[index];
        const auto known = KnownCalls().find(name);
        if (known == KnownCalls().end()) return false;
        uint32_t result = 0;
        if (name == "ExitProcess" || name == "ExitThread") return false;
        if (name.compare(0, 11, "LoadLibrary") == 0) result = ModuleHandle(Text(Argument(0), name.back() == 'W'));
        else if (name == "GetModuleHandleA" || name == "GetModuleHandleW")
            result = Argument(0) == 0 ? pe_.imageBase : ModuleHandle(Text(Argument(0), name.back() == 'W'));
        else if (name == "GetProcAddress") result = ProcAddress(Argument(1));
        else if (name == "VirtualAlloc") result = Allocate(Argument(0), Argument(1));
        else if (name == "GlobalAlloc" || name == "LocalAlloc") result = Allocate(0, Argument(1));
        else if (name == "HeapAlloc") result = Allocate(0, Argument(2));
        else if (name == "VirtualProtect") {
            const uint32_t old = 0x40;
            memory_.Write(Argument(3), &old, 4);
            result = 1;
        } else if (name == "GetModuleFileNameA" || name == "GetModuleFileNameW") {
            static const char path[] = "C:\\program.exe";
            const uint32_t room = Argument(2);
            const bool wide = name.back() == 'W';
            for (uint32_t i = 0; i < sizeof path && i < room; ++i) {
                const uint16_t c = static_cast<uint8_t>(path[i]);
                memory_.Write(Argument(1) + i * (wide ? 2 : 1), &c, wide ? 2 : 1);
            }
            result = std::min<uint32_t>(room, sizeof path - 1);
        } else if (name == "GetCommandLineA" || name == "GetCommandLineW") result = PebAt + 0x800 + (name.back() == 'W' ? 0x100 : 0);
        else if (name == "GetTickCount") result = 0x01000000u + static_cast<uint32_t>(++ticks_ * 16);
        else if (name == "GetVersion") result = 0x0A280105;
        else if (name == "GetCurrentProcess") result = 0xFFFFFFFFu;
        else if (name == "GetCurrentProcessId" || name == "GetCurrentThreadId") result = 0x100;
        else if (name == "GetProcessHeap") result = 0x00140000;
        else if (name == "VirtualFree" || name == "CloseHandle" || name == "HeapFree" || name == "FlushInstructionCache" ||
                 name == "QueryPerformanceCounter")
            result = 1;
        else if (IsFileCall(name)) result = FileCall(name);
        else if (name == "GetVersionExA") {
            const uint32_t version[5] = {148, 5, 1, 2600, 2};
            result = memory_.Write(Argument(0), version, sizeof version) ? 1 : 0;
        }
        uint32_t back = 0;
        if (!memory_.Read(reg[Esp], &back, 4)) return false;
        reg[Esp] += 4 + known->second;
        reg[Eax] = result;
        eip = back;
        return true;
    }

    // The system's dispatch of an exception to the handlers on the thread's chain (fs:[0]).
    bool RaiseException() {
        if (++exceptions_ > Limits::ProgramExceptions) return false;
        const uint32_t frame = Load32(TebAt);
        if (frame == 0xFFFFFFFFu || frame == 0) return false;
        const uint32_t handler = Load32(frame + 4);
        uint32_t context[0x2CC / 4] = {};
        context[0] = 0x1003F;
        context[0x9C / 4] = reg[Edi];
        context[0xA0 / 4] = reg[Esi];
        context[0xA4 / 4] = reg[Ebx];
        context[0xA8 / 4] = reg[Edx];
        context[0xAC / 4] = reg[Ecx];
        context[0xB0 / 4] = reg[Eax];
        context[0xB4 / 4] = reg[Ebp];
        context[0xB8 / 4] = faultCode == SingleStep ? faultAddress : eip;
        context[0xBC / 4] = 0x1B;
        context[0xC0 / 4] = flags;
        context[0xC4 / 4] = reg[Esp];
        context[0xC8 / 4] = 0x23;
        context[0x8C / 4] = 0;
        context[0x90 / 4] = 0x3B;
        context[0x94 / 4] = context[0x98 / 4] = 0x23;
        uint32_t record[0x50 / 4] = {};
        record[0] = faultCode;
        record[3] = context[0xB8 / 4];
        if (faultCode == AccessViolation) {
            record[4] = 2;
            record[6] = faultAddress;
        }
        const uint32_t contextAt = (reg[Esp] - sizeof context - 0x40) & ~3u;
        const uint32_t recordAt = contextAt - sizeof record;
        if (!memory_.Write(contextAt, context, sizeof context) || !memory_.Write(recordAt, record, sizeof record)) return false;
        reg[Esp] = recordAt;
        const uint32_t arguments[5] = {CallsAt + ExceptionReturn * 8, recordAt, frame, contextAt, 0};
        reg[Esp] -= sizeof arguments;
        if (!memory_.Write(reg[Esp], arguments, sizeof arguments)) return false;
        contextAt_ = contextAt;
        eip = handler;
        return true;
    }

    // A handler returned: go on where its context says, or stop when it declined.
    bool ResumeAfterHandler() {
        if (reg[Eax] != 0) return false;  // only "continue execution" is imitated
        uint32_t context[0x2CC / 4];
        if (!memory_.Read(contextAt_, context, sizeof context)) return false;
        reg[Edi] = context[0x9C / 4];
        reg[Esi] = context[0xA0 / 4];
        reg[Ebx] = context[0xA4 / 4];
        reg[Edx] = context[0xA8 / 4];
        reg[Ecx] = context[0xAC / 4];
        reg[Eax] = context[0xB0 / 4];
        reg[Ebp] = context[0xB4 / 4];
        eip = context[0xB8 / 4];
        flags = (context[0xC0 / 4] & 0x00254DD5) | 0x202;
        reg[Esp] = context[0xC4 / 4];
        return true;
    }

    uint32_t Load32(uint32_t address) {
        uint32_t value = 0;
        memory_.Read(address, &value, 4);
        return value;
    }

    // The program's own file, opened (any other name is not found).
    uint32_t FileCall(const std::string& name) {
        const uint32_t handle = 0x44, mapping = 0x48;
        if (name == "CreateFileA" || name == "CreateFileW") {
            const std::string path = LowerAscii(Text(Argument(0), name.back() == 'W'));
            if (path != "c:\\program.exe" && path != "program.exe") return 0xFFFFFFFFu;
            filePosition_ = 0;
            return handle;
        }
        if (name == "GetFileSize") {
            if (Argument(0) != handle) return 0xFFFFFFFFu;
            const uint32_t high = 0;
            if (Argument(1)) memory_.Write(Argument(1), &high, 4);
            return static_cast<uint32_t>(file_.size());
        }
        if (name == "SetFilePointer") {
            if (Argument(0) != handle) return 0xFFFFFFFFu;
            const int64_t base = Argument(3) == 0 ? 0 : Argument(3) == 1 ? filePosition_ : static_cast<int64_t>(file_.size());
            const int64_t at = base + static_cast<int32_t>(Argument(1));
            if (at < 0) return 0xFFFFFFFFu;
            filePosition_ = static_cast<uint64_t>(at);
            return static_cast<uint32_t>(at);
        }
        if (name == "ReadFile") {
            if (Argument(0) != handle) return 0;
            const uint64_t left = filePosition_ < file_.size() ? file_.size() - filePosition_ : 0;
            const uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(Argument(2), left));
            if (count && !memory_.Write(Argument(1), file_.data() + filePosition_, count)) return 0;
            filePosition_ += count;
            if (Argument(3)) memory_.Write(Argument(3), &count, 4);
            return 1;
        }
        if (name == "CreateFileMappingA" || name == "CreateFileMappingW") return Argument(0) == handle ? mapping : 0;
        if (name == "MapViewOfFile") {
            if (Argument(0) != mapping || Argument(3) > file_.size()) return 0;
            const uint32_t size = static_cast<uint32_t>(Argument(4) ? std::min<uint64_t>(Argument(4), file_.size() - Argument(3)) : file_.size() - Argument(3));
            const uint32_t view = Allocate(0, std::max(size, 1u));
            if (view && size) memory_.Write(view, file_.data() + Argument(3), size);
            return view;
        }
        return 1;  // UnmapViewOfFile
    }

    X86Memory& memory_;
    const PeLayout& pe_;
    const std::vector<uint8_t>& file_;
    uint64_t filePosition_ = 0;
    std::vector<std::string> calls_, modules_;
    std::map<std::string, uint32_t> callIndex_;
    uint32_t heap_ = HeapBase;
    uint32_t entered_ = 0;
    uint64_t sinceEntered_ = 0;
    uint32_t exceptions_ = 0, contextAt_ = 0, ticks_ = 0;
};

// The program's image in memory as the system's loader makes it, with its imports bound to the calls
// of the imitation; false when it does not fit.
bool Load(const std::vector<uint8_t>& file, const PeLayout& pe, X86Memory& memory, Process& process) {
    if (pe.imageBase % 0x10000 != 0 || pe.imageBase < 0x00400000 || pe.imageSize == 0 ||
        static_cast<uint64_t>(pe.imageBase) + pe.imageSize > 0x70000000u || pe.imageBase < StackTop)
        return false;
    if (!memory.Map(pe.imageBase, pe.imageSize)) return false;
    MapImage(file, pe, [&](uint32_t rva, const uint8_t* bytes, uint32_t size) { memory.Write(pe.imageBase + rva, bytes, size); });
    // Imports: each thunk of each descriptor bound to a call of the imitation.
    uint32_t bound = 0;
    for (uint32_t at = pe.importRva; pe.importRva && at + 20 <= pe.imageSize && bound < Limits::ProgramImports; at += 20) {
        uint32_t descriptor[5];
        if (!memory.Read(pe.imageBase + at, descriptor, sizeof descriptor) || descriptor[3] == 0) break;
        const uint32_t names = descriptor[0] ? descriptor[0] : descriptor[4], thunks = descriptor[4];
        for (uint32_t i = 0; bound < Limits::ProgramImports; ++i, ++bound) {
            uint32_t entry = 0;
            if (!memory.Read(pe.imageBase + names + i * 4, &entry, 4) || entry == 0) break;
            std::string name;
            if (entry & 0x80000000u) name = "#" + std::to_string(entry & 0xFFFF);
            else {
                char c = 0;
                for (uint32_t k = 0; k < 128 && memory.Read(pe.imageBase + entry + 2 + k, &c, 1) && c; ++k) name += c;
            }
            const uint32_t address = process.CallAddress(name);
            memory.Write(pe.imageBase + thunks + i * 4, &address, 4);
        }
    }
    return true;
}

// The system DLL's headers and export directory, naming every call the imitation answers: packers
// that find their functions by walking it (from its "MZ" down to the names) find them.
std::vector<uint8_t> SystemHeaders(Process& process) {
    std::vector<uint8_t> image = ModuleHeaders(SystemBase, SystemSize);
    image.resize(SystemSize);
    uint8_t* optional = &image[0x80 + 24];
    std::map<std::string, uint32_t> known = KnownCalls();
    for (const char* name : NamedOnly()) known.emplace(name, 0);
    const uint32_t count = static_cast<uint32_t>(known.size());
    const uint32_t functions = ExportsAt + 40, names = functions + 4 * count, ordinals = names + 4 * count;
    uint32_t text = ordinals + 2 * count;
    WriteLe32(optional + 96, ExportsAt);
    WriteLe32(optional + 100, SystemSize - ExportsAt);
    uint8_t* directory = &image[ExportsAt];
    const char dllName[] = "kernel32.dll";
    WriteLe32(directory + 12, text);
    std::memcpy(&image[text], dllName, sizeof dllName);
    text += sizeof dllName;
    WriteLe32(directory + 16, 1);
    WriteLe32(directory + 20, count);
    WriteLe32(directory + 24, count);
    WriteLe32(directory + 28, functions);
    WriteLe32(directory + 32, names);
    WriteLe32(directory + 36, ordinals);
    uint32_t i = 0;
    for (const auto& call : known) {  // in the order of their names, as the system keeps them
        WriteLe32(&image[functions + 4 * i], process.CallAddress(call.first) - SystemBase);
        WriteLe32(&image[names + 4 * i], text);
        image[ordinals + 2 * i] = static_cast<uint8_t>(i);
        image[ordinals + 2 * i + 1] = static_cast<uint8_t>(i >> 8);
        std::memcpy(&image[text], call.first.c_str(), call.first.size() + 1);
        text += static_cast<uint32_t>(call.first.size() + 1);
        ++i;
    }
    return image;
}

// The loader's lists of modules (the program, the system's two DLLs), which code that finds the
// system DLL without importing anything walks: in load order, memory order, initialisation order.
void WriteModuleList(const PeLayout& pe, X86Memory& memory) {
    struct Module {
        uint32_t base, size;
        const char* name;
    };
    const Module modules[] = {{pe.imageBase, pe.imageSize, "program.exe"}, {NtBase, 0x1000, "ntdll.dll"}, {SystemBase, SystemSize, "kernel32.dll"}};
    const uint32_t ldr = PebAt + 0x100, first = PebAt + 0x200;
    auto entry = [&](int i) { return first + 0x100 * i; };
    // Each list: head -> entries -> head; initialisation order leaves the program out.
    const int orders[3][4] = {{0, 1, 2, -1}, {0, 1, 2, -1}, {1, 2, -1, -1}};
    for (int list = 0; list < 3; ++list) {
        const uint32_t head = ldr + 0x0C + 8 * list;
        uint32_t previous = head;
        for (int k = 0; orders[list][k] >= 0; ++k) {
            const uint32_t link = entry(orders[list][k]) + 8 * list;
            memory.Write(previous, &link, 4);              // Flink of the one before
            memory.Write(link + 4, &previous, 4);          // Blink
            previous = link;
        }
        memory.Write(previous, &head, 4);
        memory.Write(head + 4, &previous, 4);
    }
    const uint32_t header[3] = {0x28, 1, 0};
    memory.Write(ldr, header, sizeof header);
    for (int i = 0; i < 3; ++i) {
        const uint32_t at = entry(i);
        const uint32_t fields[3] = {modules[i].base, i == 0 ? modules[i].base + pe.entry : 0, modules[i].size};
        memory.Write(at + 0x18, fields, sizeof fields);
        const std::string name = modules[i].name;
        const uint16_t length = static_cast<uint16_t>(name.size() * 2);
        const uint32_t text = at + 0x80;
        for (size_t k = 0; k < name.size(); ++k) {
            const uint16_t c = static_cast<uint8_t>(name[k]);
            memory.Write(text + static_cast<uint32_t>(k) * 2, &c, 2);
        }
        const uint32_t unicode[2] = {length | static_cast<uint32_t>(length + 2) << 16, text};
        memory.Write(at + 0x24, unicode, sizeof unicode);  // the full name
        memory.Write(at + 0x2C, unicode, sizeof unicode);  // the base name
    }
}

// The process around the image: stack, thread and process blocks, the system DLL's call pages.
bool Prepare(const PeLayout& pe, X86Memory& memory, Process& process) {
    if (!memory.Map(StackTop - StackSize, StackSize) || !memory.Map(SystemBase, SystemSize) ||
        !memory.Map(PebAt, 0x1000) || !memory.Map(TebAt, 0x1000) || !memory.Map(NtBase, 0x1000))
        return false;
    const std::vector<uint8_t> system = SystemHeaders(process);
    memory.Write(SystemBase, system.data(), static_cast<uint32_t>(system.size()));
    const std::vector<uint8_t> nt = ModuleHeaders(NtBase, 0x1000);
    memory.Write(NtBase, nt.data(), static_cast<uint32_t>(nt.size()));
    std::vector<uint8_t> calls(MaxCalls * 8, 0x90);  // what code reading a function's first bytes sees
    for (size_t i = 0; i < calls.size(); i += 8) calls[i + 7] = 0xC3;
    memory.Write(CallsAt, calls.data(), static_cast<uint32_t>(calls.size()));
    const uint32_t teb[13] = {0xFFFFFFFFu, StackTop, StackTop - StackSize, 0, 0, 0, TebAt, 0, 0x100, 0x100, 0, 0, PebAt};
    memory.Write(TebAt, teb, sizeof teb);
    const uint32_t peb[4] = {0, 0, pe.imageBase, PebAt + 0x100};
    memory.Write(PebAt, peb, sizeof peb);
    WriteModuleList(pe, memory);
    static const char commandLine[] = "\"C:\\program.exe\"";
    memory.Write(PebAt + 0x800, commandLine, sizeof commandLine);
    for (uint32_t i = 0; i < sizeof commandLine; ++i) {
        const uint16_t c = static_cast<uint8_t>(commandLine[i]);
        memory.Write(PebAt + 0x900 + i * 2, &c, 2);
    }
    process.fsBase = TebAt;
    process.reg[X86Cpu::Esp] = StackTop - 0x3C;
    // The entry point's return address (and for a DLL, DllMain's instance, DLL_PROCESS_ATTACH, 0).
    const uint32_t frame[4] = {process.CallAddress("ExitThread"), pe.imageBase, 1, 0};
    process.reg[X86Cpu::Esp] -= pe.dll ? 16 : 4;
    memory.Write(process.reg[X86Cpu::Esp], frame, pe.dll ? 16 : 4);
    process.reg[X86Cpu::Ebx] = PebAt;
    process.reg[X86Cpu::Ebp] = StackTop - 0x10;
    process.reg[X86Cpu::Eax] = pe.imageBase + pe.entry;  // as the system starts a process
    process.reg[X86Cpu::Ecx] = process.reg[X86Cpu::Esp] - 0x14;
    process.reg[X86Cpu::Edx] = pe.imageBase + pe.entry;
    process.reg[X86Cpu::Esi] = process.reg[X86Cpu::Edi] = 0xFFFFFFFFu;
    process.eip = pe.imageBase + pe.entry;
    return true;
}

// Whether the program wrote its image outside the section its entry point lies in.
bool WroteImage(const PeLayout& pe, const X86Memory& memory) {
    for (uint32_t at = 0; at < pe.imageSize; at += X86Memory::PageSize)
        if (memory.WasWritten(pe.imageBase + at) && SectionOf(pe, at) != pe.entrySection) return true;
    return false;
}

// The image as it lies in memory now, as a program file entered where the unpacked code was.
std::vector<uint8_t> Dump(const PeLayout& pe, X86Memory& memory, uint32_t entered) {
    std::vector<uint8_t> image(pe.imageSize);
    for (uint32_t at = 0; at < pe.imageSize; at += X86Memory::PageSize)
        memory.Read(pe.imageBase + at, image.data() + at, std::min(X86Memory::PageSize, pe.imageSize - at));
    return ImageAsFile(pe, std::move(image), entered ? entered - pe.imageBase : 0);
}

class PackedProgramFormat : public ArchiveFormat {
public:
    bool Recognizes(const ObjectHead& head) const override {
        return (head.types & TargetBit(PeTarget)) && head.name != DumpName && LooksPacked(head.bytes);
    }
    bool Exclusive() const override { return false; }
    void Read(ByteSource& source, const ObjectHead&, MemberSink& sink) const override {
        const uint64_t cap = sink.Limits().maxMemberSize;
        if (source.Size() > cap) return;
        std::vector<uint8_t> file(static_cast<size_t>(source.Size()));
        file.resize(source.Read(0, file.data(), file.size()));
        PeLayout pe;
        if (!ReadLayout(file.data(), file.size(), pe) || pe.imageSize > cap) return;
        // The instructions of all packed programs in an object are counted together, so that an
        // archive of many cannot buy more than one program's time many times over.
        ArchiveTotals& totals = sink.Totals();
        if (totals.instructions >= sink.Limits().maxInstructions) return;
        uint64_t steps = std::min(Limits::ProgramInstructions, sink.Limits().maxInstructions - totals.instructions);
        const uint64_t granted = steps;
        if (!sink.Reserve(pe.imageSize + Limits::ProgramMemory)) return;
        X86Memory memory(pe.imageSize + Limits::ProgramMemory);
        Process process(memory, pe, file);
        if (!Load(file, pe, memory, process) || !Prepare(pe, memory, process)) return;
        process.RunProgram(steps);
        totals.instructions += granted - steps;
        if (!process.Entered() && !WroteImage(pe, memory)) return;  // nothing was unpacked
        const std::vector<uint8_t> image = Dump(pe, memory, process.Entered());
        if (!sink.Begin(DumpName, file.size(), image.size())) return;
        sink.Write(image.data(), image.size());
        sink.End(false);
    }
};

}  // namespace

std::unique_ptr<ArchiveFormat> MakePackedProgramFormat(FormatId) { return std::unique_ptr<ArchiveFormat>(new PackedProgramFormat); }

}  // namespace RefEngine
