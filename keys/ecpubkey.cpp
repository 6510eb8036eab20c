// The EC public point and its ECDSA verification through the library scheme.
#include "keys/ecpubkey.h"

#include <memory>
#include <new>
#include <vector>

#include "keys/ecnamedcurves.h"
#include "lib/libasn/x509/siganddigoid.h"
#include "libtorvapp/qvcommon/qvexception.h"
#include "libtorvapp/qvgenerichash.h"
#include "libtorvapp/qvhash.h"
#include "support/vtest.h"

ECPublicKey::ECPublicKey(uint32_t t)
    : ASNbitstr(t), m_domain(nullptr), m_explicit(0x30), m_prepared(false) {}

ECPublicKey::ECPublicKey(const ECPublicKey& o)
    : ASNbitstr(o), m_domain(nullptr), m_explicit(0x30), m_prepared(false) {
    adoptDomainOf(o);
}

ECPublicKey& ECPublicKey::operator=(const ECPublicKey& o) {
    if (this == &o) return *this;
    ASNbitstr::operator=(o);
    adoptDomainOf(o);
    return *this;
}

ECPublicKey& ECPublicKey::operator=(const ASNbitstr& o) {
    if (this == &o) return *this;
    m_prepared = false;
    ASNbitstr::operator=(o);
    return *this;
}

ECPublicKey::~ECPublicKey() = default;

void ECPublicKey::adoptDomainOf(const ECPublicKey& o) {
    m_prepared = false;
    m_domain = nullptr;
    try {
        m_explicit = o.m_explicit;
    } catch (const std::bad_alloc&) {
        // Only a built explicit domain is ever in use.
        m_explicit.clear();
    }
    if (o.m_domain != nullptr && o.m_domain == o.m_explicit.getKeyDomain())
        m_domain = m_explicit.getKeyDomain();
    else
        m_domain = o.m_domain;
}

void ECPublicKey::clear() {
    m_prepared = false;
    m_domain = nullptr;
    ASNbitstr::clear();
}

int ECPublicKey::read_contents(GenericFile* src, long len) {
    m_prepared = false;
    m_domain = nullptr;
    return ASNbitstr::read_contents(src, len);
}

int ECPublicKey::set(const uint8_t* data, long len, uint8_t unusedBits) {
    m_prepared = false;
    return ASNbitstr::set(data, len, unusedBits);
}

int ECPublicKey::set(const ASNoctstr& point, const ECDomainParameters* domain) {
    m_prepared = false;
    const uint8_t* d = point.getData();
    long n = point.getValueLength();
    if (ASNbitstr::set(d, n > 0 && d != nullptr ? n : 0, 0) != 1) return 0;
    return domain != nullptr ? setDomain(*domain) : 1;
}

int ECPublicKey::setFromQvKey(const QvGeneralDsaPublicKey& key) {
    m_prepared = false;
    try {
        std::vector<uint8_t> buf(2048);
        unsigned n = key.get(buf.data(), static_cast<unsigned>(buf.size()));
        return n > 0 && ASNbitstr::set(buf.data(), n, 0) == 1 ? 1 : 0;
    } catch (const QvException&) {
        return 0;
    }
}

int ECPublicKey::setDomain(const ECDomainParameters& domain) {
    m_prepared = false;
    m_domain = nullptr;
    switch (domain.getType()) {
        case ECDomainParameters::kSpecified:
            try {
                m_explicit = domain.specified;
            } catch (const std::exception&) {
                m_explicit.clear();
                return 0;
            }
            m_domain = m_explicit.getKeyDomain();
            return m_domain != nullptr ? 1 : 0;
        case ECDomainParameters::kNamedCurve: {
            const QvAsymKeyDomain* named = EcNamedCurveTable::getDomain(domain.named);
            m_domain = dynamic_cast<const QvGeneralDsaKeyDomain*>(named);
            if (m_domain == nullptr) return 0;
            // The explicit form of the named curve is kept beside it.
            return m_explicit.setFromKeyDomain(named);
        }
        default: return 0;
    }
}

int ECPublicKey::loadInto(QvGeneralDsaPublicKey& key) const {
    const uint8_t* p = getBits();
    long n = getByteLength();
    if (p == nullptr || n < 1) return 2;
    try {
        key.setH(p, static_cast<unsigned>(n));
        return 0;
    } catch (const QvMemException&) {
        return 1;
    } catch (const QvWrongSyntaxException&) {
        return 2;
    }
}

unsigned ECPublicKey::getKeySizeBits() const {
    const uint8_t* b = getBits();
    long n = getByteLength();
    if (b == nullptr || n < 1) return 0;
    const unsigned long withUnused = static_cast<unsigned long>(n) + 1;
    switch (b[0]) {
        case 0x04:
        case 0x06:
        case 0x07:
        case 0x0E:
        case 0x0F: return static_cast<unsigned>(4 * withUnused - 8);
        case 0x01:
        case 0x02:
        case 0x03:
        case 0x0A:
        case 0x0B: return static_cast<unsigned>(8 * withUnused - 16);
        default: return 0;
    }
}

int ECPublicKey::getPoint(ASNoctstr& out) const {
    const uint8_t* b = getBits();
    long n = getByteLength();
    if (b == nullptr || n < 1 || getUnusedBits() != 0) return 0;
    return out.set(b, n) == 1 ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Verification

int ECPublicKey::verify(const uint8_t* digest, unsigned digestLen, const DSASignature& sig) {
    AssertInvariant(digest != nullptr, "ecpubkey", __LINE__, "digest != NULL");
    if (!m_prepared) {
        if (m_domain == nullptr) return kNoDomain;
        try {
            m_key.setDomain(m_domain);
            switch (loadInto(m_key)) {
                case 0: break;
                case 1: return kNoMemory;
                default: return kBadInput;
            }
        } catch (const QvException&) {
            return kBadInput;
        }
        m_verifier.setPublicKey(&m_key);
        m_prepared = true;
    }
    const uint8_t* r = sig.r.getData();
    const uint8_t* s = sig.s.getData();
    const long rLen = sig.r.getValueLength(), sLen = sig.s.getValueLength();
    // r and s lie below the order: longer values are no signature (and are not
    // worth converting).
    const long limit = static_cast<long>(m_domain->getOrder().getBitLength() / 8 + 2);
    if (r == nullptr || s == nullptr || rLen < 1 || sLen < 1 || rLen > limit || sLen > limit) return kInvalid;
    try {
        return m_verifier.verify(digest, digestLen, r, static_cast<unsigned>(rLen), s, static_cast<unsigned>(sLen))
                   ? kValid
                   : kInvalid;
    } catch (const QvException&) {
        return kBadInput;
    }
}

int ECPublicKey::verifyWithHash(const uint8_t* digest, unsigned digestLen, unsigned hashId,
                                const DSASignature& sig) {
    if (hashId < 1 || hashId > 8 || digestLen != QvGenericHash::getGenericHashOctets(hashId)) return kBadInput;
    return verify(digest, digestLen, sig);
}

int ECPublicKey::verify(const uint8_t* digest, unsigned digestLen, const ASNobjectId& signatureAlgorithm,
                        const DSASignature& sig) {
    AssertInvariant(digest != nullptr, "ecpubkey", __LINE__, "digest != NULL");
    return verifyDigest(digest, digestLen, signatureAlgorithm, sig);
}

int ECPublicKey::verifyDigest(const uint8_t* digest, unsigned digestLen, const ASNobjectId& signatureAlgorithm,
                              const DSASignature& sig) {
    unsigned len = 0, hashId = 0;
    if (EcdsaSignatureOidToHash(signatureAlgorithm, &len, &hashId) != 1) return kUnknownAlgorithm;
    return verify(digest, digestLen, sig);
}

int ECPublicKey::verifyData(const uint8_t* data, unsigned dataLen, unsigned hashId, const DSASignature& sig) {
    std::unique_ptr<QvHash> h;
    try {
        h.reset(qvHashCreateObject(hashId));
    } catch (const QvArgumentRangeException&) {
        return kUnknownAlgorithm;
    } catch (const QvMemException&) {
        return kNoMemory;
    }
    if (!h) return kNoMemory;
    static const uint8_t nothing = 0;
    uint8_t digest[64];
    h->hash(data != nullptr ? data : &nothing, data != nullptr ? dataLen : 0);
    const unsigned n = QvGenericHash::getGenericHashOctets(hashId);
    h->getHash(n, digest);
    return verify(digest, n, sig);
}

int ECPublicKey::verifyObject(const ASNobject& obj, unsigned hashId, const DSASignature& sig) {
    // An unknown hash has no digest to check.
    if (hashId < 1 || hashId > 8) return kUnknownAlgorithm;
    uint8_t digest[64];
    if (obj.digest(hashId, digest, sizeof digest) != 1) return kNoMemory;
    return verify(digest, QvGenericHash::getGenericHashOctets(hashId), sig);
}

int ECPublicKey::verify(const ASNobject* obj, const ASNobjectId& signatureAlgorithm, const DSASignature& sig) {
    AssertInvariant(obj != nullptr, "ecpubkey", __LINE__, "objToDigest != NULL");
    unsigned len = 0, hashId = 0;
    if (EcdsaSignatureOidToHash(signatureAlgorithm, &len, &hashId) != 1) return kUnknownAlgorithm;
    uint8_t digest[64];
    if (obj->digest(hashId, digest, sizeof digest) != 1) return kNoMemory;
    return verify(digest, len, sig);
}
