// Helpers shared by the symmetric tests: OpenSSL (the independent reference)
// set up with its legacy ciphers, and random octets.
#ifndef TESTS_LIBTORVAPP_SYMMETRIC_SYMTEST_H
#define TESTS_LIBTORVAPP_SYMMETRIC_SYMTEST_H

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "tests/common/testsupport.h"

using testsupport::Bytes;
using testsupport::DataFile;
using testsupport::FromHex;
using testsupport::ReadRecords;
using testsupport::ToHex;

Bytes randomBytes(std::mt19937& rng, std::size_t n);

// Loads OpenSSL's default and legacy providers once (DES and RC2 live in the latter).
bool loadOpenSslLegacy();

// One-shot OpenSSL EVP encryption or decryption without padding.
Bytes evpCrypt(const char* cipherName, bool encrypt, const Bytes& key, const Bytes& iv, const Bytes& in,
               int rc2EffectiveBits = 0);

#endif
