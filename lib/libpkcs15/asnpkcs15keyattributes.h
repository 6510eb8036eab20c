// The type attributes of PKCS#15 key objects: RSA private and public keys, and
// the EC, DH, DSA and KEA private keys.
#pragma once

#include <cstdint>

#include "lib/libasn/asnint.h"
#include "lib/libpkcs15/asnpkcs15objectvalue.h"
#include "lib/libpkcs15/asnpkcs15recordinfo.h"

class ASNPkcs15PrivateRSAKeyAttributes : public ASNPkcs15RsaKeyAttributes<ASNPkcs15RSAPrivateKeyObject> {
public:
    explicit ASNPkcs15PrivateRSAKeyAttributes(uint32_t tag = 0)
        : ASNPkcs15RsaKeyAttributes<ASNPkcs15RSAPrivateKeyObject>(tag) {}
    ~ASNPkcs15PrivateRSAKeyAttributes() override = default;
};

class ASNPkcs15PublicRSAKeyAttributes : public ASNPkcs15RsaKeyAttributes<ASNPkcs15RSAPublicKeyChoice> {
public:
    explicit ASNPkcs15PublicRSAKeyAttributes(uint32_t tag = 0)
        : ASNPkcs15RsaKeyAttributes<ASNPkcs15RSAPublicKeyChoice>(tag) {}
    ~ASNPkcs15PublicRSAKeyAttributes() override = default;
};

class ASNPkcs15PrivateECKeyAttributes : public ASNPkcs15DsaKeyAttributes<ASNinteger, ASNPkcs15ECParameters> {
public:
    explicit ASNPkcs15PrivateECKeyAttributes(uint32_t tag = 0)
        : ASNPkcs15DsaKeyAttributes<ASNinteger, ASNPkcs15ECParameters>(tag) {}
    ~ASNPkcs15PrivateECKeyAttributes() override = default;
};

class ASNPkcs15PrivateDHKeyAttributes : public ASNPkcs15DsaKeyAttributes<ASNinteger, ASNPkcs15X942Parameters> {
public:
    explicit ASNPkcs15PrivateDHKeyAttributes(uint32_t tag = 0)
        : ASNPkcs15DsaKeyAttributes<ASNinteger, ASNPkcs15X942Parameters>(tag) {}
    ~ASNPkcs15PrivateDHKeyAttributes() override = default;
};

class ASNPkcs15PrivateDSAKeyAttributes : public ASNPkcs15DsaKeyAttributes<ASNinteger, ASNPkcs15X942Parameters> {
public:
    explicit ASNPkcs15PrivateDSAKeyAttributes(uint32_t tag = 0)
        : ASNPkcs15DsaKeyAttributes<ASNinteger, ASNPkcs15X942Parameters>(tag) {}
    ~ASNPkcs15PrivateDSAKeyAttributes() override = default;
};

class ASNPkcs15PrivateKEAKeyAttributes : public ASNPkcs15DsaKeyAttributes<ASNinteger, ASNPkcs15X942Parameters> {
public:
    explicit ASNPkcs15PrivateKEAKeyAttributes(uint32_t tag = 0)
        : ASNPkcs15DsaKeyAttributes<ASNinteger, ASNPkcs15X942Parameters>(tag) {}
    ~ASNPkcs15PrivateKEAKeyAttributes() override = default;
};
