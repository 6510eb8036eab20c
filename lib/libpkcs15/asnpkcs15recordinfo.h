// PKCS#15 RecordInfo, RSAPrivateKeyObject, RSAPublicKeyChoice and
// SecurityEnvironmentInfo.
#pragma once

#include <cstdint>

#include "lib/libasn/asnany.h"
#include "lib/libasn/asnchoice.h"
#include "lib/libasn/asnint.h"
#include "lib/libasn/asnobjid.h"
#include "lib/libasn/asnocstr.h"
#include "lib/libasn/x509/spkinfo.h"
#include "keys/rsapukey.h"
#include "lib/libpkcs15/asnpkcs15common.h"

class RSAPrivateKey;

// The SEQUENCEs of optional [k] INTEGERs (implicit tagging only): member k is
// component k with presence flag k, and members come in strictly ascending order.
namespace asnp15 {
template <size_t N>
std::array<Member, N> contextIntegers(ASNinteger* const* components, uint8_t* present) {
    std::array<Member, N> m;
    for (size_t k = 0; k < N; k++) m[k] = Member{components[k], &present[k], 0};
    return m;
}
int readContextIntegers(GenericFile* src, long len, const Member* m, size_t n);
}  // namespace asnp15

class ASNPkcs15RecordInfo : public ASNsequenceF {
public:
    explicit ASNPkcs15RecordInfo(uint32_t tag = 0);
    ASNPkcs15RecordInfo(const ASNPkcs15RecordInfo& other);
    ~ASNPkcs15RecordInfo() override;

    int read_contents(GenericFile* src, long len) override;
    int write_contents(GenericFile* dst) const override;
    long lenOfBody() const override;
    void digest_contents(QvHash* hash) const override;
    void clear() override;

    ASNPkcs15RecordInfo& operator=(const ASNPkcs15RecordInfo& other);
    bool operator==(const ASNPkcs15RecordInfo& other) const;

    ASNinteger oDFRecordLength;
    ASNinteger prKDFRecordLength;
    ASNinteger puKDFRecordLength;
    ASNinteger sKDFRecordLength;
    ASNinteger cDFRecordLength;
    ASNinteger dODFRecordLength;
    ASNinteger aODFRecordLength;
    uint8_t present[7];

private:
    void components(ASNinteger** out);
    std::array<asnp15::Member, 7> members() const;
};

class ASNPkcs15RSAPrivateKeyObject : public ASNsequenceF {
public:
    explicit ASNPkcs15RSAPrivateKeyObject(uint32_t tag = 0);
    ASNPkcs15RSAPrivateKeyObject(const ASNPkcs15RSAPrivateKeyObject& other);
    ~ASNPkcs15RSAPrivateKeyObject() override;

    int read_contents(GenericFile* src, long len) override;
    int write_contents(GenericFile* dst) const override;
    long lenOfBody() const override;
    void digest_contents(QvHash* hash) const override;
    void clear() override;

    // Eight (data, len) pairs in member order; a NULL pointer or a zero length
    // leaves that member absent. 1, or 0 when memory runs out.
    int setComponents(const uint8_t* n, long nLen, const uint8_t* e, long eLen, const uint8_t* d, long dLen,
                      const uint8_t* p, long pLen, const uint8_t* q, long qLen, const uint8_t* dp, long dpLen,
                      const uint8_t* dq, long dqLen, const uint8_t* qi, long qiLen);
    // 1 when all eight components are present.
    int isComplete() const;
    // The key's eight components (not its version); a component without value
    // octets stays absent. 1, or EASN_MEM with the object emptied.
    int setFromKey(const RSAPrivateKey& key);
    // The eight components into the key, whose prepared form is then out of date.
    // 1; 0 when a component is absent (the key untouched); EASN_MEM when memory
    // runs out (the key's components cleared).
    int toKey(RSAPrivateKey& key) const;
    // The component k (0 modulus ... 7 coefficient).
    ASNinteger* component(int k);
    const ASNinteger* component(int k) const;

    ASNPkcs15RSAPrivateKeyObject& operator=(const ASNPkcs15RSAPrivateKeyObject& other);
    bool operator==(const ASNPkcs15RSAPrivateKeyObject& other) const;

    ASNinteger modulus;
    ASNinteger publicExponent;
    ASNinteger privateExponent;
    ASNinteger prime1;
    ASNinteger prime2;
    ASNinteger exponent1;
    ASNinteger exponent2;
    ASNinteger coefficient;
    uint8_t present[8];

private:
    std::array<asnp15::Member, 8> members() const;
};

// RSAPublicKeyChoice: the raw PKCS#1 key (0x30) or [1] SubjectPublicKeyInfo
// (0xA1, implicit); nothing is chosen at construction.
class ASNPkcs15RSAPublicKeyChoice : public ASNchoice {
public:
    explicit ASNPkcs15RSAPublicKeyChoice(uint32_t tag = 0);
    ASNPkcs15RSAPublicKeyChoice(const ASNPkcs15RSAPublicKeyChoice& other);
    ~ASNPkcs15RSAPublicKeyChoice() override;
    ASNobject** getObjectList() override;

    // The raw key when chosen; for a chosen SubjectPublicKeyInfo of an RSA
    // algorithm, the key it carries; else NULL.
    virtual RSAPublicKey* getRSAPublicKey();
    // Sets the given components of the raw key and chooses it; 1.
    int setRaw(const ASNinteger* modulus, const ASNinteger* publicExponent);
    int setRawBytes(const uint8_t* modulus, long modulusLen, const uint8_t* exponent, long exponentLen);
    // The raw key and the SubjectPublicKeyInfo both from the key; the raw one chosen.
    int setRSAPublicKey(const RSAPublicKey& key);
    ASNPkcs15RSAPublicKeyChoice& operator=(const RSAPublicKey& key);

    ASNPkcs15RSAPublicKeyChoice& operator=(const ASNPkcs15RSAPublicKeyChoice& other);
    bool operator==(const ASNPkcs15RSAPublicKeyChoice& other) const { return ASNchoice::operator==(other); }

    RSAPublicKey raw;
    SubPubKeyInfo spki;

private:
    RSAPublicKey m_fromSpki;  // the key read out of spki
    ASNobject* m_list[3];
};

class ASNPkcs15SecEnvInfo : public ASNsequenceF {
public:
    explicit ASNPkcs15SecEnvInfo(uint32_t tag = 0);
    ASNPkcs15SecEnvInfo(const ASNPkcs15SecEnvInfo& other);
    ~ASNPkcs15SecEnvInfo() override;

    int read_contents(GenericFile* src, long len) override;
    int write_contents(GenericFile* dst) const override;
    long lenOfBody() const override;
    void digest_contents(QvHash* hash) const override;
    void clear() override;

    ASNPkcs15SecEnvInfo& operator=(const ASNPkcs15SecEnvInfo& other);
    bool operator==(const ASNPkcs15SecEnvInfo& other) const;

    ASNinteger se;
    ASNobjectId owner;
    ASNoctstr aid;
    uint8_t wasOwner;
    uint8_t wasAid;

private:
    std::array<asnp15::Member, 3> members() const;
};
