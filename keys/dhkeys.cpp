// PKCS #3 DHParameter.
#include "keys/dhkeys.h"

#include "keys/intseq.h"

Pkcs3DHParameter::Pkcs3DHParameter(uint32_t t)
    : ASNsequenceF(t), prime(0), base(0), privateValueLength(0), wasPrivateValueLength(0) {}
Pkcs3DHParameter::~Pkcs3DHParameter() = default;
void Pkcs3DHParameter::clear() {
    prime.clear();
    base.clear();
    privateValueLength.clear();
    wasPrivateValueLength = 0;
}
int Pkcs3DHParameter::read_contents(GenericFile* src, long len) {
    ASNinteger* const v[] = {&prime, &base};
    ASNinteger* const o[] = {&privateValueLength};
    uint8_t* const op[] = {&wasPrivateValueLength};
    return keyReadIntegers(src, len, static_cast<uint8_t>(flags & ASN_FLAG_CONST), v, 2, o, op, 1);
}
int Pkcs3DHParameter::write_contents(GenericFile* dst) const {
    const ASNinteger* const v[] = {&prime, &base, &privateValueLength};
    return keyWriteIntegers(dst, v, wasPrivateValueLength ? 3 : 2);
}
long Pkcs3DHParameter::lenOfBody() const {
    const ASNinteger* const v[] = {&prime, &base, &privateValueLength};
    return keyLenIntegers(v, wasPrivateValueLength ? 3 : 2);
}
void Pkcs3DHParameter::digest_contents(QvHash* hash) const {
    const ASNinteger* const v[] = {&prime, &base, &privateValueLength};
    keyDigestIntegers(hash, v, wasPrivateValueLength ? 3 : 2);
}
unsigned Pkcs3DHParameter::getPrimeBits() const { return keyIntegerBits(prime); }
