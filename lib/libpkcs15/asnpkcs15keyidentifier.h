// PKCS#15 KeyIdentifier (idType, idValue), the list of them, and the Operations
// bit string.
#pragma once

#include <cstdint>

#include "lib/libasn/asnany.h"
#include "lib/libasn/asnbitst.h"
#include "lib/libasn/asnchoice.h"
#include "lib/libasn/asnint.h"
#include "lib/libasn/asnocstr.h"
#include "lib/libasn/asnseql.h"

// Identifier type of the system's own whose value may be a whole RSA public key.
constexpr uint32_t P15_KEYID_RSA_PUBLIC_KEY = 9999;

class ASNPkcs15KeyIdentifier : public ASNsequenceF {
public:
    explicit ASNPkcs15KeyIdentifier(uint32_t tag = 0);
    ASNPkcs15KeyIdentifier(const ASNPkcs15KeyIdentifier& other);
    ~ASNPkcs15KeyIdentifier() override;

    int read_contents(GenericFile* src, long len) override;
    int write_contents(GenericFile* dst) const override;
    long lenOfBody() const override;
    void digest_contents(QvHash* hash) const override;
    void clear() override;

    // The identifier type, 0 when it does not fit 64 bits.
    uint32_t getIdType() const;
    // Types 2 to 7: an OCTET STRING of the bytes; others: the bytes must be one TLV.
    int setValue(uint32_t idType, const uint8_t* bytes, long length);
    int setValueFromObject(uint32_t idType, const ASNobject& value);

    // Throws std::bad_alloc when the copy cannot be made.
    ASNPkcs15KeyIdentifier& operator=(const ASNPkcs15KeyIdentifier& other);

    ASNinteger idType;
    // OCTET STRING for types 2-7; for 9999 an RSAPublicKey, INTEGER or OCTET
    // STRING by the value's identifier (the raw ANY when it is none of them or does
    // not decode as one); the raw ANY for every other type. Owned.
    ASNobject* idValue;
};

class ASNPkcs15KeyIdentifiers : public ASNsequenceList<ASNPkcs15KeyIdentifier> {
public:
    explicit ASNPkcs15KeyIdentifiers(uint32_t tag = 0);
    ASNPkcs15KeyIdentifiers(const ASNPkcs15KeyIdentifiers& other);
    ~ASNPkcs15KeyIdentifiers() override;

    // The first identifier of the type after the cursor (from the head when the
    // cursor is NULL); the cursor then marks the match, so repeated calls walk
    // every match. NULL (and the cursor NULL) when there is none.
    ASNPkcs15KeyIdentifier* find(uint32_t idType);
    ASNPkcs15KeyIdentifier* findNext(uint32_t idType, POSITION& cursor);
    const ASNPkcs15KeyIdentifier* find(uint32_t idType) const;
    const ASNPkcs15KeyIdentifier* findNext(uint32_t idType, POSITION& cursor) const;
    ASNobject* getValueObject(uint32_t idType) const;
    int add(uint32_t idType, const uint8_t* bytes, long length);
    int addObject(uint32_t idType, const ASNobject& value);
    int remove(uint32_t idType);

    ASNPkcs15KeyIdentifiers& operator=(const ASNPkcs15KeyIdentifiers& other);
    static int derEquals(const ASNobject& a, const ASNobject& b);
    bool operator==(const ASNPkcs15KeyIdentifiers& other) const;
    bool operator!=(const ASNPkcs15KeyIdentifiers& other) const { return !(*this == other); }

protected:
    ASNPkcs15KeyIdentifier* createElement() const override;
};

class ASNPkcs15Operations : public ASNbitstr {
public:
    explicit ASNPkcs15Operations(uint32_t tag = 0x03, uint32_t word = 0);
    ASNPkcs15Operations(const ASNPkcs15Operations& other) : ASNbitstr(other) {}

    uint32_t getValue() const { return getFlags(); }
    uint32_t operator|(uint32_t mask) const { return getFlags() | mask; }
    ASNPkcs15Operations& operator|=(uint32_t mask);
    ASNPkcs15Operations& operator=(uint32_t word);
    ASNPkcs15Operations& operator=(const ASNbitstr& other);
    ASNPkcs15Operations& operator=(const ASNPkcs15Operations& other);
    bool operator==(uint32_t word) const { return getFlags() == word; }
    bool operator==(const ASNPkcs15Operations& other) const;
};
