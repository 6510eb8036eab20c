// The value of one RSA private key of a PKCS#15 application: a key kept by the
// card (used through its signature and decipher commands) or a readable key
// (used by the library's own RSA arithmetic).
#pragma once

#include <cstdint>

#include "lib/libpkcs15/asnpkcs15recordinfo.h"
#include "pkcs15/scpkcs15rsakeyobject.h"

class ASNPkcs15PrivateKeyType;
class SCTransactGuard;

class SCPkcs15PrivateRsaKeyObject : public SCPkcs15RsaKeyObject {
public:
    explicit SCPkcs15PrivateRsaKeyObject(SCCard* card);
    ~SCPkcs15PrivateRsaKeyObject() override;

    SCRESULT GetFileSize() override;
    SCRESULT Delete() override;
    SCRESULT Parse(MemFile* in, uint32_t len) override;
    void ClearContents() override;
    SCRESULT Encode(MemFile* out) override;
    void Reset(bool full) override;
    SCRESULT ReloadPublicPart() override;

    // The handle-based forms of the file-object base stay reachable beside these.
    using SCPkcs15PathObjectInfo::Decrypt;
    using SCPkcs15PathObjectInfo::Sign;

    // Card operations with the software path as fallback. out null: *outLen
    // gets the length needed. SC_W_PKCS15_OPERATION_NOT_RELIABLE: the result is
    // delivered but longer than the reader's largest response.
    SCRESULT Sign(uint32_t mechanism, uint32_t hashId, const uint8_t* data, uint32_t dataLen, uint8_t* out,
                  uint32_t* outLen);
    SCRESULT Decrypt(uint32_t mechanism, const uint8_t* in, uint32_t inLen, uint8_t* out, uint32_t* outLen);
    // The same operations on `value`.
    SCRESULT SignInSoftware(uint32_t mechanism, uint32_t hashId, const uint8_t* data, uint32_t dataLen, uint8_t* out,
                            uint32_t* outLen);
    SCRESULT DecryptInSoftware(uint32_t mechanism, const uint8_t* in, uint32_t inLen, uint8_t* out, uint32_t* outLen);
    // The bare private transformation of a modulus-length block.
    SCRESULT PrivateOperation(const uint8_t* in, uint8_t* out);
    // Writes a key into the card (lengths in bytes, unsigned big-endian).
    SCRESULT ImportKey(uint32_t keyFlags, const uint8_t* modulus, uint32_t modulusLen, const uint8_t* privateExponent,
                       uint32_t privateExponentLen, const uint8_t* publicExponent, uint32_t publicExponentLen,
                       const uint8_t* prime1, uint32_t prime1Len, const uint8_t* prime2, uint32_t prime2Len,
                       const uint8_t* exponent1, uint32_t exponent1Len, const uint8_t* exponent2,
                       uint32_t exponent2Len, const uint8_t* coefficient, uint32_t coefficientLen);

    void SetRecord(ASNPkcs15PrivateKeyType* record) { m_record = record; }
    ASNPkcs15PrivateKeyType* GetRecord() const { return m_record; }

    ASNPkcs15RSAPrivateKeyObject value;

protected:
    SCRESULT StorePublicPart(const ASNinteger& modulus, const ASNinteger& publicExponent) override;
    void ClearValue() override;

private:
    // Modulus length in bytes: from the record, else from the (loaded) value.
    SCRESULT ModulusBytes(bool storedLength, uint32_t* k);
    SCRESULT PrepareCardOperation(SCTransactGuard& guard, const KeyAddress& addr, const SCCardInfo& ci);
    SCRESULT MarkIfUnreliable(SCRESULT r, uint32_t len) const;
    void DeleteFromCard(const KeyAddress& addr);

    ASNPkcs15PrivateKeyType* m_record;
};
