// Writes ZIP archives for tests: stored or deflated members, with sizes that may lie.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

namespace TestSupport {

class ZipWriter {
public:
    // declaredSize: what the headers claim the member unpacks to (0: the truth).
    void Add(const std::string& name, const std::string& data, bool deflated = true, uint32_t declaredSize = 0) {
        std::string packed = data;
        if (deflated) {
            z_stream stream = {};
            deflateInit2(&stream, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY);
            packed.resize(deflateBound(&stream, static_cast<uLong>(data.size())));
            stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
            stream.avail_in = static_cast<uInt>(data.size());
            stream.next_out = reinterpret_cast<Bytef*>(&packed[0]);
            stream.avail_out = static_cast<uInt>(packed.size());
            deflate(&stream, Z_FINISH);
            packed.resize(stream.total_out);
            deflateEnd(&stream);
        }
        const uint32_t crc = static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
        const uint32_t size = declaredSize ? declaredSize : static_cast<uint32_t>(data.size());
        const uint32_t offset = static_cast<uint32_t>(body_.size());
        const uint16_t method = deflated ? 8 : 0;
        Put(body_, 0x04034b50, 4);
        Put(body_, 20, 2);
        Put(body_, 0, 2);
        Put(body_, method, 2);
        Put(body_, 0, 4);
        Put(body_, crc, 4);
        Put(body_, static_cast<uint32_t>(packed.size()), 4);
        Put(body_, size, 4);
        Put(body_, static_cast<uint32_t>(name.size()), 2);
        Put(body_, 0, 2);
        body_ += name + packed;
        Put(directory_, 0x02014b50, 4);
        Put(directory_, 20, 2);
        Put(directory_, 20, 2);
        Put(directory_, 0, 2);
        Put(directory_, method, 2);
        Put(directory_, 0, 4);
        Put(directory_, crc, 4);
        Put(directory_, static_cast<uint32_t>(packed.size()), 4);
        Put(directory_, size, 4);
        Put(directory_, static_cast<uint32_t>(name.size()), 2);
        Put(directory_, 0, 2);
        Put(directory_, 0, 2);
        Put(directory_, 0, 2);
        Put(directory_, 0, 2);
        Put(directory_, 0, 4);
        Put(directory_, offset, 4);
        directory_ += name;
        ++count_;
    }
    std::string Bytes() const {
        std::string out = body_ + directory_;
        Put(out, 0x06054b50, 4);
        Put(out, 0, 2);
        Put(out, 0, 2);
        Put(out, count_, 2);
        Put(out, count_, 2);
        Put(out, static_cast<uint32_t>(directory_.size()), 4);
        Put(out, static_cast<uint32_t>(body_.size()), 4);
        Put(out, 0, 2);
        return out;
    }

private:
    static void Put(std::string& out, uint32_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
    }
    std::string body_, directory_;
    uint32_t count_ = 0;
};

}  // namespace TestSupport
