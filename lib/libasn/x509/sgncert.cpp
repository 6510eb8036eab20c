// X.509 Certificate.
#include "lib/libasn/x509/sgncert.h"

#include <atomic>
#include <cstring>
#include <new>

#include "keys/intseq.h"
#include "keys/rsaparams.h"
#include "lib/libasn/asnoidconst.h"
#include "libtorvapp/qvgenerichash.h"
#include "support/b64file.h"
#include "support/memfile.h"
#include "keys/rsaprkey.h"
#include "keys/dsaprkey.h"
#include "keys/ecprvkey.h"

namespace {

// Read and written without a lock; atomic so that a reader installed while other
// threads decode is seen whole.
std::atomic<SignedCertificateReader> g_readHook{nullptr};

const char kBegin[] = "-----BEGIN CERTIFICATE-----";
const char kEnd[] = "-----END CERTIFICATE-----";

const char* findText(const char* hay, size_t hayLen, const char* needle) {
    size_t n = std::strlen(needle);
    if (hayLen < n) return nullptr;
    for (size_t i = 0; i + n <= hayLen; i++)
        if (hay[i] == needle[0] && std::memcmp(hay + i, needle, n) == 0) return hay + i;
    return nullptr;
}

}  // namespace

SignedCertificate::SignedCertificate() : ASNsequenceF(0), signatureAlgorithm(0u), signature(0) {}

SignedCertificate::SignedCertificate(const SignedCertificate& o)
    : ASNsequenceF(o), tbsCertificate(o.tbsCertificate), signatureAlgorithm(o.signatureAlgorithm),
      signature(o.signature) {}

SignedCertificate& SignedCertificate::operator=(const SignedCertificate& o) {
    if (this == &o) return *this;
    assertNotConst("sgncert", 1, "!( flags & ASN_FLAG_CONST )");
    tbsCertificate = o.tbsCertificate;
    signatureAlgorithm = o.signatureAlgorithm;
    signature = o.signature;
    return *this;
}

SignedCertificate::~SignedCertificate() = default;

long SignedCertificate::read(GenericFile* src, long maxLen, uint8_t rflags) {
    SignedCertificateReader hook = g_readHook.load(std::memory_order_acquire);
    if (hook != nullptr) return hook(this, src, maxLen, rflags);
    return ASNobject::read(src, maxLen, rflags);
}

void SignedCertificate::clear() {
    tbsCertificate.clear();
    signatureAlgorithm.clear();
    signature.clear();
}

int SignedCertificate::read_contents(GenericFile* src, long len) {
    uint8_t f = static_cast<uint8_t>(flags & ASN_FLAG_CONST);
    if (len < 2) return 0;
    long used = tbsCertificate.read(src, len, f);
    if (used < 1) return static_cast<int>(used);
    if (len - used < 2) return 0;
    long r = signatureAlgorithm.read(src, len - used, f);
    if (r < 1) return static_cast<int>(r);
    used += r;
    if (len - used < 2) return 0;
    r = signature.read(src, len - used, f);
    if (r < 1) return static_cast<int>(r);
    used += r;
    return used == len ? 1 : 0;
}

int SignedCertificate::write_contents(GenericFile* dst) const {
    long r = tbsCertificate.write(dst);
    if (r < 1) return static_cast<int>(r);
    r = signatureAlgorithm.write(dst);
    if (r < 1) return static_cast<int>(r);
    r = signature.write(dst);
    return r < 1 ? static_cast<int>(r) : 1;
}

long SignedCertificate::lenOfBody() const {
    return tbsCertificate.lenOfObject() + signatureAlgorithm.lenOfObject() + signature.lenOfObject();
}

void SignedCertificate::digest_contents(QvHash* hash) const {
    tbsCertificate.digestObject(hash);
    signatureAlgorithm.digestObject(hash);
    signature.digestObject(hash);
}

// ---------------------------------------------------------------------------
// PEM

int SignedCertificate::setReadHook(SignedCertificateReader fn) {
    g_readHook.store(fn, std::memory_order_release);
    return 1;
}

int SignedCertificate::enablePemInput() { return setReadHook(&SignedCertificate::readPemOrDer); }

long SignedCertificate::readPemOrDer(SignedCertificate* cert, GenericFile* src, long maxLen, uint8_t rflags) {
    if (cert == nullptr || src == nullptr) return EASN_FILE;
    int64_t start = src->Tell();
    long r = cert->ASNobject::read(src, maxLen, rflags);
    if (r != 0 || start < 0) return r;

    if (src->Seek(static_cast<long>(start)) != 0) return EASN_FILE;
    MemFile text;
    size_t copied = 0;
    int16_t cr = src->CopyTo(&text, maxLen > 0 ? static_cast<size_t>(maxLen) : ~static_cast<size_t>(0), &copied);
    if (cr == -2) return 0;
    if (cr != 0) return EASN_FILE;
    static const char nul = 0;
    if (text.Write(1, &nul) != 0) return 0;
    const char* base = reinterpret_cast<const char*>(text.GetData());
    size_t n = copied;
    const char* b = findText(base, n, kBegin);
    if (b == nullptr) return 0;
    const char* b64 = b + std::strlen(kBegin);
    const char* e = findText(b64, n - static_cast<size_t>(b64 - base), kEnd);
    if (e == nullptr) return 0;
    long textLen = static_cast<long>(e - b64);
    if (textLen < 4) return 0;
    if (text.Seek(static_cast<long>(b64 - base)) != 0) return 0;

    Base64File view(&text, 64, static_cast<size_t>(textLen));
    // The decoded size is at most three quarters of the text.
    long d = cert->ASNobject::read(&view, textLen, 0);
    if (d < 1) {
        cert->clear();
        return d == EASN_MEM ? EASN_MEM : 0;
    }
    // Nothing but padding and white space may follow the certificate in the armour.
    uint8_t extra;
    size_t got = 0;
    if (view.Read(1, &extra, &got) != 0 || got != 0) {
        cert->clear();
        return 0;
    }
    long consumed = static_cast<long>((e - base) + static_cast<long>(std::strlen(kEnd)));
    if (src->Seek(static_cast<long>(start + consumed)) != 0) return EASN_FILE;
    return consumed;
}

// ---------------------------------------------------------------------------

bool SignedCertificate::operator==(const SignedCertificate& o) const {
    if (!(signature == o.signature) || !(signatureAlgorithm == o.signatureAlgorithm)) return false;
    std::vector<uint8_t> a, b;
    if (tbsCertificate.encodeToVector(a) < 1 || o.tbsCertificate.encodeToVector(b) < 1) return false;
    return a == b;
}

bool SignedCertificate::isCA() const {
    BasicConstraints bc;
    if (tbsCertificate.extensions.value.getExtensionValue(algoid::basicConstraints(), &bc) != 1) return false;
    return bc.cA.isTrue();
}

const uint8_t* SignedCertificate::signatureOctets(uint32_t* len) const {
    long n = signature.getByteLength();
    if (len != nullptr) *len = n > 0 ? static_cast<uint32_t>(n) : 0;
    return n > 0 ? signature.getBits() : nullptr;
}

int SignedCertificate::signedDigest(uint8_t* out, unsigned* len, unsigned* hashId) const {
    if (SignatureAlgorithmToHash(signatureAlgorithm, hashId, len) != 1) return 0;
    return tbsCertificate.digestReceived(*hashId, out, 64);
}

namespace {

// Both identifiers get the same value: a certificate whose signed identifier differs
// from the outer one is refused by verification.
void setSignatureIds(SignedCertificate& c, const AlgorithmIdentifier& id) {
    c.signatureAlgorithm = id;
    c.tbsCertificate.signature = id;
    c.tbsCertificate.forgetReceived();
}

}  // namespace

namespace {

// The RSA private-key results as signing results.
int rsaSigningResult(int r) {
    switch (r) {
        case RSAPrivateKey::kSuccess: return 1;
        case RSAPrivateKey::kBadArgument: return 0;
        case RSAPrivateKey::kBadHash: return -1;
        case RSAPrivateKey::kNoOutput: return -6;
        default: return -3;
    }
}

}  // namespace

int SignedCertificate::signRsa(RSAPrivateKey& key, unsigned hashId, QvRbg* rbg) {
    AlgorithmIdentifier id;
    if (id.setRsaSignature(hashId) != 1) return -1;
    if (rbg == nullptr) return -3;
    setSignatureIds(*this, id);
    uint8_t d[64];
    unsigned len = 0;
    HashToRsaSignatureOid(hashId, nullptr, &len);
    tbsCertificate.digest(hashId, d, sizeof d);
    MemFile out;
    const int r = rsaSigningResult(key.signPkcsV15(d, len, hashId, rbg, out));
    if (r != 1) return r;
    if (signature.set(out.GetData(), static_cast<long>(out.Size()), 0) != 1) return -6;
    return 1;
}

int SignedCertificate::signRsaPss(RSAPrivateKey& key, unsigned hashId, QvRbg* rbg, int mgfSelector,
                                  unsigned mgfHashId, unsigned saltLength) {
    RsaPssParams params;
    AlgorithmIdentifier id;
    if (hashId < 1 || hashId > 8 || params.set(hashId, mgfSelector, mgfHashId, saltLength, 1) == 0 ||
        id.set(algoid::rsassaPss(), &params) != 1)
        return -1;
    if (rbg == nullptr) return -3;
    setSignatureIds(*this, id);
    uint8_t d[64];
    unsigned len = QvGenericHash::getGenericHashOctets(hashId);
    tbsCertificate.digest(hashId, d, sizeof d);
    MemFile out;
    int r;
    if (saltLength != 0) {
        r = key.signPss(d, len, hashId, rbg, out, mgfSelector, mgfHashId, saltLength);
    } else {
        // The key's PSS signing takes a salt length of 0 for the digest's: an empty
        // salt is encoded here and signed as a raw value.
        if (mgfSelector != 0) return -1;
        MemFile em;
        r = RSAPrivateKey::emsaPssEncode(keyIntegerBits(key.modulus), d, len, em, hashId, 0, mgfHashId, nullptr, 0);
        if (r == RSAPrivateKey::kSuccess) r = key.signRaw(em.GetData(), static_cast<unsigned>(em.Size()), rbg, out);
    }
    r = rsaSigningResult(r);
    if (r != 1) return r;
    if (signature.set(out.GetData(), static_cast<long>(out.Size()), 0) != 1) return -6;
    return 1;
}

int SignedCertificate::signRsaPss(RSAPrivateKey& key, unsigned hashId, QvRbg* rbg) {
    if (hashId < 1 || hashId > 8) return -1;
    return signRsaPss(key, hashId, rbg, 0, hashId, QvGenericHash::getGenericHashOctets(hashId));
}

int SignedCertificate::signDsa(DSAPrivateKey& key, unsigned hashId, QvRbg* rbg) {
    AlgorithmIdentifier id;
    if (id.setDsaSignature(hashId) != 1) return -3;
    setSignatureIds(*this, id);
    uint8_t d[64];
    unsigned len = 0;
    HashToDsaSignatureOid(hashId, nullptr, &len);
    tbsCertificate.digest(hashId, d, sizeof d);
    DSASignature sig;
    switch (key.signWithHash(d, len, hashId, sig, rbg)) {
        case DSAPrivateKey::kSigned: break;
        case DSAPrivateKey::kBadDigest: return -3;
        case DSAPrivateKey::kKeyFailure: return -1;
        case DSAPrivateKey::kRbgFailure: return -2;
        default: return 0;
    }
    std::vector<uint8_t> der;
    if (sig.encodeToVector(der) < 1) return -2;
    if (signature.set(der.data(), static_cast<long>(der.size()), 0) != 1) return 0;
    return 1;
}

int SignedCertificate::signEcdsa(ECPrivateKey& key, const ECDomainParameters* domain, unsigned hashId,
                                 QvRbg* rbg) {
    int t = ECDomainParameters::kNone;
    if (domain != nullptr)
        t = domain->getType();
    else if (key.hasDomainParameters())
        t = key.getDomainParameters().getType();
    if (t != ECDomainParameters::kSpecified && t != ECDomainParameters::kNamedCurve) return -4;
    // A domain given here is signed over in its explicit form.
    ECSpecifiedDomain explicitDomain(0x30);
    if (domain != nullptr) {
        try {
            if (t == ECDomainParameters::kSpecified)
                explicitDomain = domain->specified;
            else if (explicitDomain.setFromKeyDomain(domain->getKeyDomain()) != 1)
                return -4;
        } catch (const std::bad_alloc&) {
            return -4;
        }
    }
    AlgorithmIdentifier id;
    if (id.setEcdsaSignature(hashId) != 1) return -1;
    setSignatureIds(*this, id);
    int r = domain != nullptr
                ? key.signObjectWithDomainToBitString(explicitDomain, &tbsCertificate, hashId, rbg, signature)
                : key.signObjectToBitString(&tbsCertificate, hashId, rbg, signature);
    switch (r) {
        case ECPrivateKey::kSigned: return 1;
        case ECPrivateKey::kNotStored: return 0;
        case ECPrivateKey::kBadDigestLength: return -1;
        case ECPrivateKey::kNoDomain:
        case ECPrivateKey::kDomainNotBuilt: return -4;
        default: return -3;
    }
}

int SignedCertificate::verifyRsa(const RSAPublicKey& key) const {
    if (!(tbsCertificate.signature.algorithm == signatureAlgorithm.algorithm)) return -2;
    if (signature.getContents() == nullptr || signature.getByteLength() + 1 < 2) return -1;
    uint8_t d[64];
    unsigned len = 0, hashId = 0;
    if (signedDigest(d, &len, &hashId) != 1) return -3;
    uint32_t sl = 0;
    const uint8_t* s = signatureOctets(&sl);
    int r = key.verifyDigest(d, len, signatureAlgorithm, s, sl);
    switch (r) {
        case RSAPublicKey::kValid: return 1;
        case RSAPublicKey::kKeyFailure: return -4;
        case RSAPublicKey::kUnsupported: return -3;
        default: return -1;
    }
}

int SignedCertificate::verifyDsa(const DSAPublicKey& key, const DSAParameters* params) const {
    if (!isDsaSignatureOid(signatureAlgorithm.algorithm)) return -2;
    if (!(tbsCertificate.signature.algorithm == signatureAlgorithm.algorithm)) return -3;
    uint32_t sl = 0;
    const uint8_t* s = signatureOctets(&sl);
    if (s == nullptr) return -1;
    DSASignature sig;
    if (sig.readBuffer(s, static_cast<long>(sl), 0) != static_cast<long>(sl)) return -1;
    uint8_t d[64];
    unsigned len = 0, hashId = 0;
    if (signedDigest(d, &len, &hashId) != 1) return -2;
    switch (key.verifyWithHash(d, len, hashId, params, sig)) {
        case 0: return 1;
        case 1: return -1;
        case 2: return -4;
        case 3: return -2;
        default: AssertInvariant(0, "sgncert", 1, "false", nullptr);
    }
    return -1;
}

int SignedCertificate::verifyEcdsa(const ECPublicKey& key, const ECDomainParameters& domain) const {
    int t = domain.getType();
    if (t != ECDomainParameters::kSpecified && t != ECDomainParameters::kNamedCurve) return -2;
    if (!(tbsCertificate.signature.algorithm == signatureAlgorithm.algorithm)) return -3;
    // The point's size must be the field's.
    const unsigned fieldBits = domain.getFieldSizeBits(), pointBits = key.getKeySizeBits();
    if (fieldBits == 0 || pointBits == 0 || (fieldBits + 7) / 8 != pointBits / 8) return -4;
    uint32_t sl = 0;
    const uint8_t* s = signatureOctets(&sl);
    if (s == nullptr) return -1;
    DSASignature sig;
    long r = sig.readBuffer(s, static_cast<long>(sl), 0);
    if (r == EASN_MEM || r == EASN_FILE) return 0;
    if (r != static_cast<long>(sl)) return -1;
    uint8_t d[64];
    unsigned len = 0, hashId = 0;
    if (signedDigest(d, &len, &hashId) != 1) return -2;
    ECPublicKey bound(key);
    if (bound.setDomain(domain) != 1) return -2;
    switch (bound.verify(d, len, signatureAlgorithm.algorithm, sig)) {
        case 1: return 1;
        case -2:
        case -3: return -2;
        case -4: return -4;
        default: return -1;
    }
}

int SignedCertificate::verifyWithKeyInfo(const SubPubKeyInfo& keyInfo) const {
    uint32_t sl = 0;
    const uint8_t* s = signatureOctets(&sl);
    if (s == nullptr || sl == 0) return -3;
    // The identifier inside the signed part must be the one the signature claims;
    // otherwise an attacker could choose the algorithm.
    if (!(tbsCertificate.signature == signatureAlgorithm)) return -3;
    int r;
    const std::vector<uint8_t>& rx = tbsCertificate.receivedEncoding();
    if (!rx.empty() && rx.size() <= 0xFFFFFFFFu)
        r = keyInfo.verifyData(signatureAlgorithm, rx.data(), static_cast<uint32_t>(rx.size()), s, sl);
    else
        r = keyInfo.verifyObject(signatureAlgorithm, tbsCertificate, s, sl);
    switch (r) {
        case 1: return 1;
        case -1: return -2;
        case -2: return 0;
        case -3: return -1;
        case -4: return -4;
        default: return -3;
    }
}

int SignedCertificate::verifyWithIssuer(const SignedCertificate& issuer) const {
    return verifyWithKeyInfo(issuer.tbsCertificate.subjectPublicKeyInfo);
}

int SignedCertificate::verifySelfSigned() const { return verifyWithIssuer(*this); }
