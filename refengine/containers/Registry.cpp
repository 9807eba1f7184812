// The records of every format, and the formats themselves, made once in the order they are asked.
#include "refengine/containers/Registry.h"

#include "refengine/containers/Archive.h"
#include "refengine/object/ObjectType.h"

#include <cstring>

namespace RefEngine {

// Each module's maker, named by the reader column.
#define TERVAN_FORMAT(id, reader, name, members, containers, extensions) std::unique_ptr<ArchiveFormat> Make##reader##Format(FormatId);
#include "refengine/containers/FormatList.h"
#undef TERVAN_FORMAT

// The kinds of ZIP that documents are: read by the ZIP reader, which names its members' container.
std::unique_ptr<ArchiveFormat> MakeZipDocumentFormat(FormatId) { return nullptr; }

const std::vector<FormatRecord>& FormatRecords() {
    static const std::vector<FormatRecord> records = {
        FormatRecord(),
#define TERVAN_FORMAT(id, reader, name, members, containers, extensions) {FormatId::id, name, members, containers, extensions},
#include "refengine/containers/FormatList.h"
#undef TERVAN_FORMAT
    };
    return records;
}

const FormatRecord& RecordOf(FormatId id) {
    const std::vector<FormatRecord>& records = FormatRecords();
    const size_t index = static_cast<size_t>(id);
    return index < records.size() ? records[index] : records[0];
}

bool FormatOfContainerType(const std::string& typeName, FormatId& format) {
    if (typeName == "CL_TYPE_ANY") {
        format = FormatId::None;
        return true;
    }
    for (const FormatRecord& record : FormatRecords()) {
        const char* types = record.containerTypes;
        for (const char* at = types; (at = std::strstr(at, typeName.c_str())) != nullptr; at += typeName.size()) {
            const char after = at[typeName.size()];
            if ((at == types || at[-1] == ' ') && (after == 0 || after == ' ')) {
                format = record.id;
                return true;
            }
        }
    }
    return false;
}

const std::vector<std::unique_ptr<ArchiveFormat>>& ArchiveFormats() {
    static const std::vector<std::unique_ptr<ArchiveFormat>> formats = [] {
        std::vector<std::unique_ptr<ArchiveFormat>> all;
        auto add = [&all](FormatId id, std::unique_ptr<ArchiveFormat> format) {
            if (!format) return;
            format->record_ = &RecordOf(id);
            all.push_back(std::move(format));
        };
#define TERVAN_FORMAT(id, reader, name, members, containers, extensions) add(FormatId::id, Make##reader##Format(FormatId::id));
#include "refengine/containers/FormatList.h"
#undef TERVAN_FORMAT
        return all;
    }();
    return formats;
}

}  // namespace RefEngine
