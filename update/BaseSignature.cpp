#include "update/BaseSignature.h"

#include "base/Digest.h"

#include <boost/multiprecision/integer.hpp>

#include <algorithm>
#include <cstring>

namespace Update {

using Crypto::Digest;
namespace {

using boost::multiprecision::cpp_int;

// Published by the bases' maker: RSA moduli and exponents, in decimal.
const char BaseModulus[] =
    "11864099555164534260307000165845318975152777441202774374659940574324314260746414476736106064065584474976078889"
    "00222834249227624889175655510024677711096695981894104346990345322322286215910895081785914284562207968416216371"
    "75567590476666928698770143328137383952820383197532047771780196576957695822641224262693037";
const char BaseExponent[] = "100001027";
const char PatchModulus[] =
    "14783905874077467090262228516557917570254599638376203532031989214105552847269687489771975792123442185817287694"
    "95194980090879152754201711560050130339477861853586484523570004159005631823010244961221745854901608931330659138"
    "85907907965158196541023207257123008223563487240112326548375032417361779077841987008344406811247270605400357546"
    "99658105895050096576226753008596881698828185652424901921668758326578462003247906470982092298106789657211905488"
    "98628107834636146952448482955956088622719809199549844067663963983046359321138605506536028842239405399813445862"
    "3712540683294034953818412458362198117811990006021989844180721010947";
const char PatchExponent[] = "100002053";

bool Decimal(const std::string& text, cpp_int& value) {
    if (text.empty() || text.size() > 1000) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

int SixBitDigit(char c) {
    if (c >= 'a' && c <= 'z') return c - 'a';
    if (c >= 'A' && c <= 'Z') return c - 'A' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// The signature raised to the key's exponent: the signed block, its last `length` bytes big-endian.
bool Open(const std::string& signature, const SigningKey& key, size_t length, std::vector<uint8_t>& block) {
    if (!key.Valid() || signature.empty() || signature.size() * 6 > key.Bytes() * 8 + 6) return false;
    cpp_int value = 0;
    for (size_t i = signature.size(); i-- > 0;) {
        const int digit = SixBitDigit(signature[i]);
        if (digit < 0) return false;
        value = (value << 6) | digit;
    }
    if (value >= key.modulus) return false;
    cpp_int plain = boost::multiprecision::powm(value, key.exponent, key.modulus);
    block.assign(length, 0);
    for (size_t i = length; i-- > 0;) {
        block[i] = static_cast<uint8_t>(static_cast<unsigned>(plain & 0xFF));
        plain >>= 8;
    }
    return true;
}

}  // namespace

size_t SigningKey::Bytes() const { return (boost::multiprecision::msb(modulus) + 8) / 8; }

SigningKey KeyFromText(const std::string& text) {
    SigningKey key;
    const size_t colon = text.find(':');
    if (colon == std::string::npos || !Decimal(text.substr(0, colon), key.modulus) || !Decimal(text.substr(colon + 1), key.exponent))
        return SigningKey();
    return key;
}

SigningKey PublisherBaseKey() { return KeyFromText(std::string(BaseModulus) + ":" + BaseExponent); }
SigningKey PublisherPatchKey() { return KeyFromText(std::string(PatchModulus) + ":" + PatchExponent); }

bool VerifyBaseSignature(const std::string& md5Hex, const std::string& signature, const SigningKey& key) {
    std::vector<uint8_t> block;
    if (md5Hex.size() != 32 || !Open(signature, key, 16, block)) return false;
    std::string expected = md5Hex;
    std::transform(expected.begin(), expected.end(), expected.begin(), [](char c) { return c >= 'A' && c <= 'F' ? char(c - 'A' + 'a') : c; });
    return HexText(block) == expected;
}

bool VerifyPatchSignature(const std::vector<uint8_t>& sha256, const std::string& signature, const SigningKey& key) {
    const size_t hashSize = 32, saltSize = 32;
    const size_t length = key.Bytes();
    if (sha256.size() != hashSize || length < hashSize + saltSize + 2) return false;
    // The encoded message has one bit less than the modulus, and so one byte less when the modulus'
    // bit count is a multiple of 8 plus one.
    const size_t bits = static_cast<size_t>(boost::multiprecision::msb(key.modulus));  // modulus bits - 1
    const size_t encodedLength = (bits + 7) / 8;
    std::vector<uint8_t> encoded;
    if (!Open(signature, key, length, encoded)) return false;
    if (length > encodedLength) {
        if (encoded[0] != 0) return false;
        encoded.erase(encoded.begin());
    }
    if (encoded.back() != 0xBC) return false;
    const size_t dbLength = encodedLength - hashSize - 1;
    const uint8_t* digest = &encoded[dbLength];
    // The mask: SHA-256 of the digest and a 32-bit counter, block after block.
    std::vector<uint8_t> db(encoded.begin(), encoded.begin() + dbLength);
    for (uint32_t counter = 0, at = 0; at < dbLength; ++counter) {
        Digest mask(Digest::Sha256);
        mask.Add(digest, hashSize);
        const uint8_t c[4] = {uint8_t(counter >> 24), uint8_t(counter >> 16), uint8_t(counter >> 8), uint8_t(counter)};
        mask.Add(c, 4);
        const std::vector<uint8_t> block = mask.Finish();
        if (block.size() != hashSize) return false;
        for (size_t i = 0; i < hashSize && at < dbLength; ++i) db[at++] ^= block[i];
    }
    const unsigned unusedBits = static_cast<unsigned>(8 * encodedLength - bits);
    db[0] &= static_cast<uint8_t>(0xFF >> unusedBits);
    // Zeros, a one, then the salt.
    const size_t separator = dbLength - saltSize - 1;
    for (size_t i = 0; i < separator; ++i)
        if (db[i] != 0) return false;
    if (db[separator] != 1) return false;
    Digest check(Digest::Sha256);
    const uint8_t zeros[8] = {};
    check.Add(zeros, sizeof zeros);
    check.Add(sha256.data(), hashSize);
    check.Add(&db[separator + 1], saltSize);
    const std::vector<uint8_t> expected = check.Finish();
    return expected.size() == hashSize && std::memcmp(expected.data(), digest, hashSize) == 0;
}

}  // namespace Update
