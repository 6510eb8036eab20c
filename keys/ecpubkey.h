// EC domain parameters CHOICE (specified, named curve, implicitCA) and the public
// point as a BIT STRING.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "lib/libasn/asnany.h"
#include "lib/libasn/asnbitst.h"
#include "lib/libasn/asnbool.h"
#include "lib/libasn/asnchoice.h"
#include "lib/libasn/asnexpl.h"
#include "lib/libasn/asnint.h"
#include "lib/libasn/asnocstr.h"
#include "lib/libasn/asnobjid.h"

class DSASignature;
class QvRbg;

class QvGeneralDsaKeyDomain;
class QvAsymKeyDomain;

// A curve: the library's domain of a named curve, or explicit parameters as
// big-endian octets (p for a prime field; m with the trinomial k1 or the
// pentanomial k1 < k2 < k3 for a characteristic-two field).
struct ECCurveData {
    std::vector<uint8_t> p, a, b, g, n, h;
    unsigned m = 0, k1 = 0, k2 = 0, k3 = 0;
    const QvGeneralDsaKeyDomain* named = nullptr;
};

class ECDomainParameters : public ASNchoice {
public:
    enum { kNone = 0, kSpecified = 1, kNamedCurve = 2, kImplicitCA = 3 };

    // implicitCA (NULL) chosen at construction.
    explicit ECDomainParameters(uint32_t tag = 0);
    ECDomainParameters(const ECDomainParameters& other);
    ECDomainParameters& operator=(const ECDomainParameters& other);
    ~ECDomainParameters() override;
    ASNobject** getObjectList() override;

    int getType() const;
    // Chooses the named curve oid / implicitCA.
    void setNamed(const ASNobjectId& oid);
    void setImplicitCA();
    // The library domain of a named curve from the curve catalogue (not owned); null
    // for other kinds and for curves the catalogue does not carry with a domain.
    const QvAsymKeyDomain* getKeyDomain() const;
    // Named curve oid by OID, or by its catalogue domain when this names or
    // specifies the same curve under another OID.
    bool equalsNamed(const ASNobjectId& oid) const;
    // Field size in bits: from the prime or the degree of specified parameters, from
    // the curve catalogue for a named curve; 0 for implicitCA, nothing chosen or an
    // unknown curve.
    unsigned getFieldSizeBits() const;
    unsigned getFieldSizeBytes() const { return (getFieldSizeBits() + 7) / 8; }
    // The curve: a named curve the catalogue carries with a domain, or readable
    // specified parameters; false otherwise.
    bool getCurve(ECCurveData* out) const;

    ASNany specified;         // SpecifiedECDomain, kept as its encoding
    ASNobjectId namedCurve;
    ASNnull implicitCA;

private:
    ASNobject* m_list[4];
};

class ECPublicKey : public ASNbitstr {
public:
    explicit ECPublicKey(uint32_t tag = 0);
    ECPublicKey(const ECPublicKey& other);
    ECPublicKey& operator=(const ECPublicKey& other);
    ~ECPublicKey() override;

    // The point octets with their unused-bits count; 1, or 0.
    int setPoint(const uint8_t* data, long len, uint8_t unusedBits);
    // Size the point reports: the coordinate size of an uncompressed or hybrid
    // point (04/06/07), the x size of a compressed one (02/03); 0 otherwise.
    unsigned getSizeBits() const;
    unsigned getSizeBytes() const { return (getSizeBits() + 7) / 8; }
    // Key size from the encoding's length and first octet alone (no domain needed):
    // full-point forms count half the coordinate octets, compressed forms all of them.
    unsigned getKeySizeBits() const;
    unsigned getKeySizeBytes() const { return (getKeySizeBits() + 7) / 8; }
    // The point octets (without the unused-bits octet). 1, or 0 when empty or the
    // unused-bits count is not 0.
    int getPoint(ASNoctstr& out) const;
    bool operator==(const ECPublicKey& other) const { return ASNbitstr::operator==(other); }

    // Binds the key to a domain; 1, or 0 when the domain is neither specified nor
    // named.
    int bindDomain(const ECDomainParameters& domain);
    bool hasDomain() const { return m_domainType != ECDomainParameters::kNone; }
    // Whether the point's size fits the domain's field.
    bool isInDomain(const ECDomainParameters& domain) const;

    // 1 valid, 0 or -1 invalid, -2 unknown ECDSA signature OID, -3 length mismatch or
    // cryptographic error (also: a named curve the library does not carry, or
    // unreadable explicit parameters), -4 no domain parameters. The digest is cut to
    // the bit length of the order.
    int verify(const uint8_t* digest, unsigned digestLen, const ASNobjectId& signatureOid,
               const DSASignature& sig) const;

private:
    int m_domainType;
    unsigned m_fieldBits;
    ECCurveData m_curve;  // the bound curve, when known
};

// The library domain of a curve: the named curve's own, or one built into *own.
const QvGeneralDsaKeyDomain* ecLibraryDomain(const ECCurveData& curve, std::unique_ptr<QvGeneralDsaKeyDomain>* own);
