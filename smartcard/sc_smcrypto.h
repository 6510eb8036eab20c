// The cryptographic steps that the secure channels share: two-key triple DES in
// CBC mode, the retail MAC (ISO/IEC 9797-1 MAC algorithm 3 over DES) with an
// optional initial chaining value, the full triple-DES CBC-MAC, padding method 2
// of ISO/IEC 9797-1, the SHA-1 key derivation of ISO/IEC 7816-4 style channels,
// and random octets from the system. All of them run on the project's own
// cryptographic library; they throw nothing: a failure is a card result code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "smartcard/sc_errors.h"

constexpr size_t SC_SM_BLOCK = 8;     // DES block
constexpr size_t SC_SM_KEY_LEN = 16;  // two-key triple DES

// Appends 80 and as many 00 as make the length a multiple of eight (always at
// least the 80).
void scSmPad(std::vector<uint8_t>* data);
// Length of the data in front of a padding of method 2; false when the last
// non-zero octet is not 80 or the padding is longer than one block.
bool scSmUnpad(const uint8_t* data, size_t len, size_t* dataLen);

// Two-key triple DES (K1 K2 K1) in CBC mode over whole blocks; iv null: zero.
SCRESULT scSmTdesCbc(const uint8_t key[SC_SM_KEY_LEN], const uint8_t* iv, bool encrypt, const uint8_t* in,
                     size_t len, uint8_t* out);
// Single DES, one block, encryption (key: eight octets).
SCRESULT scSmDesEncryptBlock(const uint8_t key[8], const uint8_t in[8], uint8_t out[8]);

// Retail MAC over data padded by method 2: single-DES CBC under the first key
// half, the last block deciphered under the second half and enciphered under the
// first again. icv (null: zero) is the chaining value before the first block.
SCRESULT scSmRetailMac(const uint8_t key[SC_SM_KEY_LEN], const uint8_t* icv, const uint8_t* data, size_t len,
                       uint8_t mac[SC_SM_BLOCK]);
// Full triple-DES CBC-MAC (zero IV) over data padded by method 2.
SCRESULT scSmTdesCbcMac(const uint8_t key[SC_SM_KEY_LEN], const uint8_t* data, size_t len,
                        uint8_t mac[SC_SM_BLOCK]);

// Key derivation of the key-agreement channel: the first 16 octets of
// SHA-1(secret || counter as four big-endian octets), DES parity set.
SCRESULT scSmDeriveKey(const uint8_t* secret, size_t len, uint32_t counter, uint8_t key[SC_SM_KEY_LEN]);

// Random octets from the operating system's generator.
SCRESULT scSmRandom(uint8_t* out, size_t len);

// Compares in time that depends on the length only.
bool scSmEqual(const uint8_t* a, const uint8_t* b, size_t len);

// Wipes a buffer that held keys or session data.
void scSmWipe(void* p, size_t len);
void scSmWipe(std::vector<uint8_t>& v);
