// A record of a private-key directory file: the PrivateKeyType CHOICE of RSA, EC,
// DH, DSA and KEA private-key objects, with the accessors the key layer uses.
#pragma once

#include <cstdint>

#include "lib/libasn/asnany.h"
#include "lib/libasn/asnchoice.h"
#include "lib/libpkcs15/asnpkcs15commonkeyattributes.h"
#include "lib/libpkcs15/asnpkcs15keyattributes.h"
#include "lib/libpkcs15/asnpkcs15object.h"

typedef ASNPkcs15Object<ASNPkcs15CommonKeyAttributes, ASNPkcs15CommonPrivateKeyAttributes,
                        ASNPkcs15PrivateRSAKeyAttributes>
    ASNPkcs15PrivateRSAKeyObject;
typedef ASNPkcs15Object<ASNPkcs15CommonKeyAttributes, ASNPkcs15CommonPrivateKeyAttributes,
                        ASNPkcs15PrivateECKeyAttributes>
    ASNPkcs15PrivateECKeyObject;
typedef ASNPkcs15Object<ASNPkcs15CommonKeyAttributes, ASNPkcs15CommonPrivateKeyAttributes,
                        ASNPkcs15PrivateDHKeyAttributes>
    ASNPkcs15PrivateDHKeyObject;
typedef ASNPkcs15Object<ASNPkcs15CommonKeyAttributes, ASNPkcs15CommonPrivateKeyAttributes,
                        ASNPkcs15PrivateDSAKeyAttributes>
    ASNPkcs15PrivateDSAKeyObject;
typedef ASNPkcs15Object<ASNPkcs15CommonKeyAttributes, ASNPkcs15CommonPrivateKeyAttributes,
                        ASNPkcs15PrivateKEAKeyAttributes>
    ASNPkcs15PrivateKEAKeyObject;
typedef ASNPkcs15Object<ASNPkcs15CommonKeyAttributes, ASNPkcs15CommonPublicKeyAttributes,
                        ASNPkcs15PublicRSAKeyAttributes>
    ASNPkcs15PublicRSAKeyObject;

class ASNPkcs15PrivateKeyType : public ASNchoice {
public:
    enum { kRSA = 0, kEC = 1, kDH = 2, kDSA = 3, kKEA = 4 };

    // The alternative whose identifier equals the tag (0x30: RSA, untagged).
    explicit ASNPkcs15PrivateKeyType(uint32_t tag = 0x30);
    // Untagged, the alternative chosen by index.
    static ASNPkcs15PrivateKeyType* createByIndex(uint32_t index);
    ASNPkcs15PrivateKeyType(const ASNPkcs15PrivateKeyType& other);
    ~ASNPkcs15PrivateKeyType() override;

    ASNobject** getObjectList() override;
    void clear() override;

    // 0 to 4, or 0xFFFFFFFF when nothing is chosen.
    uint32_t getChosenIndex() const;

    ASNPkcs15PrivateKeyType& operator=(const ASNPkcs15PrivateKeyType& other);
    bool operator==(const ASNPkcs15PrivateKeyType& other) const;

    ASNPkcs15CommonObjectAttributes* findCommonObjectAttributes();
    ASNPkcs15CommonObjectAttributes* getCommonObjectAttributes();
    ASNPkcs15CommonKeyAttributes* findCommonKeyAttributes();
    ASNPkcs15CommonKeyAttributes* getCommonKeyAttributes();
    int getKeyReference();
    ASNPkcs15CommonPrivateKeyAttributes* findCommonPrivateKeyAttributes();
    ASNPkcs15CommonPrivateKeyAttributes* getCommonPrivateKeyAttributes();
    int hasCommonPrivateKeyAttributes();
    int setCommonPrivateKeyAttributesPresent(uint8_t present);
    void* getKeyObject();
    void setKeyObject(void* object);
    uint32_t getValueChoice();
    void setValueChoice(uint32_t index);
    ASNPkcs15Path* getValuePath();
    int setValuePath(const ASNPkcs15Path& path);
    int setValuePathWords(const uint16_t* words, int count);
    // The direct value of the chosen key (the RSA private-key object or the
    // private-value INTEGER), or NULL.
    ASNobject* getDirectValue();
    long getKeySizeBits();
    int hasKeyInfoParams();
    long getSupportedOperations();
    long getKeyInfoReference();

    ASNPkcs15PrivateRSAKeyAttributes& rsaKeyAttributes() { return privateRSAKey.typeAttributes; }
    ASNPkcs15PrivateECKeyAttributes& ecKeyAttributes() { return privateECKey.typeAttributes; }
    ASNPkcs15PrivateDHKeyAttributes& dhKeyAttributes() { return privateDHKey.typeAttributes; }
    ASNPkcs15PrivateDSAKeyAttributes& dsaKeyAttributes() { return privateDSAKey.typeAttributes; }
    ASNPkcs15PrivateKEAKeyAttributes& keaKeyAttributes() { return privateKEAKey.typeAttributes; }
    ASNPkcs15PrivateRSAKeyAttributes* findRSAKeyAttributes();
    ASNPkcs15PrivateECKeyAttributes* findECKeyAttributes();
    ASNPkcs15PrivateDSAKeyAttributes* findDSAKeyAttributes();
    ASNPkcs15RSAPrivateKeyObject* getDirectRSAKey();
    ASNinteger* getDirectECKey();
    ASNinteger* getDirectDHKey();
    ASNinteger* getDirectDSAKey();
    ASNinteger* getDirectKEAKey();
    ASNPkcs15ECParameters* getECParameters();
    ASNPkcs15X942Parameters* getDHParameters();
    ASNPkcs15X942Parameters* getDSAParameters();

    // Builders of EC, DH, DSA and KEA records (index 1 to 4); 1, or 0.
    int create(int index, const ASNPkcs15Path* path, uint32_t keyReference);
    int createWithKeyObject(int index, const ASNPkcs15Path* path, uint32_t keyReference, void* keyObject);
    int createIndirect(int index, const ASNPkcs15Path* path, const ASNobject* parameters, int64_t operations);
    int createIndirectWithKeyObject(int index, const ASNPkcs15Path* path, const ASNobject* parameters,
                                    int64_t operations, void* keyObject);
    int createDirect(int index, const ASNany& value, const ASNobject* parameters, int64_t operations);
    int createDirectFromBytes(int index, const uint8_t* bytes, long length, const ASNobject* parameters,
                              int64_t operations);

    ASNPkcs15PrivateRSAKeyObject privateRSAKey;
    ASNPkcs15PrivateECKeyObject privateECKey;
    ASNPkcs15PrivateDHKeyObject privateDHKey;
    ASNPkcs15PrivateDSAKeyObject privateDSAKey;
    ASNPkcs15PrivateKEAKeyObject privateKEAKey;

private:
    struct Parts;
    bool parts(Parts& p);
    int setKeyInfoParams(const ASNobject* parameters, int64_t operations);

    ASNobject* m_list[6];
};
