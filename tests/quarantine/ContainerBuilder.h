// Builds container files byte by byte, independently of the program's writer, the way another
// program sharing the quarantine folders would.
#pragma once

#include "base/Digest.h"

#include <cstdint>
#include <string>

namespace TestSupport {

class ContainerBuilder {
public:
    ContainerBuilder(const std::wstring& threatName, int64_t time, int32_t originCode, uint8_t version = 1) {
        bytes_.append("TAVQUAR", 7);
        bytes_.push_back(static_cast<char>(version));
        Text(threatName, 64);
        Int(static_cast<uint64_t>(time), 8);
        Int(static_cast<uint32_t>(originCode), 4);
    }

    struct Object {
        std::wstring storedPath;  // as stored, "?" included
        std::string content;
        uint32_t type = 1;
        uint8_t flags = 0x04;
        uint32_t attributes = 0x20;
        uint64_t creation = 0, access = 0, write = 0;
        int64_t sizeDelta = 0;  // a size field that lies about the content
    };

    ContainerBuilder& Add(const Object& object) {
        bytes_.append("QUAROBJ", 7);
        bytes_.push_back(static_cast<char>(object.flags));
        Int(object.type, 4);
        Int(static_cast<uint64_t>(static_cast<int64_t>(object.content.size()) + object.sizeDelta), 8);
        Text(object.storedPath, 2048);
        Int(object.attributes, 4);
        Int(object.creation, 8);
        Int(object.access, 8);
        Int(object.write, 8);
        for (char c : object.content) bytes_.push_back(static_cast<char>(static_cast<uint8_t>(c) ^ 0xB7));
        return *this;
    }

    // The entry the writer puts after an object: the SHA-256 of its content.
    ContainerBuilder& AddDigestOf(const std::string& content) {
        Object digest;
        digest.type = 0x54534744;
        digest.flags = 0;
        digest.attributes = 0;
        const std::vector<uint8_t> sum = Crypto::Digest::Of(Crypto::Digest::Sha256, content.data(), content.size());
        digest.content.assign(sum.begin(), sum.end());
        return Add(digest);
    }

    const std::string& Bytes() const { return bytes_; }

private:
    void Int(uint64_t value, int size) {
        for (int i = 0; i < size; ++i) bytes_.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
    void Text(const std::wstring& text, size_t units) {
        for (size_t i = 0; i < units; ++i) {
            const wchar_t unit = i < text.size() ? text[i] : 0;
            bytes_.push_back(static_cast<char>(unit & 0xFF));
            bytes_.push_back(static_cast<char>((unit >> 8) & 0xFF));
        }
    }
    std::string bytes_;
};

}  // namespace TestSupport
