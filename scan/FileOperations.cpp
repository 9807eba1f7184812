// The scanning operation: detection, quarantine copy, cure and rescan, progress.
#include "scan/FileOperations.h"

#include "engine/DiagnosticLog.h"
#include "quarantine/QuarantineManager.h"
#include "resources/resource.h"
#include "scan/EngineManager.h"

AvEngineScanFile::AvEngineScanFile(AvEngineManager& manager, const boost::shared_ptr<AvCore::CAvCoreScanner>& scanner,
                                   ScanStatistics* stats, bool cureThreats)
    : manager_(manager), scanner_(scanner), stats_(stats), cureThreats_(cureThreats), lastPercent_(0) {
    threatConnection_ = scanner_->onThreat.connect([this](const AvCore::Threat& threat) { OnThreat(threat); });
    AvCore::CAvCoreScanner* raw = scanner_.get();
    objectConnection_ = scanner_->onObject.connect([this, raw](const wchar_t* name, AvCore::ObjectType type, bool inner) {
        manager_.OnObject(*raw, name, type, inner);
    });
}

AvEngineScanFile::~AvEngineScanFile() {
    threatConnection_.disconnect();
    objectConnection_.disconnect();
}

void AvEngineScanFile::ReportNotScanned(const std::wstring& path, const Reason& why) {
    ++stats_->notScanned;
    AvCore::WarnLine() << L"Not scanned: " << path << L" : " << ReasonText(why) << L'\n';
    manager_.objectNotScanned(path.c_str(), why);
}

void AvEngineScanFile::Process(const boost::filesystem::path& file, uint64_t size) {
    const std::wstring path = file.wstring();
    ++stats_->checked;
    if (size == UnknownSize) {
        WIN32_FILE_ATTRIBUTE_DATA info;
        size = ::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &info)
                   ? (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow
                   : 0;
    }
    stats_->bytes += static_cast<int64_t>(size);
    manager_.objectScanned(path.c_str(), AvCore::File, false);

    uint32_t before = 0, after = 0;  // 0: not computed yet
    Reason notScanned;
    AvCore::CAvCoreScanner::Verdict verdict = scanner_->Scan(path.c_str(), &notScanned);
    for (int cures = 0; verdict == AvCore::CAvCoreScanner::Verdict::Detected;) {
        ++stats_->found;
        bool cured = false, quarantined = false;
        Reason withheld;
        if (current_.curable && cureThreats_) {
            Reason copyFailure;
            if (cures == MaxCureRounds) {
                withheld = Reason(IDS_REASON_CURE_DID_NOT_TAKE);
            } else if (!(quarantined = manager_.Quarantine().QuarantineThreat(current_, &copyFailure))) {
                // Without a restorable copy the file is not touched.
                withheld = Reason(IDS_REASON_NO_COPY, ReasonText(copyFailure));
            } else {
                ++cures;
                before = before == 0 ? FileCrc32(path.c_str()) : after;
                after = scanner_->Cure(path.c_str(), 1) ? FileCrc32(path.c_str()) : before;
                cured = before != after;
                if (cured) ++stats_->cured;
                else withheld = Reason(IDS_REASON_CURE_DID_NOT_TAKE);
            }
        }
        if (withheld) manager_.cureWithheld(&current_, withheld);
        manager_.threatHandled(&current_, cured, quarantined);
        if (!cured || before == 0xFFFFFFFF) break;
        verdict = scanner_->Scan(path.c_str(), &notScanned);
        // A cure that removed the file leaves nothing to scan: that is not a failure.
        if (verdict == AvCore::CAvCoreScanner::Verdict::NotScanned &&
            ::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES)
            verdict = AvCore::CAvCoreScanner::Verdict::Clean;
    }
    if (verdict == AvCore::CAvCoreScanner::Verdict::NotScanned) ReportNotScanned(path, notScanned);

    if (stats_->totalKnown && stats_->total > 0) {
        int64_t percent = static_cast<int64_t>(stats_->checked) * 100 / stats_->total;
        if (percent > 100) percent = 100;
        if (percent != lastPercent_) {
            lastPercent_ = static_cast<int32_t>(percent);
            manager_.progress(lastPercent_);
        }
    }
}
