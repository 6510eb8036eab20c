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

// ---------------------------------------------------------------------------
// Numeric settings by hash id, shared by both parameter structures.

namespace {

int mgfHashAlgoOf(uint8_t present, const AlgorithmIdentifier& mgf, unsigned* out) {
    if (!present) {
        if (out != nullptr) *out = 1;
        return 0;
    }
    int h = mgfHashOf(mgf);
    if (h <= 0) return -1;
    if (out == nullptr) return h == 1 ? 0 : -1;
    *out = static_cast<unsigned>(h);
    return 0;
}

// [0] and [1] from hash ids; defaults stay absent. 1, or 0 for an id without a digest.
int setHashAndMgf(ASNexpl<AlgorithmIdentifier>& hash, uint8_t& wasHash, ASNexpl<AlgorithmIdentifier>& mgf,
                  uint8_t& wasMgf, unsigned hashAlgo, int mgfFlag, unsigned mgfHashAlgo) {
    if (hashAlgo != 1) {
        if (setHashAlg(hash.value, hashAlgo) != 1) return 0;
        wasHash = 1;
    }
    if (mgfFlag != 0 || mgfHashAlgo != 1) {
        AlgorithmIdentifier h;
        if (setHashAlg(h, mgfHashAlgo) != 1) return 0;
        if (mgf.value.set(algoid::mgf1(), &h) != 1) return 0;
        wasMgf = 1;
    }
    return 1;
}

// A non-negative 64-bit value as INTEGER.
int setInt64(ASNinteger& v, int64_t x) {
    uint8_t b[8];
    uint64_t u = static_cast<uint64_t>(x);
    for (int i = 0; i < 8; i++) b[i] = static_cast<uint8_t>(u >> (56 - 8 * i));
    if (x >= 0) return v.setUnsigned(b, 8);
    // Two's complement for a negative value, shortest form.
    int start = 0;
    while (start < 7 && b[start] == 0xFF && (b[start + 1] & 0x80)) start++;
    return v.set(b + start, 8 - start);
}

bool sameField(uint8_t present, const ASNobject& a, const ASNobject& b) {
    return !present || a.tag == b.tag;
}

}  // namespace

unsigned RsaPssParams::getHashAlgo() const { return static_cast<unsigned>(getHashId()); }

int RsaPssParams::getMgfHashAlgo(unsigned* mgfHash) const {
    return mgfHashAlgoOf(wasMaskGenAlgorithm, maskGenAlgorithm.value, mgfHash);
}

int RsaPssParams::setParams(unsigned hashAlgo, int mgfFlag, unsigned mgfHashAlgo, int64_t salt, int64_t trailer) {
    clear();
    if (setHashAndMgf(hashAlgorithm, wasHashAlgorithm, maskGenAlgorithm, wasMaskGenAlgorithm, hashAlgo, mgfFlag,
                      mgfHashAlgo) != 1) {
        clear();
        return 0;
    }
    if (salt != 20) {
        if (setInt64(saltLength.value, salt) != 1) return 0;
        wasSaltLength = 1;
    }
    if (trailer != 1) {
        if (setInt64(trailerField.value, trailer) != 1) return 0;
        wasTrailerField = 1;
    }
    return 1;
}

bool RsaPssParams::operator==(const RsaPssParams& o) const {
    if (wasHashAlgorithm != o.wasHashAlgorithm || wasMaskGenAlgorithm != o.wasMaskGenAlgorithm ||
        wasSaltLength != o.wasSaltLength || wasTrailerField != o.wasTrailerField)
        return false;
    if (!sameField(wasHashAlgorithm, hashAlgorithm, o.hashAlgorithm) ||
        !sameField(wasMaskGenAlgorithm, maskGenAlgorithm, o.maskGenAlgorithm) ||
        !sameField(wasSaltLength, saltLength, o.saltLength) || !sameField(wasTrailerField, trailerField, o.trailerField))
        return false;
    if (wasHashAlgorithm && !(hashAlgorithm.value == o.hashAlgorithm.value)) return false;
    if (wasMaskGenAlgorithm && !(maskGenAlgorithm.value == o.maskGenAlgorithm.value)) return false;
    if (wasSaltLength && !(saltLength.value == o.saltLength.value)) return false;
    if (wasTrailerField && !(trailerField.value == o.trailerField.value)) return false;
    return true;
}

RsaOaepParams::RsaOaepParams(const RsaOaepParams& o)
    : ASNsequenceF(o), hashAlgorithm(o.hashAlgorithm), maskGenAlgorithm(o.maskGenAlgorithm),
      pSourceAlgorithm(o.pSourceAlgorithm), wasHashAlgorithm(o.wasHashAlgorithm),
      wasMaskGenAlgorithm(o.wasMaskGenAlgorithm), wasPSourceAlgorithm(o.wasPSourceAlgorithm), m_label(o.m_label) {}

RsaOaepParams& RsaOaepParams::operator=(const RsaOaepParams& o) {
    if (this == &o) return *this;
    hashAlgorithm = o.hashAlgorithm;
    maskGenAlgorithm = o.maskGenAlgorithm;
    pSourceAlgorithm = o.pSourceAlgorithm;
    wasHashAlgorithm = o.wasHashAlgorithm;
    wasMaskGenAlgorithm = o.wasMaskGenAlgorithm;
    wasPSourceAlgorithm = o.wasPSourceAlgorithm;
    m_label = o.m_label;
    return *this;
}

unsigned RsaOaepParams::getHashAlgo() const { return static_cast<unsigned>(getHashId()); }

int RsaOaepParams::getMgfHashAlgo(unsigned* mgfHash) const {
    return mgfHashAlgoOf(wasMaskGenAlgorithm, maskGenAlgorithm.value, mgfHash);
}

unsigned RsaOaepParams::getLabelLength() const {
    long n = 0;
    getLabel(&n);
    return static_cast<unsigned>(n);
}

int RsaOaepParams::setParams(unsigned hashAlgo, int mgfFlag, unsigned mgfHashAlgo, const uint8_t* label,
                             unsigned labelLen) {
    clear();
    if (setHashAndMgf(hashAlgorithm, wasHashAlgorithm, maskGenAlgorithm, wasMaskGenAlgorithm, hashAlgo, mgfFlag,
                      mgfHashAlgo) != 1) {
        clear();
        return 0;
    }
    if (label != nullptr && labelLen > 0) {
        if (m_label.set(label, labelLen) != 1) return 0;
        if (pSourceAlgorithm.value.set(algoid::pSpecified(), &m_label) != 1) return 0;
        wasPSourceAlgorithm = 1;
    }
    return 1;
}

bool RsaOaepParams::operator==(const RsaOaepParams& o) const {
    if (wasHashAlgorithm != o.wasHashAlgorithm || wasMaskGenAlgorithm != o.wasMaskGenAlgorithm ||
        wasPSourceAlgorithm != o.wasPSourceAlgorithm)
        return false;
    if (!sameField(wasHashAlgorithm, hashAlgorithm, o.hashAlgorithm) ||
        !sameField(wasMaskGenAlgorithm, maskGenAlgorithm, o.maskGenAlgorithm) ||
        !sameField(wasPSourceAlgorithm, pSourceAlgorithm, o.pSourceAlgorithm))
        return false;
    if (wasHashAlgorithm && !(hashAlgorithm.value == o.hashAlgorithm.value)) return false;
    if (wasMaskGenAlgorithm && !(maskGenAlgorithm.value == o.maskGenAlgorithm.value)) return false;
    if (wasPSourceAlgorithm && !(pSourceAlgorithm.value == o.pSourceAlgorithm.value)) return false;
    return true;
}
