// Random access to the bytes of a scanned object: a file read in cached pages (never loaded whole),
// or a block of memory (an unpacked archive member).
#pragma once

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace RefEngine {

class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual uint64_t Size() const = 0;
    // Copies up to size bytes from offset; returns how many were copied.
    virtual size_t Read(uint64_t offset, uint8_t* out, size_t size) = 0;
    // One byte; the offset must be below Size().
    virtual uint8_t At(uint64_t offset) = 0;
    // The bytes from offset on that lie together in memory, without a copy: a pointer and how many
    // (at least one below Size()); valid until the next call on the source.
    virtual const uint8_t* View(uint64_t offset, size_t& size) = 0;
};

class MemorySource : public ByteSource {
public:
    MemorySource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint64_t Size() const override { return size_; }
    size_t Read(uint64_t offset, uint8_t* out, size_t size) override {
        if (offset >= size_) return 0;
        const size_t n = static_cast<size_t>(std::min<uint64_t>(size, size_ - offset));
        if (n) std::memcpy(out, data_ + offset, n);
        return n;
    }
    uint8_t At(uint64_t offset) override { return data_[offset]; }
    const uint8_t* View(uint64_t offset, size_t& size) override {
        size = offset < size_ ? size_ - static_cast<size_t>(offset) : 0;
        return data_ + (offset < size_ ? offset : size_);
    }

private:
    const uint8_t* data_;
    size_t size_;
};

// A stretch of another source (offset and size within it), as a source of its own.
class SourceWindow : public ByteSource {
public:
    SourceWindow(ByteSource& source, uint64_t offset, uint64_t size)
        : source_(source), offset_(offset), size_(offset < source.Size() ? std::min(size, source.Size() - offset) : 0) {}
    uint64_t Size() const override { return size_; }
    size_t Read(uint64_t offset, uint8_t* out, size_t size) override {
        return offset >= size_ ? 0 : source_.Read(offset_ + offset, out, static_cast<size_t>(std::min<uint64_t>(size, size_ - offset)));
    }
    uint8_t At(uint64_t offset) override { return source_.At(offset_ + offset); }
    const uint8_t* View(uint64_t offset, size_t& size) override {
        const uint8_t* view = source_.View(offset_ + offset, size);
        size = static_cast<size_t>(std::min<uint64_t>(size, offset < size_ ? size_ - offset : 0));
        return view;
    }

private:
    ByteSource& source_;
    uint64_t offset_, size_;
};

// Pages of 64 KiB (or of the file's size, when it is smaller), a handful kept, the least recently used
// one replaced. Read at their offset, without moving the handle's file pointer.
class FileSource : public ByteSource {
public:
    explicit FileSource(HANDLE file);
    ~FileSource() override;
    uint64_t Size() const override { return size_; }
    size_t Read(uint64_t offset, uint8_t* out, size_t size) override;
    uint8_t At(uint64_t offset) override;
    const uint8_t* View(uint64_t offset, size_t& size) override;
    bool Failed() const { return failed_; }

private:
    static constexpr size_t PageSize = 65536;
    static constexpr size_t PageCount = 8;
    struct Page {
        uint64_t number = UINT64_MAX;
        uint64_t used = 0;
        size_t length = 0;
        std::vector<uint8_t> data;  // taken on first use; only length bytes count
    };
    const Page& Load(uint64_t number);

    HANDLE file_;
    uint64_t size_ = 0;
    uint64_t clock_ = 0;
    bool failed_ = false;
    Page pages_[PageCount];
    const Page* last_ = nullptr;
};

}  // namespace RefEngine
