// The formats themselves, made once in the order they are asked (refengine/FormatList.h).
#include "refengine/containers/Archive.h"

namespace RefEngine {

// Each module's maker, named by the reader column.
#define TERVAN_FORMAT(id, reader, name, members, containers, extensions) std::unique_ptr<ArchiveFormat> Make##reader##Format(FormatId);
#include "refengine/FormatList.h"
#undef TERVAN_FORMAT

// The kinds of ZIP that documents are: read by the ZIP reader, which names its members' container.
std::unique_ptr<ArchiveFormat> MakeZipDocumentFormat(FormatId) { return nullptr; }

const std::vector<std::unique_ptr<ArchiveFormat>>& ArchiveFormats() {
    static const std::vector<std::unique_ptr<ArchiveFormat>> formats = [] {
        std::vector<std::unique_ptr<ArchiveFormat>> all;
        auto add = [&all](FormatId id, std::unique_ptr<ArchiveFormat> format) {
            if (!format) return;
            format->record_ = &RecordOf(id);
            all.push_back(std::move(format));
        };
#define TERVAN_FORMAT(id, reader, name, members, containers, extensions) add(FormatId::id, Make##reader##Format(FormatId::id));
#include "refengine/FormatList.h"
#undef TERVAN_FORMAT
        return all;
    }();
    return formats;
}

}  // namespace RefEngine
