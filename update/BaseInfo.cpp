#include "update/BaseInfo.h"

#include "base/Text.h"
#include "update/BaseArchive.h"
#include "base/Digest.h"

#include <memory>
#include <sstream>

namespace Update {

using Crypto::Digest;
namespace {

const char LicenceFile[] = "COPYING";  // shipped beside the lists, read by no engine

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

bool IsHexDigest(const std::string& text) {
    if (text.size() != 64) return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

}  // namespace

BaseContent ContentOf(const std::string& baseName, const std::map<std::string, std::string>& files) {
    BaseContent content;
    for (const auto& file : files) {
        FileSummary& summary = content.files[file.first];
        summary.size = file.second.size();
        summary.sha256 = HexText(Digest::Of(Digest::Sha256, file.second.data(), file.second.size()));
    }
    const auto info = files.find(baseName + ".info");
    if (info != files.end()) content.info = info->second;
    return content;
}

bool ReadBaseContent(const std::wstring& path, const std::string& baseName, const std::function<bool()>& stopping, BaseContent& content,
                     std::wstring& error) {
    const std::string infoName = baseName + ".info";
    const uint64_t MaxInfoBytes = 16u << 20;  // a line a file: far under this
    std::unique_ptr<Digest> digest;
    FileSummary* current = nullptr;
    bool keepText = false, twice = false;
    auto finish = [&]() {
        if (current) current->sha256 = HexText(digest->Finish());
        current = nullptr;
    };
    BaseFileVisitor visit;
    visit.begin = [&](const std::string& name, uint64_t size) {
        finish();
        twice = content.files.count(name) > 0;  // which of the two would count?
        if (twice) return false;
        current = &content.files[name];
        current->size = size;
        digest.reset(new Digest(Digest::Sha256));
        keepText = name == infoName && size <= MaxInfoBytes;
        return !(stopping && stopping());
    };
    visit.piece = [&](const uint8_t* data, size_t size) {
        digest->Add(data, size);
        if (keepText) content.info.append(reinterpret_cast<const char*>(data), size);
        return !(stopping && stopping());
    };
    CvdHeader header;
    const bool read = WalkBaseArchive(path, header, visit, error);
    finish();
    if (!read && twice) error = L"the base container names a file twice";
    return read;
}

bool CheckBaseContent(const std::string& baseName, const BaseContent& content, CvdHeader& signedHeader, std::wstring& error) {
    const std::string infoName = baseName + ".info";
    if (!content.files.count(infoName)) {
        error = L"the base has no list of its files (" + Wide(infoName) + L")";
        return false;
    }
    std::istringstream lines(content.info);
    std::string line;
    std::getline(lines, line);
    if (!signedHeader.ParseLine(line, 5)) {
        error = L"the list of the base's files (" + Wide(infoName) + L") does not start with the base's version";
        return false;
    }
    FileSummaries listed;
    bool signatureLine = false;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        if (signatureLine || line.compare(0, 5, "DSIG:") == 0) {
            signatureLine = true;  // nothing may follow it
            if (line.compare(0, 5, "DSIG:") != 0) {
                error = L"the list of the base's files (" + Wide(infoName) + L") goes on after its signature";
                return false;
            }
            continue;
        }
        const size_t first = line.find(':'), second = line.find(':', first == std::string::npos ? first : first + 1);
        FileSummary summary;
        const std::string name = line.substr(0, first);
        const std::string size = first == std::string::npos ? std::string() : line.substr(first + 1, second - first - 1);
        summary.sha256 = second == std::string::npos ? std::string() : Lower(line.substr(second + 1));
        const bool number = !size.empty() && size.size() <= 15 && size.find_first_not_of("0123456789") == std::string::npos;
        if (name.empty() || !number || !IsHexDigest(summary.sha256) || listed.count(name)) {
            error = L"the list of the base's files (" + Wide(infoName) + L") has a line that is not \"name:size:sha256\": " +
                    Wide(line.substr(0, 80));
            return false;
        }
        summary.size = std::stoull(size);
        listed[name] = summary;
    }
    for (const auto& entry : listed) {
        const auto file = content.files.find(entry.first);
        if (file == content.files.end()) {
            error = L"the base lacks " + Wide(entry.first) + L", which its list names";
            return false;
        }
        if (file->second.size != entry.second.size || file->second.sha256 != entry.second.sha256) {
            error = L"the base's " + Wide(entry.first) + L" is not the file its list describes (size or SHA-256 differ)";
            return false;
        }
    }
    for (const auto& file : content.files) {
        if (file.first == infoName || file.first == LicenceFile || listed.count(file.first)) continue;
        error = L"the base holds " + Wide(file.first) + L", which its list does not name";
        return false;
    }
    return true;
}

}  // namespace Update
