// PKCS #1 RSAPrivateKey (two-prime form) with its private-key operations: raw,
// PKCS #1 v1.5 and OAEP decryption, raw, PKCS #1 v1.5 and PSS signatures.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "lib/libasn/asnint.h"
#include "lib/libasn/x509/siganddigoid.h"

class MemFile;
class QvRbg;
class QvRsaPrivateKey;
class QvRsaCipher;
class QvRsaSig;
class QvRsaSigPkcsV15;
class QvRsaPublicKey;

class RSAPrivateKey : public ASNsequenceF {
public:
    explicit RSAPrivateKey(uint32_t tag = 0);
    RSAPrivateKey(const RSAPrivateKey& other);
    // Copies the nine values and clears the prepared mark.
    RSAPrivateKey& operator=(const RSAPrivateKey& other);
    ~RSAPrivateKey() override;

    // Significant octets of n (at least 1).
    unsigned getModulusOctets() const;
    // 2 all of n, e, d and the CRT members present; 1 d present with a CRT member
    // missing; -1 n and e without d; 0 otherwise.
    int getKeyForm() const;
    // Derives the missing members (n, q, e or d, dP, dQ, qInv) from those present,
    // writing only the missing ones: n and a prime, or both primes, and e or d are
    // needed. 1 complete, 0 not derivable (nothing written).
    int completeCrt();
    // All nine members from the library key; clears the prepared mark. 1, or 0.
    int setFromQvKey(const QvRsaPrivateKey& key);
    // The nine members into the library key, then its precomputation. 1, or 0.
    int toQvKey(QvRsaPrivateKey& key) const;
    // n and e into a library public key; its readiness.
    bool toQvPublicKey(QvRsaPublicKey& key) const;
    // Builds the own library key from the members. 1, or 0.
    int prepareKey();
    // The private transformation of one block of exactly the modulus' significant
    // octets (a value below n), from n and d, with the prime factors when they are
    // those of n (e is not needed). 1, or 0 (no usable key, a block not below n, memory).
    int privateBlock(const uint8_t* in, unsigned len, uint8_t* out) const;
    bool isPrepared() const { return cacheValid != 0; }

    void clear() override;
    int read_contents(GenericFile* src, long len) override;
    int write_contents(GenericFile* dst) const override;
    long lenOfBody() const override;
    void digest_contents(QvHash* hash) const override;

    // Results of the private-key operations (an output file is cut to the result).
    enum {
        kSuccess = 0,
        kRejected = 1,      // decryption or padding check failed; input not below n
        kKeyFailure = 2,    // the key could not be prepared (or lacks what the operation needs)
        kBadArgument = 3,   // a length or argument does not fit
        kBadHash = 4,       // unknown hash or argument out of range
        kNoOutput = 5,      // the output file could not be sized
        kRbgFailure = 6     // the random generator failed
    };
    // Raw RSA decryption of exactly k = getModulusOctets() octets into out (outLen
    // at least k octets).
    int decryptRaw(const uint8_t* in, unsigned len, uint8_t* out, unsigned outLen);
    // RSAES-PKCS1-v1_5 and RSAES-OAEP decryption; every failure of the scheme is the
    // same kRejected.
    int decryptPkcsV15(const uint8_t* in, unsigned len, MemFile& out);
    int decryptOaep(const uint8_t* in, unsigned len, MemFile& out, unsigned hashId, unsigned mgfFlag,
                    unsigned mgfHashId, const uint8_t* label, unsigned labelLen);
    // Signatures with the private-key operation masked by a random factor drawn from
    // rbg (which is needed, and used during the call only). signRaw signs an encoded
    // value below n; signPkcsV15 a digest of hashId; signPss a digest with MGF1
    // (mgfHashId 0: hashId) and a salt of saltLen octets (0: the digest length).
    int signRaw(const uint8_t* in, unsigned len, QvRbg* rbg, MemFile& out);
    int signPkcsV15(const uint8_t* digest, unsigned digestLen, unsigned hashId, QvRbg* rbg, MemFile& out);
    int signPss(const uint8_t* digest, unsigned digestLen, unsigned hashId, QvRbg* rbg, MemFile& out,
                int mgfSelector, unsigned mgfHashId, unsigned saltLen);

    // EMSA-PSS-ENCODE (RFC 8017) of the hLen-octet mHash for a modulus of modBits
    // into out; word must not be 0xFFFFFFFF; mgfHashId 0 means hashId.
    static int emsaPssEncode(unsigned modBits, const uint8_t* mHash, unsigned hLen, MemFile& out, unsigned hashId,
                             uint32_t word, unsigned mgfHashId, const uint8_t* salt, unsigned saltLen);
    // The same with a salt of saltLen octets (-1: the digest length) drawn from rbg.
    static int emsaPssEncodeRandomSalt(unsigned modBits, const uint8_t* mHash, unsigned hLen, MemFile& out,
                                       unsigned hashId, uint32_t word, unsigned mgfHashId, QvRbg* rbg,
                                       int64_t saltLen);

    ASNinteger version;
    ASNinteger modulus;
    ASNinteger publicExponent;
    ASNinteger privateExponent;
    ASNinteger prime1;
    ASNinteger prime2;
    ASNinteger exponent1;
    ASNinteger exponent2;
    ASNinteger coefficient;
    // 1 while the key's derived form is known to match the members; a caller that
    // writes a member directly clears it (the key is then checked again).
    uint8_t cacheValid;

private:
    // The own key prepared (1), or not usable (0).
    bool ready();
    // The members form a key the masked signing can use (it needs e).
    bool canSign() const;
    // Runs a signature scheme over in into out, sized to the scheme's maximum.
    int runSigner(QvRsaSig& scheme, const uint8_t* in, unsigned len, QvRbg* rbg, MemFile& out);
    // Runs a decryption scheme; the result length, or a result code (negative).
    int runDecryption(QvRsaCipher& scheme, const uint8_t* in, unsigned len, MemFile& out, const uint8_t* label,
                      unsigned labelLen);

    std::unique_ptr<QvRsaPrivateKey> m_key;
    std::unique_ptr<QvRsaSig> m_raw;
    std::unique_ptr<QvRsaSigPkcsV15> m_pkcs1;
};
