// Containers of bases: a 512-byte text header
//   ClamAV-VDB:build time:version:signatures:functionality level:MD5:digital signature:builder:build seconds
// padded with spaces, then a tar archive of base files: gzip-compressed in .cvd and .cud files, as it
// is or compressed in .cld files. The MD5 is that of everything after the header; .cld files are
// rewritten by updates without a new one, so theirs is not checked. The digital signature needs the
// publisher's key and is reported as not verified.
#include "refengine/signatures/Database.h"

#include "base/Text.h"
#include "base/WinHandle.h"
#include "refengine/object/Fields.h"
#include "refengine/object/Hash.h"
#include "base/TarHeader.h"

#include <zlib.h>

#include <cstring>

namespace RefEngine {
namespace {

const size_t HeaderSize = 512, TarBlock = TarHeader::Block;

// The archive after the header, read in order: as it is, or through gzip.
class ArchiveStream {
public:
    ArchiveStream(ByteSource& source, bool compressed) : source_(source), at_(HeaderSize), compressed_(compressed) {
        if (compressed_) {
            std::memset(&zip_, 0, sizeof zip_);
            if (inflateInit2(&zip_, 16 + MAX_WBITS) != Z_OK) failed_ = true;
            else open_ = true;
        }
    }
    ~ArchiveStream() {
        if (open_) inflateEnd(&zip_);
    }
    // Up to size bytes; 0 at the end or on damage (Failed() tells which).
    size_t Read(uint8_t* out, size_t size) {
        if (failed_ || size == 0) return 0;
        if (!compressed_) {
            const size_t got = source_.Read(at_, out, size);
            at_ += got;
            return got;
        }
        zip_.next_out = out;
        zip_.avail_out = static_cast<uInt>(size);
        while (zip_.avail_out > 0 && !ended_) {
            if (zip_.avail_in == 0) {
                const size_t got = source_.Read(at_, input_, sizeof input_);
                at_ += got;
                if (got == 0) {
                    failed_ = true;  // the compressed data ends before its end mark
                    break;
                }
                zip_.next_in = input_;
                zip_.avail_in = static_cast<uInt>(got);
            }
            const int result = inflate(&zip_, Z_NO_FLUSH);
            if (result == Z_STREAM_END) ended_ = true;
            else if (result != Z_OK) {
                failed_ = true;
                break;
            }
        }
        return size - zip_.avail_out;
    }
    bool Exactly(uint8_t* out, size_t size) {
        size_t done = 0;
        while (done < size) {
            const size_t got = Read(out + done, size - done);
            if (got == 0) return false;
            done += got;
        }
        return true;
    }
    bool Skip(uint64_t size) {
        uint8_t scratch[4096];
        while (size > 0) {
            const size_t step = static_cast<size_t>(std::min<uint64_t>(size, sizeof scratch));
            if (!Exactly(scratch, step)) return false;
            size -= step;
        }
        return true;
    }
    bool Failed() const { return failed_; }

private:
    ByteSource& source_;
    uint64_t at_;
    bool compressed_, open_ = false, failed_ = false, ended_ = false;
    z_stream zip_;
    uint8_t input_[65536];
};

std::string TypeOf(const std::string& name) {
    const size_t slash = name.find_last_of('/');
    const std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
    const size_t dot = base.rfind('.');
    return dot == std::string::npos ? "(no type)" : LowerAscii(base.substr(dot));
}

}  // namespace

uint64_t Database::ContainerVersion(const std::wstring& path) {
    Win::FileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    char header[HeaderSize + 1] = {};
    DWORD got = 0;
    if (!file || !::ReadFile(file.Get(), header, HeaderSize, &got, nullptr)) return 0;
    const std::vector<std::string> f = Split(std::string(header, strnlen(header, got)), ':');
    uint64_t version = 0;
    if (f.size() > 2)
        for (char c : f[2])
            if (c >= '0' && c <= '9' && version < UINT32_MAX) version = version * 10 + (c - '0');
    return version;
}

void Database::LoadContainer(ByteSource& source, const std::string& extension, const std::string& fileName) {
    auto refuse = [&](const std::string& why) {
        notices.push_back(fileName + ": refused: " + why);
        ++skippedFiles[extension];
    };
    char header[HeaderSize + 1] = {};
    if (source.Read(0, reinterpret_cast<uint8_t*>(header), HeaderSize) != HeaderSize) return refuse("shorter than its header");
    std::string text(header, strnlen(header, HeaderSize));
    while (!text.empty() && (text.back() == ' ' || text.back() == '\n' || text.back() == '\r')) text.pop_back();
    const std::vector<std::string> f = Split(text, ':');
    if (f.size() < 8 || f[0] != "ClamAV-VDB") return refuse("not a signature container (no ClamAV-VDB header)");
    uint64_t level = 0;
    for (char c : f[4])
        if (c >= '0' && c <= '9' && level < 100000) level = level * 10 + (c - '0');
    if (level > FunctionalityLevel)
        notices.push_back(fileName + ": made for functionality level " + f[4] + ", this engine has " +
                          std::to_string(FunctionalityLevel) + "; signatures it cannot honour are skipped");

    if (extension != ".cld") {
        const std::vector<uint8_t> md5 = Digest(HashKind::Md5, source, HeaderSize);
        if (md5.empty()) return refuse("its checksum could not be computed");
        std::string expected = f[5];
        for (char& c : expected)
            if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
        if (HexText(md5) != expected) return refuse("checksum mismatch (the header says " + f[5] + ", the content has " + HexText(md5) + ")");
    }
    notices.push_back(fileName + ": version " + f[2] + ", " + f[3] + " signatures, built " + f[1] + " by " + f[7] +
                      (extension == ".cld" ? "; checksum not checked (updated locally)" : "; checksum correct") +
                      (f[6].empty() || f[6] == "*" || extension == ".cud" ? "; unsigned" : "; digital signature not verified"));

    uint8_t magic[2] = {};
    source.Read(HeaderSize, magic, 2);
    ArchiveStream archive(source, magic[0] == 0x1F && magic[1] == 0x8B);
    uint8_t block[TarBlock];
    for (;;) {
        if (!archive.Exactly(block, TarBlock)) break;
        if (TarHeader::IsEnd(block)) break;
        uint64_t size = 0;
        if (!TarHeader::Size(block, size)) {
            notices.push_back(fileName + ": damaged archive entry; the rest is not read");
            break;
        }
        const std::string name = TarHeader::Name(block);
        const uint64_t padded = (size + TarBlock - 1) / TarBlock * TarBlock;
        const std::string type = TypeOf(name);
        if (TarHeader::IsFile(block) && Reads(type)) {
            uint64_t left = size;
            LoadStream(
                [&](char* buffer, size_t wanted) {
                    const size_t step = static_cast<size_t>(std::min<uint64_t>(wanted, left));
                    const size_t got = archive.Read(reinterpret_cast<uint8_t*>(buffer), step);
                    left -= got;
                    return got;
                },
                type);
            if (left > 0 || !archive.Skip(padded - size)) break;
        } else {
            if (TarHeader::IsFile(block)) ++skippedFiles[type];
            if (!archive.Skip(padded)) break;
        }
    }
    if (archive.Failed()) notices.push_back(fileName + ": the archive is damaged; what came before the damage is loaded");
}

}  // namespace RefEngine
