// The scanning operation: detection, quarantine copy, cure and rescan, progress.
#include "scan/FileOperations.h"

#include "quarantine/QuarantineManager.h"
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

void AvEngineScanFile::Process(const boost::filesystem::path& file) {
    const std::wstring path = file.wstring();
    ++stats_->checked;
    manager_.objectScanned(path.c_str(), AvCore::File, false);

    uint32_t before = 0, after = 0;  // 0: not computed yet
    for (int round = 0; round < MaxCureRounds; ++round) {
        if (scanner_->FScan(path.c_str())) break;
        ++stats_->found;
        bool cured = false, quarantined = false;
        if (current_.curable && cureThreats_) {
            quarantined = manager_.Quarantine().QuarantineThreat(current_);
            before = before == 0 ? FileCrc32(path.c_str()) : after;
            after = scanner_->Cure(path.c_str(), 1) ? FileCrc32(path.c_str()) : before;
            cured = before != after;
            if (cured) ++stats_->cured;
        }
        manager_.threatHandled(&current_, cured, quarantined);
        if (!cured || before == 0xFFFFFFFF) break;
    }

    if (stats_->totalKnown && stats_->total > 0) {
        int64_t percent = static_cast<int64_t>(stats_->checked) * 100 / stats_->total;
        if (percent > 100) percent = 100;
        if (percent != lastPercent_) {
            lastPercent_ = static_cast<int32_t>(percent);
            manager_.progress(lastPercent_);
        }
    }
}
