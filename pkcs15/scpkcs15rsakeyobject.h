// RSA key values of a PKCS#15 application: the common base of the private and
// public key objects (loading from a key file or from the card, key-pair
// generation, software RSA primitives) and the public key object.
#pragma once

#include <cstddef>
#include <cstdint>

#include "keys/rsapukey.h"
#include "lib/libasn/asnint.h"
#include "pkcs15/scpkcs15keyobject.h"

class SCPkcs15RsaKeyObject : public SCPkcs15KeyObject {
public:
    // RSA value states beyond VALUE_ON_CARD_ONLY.
    static constexpr int32_t VALUE_PKCS15_OR_PUBLIC = 1;
    static constexpr int32_t VALUE_PKCS1_PRIVATE = 2;
    static constexpr int32_t VALUE_SPKI_IMPLICIT = 3;
    static constexpr int32_t VALUE_SPKI_EXPLICIT = 4;

    explicit SCPkcs15RsaKeyObject(SCCard* card);
    ~SCPkcs15RsaKeyObject() override;

    // Reads the key: a readable file is decoded (Parse); a key kept inside the
    // card gives value state 0 and its public part is asked of the card.
    SCRESULT Load(bool force) override;
    // The file object's reset only: key reference, value state and the
    // generated flag stay.
    void Reset(bool full) override;
    // Refills the public part of the value from the card.
    virtual SCRESULT ReloadPublicPart() = 0;

    // Generates a key pair on the card for a new private key (and its public
    // counterpart, or null). A null or empty exponent means 65537.
    static SCRESULT GenerateKeyPair(SCPkcs15RsaKeyObject* pPrivatePart, SCPkcs15RsaKeyObject* pPublicPart,
                                    uint32_t modulusBits, const uint8_t* publicExponent, uint32_t publicExponentLen,
                                    uint32_t keyFlags);
    // The key pair of an IAS card: a key object by reference, generated in place.
    static SCRESULT GenerateIasKeyPair(SCPkcs15RsaKeyObject* pPrivatePart, SCPkcs15RsaKeyObject* pPublicPart,
                                       uint32_t modulusBits, const uint8_t* exponent, uint32_t exponentBits,
                                       uint32_t keyFlags, const SCCardInfo& ci);
    // Both parts take the generated public values and count as made on the card.
    static SCRESULT SetGeneratedParts(SCPkcs15RsaKeyObject* pPrivatePart, SCPkcs15RsaKeyObject* pPublicPart,
                                      const ASNinteger& n, const ASNinteger& e);
    // The public part of this object's key, read from the card.
    SCRESULT ReadPublicKeyFromCard(ASNinteger& modulus, ASNinteger& publicExponent);

    // Software RSA through the library's RSA keys. in/out are modulus-length blocks
    // (significant length); a block not below the modulus is refused.
    static SCRESULT RsaModExp(const ASNinteger& modulus, const ASNinteger& exponent, const uint8_t* in, uint8_t* out);
    static SCRESULT RsaPublicOperation(uint32_t mechanism, const ASNinteger& modulus, const ASNinteger& exponent,
                                       const uint8_t* in, uint32_t inLen, uint8_t* out);
    // Length of the data recovered into out (k bytes available), or an error.
    static SCRESULT RsaVerifyRecover(uint32_t mechanism, uint32_t hashId, const ASNinteger& modulus,
                                     const ASNinteger& exponent, const uint8_t* signature, uint8_t* out);
    // 0 when the signature recovers exactly the expected bytes.
    static SCRESULT RsaVerify(uint32_t mechanism, uint32_t hashId, const ASNinteger& modulus,
                              const ASNinteger& exponent, const uint8_t* signature, const uint8_t* expected,
                              uint32_t expectedLen);
    static bool IsAllZero(const uint8_t* data, size_t len);
    // The data after a PKCS#1 block-type-1 padding, or null.
    static const uint8_t* Pkcs1UnpadBlockType1(const uint8_t* block, uint32_t len);
    // Significant bytes of an INTEGER's magnitude.
    static uint32_t SignificantLength(const ASNinteger& v);

protected:
    // The subclass keeps the public values (loading, generation).
    virtual SCRESULT StorePublicPart(const ASNinteger& modulus, const ASNinteger& publicExponent) = 0;
    virtual void ClearValue() = 0;
    // Card key addressing: the DF to select and the key file (or none).
    struct KeyAddress {
        SCPath df;
        uint16_t fid = 0;
        bool hasFid = false;
    };
    SCRESULT GetKeyAddress(bool byReference, KeyAddress* out);
    SCRESULT PathResult() const;
};

class SCPkcs15PublicRsaKeyObject : public SCPkcs15RsaKeyObject {
public:
    explicit SCPkcs15PublicRsaKeyObject(SCCard* card);
    ~SCPkcs15PublicRsaKeyObject() override;

    SCRESULT Parse(MemFile* in, uint32_t len) override;
    void ClearContents() override;
    SCRESULT Encode(MemFile* out) override;
    void Reset(bool full) override;
    SCRESULT ReloadPublicPart() override;

    // Writes the key (all null/zero: the object's own value) to the card, as a
    // file or, on cards that keep public keys as objects, as a key object.
    SCRESULT WritePublicKey(const uint8_t* modulus, uint32_t modulusLen, const uint8_t* publicExponent,
                            uint32_t publicExponentLen);

    void SetRecord(void* record) { m_record = record; }
    void* GetRecord() const { return m_record; }

    RSAPublicKey value;

protected:
    SCRESULT StorePublicPart(const ASNinteger& modulus, const ASNinteger& publicExponent) override;
    void ClearValue() override { value.clear(); }

private:
    void* m_record;
};
