// RSASSA-PSS-params and RSAES-OAEP-params.
#include "keys/rsaparams.h"

#include <new>

#include "lib/libasn/asnany.h"

namespace {

// Decodes the context-tagged members [0]..[n-1] of a parameters SEQUENCE, each at
// most once and in increasing order; 1 when they fill len exactly.
int readTagged(GenericFile* src, long len, ASNobject* const* members, uint8_t* const* present, int n) {
    long used = 0;
    int next = 0;
    while (used < len) {
        ASNany e(TAG_ANY);
        long r = e.read(src, len - used, 0);
        if (r < 1) return static_cast<int>(r);
        used += r;
        if ((e.tag & ASN_CLASS_MASK) != 0x80 || (e.tag & ASN_CONSTRUCTED) == 0) return 0;
        int num = e.tag & ASN_TAGNUM_MASK;
        if (num < next || num >= n) return 0;
        int a = members[num]->assign(e);
        if (a != 1) return a;
        *present[num] = 1;
        next = num + 1;
    }
    return used == len ? 1 : 0;
}

int hashIdOf(const AlgorithmIdentifier& a) {
    unsigned id = 0;
    if (DigestOidToHash(a.algorithm, nullptr, &id) == nullptr) return 0;
    return static_cast<int>(id);
}

// Hash of an MGF1 identifier's parameters; 0 when not readable.
int mgfHashOf(const AlgorithmIdentifier& mgf) {
    if (!(mgf.algorithm == algoid::mgf1()) || !mgf.parametersPresent) return 0;
    AlgorithmIdentifier h;
    if (h.assign(mgf.parameters) != 1) return 0;
    return hashIdOf(h);
}

int setHashAlg(AlgorithmIdentifier& a, unsigned hashId) { return a.setDigestAlgorithm(hashId); }

}  // namespace

// ---------------------------------------------------------------------------

RsaPssParams::RsaPssParams(uint32_t t)
    : ASNsequenceF(t), hashAlgorithm(0xA0), maskGenAlgorithm(0xA1), saltLength(0xA2), trailerField(0xA3),
      wasHashAlgorithm(0), wasMaskGenAlgorithm(0), wasSaltLength(0), wasTrailerField(0) {}

RsaPssParams::RsaPssParams(const RsaPssParams& o)
    : ASNsequenceF(o), hashAlgorithm(o.hashAlgorithm), maskGenAlgorithm(o.maskGenAlgorithm),
      saltLength(o.saltLength), trailerField(o.trailerField), wasHashAlgorithm(o.wasHashAlgorithm),
      wasMaskGenAlgorithm(o.wasMaskGenAlgorithm), wasSaltLength(o.wasSaltLength),
      wasTrailerField(o.wasTrailerField) {}

RsaPssParams& RsaPssParams::operator=(const RsaPssParams& o) {
    if (this == &o) return *this;
    hashAlgorithm = o.hashAlgorithm;
    maskGenAlgorithm = o.maskGenAlgorithm;
    saltLength = o.saltLength;
    trailerField = o.trailerField;
    wasHashAlgorithm = o.wasHashAlgorithm;
    wasMaskGenAlgorithm = o.wasMaskGenAlgorithm;
    wasSaltLength = o.wasSaltLength;
    wasTrailerField = o.wasTrailerField;
    return *this;
}

RsaPssParams::~RsaPssParams() = default;

void RsaPssParams::clear() {
    hashAlgorithm.value.clear();
    maskGenAlgorithm.value.clear();
    saltLength.value.clear();
    trailerField.value.clear();
    wasHashAlgorithm = wasMaskGenAlgorithm = wasSaltLength = wasTrailerField = 0;
}

int RsaPssParams::read_contents(GenericFile* src, long len) {
    clear();
    ASNobject* const m[] = {&hashAlgorithm, &maskGenAlgorithm, &saltLength, &trailerField};
    uint8_t* const p[] = {&wasHashAlgorithm, &wasMaskGenAlgorithm, &wasSaltLength, &wasTrailerField};
    return readTagged(src, len, m, p, 4);
}

int RsaPssParams::write_contents(GenericFile* dst) const {
    const ASNobject* const m[] = {&hashAlgorithm, &maskGenAlgorithm, &saltLength, &trailerField};
    const uint8_t p[] = {wasHashAlgorithm, wasMaskGenAlgorithm, wasSaltLength, wasTrailerField};
    for (int i = 0; i < 4; i++) {
        if (!p[i]) continue;
        long r = m[i]->write(dst);
        if (r < 1) return static_cast<int>(r);
    }
    return 1;
}

long RsaPssParams::lenOfBody() const {
    return (wasHashAlgorithm ? hashAlgorithm.lenOfObject() : 0) +
           (wasMaskGenAlgorithm ? maskGenAlgorithm.lenOfObject() : 0) +
           (wasSaltLength ? saltLength.lenOfObject() : 0) + (wasTrailerField ? trailerField.lenOfObject() : 0);
}

void RsaPssParams::digest_contents(QvHash* hash) const {
    if (wasHashAlgorithm) hashAlgorithm.digestObject(hash);
    if (wasMaskGenAlgorithm) maskGenAlgorithm.digestObject(hash);
    if (wasSaltLength) saltLength.digestObject(hash);
    if (wasTrailerField) trailerField.digestObject(hash);
}

int RsaPssParams::set(unsigned hashId, int mgfSelector, unsigned mgfHashId, int64_t salt, int trailer) {
    if (mgfSelector != 0 || salt < 0 || trailer < 0) return 0;
    clear();
    if (hashId != 1) {
        if (setHashAlg(hashAlgorithm.value, hashId) != 1) return 0;
        wasHashAlgorithm = 1;
    }
    if (mgfHashId != 1) {
        AlgorithmIdentifier h;
        if (setHashAlg(h, mgfHashId) != 1) return 0;
        if (maskGenAlgorithm.value.set(algoid::mgf1(), &h) != 1) return 0;
        wasMaskGenAlgorithm = 1;
    }
    if (salt != 20) {
        uint8_t b[8];
        for (int i = 0; i < 8; i++) b[i] = static_cast<uint8_t>(static_cast<uint64_t>(salt) >> (56 - 8 * i));
        if (saltLength.value.setUnsigned(b, 8) != 1 && salt != 0) return 0;
        if (salt == 0) saltLength.value.setValue(0);
        wasSaltLength = 1;
    }
    if (trailer != 1) {
        trailerField.value.setValue(static_cast<uint32_t>(trailer));
        wasTrailerField = 1;
    }
    return 1;
}

int RsaPssParams::getHashId() const { return wasHashAlgorithm ? hashIdOf(hashAlgorithm.value) : 1; }

int RsaPssParams::getMgfSelector() const {
    if (!wasMaskGenAlgorithm) return 0;
    return maskGenAlgorithm.value.algorithm == algoid::mgf1() ? 0 : -1;
}

int RsaPssParams::getMgfHashId() const { return wasMaskGenAlgorithm ? mgfHashOf(maskGenAlgorithm.value) : 1; }

namespace {
int64_t smallInteger(const ASNinteger& v) {
    const uint8_t* d = v.getData();
    long n = v.getLength();
    long all = v.getValueLength();
    if (d == nullptr || all < 1 || (d[0] & 0x80) != 0 || n > 7) return -1;
    int64_t x = 0;
    for (long i = 0; i < all; i++) x = (x << 8) | d[i];
    return x;
}
}  // namespace

int64_t RsaPssParams::getSaltLength() const { return wasSaltLength ? smallInteger(saltLength.value) : 20; }

int RsaPssParams::getTrailerField() const {
    if (!wasTrailerField) return 1;
    int64_t t = smallInteger(trailerField.value);
    return t < 0 || t > 0x7FFFFFFF ? -1 : static_cast<int>(t);
}

// ---------------------------------------------------------------------------

RsaOaepParams::RsaOaepParams(uint32_t t)
    : ASNsequenceF(t), hashAlgorithm(0xA0), maskGenAlgorithm(0xA1), pSourceAlgorithm(0xA2), wasHashAlgorithm(0),
      wasMaskGenAlgorithm(0), wasPSourceAlgorithm(0) {}

RsaOaepParams::~RsaOaepParams() = default;

void RsaOaepParams::clear() {
    hashAlgorithm.value.clear();
    maskGenAlgorithm.value.clear();
    pSourceAlgorithm.value.clear();
    m_label.clear();
    wasHashAlgorithm = wasMaskGenAlgorithm = wasPSourceAlgorithm = 0;
}

int RsaOaepParams::read_contents(GenericFile* src, long len) {
    clear();
    ASNobject* const m[] = {&hashAlgorithm, &maskGenAlgorithm, &pSourceAlgorithm};
    uint8_t* const p[] = {&wasHashAlgorithm, &wasMaskGenAlgorithm, &wasPSourceAlgorithm};
    int r = readTagged(src, len, m, p, 3);
    if (r != 1) return r;
    if (wasPSourceAlgorithm && pSourceAlgorithm.value.algorithm == algoid::pSpecified() &&
        pSourceAlgorithm.value.parametersPresent) {
        int a = m_label.assign(pSourceAlgorithm.value.parameters);
        if (a != 1) return a == EASN_MEM ? EASN_MEM : 0;
    }
    return 1;
}

int RsaOaepParams::write_contents(GenericFile* dst) const {
    const ASNobject* const m[] = {&hashAlgorithm, &maskGenAlgorithm, &pSourceAlgorithm};
    const uint8_t p[] = {wasHashAlgorithm, wasMaskGenAlgorithm, wasPSourceAlgorithm};
    for (int i = 0; i < 3; i++) {
        if (!p[i]) continue;
        long r = m[i]->write(dst);
        if (r < 1) return static_cast<int>(r);
    }
    return 1;
}

long RsaOaepParams::lenOfBody() const {
    return (wasHashAlgorithm ? hashAlgorithm.lenOfObject() : 0) +
           (wasMaskGenAlgorithm ? maskGenAlgorithm.lenOfObject() : 0) +
           (wasPSourceAlgorithm ? pSourceAlgorithm.lenOfObject() : 0);
}

void RsaOaepParams::digest_contents(QvHash* hash) const {
    if (wasHashAlgorithm) hashAlgorithm.digestObject(hash);
    if (wasMaskGenAlgorithm) maskGenAlgorithm.digestObject(hash);
    if (wasPSourceAlgorithm) pSourceAlgorithm.digestObject(hash);
}

int RsaOaepParams::getHashId() const { return wasHashAlgorithm ? hashIdOf(hashAlgorithm.value) : 1; }

int RsaOaepParams::getMgfSelector() const {
    if (!wasMaskGenAlgorithm) return 0;
    return maskGenAlgorithm.value.algorithm == algoid::mgf1() ? 0 : -1;
}

int RsaOaepParams::getMgfHashId() const {
    if (!wasMaskGenAlgorithm) return 1;
    int h = mgfHashOf(maskGenAlgorithm.value);
    return h > 0 ? h : -1;
}

const uint8_t* RsaOaepParams::getLabel(long* len) const {
    long n = m_label.getLength();
    if (len != nullptr) *len = n > 0 ? n : 0;
    return n > 0 ? m_label.getData() : nullptr;
}
