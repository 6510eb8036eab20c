// PKCS #1 RSAPrivateKey (two-prime form) with PKCS #1 version 1.5 signing.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "lib/libasn/asnint.h"
#include "lib/libasn/siganddigoid.h"

class MemFile;
class QvRbg;
class QvRsaPrivateKey;
class QvRsaSig;
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
    // writing only the missing ones. 1 complete, 0 not derivable (nothing written).
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

    // Signing results: 0 signed; 2 key-operation failure (no usable key); 3 the
    // digest does not fit its hash or the hash has no identifier; 5 the modulus is
    // too short for the encoding; 6 out of memory.
    enum { kSigned = 0, kKeyFailure = 2, kBadDigest = 3, kKeyTooShort = 5, kNoMemory = 6 };
    // PKCS #1 version 1.5 signature of a digest of hash hashId, appended to out. The
    // generator is not needed by this scheme and may be NULL.
    int signPkcs1(const uint8_t* digest, unsigned digestLen, unsigned hashId, QvRbg* rbg, MemFile* out) const;

    // RSASSA-PSS signature (MGF1 only: mgfSelector 0) with a salt of saltLen octets
    // drawn from rbg (which may be NULL only for an empty salt).
    int signPss(const uint8_t* digest, unsigned digestLen, unsigned hashId, QvRbg* rbg, int mgfSelector,
                unsigned mgfHashId, unsigned saltLen, MemFile* out) const;

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
    // The library key of this structure (kSigned, or kKeyFailure when refused).
    int libraryKey(QvRsaPrivateKey& key, bool requireE = true) const;
    // The scheme's signature of the digest, k octets appended to out.
    std::unique_ptr<QvRsaPrivateKey> m_key;
    int emit(QvRsaSig& scheme, const QvRsaPrivateKey& key, const uint8_t* digest, unsigned digestLen,
             MemFile* out) const;
};
