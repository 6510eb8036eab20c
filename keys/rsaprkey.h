// PKCS #1 RSAPrivateKey (two-prime form) with PKCS #1 version 1.5 signing.
#pragma once

#include <cstdint>
#include <vector>

#include "lib/libasn/asnint.h"
#include "lib/libasn/siganddigoid.h"

class MemFile;
class QvRbg;
class QvRsaPrivateKey;
class QvRsaSig;

class RSAPrivateKey : public ASNsequenceF {
public:
    explicit RSAPrivateKey(uint32_t tag = 0);
    ~RSAPrivateKey() override;

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
    int libraryKey(QvRsaPrivateKey& key) const;
    // The scheme's signature of the digest, k octets appended to out.
    int emit(QvRsaSig& scheme, const QvRsaPrivateKey& key, const uint8_t* digest, unsigned digestLen,
             MemFile* out) const;
};
