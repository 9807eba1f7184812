// Hash signatures kept compactly for bases of millions of them: per digest kind one sorted array of
// fixed records (size, digest, name), searched by size and digest; no node per hash.
#pragma once

#include "refengine/object/Hash.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <unordered_set>
#include <vector>

namespace RefEngine {


const uint32_t AnySize = UINT32_MAX;  // "*": the signature names no size

template <size_t N>
class HashTable {
public:
    void Add(uint32_t size, const uint8_t* digest, uint32_t name) {
        Record record;
        record.size = size;
        std::memcpy(record.digest, digest, N);
        record.name = name;
        records_.push_back(record);
    }
    // Sorts, drops what keep refuses, and gives back what growing left over.
    void Seal(const std::function<bool(uint32_t name)>& keep) {
        records_.erase(std::remove_if(records_.begin(), records_.end(), [&](const Record& r) { return !keep(r.name); }),
                       records_.end());
        std::sort(records_.begin(), records_.end());
        records_.shrink_to_fit();
        anySize_ = !records_.empty() && records_.back().size == AnySize;
    }
    bool Names(uint64_t size) const { return anySize_ || Range(size).first != Range(size).second; }
    // The name of a record for the size (or any size) and digest, or -1.
    int64_t Find(uint64_t size, const uint8_t* digest) const {
        for (const uint64_t s : {size, static_cast<uint64_t>(AnySize)}) {
            if (s > AnySize || (s == AnySize && !anySize_)) continue;
            Record key;
            key.size = static_cast<uint32_t>(s);
            std::memcpy(key.digest, digest, N);
            const auto it = std::lower_bound(records_.begin(), records_.end(), key);
            if (it != records_.end() && it->size == key.size && std::memcmp(it->digest, digest, N) == 0) return it->name;
        }
        return -1;
    }
    size_t Size() const { return records_.size(); }
    void Reserve(size_t n) { records_.reserve(n); }

private:
    struct Record {
        uint32_t size;
        uint8_t digest[N];
        uint32_t name;
        bool operator<(const Record& o) const {
            if (size != o.size) return size < o.size;
            return std::memcmp(digest, o.digest, N) < 0;
        }
    };
    std::pair<typename std::vector<Record>::const_iterator, typename std::vector<Record>::const_iterator> Range(uint64_t size) const {
        if (size >= AnySize) return std::make_pair(records_.end(), records_.end());
        auto below = [](const Record& r, uint32_t s) { return r.size < s; };
        auto above = [](uint32_t s, const Record& r) { return s < r.size; };
        const uint32_t s = static_cast<uint32_t>(size);
        return std::make_pair(std::lower_bound(records_.begin(), records_.end(), s, below),
                              std::upper_bound(records_.begin(), records_.end(), s, above));
    }
    std::vector<Record> records_;
    bool anySize_ = false;
};

// One kind of hash list (file hashes, section hashes, allowed files): the three digest kinds.
class HashSet {
public:
    // False when the digest's length is not one of a kind that allowed permits.
    bool Add(uint32_t size, const uint8_t* digest, size_t length, uint32_t name, bool md5, bool sha) {
        if (length == 16 && md5) md5_.Add(size, digest, name);
        else if (length == 20 && sha) sha1_.Add(size, digest, name);
        else if (length == 32 && sha) sha256_.Add(size, digest, name);
        else return false;
        return true;
    }
    void Seal(const std::function<bool(uint32_t name)>& keep) {
        md5_.Seal(keep);
        sha1_.Seal(keep);
        sha256_.Seal(keep);
    }
    bool Names(HashKind kind, uint64_t size) const {
        return kind == HashKind::Md5 ? md5_.Names(size) : kind == HashKind::Sha1 ? sha1_.Names(size) : sha256_.Names(size);
    }
    bool NamesAny(uint64_t size) const {
        return md5_.Names(size) || sha1_.Names(size) || sha256_.Names(size);
    }
    int64_t Find(HashKind kind, uint64_t size, const uint8_t* digest) const {
        return kind == HashKind::Md5    ? md5_.Find(size, digest)
               : kind == HashKind::Sha1 ? sha1_.Find(size, digest)
                                        : sha256_.Find(size, digest);
    }
    size_t Size() const { return md5_.Size() + sha1_.Size() + sha256_.Size(); }

private:
    HashTable<16> md5_;
    HashTable<20> sha1_;
    HashTable<32> sha256_;
};

}  // namespace RefEngine
