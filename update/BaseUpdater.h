// Brings the bases in a folder up to the mirror's versions. For each base (main, daily, ...): the
// mirror's .cvd header is read first (512 bytes) and nothing more is fetched when the local version
// is current; else the .cdiff patches for every missing version are applied to the local base (a new
// .cld), or, when one is missing or fails, the whole .cvd is fetched (resuming a download cut short).
// Nothing is used before its digest and digital signature are checked and a trial engine has loaded
// it; then each new file replaces its old one in one rename. Whatever fails leaves the old bases as
// they were, and says why.
#pragma once

#include "update/BaseInfo.h"
#include "update/CvdHeader.h"
#include "update/HttpClient.h"
#include "update/UpdateSettings.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace Update {

class BaseUpdater {
public:
    // trialProgram: tervscan.exe, which loads the new files with `--version --engine FOLDER`.
    BaseUpdater(const std::wstring& basesFolder, const std::wstring& trialProgram);

    std::function<void(const std::wstring& line)> onMessage;
    // A transfer's bytes so far, and its total (0 when unknown).
    std::function<void(const std::wstring& file, uint64_t done, uint64_t total)> onProgress;
    // Polled during transfers and the trial: true ends the update (nothing new is put in place).
    std::function<bool()> shouldStop;

    enum Outcome { Current, Updated, Failed };
    Outcome Run();

    uint64_t BytesFetched() const { return fetched_; }

    // The folder inside the bases folder where new files are made (the engine reads no subfolder).
    static const wchar_t* const StagingName;

private:
    // A new base file, complete and checked, waiting in the staging folder.
    struct Staged {
        std::string name;       // "daily"
        std::wstring fileName;  // "daily.cld"
        CvdHeader header;
    };
    enum class Step { Current, Staged, Failed };
    Step UpdateBase(const std::string& name, const std::wstring& mirror, Staged& staged);
    bool Patch(const std::string& name, const std::wstring& mirror, const std::wstring& localPath, const CvdHeader& remote, Staged& staged);
    // announcedSize: the whole file's size as the mirror said it (0 when it did not).
    bool Download(const std::string& name, const std::wstring& mirror, const std::string& remoteHeader, uint64_t announcedSize,
                  uint32_t localVersion, Staged& staged);
    // True when the content's own list matches the claimed header's version, signatures and level and
    // that version is newer than the one in use; `accepted` is the list's header.
    static bool Accept(const std::string& name, const BaseContent& content, const CvdHeader& claimed, uint32_t localVersion, CvdHeader& accepted,
                       std::wstring& why);
    bool Trial(const std::vector<Staged>& staged);
    HttpReply Fetch(const std::wstring& url, const std::wstring& label, uint64_t from, uint64_t to, const HttpClient::Sink& sink);
    void Say(const std::wstring& line);
    // A mirror that answered "too many requests" is left alone for the time it asked (an hour when it
    // did not say): the time is kept in the staging folder, so the next update respects it too.
    uint64_t WaitingUntil(const std::wstring& mirror) const;
    void RecordWait(const std::wstring& mirror, uint64_t seconds);
    bool Stopping() const { return shouldStop && shouldStop(); }

    std::wstring bases_, staging_, ready_, trialProgram_;
    UpdateSettings settings_;
    HttpClient http_;
    uint64_t fetched_ = 0;
    uint64_t busyFor_ = 0;
    uint64_t deadline_ = 0;  // tick count by which the base being updated must be done  // set by a "too many requests" answer: seconds asked, at least 1
};

}  // namespace Update
