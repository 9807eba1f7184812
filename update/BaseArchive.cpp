#include "update/BaseArchive.h"

#include "base/WinHandle.h"
#include "base/TarHeader.h"
#include "base/Digest.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace Update {

using Crypto::Digest;
namespace {

// The container's bytes after the header, through gzip when they are compressed.
class ArchiveReader {
public:
    explicit ArchiveReader(HANDLE file) : file_(file) { std::memset(&zip_, 0, sizeof zip_); }
    ~ArchiveReader() {
        if (inflating_) inflateEnd(&zip_);
    }
    bool Start() {
        if (!Fill()) return false;
        compressed_ = available_ >= 2 && input_[0] == 0x1F && input_[1] == 0x8B;
        if (!compressed_) return true;
        if (inflateInit2(&zip_, 16 + MAX_WBITS) != Z_OK) return false;
        inflating_ = true;
        return true;
    }
    // Exactly size bytes, or false.
    bool Read(uint8_t* out, size_t size) {
        while (size > 0) {
            if (at_ == available_ && !compressed_ && !Fill()) return false;
            if (!compressed_) {
                const size_t step = std::min(size, available_ - at_);
                if (step == 0) return false;
                std::memcpy(out, input_ + at_, step);
                at_ += step, out += step, size -= step;
                continue;
            }
            if (ended_) return false;
            if (zip_.avail_in == 0) {
                if (at_ == available_ && !Fill()) return false;
                zip_.next_in = input_ + at_;
                zip_.avail_in = static_cast<uInt>(available_ - at_);
                at_ = available_;
            }
            zip_.next_out = out;
            zip_.avail_out = static_cast<uInt>(size);
            const int result = inflate(&zip_, Z_NO_FLUSH);
            if (result != Z_OK && result != Z_STREAM_END) return false;
            const size_t made = size - zip_.avail_out;
            out += made, size -= made;
            if (result == Z_STREAM_END) ended_ = true;
        }
        return true;
    }

private:
    bool Fill() {
        DWORD got = 0;
        if (!::ReadFile(file_, input_, sizeof input_, &got, nullptr) || got == 0) return false;
        available_ = got;
        at_ = 0;
        return true;
    }

    HANDLE file_;
    z_stream zip_;
    bool compressed_ = false, inflating_ = false, ended_ = false;
    uint8_t input_[65536];
    size_t available_ = 0, at_ = 0;
};

void Octal(char* field, size_t width, uint64_t value) {
    // width - 1 digits and a NUL
    for (size_t i = width - 1; i-- > 0;) {
        field[i] = static_cast<char>('0' + (value & 7));
        value >>= 3;
    }
    field[width - 1] = 0;
}

void AppendTarEntry(std::string& tar, const std::string& name, const std::string& content, uint64_t seconds) {
    char block[TarHeader::Block] = {};
    std::memcpy(block, name.data(), std::min<size_t>(name.size(), 99));
    Octal(block + 100, 8, 0644);
    Octal(block + 108, 8, 0);
    Octal(block + 116, 8, 0);
    Octal(block + 124, 12, content.size());
    Octal(block + 136, 12, seconds);
    block[156] = '0';
    std::memcpy(block + 257, "ustar", 6);
    std::memcpy(block + 263, "00", 2);
    std::memset(block + 148, ' ', 8);
    unsigned sum = 0;
    for (unsigned char c : block) sum += c;
    Octal(block + 148, 7, sum);
    block[155] = ' ';
    tar.append(block, sizeof block);
    tar += content;
    tar.append((TarHeader::Block - content.size() % TarHeader::Block) % TarHeader::Block, '\0');
}

}  // namespace

bool WalkBaseArchive(const std::wstring& path, CvdHeader& header, const BaseFileVisitor& visit, std::wstring& error) {
    Win::FileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    char head[CvdHeaderSize];
    DWORD got = 0;
    if (!file || !::ReadFile(file.Get(), head, sizeof head, &got, nullptr) || !header.Parse(head, got)) {
        error = L"not a readable base container";
        return false;
    }
    ArchiveReader archive(file.Get());
    if (!archive.Start()) {
        error = L"the base container is empty";
        return false;
    }
    uint64_t total = 0;
    size_t files = 0;
    uint8_t block[TarHeader::Block];
    std::vector<uint8_t> piece(1 << 16);
    for (;;) {
        if (!archive.Read(block, sizeof block)) {
            error = L"the base container is damaged (its archive ends early)";
            return false;
        }
        if (TarHeader::IsEnd(block)) break;
        uint64_t size = 0;
        if (!TarHeader::Size(block, size) || size > MaxUnpackedBaseBytes - total || ++files > MaxBaseFiles) {
            error = L"the base container is damaged or too large";
            return false;
        }
        total += size;
        const std::string name = TarHeader::Name(block);
        // Only plain files of plain names count; anything else is read past.
        const bool wanted = TarHeader::IsFile(block) && !name.empty() && name.find_first_of("/\\") == std::string::npos;
        if (wanted && !visit.begin(name, size)) {
            error = L"stopped";
            return false;
        }
        const uint64_t padded = size + (TarHeader::Block - size % TarHeader::Block) % TarHeader::Block;
        for (uint64_t done = 0; done < padded;) {
            const size_t step = static_cast<size_t>(std::min<uint64_t>(piece.size(), padded - done));
            if (!archive.Read(piece.data(), step)) {
                error = L"the base container is damaged (a file is cut short)";
                return false;
            }
            const size_t content = static_cast<size_t>(std::min<uint64_t>(step, size > done ? size - done : 0));
            if (wanted && content && !visit.piece(piece.data(), content)) {
                error = L"stopped";
                return false;
            }
            done += step;
        }
    }
    return true;
}

bool ReadBaseArchive(const std::wstring& path, BaseFiles& base, std::wstring& error) {
    std::string* current = nullptr;
    BaseFileVisitor keep;
    keep.begin = [&](const std::string& name, uint64_t size) {
        current = &base.files[name];
        current->clear();
        current->reserve(static_cast<size_t>(size));
        return true;
    };
    keep.piece = [&](const uint8_t* data, size_t size) {
        current->append(reinterpret_cast<const char*>(data), size);
        return true;
    };
    return WalkBaseArchive(path, base.header, keep, error);
}

bool WriteBaseArchive(const std::wstring& path, const BaseFiles& base, std::wstring& error) {
    std::string tar;
    for (const auto& file : base.files) AppendTarEntry(tar, file.first, file.second, base.header.buildSeconds);
    tar.append(2 * TarHeader::Block, '\0');
    CvdHeader header = base.header;
    header.md5 = HexText(Digest::Of(Digest::Md5, tar.data(), tar.size()));
    const std::string text = header.Format();
    Win::FileHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    bool ok = file && ::WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) && written == text.size();
    for (size_t at = 0; ok && at < tar.size(); at += written) {
        const DWORD step = static_cast<DWORD>(std::min<size_t>(tar.size() - at, 1u << 20));
        ok = ::WriteFile(file.Get(), tar.data() + at, step, &written, nullptr) && written == step;
    }
    ok = ok && ::FlushFileBuffers(file.Get());
    if (!ok) {
        // A write cut short without an error is a full disk too (Wine reports it so).
        const DWORD code = ::GetLastError();
        error = code == 0 || code == ERROR_DISK_FULL || code == ERROR_HANDLE_DISK_FULL ? L"the new base could not be written (the disk is full)"
                                                                                        : L"the new base could not be written (error " + std::to_wstring(code) + L")";
        file.Reset();
        ::DeleteFileW(path.c_str());
    }
    return ok;
}

}  // namespace Update
