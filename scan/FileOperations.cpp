// The scanning operation: detection, quarantine copy, cure and rescan, progress.
#include "scan/FileOperations.h"

#include "base/DiagnosticLog.h"
#include "base/LiteralPath.h"
#include "quarantine/HeldFile.h"
#include "quarantine/QuarantineErrors.h"
#include "quarantine/QuarantineManager.h"
#include "quarantine/SafePaths.h"
#include "resources/resource.h"
#include "scan/FileScanEvents.h"

AvEngineScanFile::AvEngineScanFile(FileScanEvents& scan, const boost::shared_ptr<AvCore::CAvCoreScanner>& scanner,
                                   ScanStatistics* stats, bool cureThreats)
    : scan_(scan), scanner_(scanner), stats_(stats), cureThreats_(cureThreats), lastPercent_(0) {
    threatConnection_ = scanner_->onThreat.connect([this](const AvCore::Threat& threat) {
        if (!curing_) OnThreat(threat);
    });
    AvCore::CAvCoreScanner* raw = scanner_.get();
    objectConnection_ = scanner_->onObject.connect([this, raw](const wchar_t* name, AvCore::ObjectType type, bool inner) {
        if (!curing_) scan_.OnObject(*raw, name, type, inner);
    });
}

AvEngineScanFile::~AvEngineScanFile() {
    threatConnection_.disconnect();
    objectConnection_.disconnect();
}

bool AvEngineScanFile::IsRegularFile(const std::wstring& path) {
    Win::FileHandle file(::CreateFileW(LiteralPath(path).c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, 0, nullptr));
    // A file that cannot be opened is left to the engine, which says why it cannot read it.
    return !file || ::GetFileType(file.Get()) == FILE_TYPE_DISK;
}

void AvEngineScanFile::ReportNotScanned(const std::wstring& path, const Reason& why) {
    ++stats_->notScanned;
    AvCore::WarnLine() << L"Not scanned: " << path << L" : " << ReasonText(why) << L'\n';
    scan_.ObjectNotScanned(path.c_str(), why);
}

bool AvEngineScanFile::CureWithCopy(const AvCore::Threat& threat, bool& quarantined, Reason& withheld) {
    // Never a change that no restore could undo: the copy must be able to go back where it came from.
    if (!Quarantine::IsSafeOriginalPath(threat.object)) {
        withheld = Reason(IDS_REASON_NO_COPY, ReasonText(Reason(IDS_REASON_BAD_PATH, threat.object)));
        return false;
    }
    try {
        // Held from before its copy until the cure is written back: no other program's change can slip
        // in between and be cut away without a copy.
        const std::unique_ptr<Quarantine::CHeldFile> holding =
            Quarantine::HoldFile(threat.object, Quarantine::CHeldFile::Access::ReadWrite);
        Quarantine::CHeldFile& held = *holding;
        Reason copyFailure;
        if (!(quarantined = scan_.Quarantine().QuarantineThreat(threat, &copyFailure, &held))) {
            // Without a restorable copy the file is not touched.
            withheld = Reason(IDS_REASON_NO_COPY, ReasonText(copyFailure));
            return false;
        }
        // The engine cures a private copy, and what it made of it becomes the file's content.
        bool cured = false;
        scan_.Quarantine().GetStore()->WithWorkingCopy(held, [&](const std::wstring& working) {
            curing_ = true;
            const bool engineCured = scanner_->Cure(working.c_str(), 1);
            curing_ = false;
            cured = engineCured && held.TakeContentOf(working);
        });
        if (!cured) withheld = Reason(IDS_REASON_CURE_DID_NOT_TAKE);
        return cured;
    } catch (const Quarantine::IOError& e) {
        curing_ = false;
        withheld = e.reason ? e.reason : SystemErrorReason(e.Code());
    } catch (const std::exception& e) {
        curing_ = false;
        withheld = Quarantine::ReasonOf(e);
    }
    return false;
}

void AvEngineScanFile::Process(const boost::filesystem::path& file, uint64_t size) {
    const std::wstring path = file.wstring();
    ++stats_->checked;
    if (size == UnknownSize) {
        WIN32_FILE_ATTRIBUTE_DATA info;
        size = ::GetFileAttributesExW(LiteralPath(path).c_str(), GetFileExInfoStandard, &info)
                   ? (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow
                   : 0;
    }
    stats_->bytes += static_cast<int64_t>(size);
    scan_.ObjectScanned(path.c_str(), AvCore::File, false);
    // Pipes and devices (which a disk under another system can hold, and list with no size) are never
    // handed to the engine: reading one may never end, and nothing in it is a file of the user's.
    if (size == 0 && !IsRegularFile(path)) {
        ReportNotScanned(path, Reason(IDS_REASON_NOT_REGULAR_FILE));
        return;
    }

    Reason notScanned;
    AvCore::CAvCoreScanner::Verdict verdict = scanner_->Scan(path.c_str(), &notScanned);
    for (int cures = 0; verdict == AvCore::CAvCoreScanner::Verdict::Detected;) {
        ++stats_->found;
        const AvCore::Threat threat = current_;
        bool cured = false, quarantined = false;
        Reason withheld;
        if (threat.curable && cureThreats_) {
            if (cures == MaxCureRounds) {
                withheld = Reason(IDS_REASON_CURE_DID_NOT_TAKE);
            } else {
                ++cures;
                cured = CureWithCopy(threat, quarantined, withheld);
                if (cured) ++stats_->cured;
            }
        }
        if (withheld) scan_.CureWithheld(&threat, withheld);
        scan_.ThreatHandled(&threat, cured, quarantined);
        if (!cured) break;
        verdict = scanner_->Scan(path.c_str(), &notScanned);
        // A cure that removed the file leaves nothing to scan: that is not a failure.
        if (verdict == AvCore::CAvCoreScanner::Verdict::NotScanned &&
            ::GetFileAttributesW(LiteralPath(path).c_str()) == INVALID_FILE_ATTRIBUTES)
            verdict = AvCore::CAvCoreScanner::Verdict::Clean;
    }
    if (verdict == AvCore::CAvCoreScanner::Verdict::NotScanned) ReportNotScanned(path, notScanned);

    if (stats_->totalKnown && stats_->total > 0) {
        int64_t percent = static_cast<int64_t>(stats_->checked) * 100 / stats_->total;
        if (percent > 100) percent = 100;
        if (percent != lastPercent_) {
            lastPercent_ = static_cast<int32_t>(percent);
            scan_.Progress(lastPercent_);
        }
    }
}
