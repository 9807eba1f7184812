// The digital signatures of published signature bases. The publisher signs with RSA and writes the
// signature as a number in 6-bit digits, least significant first, of the alphabet a-z A-Z 0-9 + /.
// A .cvd's signature carries the MD5 of its archive in its last 16 bytes; a .cdiff's is RSASSA-PSS over
// SHA-256 (MGF1 with SHA-256, 32 bytes of salt) of the patch up to the colon before the signature.
#pragma once

#include <boost/multiprecision/cpp_int.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace Update {

struct SigningKey {
    boost::multiprecision::cpp_int modulus, exponent;
    bool Valid() const { return modulus > 1 && exponent > 1; }
    size_t Bytes() const;
};

// "modulus:exponent" in decimal; an invalid key when the text is not that.
SigningKey KeyFromText(const std::string& text);

// The keys the publisher of the public bases documents for full bases and for patches.
SigningKey PublisherBaseKey();
SigningKey PublisherPatchKey();

// md5Hex: the digest of the archive after the header, as hexadecimal digits.
bool VerifyBaseSignature(const std::string& md5Hex, const std::string& signature, const SigningKey& key);
bool VerifyPatchSignature(const std::vector<uint8_t>& sha256, const std::string& signature, const SigningKey& key);

}  // namespace Update
