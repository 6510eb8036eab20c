// DSA private key as private-key files hold it: SEQUENCE { version INTEGER (0),
// p, q, g, y, x INTEGER }, signing through the library DSA scheme.
#pragma once

#include <cstdint>

#include "keys/dsaparms.h"
#include "libtorvapp/qvasymkey.h"
#include "libtorvapp/qvdsasig.h"
#include "libtorvapp/qvgfpkeydomain.h"

class QvRbg;

class DSAPrivateKey : public ASNsequenceF {
public:
    explicit DSAPrivateKey(uint32_t tag = 0);
    // Copies the six members; the library objects are built anew when needed.
    DSAPrivateKey(const DSAPrivateKey& other);
    DSAPrivateKey& operator=(const DSAPrivateKey& other);
    ~DSAPrivateKey() override;

    void clear() override;
    int read_contents(GenericFile* src, long len) override;
    int write_contents(GenericFile* dst) const override;
    long lenOfBody() const override;
    void digest_contents(QvHash* hash) const override;

    // Single members from big-endian octets (1, or 0 when memory runs out) or from
    // INTEGERs; each drops the prepared library key.
    int setP(const uint8_t* v, long len);
    int setQ(const uint8_t* v, long len);
    int setG(const uint8_t* v, long len);
    int setX(const uint8_t* v, long len);
    void setP(const ASNinteger& v);
    void setQ(const ASNinteger& v);
    void setG(const ASNinteger& v);
    void setX(const ASNinteger& v);
    void setY(const ASNinteger& v);
    int setPQG(const uint8_t* pv, long pLen, const uint8_t* qv, long qLen, const uint8_t* gv, long gLen);
    void setDomain(const DSAParameters& params);
    // version 0, x and the domain copied; y copied when given, else computed. 1, or 0.
    int set(const ASNinteger& xv, const DSAParameters& params, const ASNinteger* yv);
    void getDomain(DSAParameters& out) const;

    // Significant octets of x; 8 x significant octets of p, and its octets.
    unsigned getPrivateValueLength() const;
    unsigned getKeySizeBits() const;
    unsigned getKeySizeBytes() const { return (getKeySizeBits() + 7) / 8; }
    enum { kPartDomain = 1, kPartPublic = 2, kPartPrivate = 4 };
    // Bit mask of the non-zero members: kPartDomain when p, q and g all are.
    int getPresentParts() const;

    // The key holds a y when the INTEGER has content, whatever its value (0 too).
    bool hasPublicValue() const { return y.ASNoctstr::getValueLength() > 0; }
    // y when the key holds one, else g^x mod p. 1, or 0.
    int getPublicValue(ASNinteger& out) const;
    // Computes y into the key when it holds none. 1, or 0.
    int ensurePublicValue();
    // p, q, g form a valid domain and a held y equals g^x mod p. 1, or 0.
    int isConsistent() const;

    // Into library objects: 0 done, 1 out of memory, 2 a value refused.
    int exportDomain(QvGFpKeyDomain& domain) const;
    int exportPublicValue(QvGFpPublicKey& key) const;
    int exportPublicKey(QvGFpPublicKey& key, QvGFpKeyDomain& domain) const;
    int exportPrivateValues(QvGFpPrivateKey& key) const;
    int exportPrivateKey(QvGFpPrivateKey& key, QvGFpKeyDomain& domain) const;
    // From library objects (the domain from the key, or given). 1, or 0.
    int setFromQvKey(const QvGFpPrivateKey& key);
    int setFromQvKeyAndDomain(const QvGFpPrivateKey& key, const QvGFpKeyDomain& domain);

    // Builds the library domain, key and scheme from the members. 1, or 0 when they
    // make no usable signing key.
    int prepare();
    bool isPrepared() const { return m_prepared; }

    // Signing results: 0 signed; 2 no usable key (or no generator); 3 digestLen is not
    // the output length of hashId; 5 the signature could not be stored; 6 the
    // generator failed. The digest is cut to the bit length of q.
    enum { kSigned = 0, kKeyFailure = 2, kBadDigest = 3, kNotStored = 5, kRbgFailure = 6 };
    int signWithHash(const uint8_t* digest, unsigned digestLen, unsigned hashId, DSASignature& out, QvRbg* rbg);
    // The hash picked from the digest length (up to 16 octets MD5, 20 SHA-1, 28
    // SHA-224, 32 SHA-256, 48 SHA-384, above SHA-512), so a length between those
    // ends in 3.
    int sign(const uint8_t* digest, unsigned digestLen, DSASignature& out, QvRbg* rbg);

    ASNinteger version;
    ASNinteger p;
    ASNinteger q;
    ASNinteger g;
    ASNinteger y;
    ASNinteger x;

private:
    int fillFrom(const QvGFpPrivateKey& key, const QvGFpKeyDomain* domain, unsigned line);

    QvDsaKeyDomain m_domain;
    QvDsaPrivateKey m_key;
    QvDsaSig m_scheme;
    bool m_prepared;
};
