// The records of every format, and the container types that name them.
#include "refengine/object/Formats.h"

#include "refengine/object/ObjectType.h"

#include <cstring>

namespace RefEngine {

const std::vector<FormatRecord>& FormatRecords() {
    static const std::vector<FormatRecord> records = {
        FormatRecord(),
#define TERVAN_FORMAT(id, reader, name, members, containers, extensions) {FormatId::id, name, members, containers, extensions},
#include "refengine/FormatList.h"
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

}  // namespace RefEngine
