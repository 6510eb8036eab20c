// SEC 1 EC private keys: coding, public-key computation and ECDSA signing.
#include "keys/ecprvkey.h"

#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "libtorvapp/qvcommon/qvexception.h"
#include "libtorvapp/qvgenerichash.h"
#include "support/memfile.h"
#include "support/vtest.h"

namespace {

constexpr unsigned kScratchOctets = 2048;

// Octets of x after leading zero octets.
void significant(const uint8_t*& d, unsigned& n) {
    while (n > 0 && d[0] == 0) {
        ++d;
        --n;
    }
}

bool sameChoice(const ECDomainParameters& a, const ECDomainParameters& b) {
    if (a.getType() != b.getType()) return false;
    switch (a.getType()) {
        case ECDomainParameters::kSpecified: return a.specified == b.specified;
        case ECDomainParameters::kNamedCurve: return a.named == b.named;
        default: return true;
    }
}

}  // namespace

ECPrivateKey::ECPrivateKey(uint32_t t)
    : ASNsequenceF(t), version(0), privateKey(0), parameters(0xA0), publicKey(0xA1), parametersPresent(false),
      publicKeyPresent(false), m_domain(nullptr), m_explicit(0x30), m_prepared(false) {
    version.setValue(1);
}

ECPrivateKey::ECPrivateKey(const ECPrivateKey& o)
    : ASNsequenceF(o), version(o.version), privateKey(o.privateKey), parameters(o.parameters),
      publicKey(o.publicKey), parametersPresent(o.parametersPresent), publicKeyPresent(o.publicKeyPresent),
      m_domain(nullptr), m_explicit(0x30), m_prepared(false) {}

ECPrivateKey& ECPrivateKey::operator=(const ECPrivateKey& o) {
    if (this == &o) return *this;
    resetSigner();
    version = o.version;
    privateKey = o.privateKey;
    parameters = o.parameters;
    publicKey = o.publicKey;
    parametersPresent = o.parametersPresent;
    publicKeyPresent = o.publicKeyPresent;
    return *this;
}

ECPrivateKey::~ECPrivateKey() = default;

void ECPrivateKey::resetSigner() {
    m_prepared = false;
    m_domain = nullptr;
    m_signer.setPrivateKey(nullptr);
}

void ECPrivateKey::clear() {
    resetSigner();
    version.setValue(1);
    privateKey.clear();
    parameters.value.setImplicitCA();
    publicKey.value.clear();
    parametersPresent = false;
    publicKeyPresent = false;
}

int ECPrivateKey::read_contents(GenericFile* src, long len) {
    resetSigner();
    parametersPresent = false;
    publicKeyPresent = false;
    long used = 0;
    if (len < 2) return 0;
    long r = version.read(src, len, 0);
    if (r < 1) return static_cast<int>(r);
    used += r;
    if (len - used < 2) return 0;
    r = privateKey.read(src, len - used, 0);
    if (r < 1) return static_cast<int>(r);
    used += r;
    while (used < len) {
        ASNany e(TAG_ANY);
        r = e.read(src, len - used, 0);
        if (r < 1) return static_cast<int>(r);
        used += r;
        // [0] and [1] are context-specific explicit tags.
        if ((e.tag & ASN_CLASS_MASK) != 0x80 || (e.tag & ASN_CONSTRUCTED) == 0) return 0;
        const int number = e.tag & ASN_TAGNUM_MASK;
        if ((number == 0 && parametersPresent) || (number == 1 && publicKeyPresent) || number > 1) return 0;
        const int a = number == 0 ? parameters.assign(e) : publicKey.assign(e);
        if (a == EASN_MEM) return EASN_MEM;
        if (a != 1) return 0;
        (number == 0 ? parametersPresent : publicKeyPresent) = true;
    }
    return used == len ? 1 : 0;
}

int ECPrivateKey::write_contents(GenericFile* dst) const {
    const ASNobject* const m[] = {&version, &privateKey, parametersPresent ? &parameters : nullptr,
                                  publicKeyPresent ? &publicKey : nullptr};
    for (const ASNobject* o : m) {
        if (o == nullptr) continue;
        long r = o->write(dst);
        if (r < 1) return static_cast<int>(r);
    }
    return 1;
}

long ECPrivateKey::lenOfBody() const {
    return version.lenOfObject() + privateKey.lenOfObject() + (parametersPresent ? parameters.lenOfObject() : 0) +
           (publicKeyPresent ? publicKey.lenOfObject() : 0);
}

void ECPrivateKey::digest_contents(QvHash* hash) const {
    version.digestObject(hash);
    privateKey.digestObject(hash);
    if (parametersPresent) parameters.digestObject(hash);
    if (publicKeyPresent) publicKey.digestObject(hash);
}

// ---------------------------------------------------------------------------
// Private value and public key

int ECPrivateKey::setPrivateKey(const uint8_t* x, unsigned len, const ECDomainParameters* domain) {
    resetSigner();
    if (domain == nullptr) {
        parametersPresent = false;
        publicKeyPresent = false;
        return privateKey.set(x, static_cast<long>(len)) == 1 ? 1 : 0;
    }
    const unsigned field = domain->getFieldSizeBytes();
    if (field > 0) {
        const uint8_t* d = x;
        unsigned n = x != nullptr ? len : 0;
        significant(d, n);
        if (n > field) return 0;
        std::vector<uint8_t> v(field, 0);
        if (n > 0) std::memcpy(v.data() + (field - n), d, n);
        const int stored = privateKey.set(v.data(), static_cast<long>(field));
        std::memset(v.data(), 0, v.size());
        if (stored != 1) return 0;
    } else if (privateKey.set(x, static_cast<long>(len)) != 1) {
        return 0;
    }
    try {
        if (&parameters.value != domain) parameters.value = *domain;
    } catch (const std::exception&) {
        return 0;
    }
    parametersPresent = true;
    // A public key held before belongs to the old value.
    publicKeyPresent = false;
    publicKey.value.clear();
    updatePublicKey(nullptr);
    return 1;
}

int ECPrivateKey::setPrivateKey(const ASNoctstr& x) {
    return setPrivateKey(x.getData(), static_cast<unsigned>(x.getValueLength() > 0 ? x.getValueLength() : 0),
                         nullptr);
}

int ECPrivateKey::setFromQvKey(const QvGeneralDsaPrivateKey& key) {
    resetSigner();
    try {
        std::vector<uint8_t> buf(kScratchOctets);
        const unsigned n = key.getX(buf.data(), kScratchOctets);
        const int ok = n > 0 && privateKey.set(buf.data(), n) == 1;
        std::memset(buf.data(), 0, buf.size());
        if (!ok) return 0;
        parametersPresent = false;
        publicKeyPresent = false;
        return 1;
    } catch (const QvException&) {
        return 0;
    }
}

int ECPrivateKey::computePublicKey(ECPublicKey& out, const ECDomainParameters* domain) const {
    if (publicKeyPresent) {
        out = static_cast<const ASNbitstr&>(publicKey.value);
        return 1;
    }
    if (domain == nullptr && parametersPresent) domain = &parameters.value;
    if (domain == nullptr) return 0;
    QvGeneralDsaPrivateKey key;
    const QvGeneralDsaKeyDomain* kd = domain->getKeyDomain();
    try {
        const uint8_t* x = privateKey.getData();
        unsigned n = static_cast<unsigned>(privateKey.getValueLength() > 0 ? privateKey.getValueLength() : 0);
        if (x == nullptr || n == 0) return 0;
        // A value far longer than the order would only cost time in the product.
        const uint8_t* d = x;
        unsigned sig = n;
        significant(d, sig);
        if (kd != nullptr && sig > kd->getOrder().getBitLength() / 8 + 8) return 0;
        key.set(x, n);
    } catch (const QvMemException&) {
        return 0;
    } catch (const QvWrongSyntaxException&) {
        return 0;
    }
    if (kd != nullptr) {
        key.setDomain(kd);
        const QvGroup* group = kd->getGroup();
        const QvGroupElem* gen = kd->getGen();
        if (group == nullptr || gen == nullptr) return 0;
        std::unique_ptr<QvGroupElem> h(group->product(key.getX(), gen));
        key.setH(h.get());
    }
    if (key.getH() == nullptr) return 0;
    std::vector<uint8_t> buf(kScratchOctets);
    const unsigned len = key.get(buf.data(), kScratchOctets);
    if (len == 0) return 0;
    if ((buf[0] & 0x04) != 0) buf[0] = 0x04;
    return out.set(buf.data(), static_cast<long>(len), 0) == 1 ? 1 : 0;
}

int ECPrivateKey::updatePublicKey(const ECDomainParameters* domain) {
    ECPublicKey computed(0);
    if (computePublicKey(computed, domain) != 1) return 0;
    publicKey.value = static_cast<const ASNbitstr&>(computed);
    publicKeyPresent = true;
    return 1;
}

int ECPrivateKey::getPublicKeyOctets(ASNoctstr& out, const ECDomainParameters* domain) const {
    ECPublicKey computed(0);
    if (computePublicKey(computed, domain) != 1) return 0;
    return computed.getPoint(out);
}

int ECPrivateKey::exportPublicKey(QvGeneralDsaPublicKey& key) const {
    ECPublicKey computed(0);
    if (computePublicKey(computed, nullptr) != 1) return 0;
    if (key.getDomain() == nullptr) {
        const QvGeneralDsaKeyDomain* kd = parametersPresent ? parameters.value.getKeyDomain() : nullptr;
        if (kd == nullptr) return 0;
        key.setDomain(kd);
    }
    return computed.loadInto(key) == 0 ? 1 : 0;
}

unsigned ECPrivateKey::getKeySizeBits() const {
    if (parametersPresent) return parameters.value.getFieldSizeBits();
    if (publicKeyPresent) return publicKey.value.getKeySizeBits();
    return 8u * getPrivateKeyLength();
}

unsigned ECPrivateKey::getPrivateKeyLength() const {
    long n = privateKey.getValueLength();
    return n > 0 ? static_cast<unsigned>(n) : 0;
}

bool ECPrivateKey::operator==(const ECPrivateKey& o) const {
    if (!(version == o.version) || !(privateKey == o.privateKey)) return false;
    if (parametersPresent != o.parametersPresent || publicKeyPresent != o.publicKeyPresent) return false;
    if (parametersPresent && !sameChoice(parameters.value, o.parameters.value)) return false;
    return !publicKeyPresent || publicKey.value == o.publicKey.value;
}

// ---------------------------------------------------------------------------
// Signing

int ECPrivateKey::sign(const uint8_t* digest, unsigned digestLen, QvRbg* rbg, DSASignature& out) {
    AssertInvariant(digest != nullptr, "ecprvkey", __LINE__, "digest != NULL");
    if (m_domain == nullptr) {
        m_domain = parametersPresent ? parameters.value.getKeyDomain() : nullptr;
        if (m_domain == nullptr) return kNoDomain;
    }
    try {
        if (!m_prepared) {
            const uint8_t* x = privateKey.getData();
            const long n = privateKey.getValueLength();
            if (x == nullptr || n < 1) return kKeyFailure;
            m_key.set(x, static_cast<unsigned>(n));
            m_key.setDomain(m_domain);
            m_signer.setPrivateKey(&m_key);
            m_prepared = true;
        }
        if (!m_key.isPrivatePartReady()) return kKeyFailure;
        std::vector<uint8_t> room;
        try {
            const unsigned orderOctets = (m_domain->getOrder().getBitLength() + 7) / 8;
            room.resize(2u * orderOctets + 16u);
        } catch (const std::bad_alloc&) {
            return kNotStored;
        }
        // The generator serves this signature only: the caller may release it.
        m_signer.setRbg(rbg);
        const unsigned n = m_signer.sign(digest, digestLen, room.data(), static_cast<unsigned>(room.size()));
        m_signer.setRbg(nullptr);
        return out.setRS(room.data(), n) == 1 ? kSigned : kNotStored;
    } catch (const QvException&) {
        m_signer.setRbg(nullptr);
        return kKeyFailure;
    }
}

int ECPrivateKey::signWithHash(const uint8_t* digest, unsigned digestLen, unsigned hashId, QvRbg* rbg,
                               DSASignature& out) {
    if (hashId < 1 || hashId > 8 || digestLen != QvGenericHash::getGenericHashOctets(hashId))
        return kBadDigestLength;
    return sign(digest, digestLen, rbg, out);
}

int ECPrivateKey::digestOf(const ASNobject* obj, unsigned hashId, uint8_t* digest, unsigned* len) const {
    AssertInvariant(obj != nullptr, "ecprvkey", __LINE__, "objToDigest != NULL");
    if (hashId < 1 || hashId > 8) return kBadDigestLength;
    *len = QvGenericHash::getGenericHashOctets(hashId);
    return obj->digest(hashId, digest, 64) == 1 ? kSigned : kNotStored;
}

int ECPrivateKey::signObject(const ASNobject* obj, unsigned hashId, QvRbg* rbg, DSASignature& out) {
    uint8_t digest[64];
    unsigned len = 0;
    const int r = digestOf(obj, hashId, digest, &len);
    return r != kSigned ? r : sign(digest, len, rbg, out);
}

int ECPrivateKey::useDomain(const ECSpecifiedDomain& domain) {
    resetSigner();
    try {
        if (&domain != &m_explicit) m_explicit = domain;
    } catch (const std::exception&) {
        m_explicit.clear();
        return kNotStored;
    }
    m_domain = m_explicit.getKeyDomain();
    return m_domain != nullptr ? kSigned : kDomainNotBuilt;
}

int ECPrivateKey::signWithDomain(const ECSpecifiedDomain& domain, const uint8_t* digest, unsigned digestLen,
                                 QvRbg* rbg, DSASignature& out) {
    const int r = useDomain(domain);
    return r != kSigned ? r : sign(digest, digestLen, rbg, out);
}

int ECPrivateKey::signWithDomainAndHash(const ECSpecifiedDomain& domain, const uint8_t* digest, unsigned digestLen,
                                        unsigned hashId, QvRbg* rbg, DSASignature& out) {
    const int r = useDomain(domain);
    return r != kSigned ? r : signWithHash(digest, digestLen, hashId, rbg, out);
}

int ECPrivateKey::signObjectWithDomain(const ECSpecifiedDomain& domain, const ASNobject* obj, unsigned hashId,
                                       QvRbg* rbg, DSASignature& out) {
    const int r = useDomain(domain);
    return r != kSigned ? r : signObject(obj, hashId, rbg, out);
}

int ECPrivateKey::toBitString(int result, const DSASignature& sig, ASNbitstr& out) {
    if (result != kSigned) return result;
    return out.setEncoded(sig) == 1 ? kSigned : kNotStored;
}

int ECPrivateKey::signToBitString(const uint8_t* digest, unsigned digestLen, QvRbg* rbg, ASNbitstr& out) {
    DSASignature sig(0x30);
    return toBitString(sign(digest, digestLen, rbg, sig), sig, out);
}

int ECPrivateKey::signToBitStringWithHash(const uint8_t* digest, unsigned digestLen, unsigned hashId, QvRbg* rbg,
                                          ASNbitstr& out) {
    DSASignature sig(0x30);
    return toBitString(signWithHash(digest, digestLen, hashId, rbg, sig), sig, out);
}

int ECPrivateKey::signObjectToBitString(const ASNobject* obj, unsigned hashId, QvRbg* rbg, ASNbitstr& out) {
    DSASignature sig(0x30);
    return toBitString(signObject(obj, hashId, rbg, sig), sig, out);
}

int ECPrivateKey::signWithDomainToBitString(const ECSpecifiedDomain& domain, const uint8_t* digest,
                                            unsigned digestLen, QvRbg* rbg, ASNbitstr& out) {
    DSASignature sig(0x30);
    return toBitString(signWithDomain(domain, digest, digestLen, rbg, sig), sig, out);
}

int ECPrivateKey::signWithDomainToBitStringAndHash(const ECSpecifiedDomain& domain, const uint8_t* digest,
                                                   unsigned digestLen, unsigned hashId, QvRbg* rbg,
                                                   ASNbitstr& out) {
    DSASignature sig(0x30);
    return toBitString(signWithDomainAndHash(domain, digest, digestLen, hashId, rbg, sig), sig, out);
}

int ECPrivateKey::signObjectWithDomainToBitString(const ECSpecifiedDomain& domain, const ASNobject* obj,
                                                  unsigned hashId, QvRbg* rbg, ASNbitstr& out) {
    DSASignature sig(0x30);
    return toBitString(signObjectWithDomain(domain, obj, hashId, rbg, sig), sig, out);
}
