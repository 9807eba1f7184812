// Fuzz target: what a base update reads before or without a signature to vouch for it: a local base
// container (header and archive) and its list of files checked against it, a patch's signature and its
// script applied to a base. The first byte picks which.
#include "update/BaseArchive.h"
#include "update/BaseInfo.h"
#include "update/Cdiff.h"

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    std::wstring error;
    switch (data[0] % 3) {
    case 0: {
        static const std::string path = "/tmp/fuzz-update-" + std::to_string(::getpid()) + ".cld";
        FILE* file = std::fopen(path.c_str(), "wb");
        if (!file) return 0;
        std::fwrite(text.data(), 1, text.size(), file);
        std::fclose(file);
        Update::BaseFiles base;
        if (Update::ReadBaseArchive(std::wstring(path.begin(), path.end()), base, error)) {
            Update::CvdHeader listed;
            Update::CheckBaseContent("daily", Update::ContentOf("daily", base.files), listed, error);
        }
        Update::BaseContent content;
        Update::ReadBaseContent(std::wstring(path.begin(), path.end()), "daily", nullptr, content, error);
        break;
    }
    case 1: {
        std::map<std::string, std::string> files = {{"daily.ndb", "A:0:*:4142\nB:0:*:4344\nC:0:*:4546\n"}, {"daily.hdb", "x:1:H\n"}};
        Update::ApplyPatch(text, files, error);
        break;
    }
    default: {
        std::string script;
        Update::OpenPatch(text, Update::PublisherPatchKey(), script, error);
        break;
    }
    }
    return 0;
}
