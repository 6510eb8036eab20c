// SEC 1 EC private keys, signing through the library scheme.
#include "keys/ecprvkey.h"

#include <memory>

#include "keys/dsaparms.h"
#include "keys/ecnamedcurves.h"
#include "keys/intseq.h"
#include "lib/libasn/siganddigoid.h"
#include "libtorvapp/qvasymkey.h"
#include "libtorvapp/qvcommon/qvexception.h"
#include "libtorvapp/qvgeneraldsasig.h"
#include "libtorvapp/qvgenerichash.h"
#include "libtorvapp/qvnamedcurveobjects.h"
#include "support/memfile.h"

ECPrivateKey::ECPrivateKey(uint32_t t)
    : ASNsequenceF(t), version(0), privateKey(0), parameters(0xA0), publicKey(0xA1), wasParameters(0),
      wasPublicKey(0) {
    version.setValue(1);
}

ECPrivateKey::~ECPrivateKey() = default;

void ECPrivateKey::clear() {
    version.setValue(1);
    privateKey.clear();
    parameters.value = ECDomainParameters();
    publicKey.value.clear();
    wasParameters = wasPublicKey = 0;
}

int ECPrivateKey::read_contents(GenericFile* src, long len) {
    clear();
    if (len < 2) return 0;
    long used = version.read(src, len, 0);
    if (used < 1) return static_cast<int>(used);
    if (len - used < 2) return 0;
    long r = privateKey.read(src, len - used, 0);
    if (r < 1) return static_cast<int>(r);
    used += r;
    int next = 0;
    while (used < len) {
        ASNany e(TAG_ANY);
        r = e.read(src, len - used, 0);
        if (r < 1) return static_cast<int>(r);
        used += r;
        if ((e.tag & ASN_CLASS_MASK) != 0x80 || (e.tag & ASN_CONSTRUCTED) == 0) return 0;
        int num = e.tag & ASN_TAGNUM_MASK;
        if (num < next || num > 1) return 0;
        int a = num == 0 ? parameters.assign(e) : publicKey.assign(e);
        if (a != 1) return a == EASN_MEM ? EASN_MEM : 0;
        (num == 0 ? wasParameters : wasPublicKey) = 1;
        next = num + 1;
    }
    return used == len ? 1 : 0;
}

int ECPrivateKey::write_contents(GenericFile* dst) const {
    const ASNobject* const m[] = {&version, &privateKey, wasParameters ? &parameters : nullptr,
                                  wasPublicKey ? &publicKey : nullptr};
    for (const ASNobject* o : m) {
        if (o == nullptr) continue;
        long r = o->write(dst);
        if (r < 1) return static_cast<int>(r);
    }
    return 1;
}

long ECPrivateKey::lenOfBody() const {
    return version.lenOfObject() + privateKey.lenOfObject() + (wasParameters ? parameters.lenOfObject() : 0) +
           (wasPublicKey ? publicKey.lenOfObject() : 0);
}

void ECPrivateKey::digest_contents(QvHash* hash) const {
    version.digestObject(hash);
    privateKey.digestObject(hash);
    if (wasParameters) parameters.digestObject(hash);
    if (wasPublicKey) publicKey.digestObject(hash);
}

int ECPrivateKey::signObject(const ASNobject& obj, unsigned hashId, const ECDomainParameters* domain, QvRbg* rbg,
                             ASNbitstr* out) const {
    if (hashId < 1 || hashId > 8) return -5;
    if (out == nullptr) return 0;
    if (domain == nullptr) {
        if (!wasParameters) return -4;
        domain = &parameters.value;
    }
    ECCurveData cd;
    if (!domain->getCurve(&cd)) return -4;
    const uint8_t* dp = privateKey.getData();
    long dl = privateKey.getLength();
    if (rbg == nullptr || dp == nullptr || dl < 1) return -1;
    try {
        std::unique_ptr<QvGeneralDsaKeyDomain> own;
        const QvGeneralDsaKeyDomain* ld = ecLibraryDomain(cd, &own);
        const QvN& n = ld->getOrder();
        QvN dv(dp, static_cast<unsigned>(dl), 0);
        // An order of fewer than 64 bits would give a nonce from too small a range.
        if (n.isEven() || n.getBitLength() < 64 || dv.isZero() || dv >= n) return -1;
        uint8_t digest[64];
        obj.digest(hashId, digest, sizeof digest);
        unsigned digestLen = QvGenericHash::getGenericHashOctets(hashId);
        QvGeneralDsaPrivateKey key;
        key.setDomain(ld);
        key.set(dv);
        QvGeneralDsaSig scheme;
        scheme.setHashAlgo(hashId);
        scheme.setRbg(rbg);
        scheme.setPrivateKey(&key);
        std::vector<QvOctet> rs(scheme.getMaxSignatureOctets());
        unsigned len = scheme.sign(digest, digestLen, rs.data(), static_cast<unsigned>(rs.size()));
        // The scheme writes the two INTEGERs of (r, s); the signature is their SEQUENCE.
        DSASignature sig;
        std::vector<uint8_t> der;
        long used = sig.r.readBuffer(rs.data(), static_cast<long>(len), 0);
        if (used < 1 || used >= static_cast<long>(len)) return -1;
        if (sig.s.readBuffer(rs.data() + used, static_cast<long>(len) - used, 0) != static_cast<long>(len) - used)
            return -1;
        if (sig.encodeToVector(der) < 1) return -6;
        return out->set(der.data(), static_cast<long>(der.size()), 0) == 1 ? 1 : 0;
    } catch (const std::bad_alloc&) {
        return -6;
    } catch (const QvException&) {
        return -1;
    }
}

unsigned ECPrivateKey::getPrivateKeyLength() const {
    long n = privateKey.getValueLength();
    return n > 0 ? static_cast<unsigned>(n) : 0;
}

unsigned ECPrivateKey::getKeySizeBits() const {
    if (wasParameters) return parameters.value.getFieldSizeBits();
    if (wasPublicKey) {
        ECPublicKey pub(0);
        const uint8_t* b = publicKey.value.getBits();
        long n = publicKey.value.getByteLength();
        if (b != nullptr && n > 0 && pub.setPoint(b, n, publicKey.value.getUnusedBits()) == 1)
            return pub.getKeySizeBits();
        return 0;
    }
    return 8u * getPrivateKeyLength();
}

int ECPrivateKey::getPublicPoint(ASNoctstr& out) const {
    if (!wasPublicKey) return 0;
    const uint8_t* b = publicKey.value.getBits();
    long n = publicKey.value.getByteLength();
    if (b == nullptr || n < 1 || publicKey.value.getUnusedBits() != 0) return 0;
    return out.set(b, n) == 1 ? 1 : 0;
}
