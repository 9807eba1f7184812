#include "update/BaseUpdater.h"

#include "base/Reason.h"
#include "base/WinHandle.h"
#include "update/BaseArchive.h"
#include "update/BaseInfo.h"
#include "update/Cdiff.h"
#include "base/Digest.h"

#include <windows.h>

#include <ctime>
#include <map>
#include <sstream>

namespace Update {

using Crypto::Digest;

const wchar_t* const BaseUpdater::StagingName = L"Update";

namespace {

const uint32_t MaxPatchChain = 60;           // more versions behind: the whole base is smaller to fetch
const uint64_t MaxPatchBytes = 64ull << 20;  // a day's patch is a few hundred kilobytes
// The largest whole base fetched: the biggest published one is a few hundred megabytes.
const uint64_t MaxBaseBytes = 1024ull << 20;
const uint64_t RateWindowMs = 30 * 1000;  // the minimum rate is judged over this much time
const DWORD TrialTimeout = 15 * 60 * 1000;
const uint64_t DefaultWait = 3600, LongestWait = 24 * 3600;

// "2026-12-08 14:05" in local time.
std::wstring LocalTimeText(uint64_t unixSeconds) {
    ULARGE_INTEGER value;
    value.QuadPart = (unixSeconds + 11644473600ull) * 10000000ull;
    FILETIME utc = {value.LowPart, value.HighPart}, local;
    SYSTEMTIME t;
    if (!::FileTimeToLocalFileTime(&utc, &local) || !::FileTimeToSystemTime(&local, &t)) return L"later";
    wchar_t text[32];
    swprintf(text, 32, L"%04u-%02u-%02u %02u:%02u", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute);
    return text;
}

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// "512 bytes", "37 KB", "160 MB"
std::wstring SizeText(uint64_t bytes) {
    if (bytes < 10 * 1024) return std::to_wstring(bytes) + L" bytes";
    if (bytes < 10 * 1024 * 1024) return std::to_wstring(bytes >> 10) + L" KB";
    return std::to_wstring(bytes >> 20) + L" MB";
}

std::wstring ErrorText(DWORD code) {
    if (code == ERROR_DISK_FULL || code == ERROR_HANDLE_DISK_FULL) return L"the disk is full";
    if (code == ERROR_ACCESS_DENIED) return L"access denied";
    if (code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS) return L"a file of that name is in the way";
    return SystemErrorText(code);
}

bool IsFolder(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool MakeFolder(const std::wstring& path) { return ::CreateDirectoryW(path.c_str(), nullptr) || IsFolder(path); }

// Removes a folder of new files and what is in it (no subfolders are made there), as far as it can.
void RemoveFolder(const std::wstring& folder) {
    WIN32_FIND_DATAW data;
    Win::FindHandle find(::FindFirstFileW((folder + L"\\*").c_str(), &data));
    if (find) {
        do {
            if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) ::DeleteFileW((folder + L"\\" + data.cFileName).c_str());
        } while (::FindNextFileW(find.Get(), &data));
    }
    find.Reset();
    ::RemoveDirectoryW(folder.c_str());
}

// The folders of new files that killed runs left behind. One still in use (a trial engine that has
// not ended yet) stays until a later run.
void RemoveLeftFolders(const std::wstring& staging) {
    WIN32_FIND_DATAW data;
    Win::FindHandle find(::FindFirstFileW((staging + L"\\Ready-*").c_str(), &data));
    if (!find) return;
    std::vector<std::wstring> folders;
    do {
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) folders.push_back(staging + L"\\" + data.cFileName);
    } while (::FindNextFileW(find.Get(), &data));
    find.Reset();
    for (const std::wstring& folder : folders) RemoveFolder(folder);
}

bool ReadWhole(HANDLE file, uint64_t from, const std::function<bool(const uint8_t*, size_t)>& sink) {
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(from);
    if (!::SetFilePointerEx(file, at, nullptr, FILE_BEGIN)) return false;
    std::vector<uint8_t> buffer(1 << 20);
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) return false;
        if (got == 0) return true;
        if (!sink(buffer.data(), got)) return false;
    }
}

// The newer of the local name.cvd and name.cld.
CvdHeader LocalBase(const std::wstring& folder, const std::string& name, std::wstring& path) {
    const std::wstring cvd = folder + L"\\" + Wide(name) + L".cvd", cld = folder + L"\\" + Wide(name) + L".cld";
    const CvdHeader a = ReadCvdHeader(cvd), b = ReadCvdHeader(cld);
    path = b.version > a.version ? cld : cvd;
    return b.version > a.version ? b : a;
}

}  // namespace

BaseUpdater::BaseUpdater(const std::wstring& basesFolder, const std::wstring& trialProgram)
    : bases_(basesFolder),
      staging_(basesFolder + L"\\" + StagingName),
      ready_(staging_ + L"\\Ready-" + std::to_wstring(::GetCurrentProcessId())),
      trialProgram_(trialProgram) {}

void BaseUpdater::Say(const std::wstring& line) {
    if (onMessage) onMessage(line);
}

HttpReply BaseUpdater::Fetch(const std::wstring& url, const std::wstring& label, uint64_t from, uint64_t to, const HttpClient::Sink& sink) {
    std::wstring why;
    uint64_t windowStart = ::GetTickCount64(), windowBytes = 0;
    HttpReply reply = http_.Get(url, from, to, [&](const uint8_t* data, size_t size, uint64_t offset) {
        const uint64_t now = ::GetTickCount64();
        windowBytes += size;
        if (now >= deadline_) why = L"the update of this base took longer than its " + std::to_wstring(settings_.deadlineSeconds) + L" seconds";
        else if (now - windowStart >= RateWindowMs) {
            if (windowBytes * 1000 < settings_.minimumRate * (now - windowStart))
                why = L"the mirror sends too slowly (under " + std::to_wstring(settings_.minimumRate) + L" bytes a second)";
            windowStart = now, windowBytes = 0;
        }
        if (!why.empty() || Stopping() || !sink(data, size, offset)) return false;
        if (onProgress) onProgress(label, offset + size, to == UINT64_MAX ? 0 : to + 1);
        return true;
    });
    if (!why.empty()) reply.error = why;
    else if (Stopping() && !reply.ok) reply.error = L"stopped";
    fetched_ += reply.received;
    if (reply.status == 429 || (reply.status == 503 && reply.retryAfter))
        busyFor_ = std::min(LongestWait, std::max<uint64_t>(1, reply.retryAfter ? reply.retryAfter : DefaultWait));
    return reply;
}

namespace {

// The waits the mirrors asked for that have not ended: "mirror until" a line.
std::map<std::string, uint64_t> ReadWaits(const std::wstring& path) {
    std::map<std::string, uint64_t> waits;
    Win::FileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    std::string text(65536, '\0');
    DWORD got = 0;
    if (!file || !::ReadFile(file.Get(), &text[0], static_cast<DWORD>(text.size()), &got, nullptr)) return waits;
    text.resize(got);
    std::istringstream lines(text);
    const uint64_t now = static_cast<uint64_t>(std::time(nullptr));
    std::string url;
    uint64_t until = 0;
    while (lines >> url >> until)
        if (until > now) waits[url] = until;
    return waits;
}

}  // namespace

uint64_t BaseUpdater::WaitingUntil(const std::wstring& mirror) const {
    const std::map<std::string, uint64_t> waits = ReadWaits(staging_ + L"\\wait.txt");
    const auto found = waits.find(std::string(mirror.begin(), mirror.end()));
    return found == waits.end() ? 0 : found->second;
}

void BaseUpdater::RecordWait(const std::wstring& mirror, uint64_t seconds) {
    std::map<std::string, uint64_t> waits = ReadWaits(staging_ + L"\\wait.txt");
    waits[std::string(mirror.begin(), mirror.end())] = static_cast<uint64_t>(std::time(nullptr)) + seconds;
    std::string text;
    for (const auto& wait : waits) text += wait.first + " " + std::to_string(wait.second) + "\r\n";
    Win::FileHandle file(::CreateFileW((staging_ + L"\\wait.txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (file) ::WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

BaseUpdater::Outcome BaseUpdater::Run() {
    settings_ = ReadUpdateSettings(bases_);
    if (settings_.mirrors.empty()) {
        Say(L"no mirror is set: add [update] mirror=https://... to " + bases_ + L"\\refengine.ini");
        return Failed;
    }
    if (!MakeFolder(staging_)) {
        Say(L"cannot make the folder for new bases " + staging_ + L" (" + ErrorText(::GetLastError()) + L")");
        return Failed;
    }
    // One update at a time: the lock file is held without sharing and goes when its handle does.
    Win::FileHandle lock(::CreateFileW((staging_ + L"\\lock").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                       FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    if (!lock) {
        Say(::GetLastError() == ERROR_SHARING_VIOLATION ? L"another update of these bases is running"
                                                         : L"cannot lock the bases for the update (" + ErrorText(::GetLastError()) + L")");
        return Failed;
    }
    RemoveLeftFolders(staging_);
    if (!MakeFolder(ready_)) {
        Say(L"cannot make the folder for new bases " + ready_ + L" (" + ErrorText(::GetLastError()) + L")");
        return Failed;
    }

    bool failed = false;
    std::vector<Staged> ready;
    for (const std::string& name : settings_.bases) {
        Step step = Step::Failed;
        Staged staged;
        for (const std::wstring& mirror : settings_.mirrors) {
            if (Stopping()) return Failed;
            if (const uint64_t until = WaitingUntil(mirror)) {
                Say(mirror + L": asked to be left alone until " + LocalTimeText(until) + L"; not asked before then");
                continue;
            }
            busyFor_ = 0;
            step = UpdateBase(name, mirror, staged);
            if (busyFor_) {
                RecordWait(mirror, busyFor_);
                Say(mirror + L": too busy, it asked to be left alone until " +
                    LocalTimeText(static_cast<uint64_t>(std::time(nullptr)) + busyFor_) + L"; not asked before then");
            }
            if (step != Step::Failed) break;
        }
        if (step == Step::Staged) ready.push_back(staged);
        if (step == Step::Failed) failed = true;
    }
    if (ready.empty()) {
        RemoveFolder(ready_);
        return failed ? Failed : Current;
    }
    if (!Trial(ready) || Stopping()) {
        RemoveFolder(ready_);
        return Failed;
    }
    for (const Staged& staged : ready) {
        const std::wstring target = bases_ + L"\\" + staged.fileName;
        if (!::MoveFileExW((ready_ + L"\\" + staged.fileName).c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            Say(Wide(staged.name) + L": the new base could not replace the old one (" + ErrorText(::GetLastError()) + L"); the old one stays");
            failed = true;
            continue;
        }
        // The other form of the same base is older now (the engine would read only the newer anyway).
        const bool patched = staged.fileName.size() > 4 && staged.fileName.compare(staged.fileName.size() - 4, 4, L".cld") == 0;
        const std::wstring other = bases_ + L"\\" + Wide(staged.name) + (patched ? L".cvd" : L".cld");
        const CvdHeader old = ReadCvdHeader(other);
        if (old.version && old.version < staged.header.version) ::DeleteFileW(other.c_str());
        Say(Wide(staged.name) + L": updated to version " + std::to_wstring(staged.header.version) + L" (" +
            std::to_wstring(staged.header.signatures) + L" signatures)");
    }
    RemoveFolder(ready_);
    return failed ? Failed : Updated;
}

BaseUpdater::Step BaseUpdater::UpdateBase(const std::string& name, const std::wstring& mirror, Staged& staged) {
    deadline_ = ::GetTickCount64() + settings_.deadlineSeconds * 1000;
    const std::wstring label = Wide(name) + L".cvd";
    std::string head;
    const HttpReply reply = Fetch(mirror + label, label, 0, CvdHeaderSize - 1, [&](const uint8_t* data, size_t size, uint64_t offset) {
        if (offset != head.size()) return false;
        head.append(reinterpret_cast<const char*>(data), std::min(size, CvdHeaderSize - head.size()));
        return head.size() < CvdHeaderSize;  // a server that ignores the range is cut off here
    });
    CvdHeader remote;
    if (head.size() < CvdHeaderSize || !remote.Parse(head.data(), head.size())) {
        const std::wstring why = head.size() >= CvdHeaderSize ? L"not a signature base"
                                 : !reply.error.empty() && reply.error != L"stopped"
                                     ? reply.error
                                     : L"the answer is shorter than a base's " + std::to_wstring(CvdHeaderSize) + L"-byte header, so it is no base";
        Say(mirror + label + L": " + why);
        return Step::Failed;
    }
    std::wstring localPath;
    const CvdHeader local = LocalBase(bases_, name, localPath);
    if (remote.version <= local.version) {
        Say(Wide(name) + L": current (version " + std::to_wstring(local.version) + L")");
        return Step::Current;
    }
    staged.name = name;
    if (local.version > 0 && remote.version - local.version <= MaxPatchChain && Patch(name, mirror, localPath, remote, staged))
        return Step::Staged;
    if (Stopping()) return Step::Failed;
    return Download(name, mirror, head, reply.fileSize, local.version, staged) ? Step::Staged : Step::Failed;
}

bool BaseUpdater::Accept(const std::string& name, const BaseContent& content, const CvdHeader& claimed, uint32_t localVersion,
                         CvdHeader& accepted, std::wstring& why) {
    if (!CheckBaseContent(name, content, accepted, why)) return false;
    if (accepted.version != claimed.version || accepted.signatures != claimed.signatures || accepted.level != claimed.level) {
        why = L"its content is version " + std::to_wstring(accepted.version) + L" (" + std::to_wstring(accepted.signatures) +
              L" signatures, level " + std::to_wstring(accepted.level) + L"), not the version " + std::to_wstring(claimed.version) + L" (" +
              std::to_wstring(claimed.signatures) + L" signatures, level " + std::to_wstring(claimed.level) + L") its header claims";
        return false;
    }
    if (accepted.version <= localVersion) {
        why = L"its content is version " + std::to_wstring(accepted.version) + L", not newer than the version " + std::to_wstring(localVersion) +
              L" in use";
        return false;
    }
    return true;
}

bool BaseUpdater::Patch(const std::string& name, const std::wstring& mirror, const std::wstring& localPath, const CvdHeader& remote,
                        Staged& staged) {
    BaseFiles base;
    std::wstring error;
    if (!ReadBaseArchive(localPath, base, error)) {
        Say(Wide(name) + L": the local base cannot be patched (" + error + L"); the whole base is fetched");
        return false;
    }
    const uint32_t from = base.header.version;
    // Counted wide: a version next to the largest number cannot wrap the loop.
    for (uint64_t version = uint64_t(from) + 1; version <= remote.version; ++version) {
        if (Stopping()) return false;
        const std::wstring file = Wide(name) + L"-" + std::to_wstring(version) + L".cdiff";
        std::string patch;
        const HttpReply reply = Fetch(mirror + file, file, 0, UINT64_MAX, [&](const uint8_t* data, size_t size, uint64_t offset) {
            if (offset != patch.size() || patch.size() + size > MaxPatchBytes) return false;
            patch.append(reinterpret_cast<const char*>(data), size);
            return true;
        });
        std::string script;
        if (!reply.ok) error = reply.error;
        if (!reply.ok || !OpenPatch(patch, settings_.patchKey, script, error) || !ApplyPatch(script, base.files, error)) {
            Say(mirror + file + L": " + error + L"; the whole base is fetched instead");
            return false;
        }
    }
    // The patches are signed one by one; the version they lead to is what the patched list says.
    CvdHeader accepted;
    if (!Accept(name, ContentOf(name, base.files), remote, from, accepted, error)) {
        Say(Wide(name) + L": the patched base is refused: " + error + L"; the whole base is fetched instead");
        return false;
    }
    base.header.version = accepted.version;
    base.header.signatures = accepted.signatures;
    base.header.level = accepted.level;
    if (!accepted.buildTime.empty()) base.header.buildTime = accepted.buildTime;
    if (!accepted.builder.empty()) base.header.builder = accepted.builder;
    if (accepted.buildSeconds) base.header.buildSeconds = accepted.buildSeconds;
    staged.fileName = Wide(name) + L".cld";
    staged.header = base.header;
    if (!WriteBaseArchive(ready_ + L"\\" + staged.fileName, base, error)) {
        Say(Wide(name) + L": " + error);
        return false;
    }
    Say(Wide(name) + L": patched from version " + std::to_wstring(from) + L" to " + std::to_wstring(accepted.version));
    return true;
}

bool BaseUpdater::Download(const std::string& name, const std::wstring& mirror, const std::string& remoteHeader, uint64_t announcedSize,
                           uint32_t localVersion, Staged& staged) {
    const std::wstring label = Wide(name) + L".cvd", partPath = staging_ + L"\\" + label + L".part";
    CvdHeader header;
    header.Parse(remoteHeader.data(), remoteHeader.size());
    if (announcedSize > MaxBaseBytes) {
        Say(mirror + label + L": refused: the mirror says it is " + SizeText(announcedSize) + L", more than any base (" + SizeText(MaxBaseBytes) +
            L"); the old base stays in use");
        return false;
    }
    const uint64_t cap = announcedSize >= CvdHeaderSize ? announcedSize : MaxBaseBytes;
    uint64_t have = 0;
    {
        Win::FileHandle part(::CreateFileW(partPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!part) {
            Say(label + L": cannot write " + partPath + L" (" + ErrorText(::GetLastError()) + L")");
            return false;
        }
        // A part of the same version (its header is the mirror's) and within the cap is continued;
        // anything else starts over.
        LARGE_INTEGER size = {};
        char start[CvdHeaderSize];
        DWORD got = 0;
        if (::GetFileSizeEx(part.Get(), &size) && size.QuadPart > static_cast<LONGLONG>(CvdHeaderSize) &&
            static_cast<uint64_t>(size.QuadPart) <= cap && ::ReadFile(part.Get(), start, sizeof start, &got, nullptr) && got == sizeof start &&
            remoteHeader.compare(0, CvdHeaderSize, start, got) == 0)
            have = static_cast<uint64_t>(size.QuadPart);
        // Room for the download and for the base it becomes, before a byte is written.
        ULARGE_INTEGER free = {};
        const uint64_t needed = 2 * (announcedSize > have ? announcedSize - have : 0);
        if (announcedSize && ::GetDiskFreeSpaceExW(staging_.c_str(), &free, nullptr, nullptr) && free.QuadPart < needed) {
            part.Reset();
            if (!have) ::DeleteFileW(partPath.c_str());
            Say(mirror + label + L": not fetched: the disk of the bases has " + SizeText(free.QuadPart) + L" free, and the " +
                SizeText(announcedSize) + L" base needs twice that; the old base stays in use");
            return false;
        }
        if (have) Say(label + L": continuing the download cut short at byte " + std::to_wstring(have));
        DWORD writeError = 0;
        std::wstring refusal;
        uint64_t next = have;  // where the next byte must go: the answer continues the part, or starts it over
        const HttpReply reply = Fetch(mirror + label, label, have, UINT64_MAX, [&](const uint8_t* data, size_t size, uint64_t offset) {
            if (offset == 0 && next == have && have > 0) next = 0;  // the server ignored the range: from the start
            if (offset != next) {
                refusal = L"the mirror answered with bytes from " + std::to_wstring(offset) + L", not from " + std::to_wstring(next) +
                          L" where the download stands";
                return false;
            }
            if (offset + size > cap) {
                refusal = L"the mirror sent more than the " + SizeText(cap) + L" " +
                          (announcedSize >= CvdHeaderSize ? L"it announced" : L"any base has");
                return false;
            }
            LARGE_INTEGER at;
            at.QuadPart = static_cast<LONGLONG>(offset);
            DWORD written = 0;
            const bool ok = ::SetFilePointerEx(part.Get(), at, nullptr, FILE_BEGIN) && (offset > 0 || ::SetEndOfFile(part.Get())) &&
                            ::WriteFile(part.Get(), data, static_cast<DWORD>(size), &written, nullptr) && written == size;
            // A write cut short without an error is a full disk too (Wine reports it so).
            if (!ok) writeError = ::GetLastError() ? ::GetLastError() : ERROR_DISK_FULL;
            next = offset + size;
            return ok;
        });
        const bool full = writeError == ERROR_DISK_FULL || writeError == ERROR_HANDLE_DISK_FULL;
        if (!refusal.empty() || full) {
            // What a hostile or broken mirror wrote, or a part that filled the disk, is not kept.
            part.Reset();
            ::DeleteFileW(partPath.c_str());
            Say(mirror + label + L": " + (full ? L"cannot write the download (the disk is full)" : L"refused: " + refusal) +
                L"; the download is removed and the old base stays in use");
            return false;
        }
        // 416: the part already holds the whole file (an update was stopped before checking it).
        if (!reply.ok && !(reply.status == 416 && have > 0)) {
            Say(mirror + label + L": " + (writeError ? L"cannot write the download (" + ErrorText(writeError) + L")" : reply.error) +
                L"; the old base stays in use, and the next update continues the download");
            return false;
        }
        // What arrived must be the whole file the header describes: its digest, then its signature.
        Digest md5(Digest::Md5);
        if (!ReadWhole(part.Get(), CvdHeaderSize, [&](const uint8_t* data, size_t size) {
                md5.Add(data, size);
                return !Stopping();
            }) ||
            !::FlushFileBuffers(part.Get())) {
            Say(label + L": " + (Stopping() ? std::wstring(L"stopped") : L"cannot read the download back (" + ErrorText(::GetLastError()) + L")"));
            return false;
        }
        std::string why;
        const std::string digest = HexText(md5.Finish());
        std::string expected = header.md5;
        for (char& c : expected) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        if (digest.empty() || digest != expected) why = "its checksum does not match (the file is damaged or cut short)";
        else if (!VerifyBaseSignature(digest, header.signature, settings_.baseKey)) why = "its digital signature is wrong";
        std::wstring refused = Wide(why);
        part.Reset();
        if (refused.empty()) {
            // The signature covers the content, not the header's version: the content's own list says it.
            BaseContent content;
            CvdHeader accepted;
            if (!ReadBaseContent(partPath, name, [this] { return Stopping(); }, content, refused)) {
                if (Stopping()) return false;
            } else if (Accept(name, content, header, localVersion, accepted, refused)) {
                refused.clear();
            }
        }
        if (!refused.empty()) {
            ::DeleteFileW(partPath.c_str());
            Say(mirror + label + L": refused: " + refused + L"; the old base stays in use");
            return false;
        }
    }
    staged.fileName = label;
    staged.header = header;
    if (!::MoveFileExW(partPath.c_str(), (ready_ + L"\\" + label).c_str(), MOVEFILE_REPLACE_EXISTING)) {
        Say(label + L": cannot move the download into place (" + ErrorText(::GetLastError()) + L")");
        return false;
    }
    Say(Wide(name) + L": fetched version " + std::to_wstring(header.version));
    return true;
}

bool BaseUpdater::Trial(const std::vector<Staged>& staged) {
    const std::wstring engine = ready_ + L"\\ScanMain.DLL", output = ready_ + L"\\trial.txt";
    if (!::CopyFileW((bases_ + L"\\ScanMain.DLL").c_str(), engine.c_str(), FALSE)) {
        Say(L"cannot try the new bases: the engine could not be copied (" + ErrorText(::GetLastError()) + L")");
        return false;
    }
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    Win::FileHandle out(::CreateFileW(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr));
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = out.Get();
    startup.hStdInput = nullptr;
    std::wstring command = L"\"" + trialProgram_ + L"\" --version --engine \"" + ready_ + L"\"";
    PROCESS_INFORMATION process = {};
    if (!out || !::CreateProcessW(trialProgram_.c_str(), &command[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW | CREATE_SUSPENDED, nullptr,
                                  ready_.c_str(), &startup, &process)) {
        Say(L"cannot try the new bases: " + trialProgram_ + L" did not start (" + ErrorText(::GetLastError()) + L")");
        return false;
    }
    Win::KernelHandle child(process.hProcess), thread(process.hThread);
    // The trial engine ends with this process, however this one ends: a killed update leaves no
    // engine behind holding the new files.
    Win::KernelHandle job(::CreateJobObjectW(nullptr, nullptr));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job) {
        ::SetInformationJobObject(job.Get(), JobObjectExtendedLimitInformation, &limits, sizeof limits);
        ::AssignProcessToJobObject(job.Get(), child.Get());
    }
    ::ResumeThread(thread.Get());
    out.Reset();
    DWORD code = 1;
    for (DWORD waited = 0; ::WaitForSingleObject(child.Get(), 200) == WAIT_TIMEOUT; waited += 200) {
        if (waited >= TrialTimeout || Stopping()) {
            ::TerminateProcess(child.Get(), 1);
            break;
        }
    }
    ::WaitForSingleObject(child.Get(), INFINITE);
    ::GetExitCodeProcess(child.Get(), &code);
    std::string text;
    Win::FileHandle in(::CreateFileW(output.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    if (in) ReadWhole(in.Get(), 0, [&](const uint8_t* data, size_t size) {
            text.append(reinterpret_cast<const char*>(data), size);
            return text.size() < (16u << 20);
        });
    bool ok = code == 0;
    for (const Staged& s : staged) {
        const std::string file(s.fileName.begin(), s.fileName.end());
        bool loaded = text.find(file + ": version " + std::to_string(s.header.version)) != std::string::npos;
        for (const char* problem : {": refused", ": damaged", ": the archive is damaged"})
            loaded = loaded && text.find(file + problem) == std::string::npos;
        if (!loaded) Say(Wide(s.name) + L": the engine does not load the new base; the old one stays in use");
        ok = ok && loaded;
    }
    if (code != 0) Say(L"the engine failed to start with the new bases; the old ones stay in use");
    return ok;
}

}  // namespace Update
