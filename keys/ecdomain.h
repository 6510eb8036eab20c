// Elliptic-curve domain parameters in their ANSI X9.62 / SEC 1 form: the explicit
// (specified) domain with its field, curve, base point, order and cofactor, and the
// Parameters CHOICE of a specified domain, a named curve or implicitCA.
//
// Every specified domain that exists in decoded or assigned form has been checked by
// building the library's key domain of its curve (over GF(p) or GF(2^m)); one that
// does not build is malformed. The built key domain is what keys sign and verify
// with.
#pragma once

#include <cstdint>
#include <vector>

#include "lib/libasn/asnbitst.h"
#include "lib/libasn/asnbool.h"
#include "lib/libasn/asnchoice.h"
#include "lib/libasn/asnint.h"
#include "lib/libasn/asnobjid.h"
#include "lib/libasn/asnocstr.h"
#include "lib/libasn/x509/siganddigoid.h"
#include "lib/libasn/x509/x500attr.h"
#include "libtorvapp/qve2ndsakeydomain.h"
#include "libtorvapp/qvepdsakeydomain.h"

// Curve ::= SEQUENCE { a FieldElement, b FieldElement, seed BIT STRING OPTIONAL }.
class ECCurve : public ASNsequenceF {
public:
    explicit ECCurve(uint32_t tag = 0x30);
    ECCurve(const ECCurve& other);
    ECCurve& operator=(const ECCurve& other);
    ~ECCurve() override;

    void clear() override;
    int read_contents(GenericFile* src, long len) override;
    int write_contents(GenericFile* dst) const override;
    long lenOfBody() const override;
    void digest_contents(QvHash* hash) const override;
    bool operator==(const ECCurve& other) const;

    ASNoctstr a;
    ASNoctstr b;
    ASNbitstr seed;
    bool seedPresent;
};

// Pentanomial ::= SEQUENCE { k1, k2, k3 INTEGER }.
class ECBasisPentanomial : public ASNsequenceF {
public:
    explicit ECBasisPentanomial(uint32_t tag = 0x30);
    ECBasisPentanomial(const ECBasisPentanomial& other);
    ECBasisPentanomial& operator=(const ECBasisPentanomial& other);
    ~ECBasisPentanomial() override;

    void clear() override;
    int read_contents(GenericFile* src, long len) override;
    int write_contents(GenericFile* dst) const override;
    long lenOfBody() const override;
    void digest_contents(QvHash* hash) const override;

    ASNinteger k1;
    ASNinteger k2;
    ASNinteger k3;
};

// The basis parameters of a characteristic-two field: NULL (Gaussian normal
// basis), INTEGER (the trinomial's k) or a Pentanomial. Built with a tag, the
// alternative of that tag is chosen (NULL when none has it).
class ECE2NFileldParameters : public ASNchoice {
public:
    explicit ECE2NFileldParameters(uint32_t tag = 0x05);
    ECE2NFileldParameters(const ECE2NFileldParameters& other);
    ECE2NFileldParameters& operator=(const ECE2NFileldParameters& other);
    ~ECE2NFileldParameters() override;
    ASNobject** getObjectList() override;

    ASNnull gaussian;
    ASNinteger trinomial;
    ECBasisPentanomial pentanomial;

private:
    ASNobject* m_list[4];
};

// Characteristic-two ::= SEQUENCE { m INTEGER, basis OBJECT IDENTIFIER, parameters }.
class ECE2NFileld : public ASNsequenceF {
public:
    explicit ECE2NFileld(uint32_t tag = 0x30);
    ECE2NFileld(const ECE2NFileld& other);
    ECE2NFileld& operator=(const ECE2NFileld& other);
    ~ECE2NFileld() override;

    void clear() override;
    int read_contents(GenericFile* src, long len) override;
    int write_contents(GenericFile* dst) const override;
    long lenOfBody() const override;
    void digest_contents(QvHash* hash) const override;
    bool operator==(const ECE2NFileld& other) const;

    ASNinteger m;
    ASNobjectId basis;
    ECE2NFileldParameters parameters;
};

// SpecifiedECDomain ::= SEQUENCE { version INTEGER, fieldID FieldID, curve Curve,
// base ECPoint, order INTEGER, cofactor INTEGER OPTIONAL, hash AlgorithmIdentifier
// OPTIONAL }, with the library key domain built from it.
class ECSpecifiedDomain : public ASNsequenceF {
public:
    explicit ECSpecifiedDomain(uint32_t tag = 0x30);
    // Copies rebuild their own key domain; a source with a field type whose curve
    // does not build throws std::bad_alloc.
    ECSpecifiedDomain(const ECSpecifiedDomain& other);
    ECSpecifiedDomain& operator=(const ECSpecifiedDomain& other);
    ~ECSpecifiedDomain() override;

    void clear() override;
    // Malformed also when the curve does not build; -2 when memory runs out building it.
    int read_contents(GenericFile* src, long len) override;
    int write_contents(GenericFile* dst) const override;
    long lenOfBody() const override;
    void digest_contents(QvHash* hash) const override;

    // The library key domain built from the members (not owned); null when none is.
    const QvGeneralDsaKeyDomain* getKeyDomain() const { return m_active; }
    // The prime's bit length or the degree m; else the bit length of the order; else
    // the size the base point's encoding tells; 0 when nothing tells.
    unsigned getFieldSizeBits() const;

    // All values big-endian octets; seed, cofactor and the hash's dotted OID may be
    // null (absent). 1 when the curve built, 0 otherwise (the structure is then left
    // partly written without a key domain).
    int setPrime(const uint8_t* p, unsigned pLen, const uint8_t* a, unsigned aLen, const uint8_t* b, unsigned bLen,
                 const uint8_t* seedOctets, unsigned seedLen, const uint8_t* baseOctets, unsigned baseLen,
                 const uint8_t* orderOctets, unsigned orderLen, const uint8_t* cofactorOctets, unsigned cofactorLen,
                 const char* hashOid);
    int setTrinomial(uint32_t m, uint32_t k, const uint8_t* a, unsigned aLen, const uint8_t* b, unsigned bLen,
                     const uint8_t* seedOctets, unsigned seedLen, const uint8_t* baseOctets, unsigned baseLen,
                     const uint8_t* orderOctets, unsigned orderLen, const uint8_t* cofactorOctets,
                     unsigned cofactorLen, const char* hashOid);
    int setPentanomial(uint32_t m, uint32_t k1, uint32_t k2, uint32_t k3, const uint8_t* a, unsigned aLen,
                       const uint8_t* b, unsigned bLen, const uint8_t* seedOctets, unsigned seedLen,
                       const uint8_t* baseOctets, unsigned baseLen, const uint8_t* orderOctets, unsigned orderLen,
                       const uint8_t* cofactorOctets, unsigned cofactorLen, const char* hashOid);
    // The explicit form of a library key domain over GF(p) or GF(2^m); 1 when it
    // built again, 0 for other domains and failures.
    int setFromKeyDomain(const QvAsymKeyDomain* domain);

    // Build results of the key domain.
    enum { kBuilt = 0, kNoMemory = 1, kInvalid = 2 };
    // Builds the key domain of the field type (prime or characteristic-two); kInvalid
    // for any other field type.
    int buildKeyDomain();

    // Version, field, curve (seed included), order and cofactor (when both have
    // one) equal, and base points equal as points; the hash is not compared.
    bool operator==(const ECSpecifiedDomain& other) const;
    bool operator!=(const ECSpecifiedDomain& other) const { return !(*this == other); }
    // Whether this domain is the given key domain's curve.
    bool equalsKeyDomain(const QvAsymKeyDomain* domain) const;

    ASNinteger version;
    AttributeValue fieldID;  // fieldType and its parameters (ANY)
    ECCurve curve;
    ASNoctstr base;
    ASNinteger order;
    ASNinteger cofactor;
    bool cofactorPresent;
    AlgorithmIdentifier hash;
    bool hashPresent;

private:
    int buildPrime();
    int buildBinary();
    // Steps shared by the three setters after the field parameters.
    int setCommon(const uint8_t* a, unsigned aLen, const uint8_t* b, unsigned bLen, const uint8_t* seedOctets,
                  unsigned seedLen, const uint8_t* baseOctets, unsigned baseLen, const uint8_t* orderOctets,
                  unsigned orderLen, const uint8_t* cofactorOctets, unsigned cofactorLen, const char* hashOid);
    int setBinaryField(const ECE2NFileld& field);
    int fillFromPrime(const QvEpDsaKeyDomain& d);
    int fillFromBinary(const QvE2nDsaKeyDomain& d);
    // a and b (at the field's length), then generator, order and cofactor of d.
    int fillCurve(const QvGeneralDsaKeyDomain& d, const std::vector<uint8_t>& a, const std::vector<uint8_t>& b);

    QvEpDsaKeyDomain m_prime;
    QvE2nDsaKeyDomain m_binary;
    const QvGeneralDsaKeyDomain* m_active;
};

// Parameters ::= CHOICE { specified SpecifiedECDomain, named OBJECT IDENTIFIER,
// implicitCA NULL }.
class ECDomainParameters : public ASNchoice {
public:
    enum { kNone = 0, kSpecified = 1, kNamedCurve = 2, kImplicitCA = 3 };

    // The alternative of that tag is chosen (an empty specified domain for SEQUENCE);
    // implicitCA when none has it.
    explicit ECDomainParameters(uint32_t tag = 0);
    ECDomainParameters(const ECDomainParameters& other);
    // Copies the chosen alternative; std::bad_alloc when a specified domain does not
    // build.
    ECDomainParameters& operator=(const ECDomainParameters& other);
    ~ECDomainParameters() override;
    ASNobject** getObjectList() override;

    // kSpecified, kNamedCurve, kImplicitCA, or kNone when nothing is chosen.
    int getType() const;
    // The specified domain's key domain, or the catalogue's for a named curve (not
    // owned); null otherwise and for curves the catalogue carries without one.
    const QvGeneralDsaKeyDomain* getKeyDomain() const;
    // The specified field size; the catalogue's for a named curve; 0 otherwise.
    unsigned getFieldSizeBits() const;
    unsigned getFieldSizeBytes() const { return (getFieldSizeBits() + 7) / 8; }

    void setNamed(const ASNobjectId& oid);
    void setImplicitCA();

    // The same curve, whatever form either side has it in.
    bool operator==(const ECDomainParameters& other) const;
    bool operator!=(const ECDomainParameters& other) const { return !(*this == other); }
    bool equalsSpecified(const ECSpecifiedDomain& domain) const;
    bool equalsNamed(const ASNobjectId& oid) const;
    bool equalsKeyDomain(const QvAsymKeyDomain* domain) const;

    ECSpecifiedDomain specified;
    ASNobjectId named;
    ASNnull implicitCA;

private:
    void rebuildList();
    ASNobject* m_list[4];
};

// Two key domains over GF(p), or two over GF(2^m), of the same curve: same field,
// coefficients, generator, order and cofactor (over GF(p) a zero cofactor matches
// any). False for null domains and other kinds.
bool ecKeyDomainsEqual(const QvAsymKeyDomain* a, const QvAsymKeyDomain* b);

// Whether two point encodings (X9.62 ECPoint octets) denote the same point as far
// as their forms tell: an uncompressed or hybrid point equals the compressed or
// x-only form of its x coordinate (an uncompressed one counting as even y).
bool ecPointEncodingsEqual(const uint8_t* a, long aLen, const uint8_t* b, long bLen);
