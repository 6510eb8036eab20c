// Helpers shared by the symmetric tests: hexadecimal text, vector files and
// OpenSSL (the independent reference) set up with its legacy ciphers.
#ifndef TESTS_LIBTORVAPP_SYMMETRIC_SYMTEST_H
#define TESTS_LIBTORVAPP_SYMMETRIC_SYMTEST_H

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

typedef std::vector<std::uint8_t> Bytes;

Bytes hex(const std::string& text);
std::string toHex(const std::uint8_t* p, std::size_t n);
inline std::string toHex(const Bytes& b) { return toHex(b.data(), b.size()); }

// A vector file: records of "name = value" lines separated by blank lines;
// lines starting with '#' are comments (they name the source of the vectors).
typedef std::map<std::string, std::string> Record;
std::vector<Record> readVectors(const std::string& fileName);

Bytes randomBytes(std::mt19937& rng, std::size_t n);

// Loads OpenSSL's default and legacy providers once (DES and RC2 live in the latter).
bool loadOpenSslLegacy();

// One-shot OpenSSL EVP encryption or decryption without padding.
Bytes evpCrypt(const char* cipherName, bool encrypt, const Bytes& key, const Bytes& iv, const Bytes& in,
               int rc2EffectiveBits = 0);

#endif
