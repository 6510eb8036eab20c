// AlgorithmIdentifier and the algorithm OID tables.
#include "lib/libasn/x509/siganddigoid.h"

#include <new>

#include "keys/rsaparams.h"
#include "lib/libasn/asnoidconst.h"
#include "libtorvapp/qvcommon/qvexception.h"
#include "libtorvapp/qvgenerichash.h"
#include "support/vtest.h"
#include "support/lasting.h"

// ---------------------------------------------------------------------------
// OIDs of this file

namespace {

#define MIRTAL_ALG_OID_LIST(X)                          \
    X(ecPublicKey, "1.2.840.10045.2.1")                 \
    X(ecdsaWithSHA1, "1.2.840.10045.4.1")               \
    X(ecdsaWithSHA224, "1.2.840.10045.4.3.1")           \
    X(ecdsaWithSHA256, "1.2.840.10045.4.3.2")           \
    X(ecdsaWithSHA384, "1.2.840.10045.4.3.3")           \
    X(ecdsaWithSHA512, "1.2.840.10045.4.3.4")           \
    X(rsassaPss, "1.2.840.113549.1.1.10")               \
    X(rsaesOaep, "1.2.840.113549.1.1.7")                \
    X(mgf1, "1.2.840.113549.1.1.8")                     \
    X(pSpecified, "1.2.840.113549.1.1.9")               \
    X(ecDH, "1.3.132.1.12")                             \
    X(ecMQV, "1.3.132.1.13")                            \
    X(dhKeyAgreement, "1.2.840.113549.1.3.1")           \
    X(dhPublicNumber, "1.2.840.10046.2.1")              \
    X(keaAlgorithm, "2.16.840.1.101.2.1.1.22")          \
    X(gostR3410_2001, "1.2.643.2.2.19")                 \
    X(gostR3410_94, "1.2.643.2.2.20")                   \
    X(subjectKeyIdentifier, "2.5.29.14")                \
    X(keyUsage, "2.5.29.15")                            \
    X(basicConstraints, "2.5.29.19")

enum AlgOidIndex {
#define MIRTAL_ALG_OID_ENUM(name, text) kAlg_##name,
    MIRTAL_ALG_OID_LIST(MIRTAL_ALG_OID_ENUM)
#undef MIRTAL_ALG_OID_ENUM
    kAlgOidCount
};

const char* const kAlgOidTexts[kAlgOidCount] = {
#define MIRTAL_ALG_OID_TEXT(name, text) text,
    MIRTAL_ALG_OID_LIST(MIRTAL_ALG_OID_TEXT)
#undef MIRTAL_ALG_OID_TEXT
};

struct AlgOidTable {
    AlgOidTable() {
        for (int i = 0; i < kAlgOidCount; i++)
            if (objects[i].setText(kAlgOidTexts[i]) != 1) throw std::bad_alloc();
    }
    ASNobjectId objects[kAlgOidCount];
};

const ASNobjectId& algOid(int i) {
    static Lasting<AlgOidTable> t;
    return t->objects[i];
}

// The digest length of an id; an exception of the library is an assertion failure.
unsigned digestLength(unsigned hashId) {
    try {
        return QvGenericHash::getGenericHashOctets(hashId);
    } catch (const QvException& e) {
        AssertInvariant(0, "siganddigoid", 1, "0", e.what());
    }
    return 0;
}

void copyOid(ASNobjectId* out, const ASNobjectId& oid) {
    if (out != nullptr) *out = oid;
}

template <class T>
void put(T* p, T v) {
    if (p != nullptr) *p = v;
}

struct HashOidRow {
    unsigned hashId;
    const ASNobjectId& (*oid)();
};

}  // namespace

namespace algoid {
#define MIRTAL_ALG_OID_ACCESSOR(name, text) \
    const ASNobjectId& name() { return algOid(kAlg_##name); }
MIRTAL_ALG_OID_LIST(MIRTAL_ALG_OID_ACCESSOR)
#undef MIRTAL_ALG_OID_ACCESSOR
}  // namespace algoid

// ---------------------------------------------------------------------------
// AlgorithmIdentifier

AlgorithmIdentifier::AlgorithmIdentifier(uint32_t t)
    : ASNsequenceF(t), algorithm(0u), parameters(TAG_ANY), parametersPresent(0) {}

AlgorithmIdentifier::AlgorithmIdentifier(const AlgorithmIdentifier& o)
    : ASNsequenceF(o), algorithm(o.algorithm), parameters(TAG_ANY), parametersPresent(o.parametersPresent) {
    if (parametersPresent) parameters = o.parameters;
}

AlgorithmIdentifier& AlgorithmIdentifier::operator=(const AlgorithmIdentifier& o) {
    if (this == &o) return *this;
    assertNotConst("siganddigoid", 1, "!( flags & ASN_FLAG_CONST )");
    algorithm = o.algorithm;
    parametersPresent = o.parametersPresent;
    if (parametersPresent)
        parameters = o.parameters;
    else
        parameters.clear();
    return *this;
}

AlgorithmIdentifier::~AlgorithmIdentifier() = default;

void AlgorithmIdentifier::clear() {
    parametersPresent = 0;
    algorithm.clear();
    parameters.clear();
}

int AlgorithmIdentifier::read_contents(GenericFile* src, long len) {
    parametersPresent = 0;
    parameters.clear();
    if (len < 2) return 0;
    long r = algorithm.read(src, len, static_cast<uint8_t>(flags & ASN_FLAG_CONST));
    if (r < 1) return static_cast<int>(r);
    if (r >= len) return r == len ? 1 : 0;
    long r2 = parameters.read(src, len - r, 0);
    if (r2 < 1) return static_cast<int>(r2);
    parametersPresent = 1;
    return r + r2 == len ? 1 : 0;
}

int AlgorithmIdentifier::write_contents(GenericFile* dst) const {
    long r = algorithm.write(dst);
    if (r < 1) return static_cast<int>(r);
    if (parametersPresent) {
        r = parameters.write(dst);
        if (r < 1) return static_cast<int>(r);
    }
    return 1;
}

long AlgorithmIdentifier::lenOfBody() const {
    return algorithm.lenOfObject() + (parametersPresent ? parameters.lenOfObject() : 0);
}

void AlgorithmIdentifier::digest_contents(QvHash* hash) const {
    algorithm.digestObject(hash);
    if (parametersPresent) parameters.digestObject(hash);
}

int AlgorithmIdentifier::set(const ASNobjectId& oid, const ASNobject* params) {
    assertNotConst("siganddigoid", 1, "!( flags & ASN_FLAG_CONST )");
    if (&oid != &algorithm) algorithm = oid;
    if (params == nullptr) {
        parametersPresent = 0;
        parameters.clear();
        return 1;
    }
    if (params == &parameters) {
        parametersPresent = 1;
        return 1;
    }
    parametersPresent = 1;
    int r = parameters.convertFrom(*params);
    if (r != 1) parametersPresent = 0;
    return r;
}

int AlgorithmIdentifier::setOidText(const char* dottedOid, const ASNobject* params) {
    if (dottedOid == nullptr) return 0;
    ASNobjectId o;
    if (o.setText(dottedOid) != 1) return 0;
    return set(o, params);
}

int AlgorithmIdentifier::setNullParameters() {
    if (parameters.set(0x05, nullptr, 0) != 1) throw std::bad_alloc();
    parametersPresent = 1;
    return 1;
}

int AlgorithmIdentifier::setRsaEncryption() {
    algorithm = oid::rsaEncryption();
    return setNullParameters();
}

int AlgorithmIdentifier::setEcPublicKey(const ASNobject* ecParams) {
    if (ecParams == nullptr) {
        algorithm = algoid::ecPublicKey();
        return setNullParameters();
    }
    return set(algoid::ecPublicKey(), ecParams);
}

int AlgorithmIdentifier::setEcdsaSignature(unsigned hashId) {
    ASNobjectId o;
    if (HashToEcdsaSignatureOid(hashId, &o, nullptr) != 1) return 0;
    algorithm = o;
    return setNullParameters();
}

int AlgorithmIdentifier::setDsaSignature(unsigned hashId) {
    ASNobjectId o;
    if (HashToDsaSignatureOid(hashId, &o, nullptr) != 1) return 0;
    algorithm = o;
    return setNullParameters();
}

int AlgorithmIdentifier::setRsaSignature(unsigned hashId) {
    ASNobjectId o;
    if (HashToRsaSignatureOid(hashId, &o, nullptr) != 1) return 0;
    algorithm = o;
    return setNullParameters();
}

int AlgorithmIdentifier::setDigestAlgorithm(unsigned hashId) {
    if (hashId < 1 || hashId > 8) return 0;
    ASNobjectId o;
    if (HashToDigestOid(hashId, &o, nullptr) == nullptr) return 0;
    algorithm = o;
    return setNullParameters();
}

bool AlgorithmIdentifier::operator==(const AlgorithmIdentifier& o) const {
    if (!(algorithm == o.algorithm)) return false;
    if (parametersPresent != o.parametersPresent) return false;
    return !parametersPresent || parameters == o.parameters;
}

// ---------------------------------------------------------------------------
// Digest OIDs

namespace {

struct DigestRow {
    const ASNobjectId& (*oid)();
    unsigned hashId;
    const char* name;
};

const DigestRow kDigestRows[] = {
    {oid::md5, 8, "MD5"},
    {oid::id_sha1, 1, "SHA-1"},
    {oid::id_sha224, 2, "SHA-224"},
    {oid::id_sha256, 3, "SHA-256"},
    {oid::id_sha384, 4, "SHA-384"},
    {oid::id_sha512, 5, "SHA-512"},
    {oid::ripemd_160, 7, "RIPEMD-160"},
};

}  // namespace

const char* DigestOidToHash(const ASNobjectId& o, unsigned* digestLen, unsigned* hashId) {
    for (const DigestRow& row : kDigestRows) {
        if (row.oid() == o) {
            put(hashId, row.hashId);
            put(digestLen, digestLength(row.hashId));
            return row.name;
        }
    }
    return nullptr;
}

const char* HashToDigestOid(unsigned hashId, ASNobjectId* out, unsigned* digestLen) {
    // The length is looked up first: an id outside 1..8 is a caller's error.
    if (digestLen != nullptr) *digestLen = digestLength(hashId);
    for (const DigestRow& row : kDigestRows) {
        if (row.hashId == hashId) {
            copyOid(out, row.oid());
            return row.name;
        }
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// Signature OIDs

namespace {

const HashOidRow kRsaRows[] = {
    {8, oid::md5WithRSAEncryption},
    {1, oid::sha1WithRSAEncryption},
    {1, oid::sha1WithRSASignature},  // decoding only: hash 1 encodes as the row above
    {2, oid::sha224WithRSAEncryption},
    {3, oid::sha256WithRSAEncryption},
    {4, oid::sha384WithRSAEncryption},
    {5, oid::sha512WithRSAEncryption},
    {7, oid::rsaOAEPEncryptionSET},
};

const HashOidRow kDsaRows[] = {
    {1, oid::id_dsa_with_sha1},
    {7, oid::teletrust_1_3_36_8_5_1_2_2},
};

const HashOidRow kEcdsaRows[] = {
    {1, algoid::ecdsaWithSHA1},
    {2, algoid::ecdsaWithSHA224},
    {3, algoid::ecdsaWithSHA256},
    {4, algoid::ecdsaWithSHA384},
    {5, algoid::ecdsaWithSHA512},
};

template <size_t N>
int oidToHash(const HashOidRow (&rows)[N], const ASNobjectId& o, unsigned* digestLen, unsigned* hashId) {
    for (const HashOidRow& row : rows) {
        if (row.oid() == o) {
            put(hashId, row.hashId);
            put(digestLen, digestLength(row.hashId));
            return 1;
        }
    }
    return 0;
}

template <size_t N>
int hashToOid(const HashOidRow (&rows)[N], unsigned hashId, ASNobjectId* out, unsigned* digestLen) {
    for (const HashOidRow& row : rows) {
        if (row.hashId == hashId) {
            copyOid(out, row.oid());
            put(digestLen, digestLength(row.hashId));
            return 1;
        }
    }
    return 0;
}

}  // namespace

int RsaSignatureOidToHash(const ASNobjectId& o, unsigned* digestLen, unsigned* hashId) {
    return oidToHash(kRsaRows, o, digestLen, hashId);
}
int HashToRsaSignatureOid(unsigned hashId, ASNobjectId* out, unsigned* digestLen) {
    return hashToOid(kRsaRows, hashId, out, digestLen);
}
int DsaSignatureOidToHash(const ASNobjectId& o, unsigned* digestLen, unsigned* hashId) {
    return oidToHash(kDsaRows, o, digestLen, hashId);
}
int HashToDsaSignatureOid(unsigned hashId, ASNobjectId* out, unsigned* digestLen) {
    return hashToOid(kDsaRows, hashId, out, digestLen);
}
int EcdsaSignatureOidToHash(const ASNobjectId& o, unsigned* digestLen, unsigned* hashId) {
    return oidToHash(kEcdsaRows, o, digestLen, hashId);
}
int HashToEcdsaSignatureOid(unsigned hashId, ASNobjectId* out, unsigned* digestLen) {
    return hashToOid(kEcdsaRows, hashId, out, digestLen);
}

bool isEcdsaSignatureOid(const ASNobjectId& o) { return oidToHash(kEcdsaRows, o, nullptr, nullptr) == 1; }
bool isDsaSignatureOid(const ASNobjectId& o) { return oidToHash(kDsaRows, o, nullptr, nullptr) == 1; }
bool isRsaPssOid(const ASNobjectId& o) { return o == algoid::rsassaPss(); }
bool isRsaKeyOid(const ASNobjectId& o) {
    return o == oid::id_ea_rsa() || o == oid::rsaEncryption() || o == algoid::rsaesOaep() || isRsaPssOid(o);
}
bool isRsaSignatureOid(const ASNobjectId& o) { return oidToHash(kRsaRows, o, nullptr, nullptr) == 1; }
bool isRsaOrPssSignatureOid(const ASNobjectId& o) { return isRsaSignatureOid(o) || isRsaPssOid(o); }

int SignatureAlgorithmToHash(const AlgorithmIdentifier& alg, unsigned* hashId, unsigned* digestLen) {
    const ASNobjectId& o = alg.algorithm;
    if (RsaSignatureOidToHash(o, digestLen, hashId) == 1) return 1;
    if (DsaSignatureOidToHash(o, digestLen, hashId) == 1) return 1;
    if (EcdsaSignatureOidToHash(o, digestLen, hashId) == 1) return 1;
    unsigned h = 0;
    int64_t salt = 0;
    int selector = 0, mgfHash = 0, trailer = 0;
    if (GetRsaPssParams(alg, &h, &salt, &selector, &mgfHash, &trailer, nullptr) != 1) return 0;
    if (h < 1 || h > 8) return 0;
    put(hashId, h);
    put(digestLen, digestLength(h));
    return 1;
}

// ---------------------------------------------------------------------------
// RSA-PSS and RSA-OAEP parameters

int GetRsaPssParams(const AlgorithmIdentifier& alg, unsigned* hashId, int64_t* saltLen, int* mgfSelector,
                    int* mgfHashId, int* trailerField, uint8_t* parametersPresent) {
    if (!isRsaPssOid(alg.algorithm)) return 0;
    if (parametersPresent != nullptr)
        *parametersPresent = alg.parametersPresent;
    else if (!alg.parametersPresent)
        return 0;
    int hash = 1, selector = 0, mgfHash = 1, trailer = 1;
    int64_t salt = 20;
    if (alg.parametersPresent) {
        RsaPssParams p;
        if (p.assign(alg.parameters) != 1) return 0;
        hash = p.getHashId();
        selector = p.getMgfSelector();
        mgfHash = p.getMgfHashId();
        salt = p.getSaltLength();
        trailer = p.getTrailerField();
    }
    if (selector < 0 || hash <= 0 || mgfHash <= 0 || salt < 0) return 0;
    // A caller that does not ask for a value can only use its default.
    if (mgfSelector == nullptr && selector != 0) return 0;
    if (saltLen == nullptr && salt != 20) return 0;
    if (trailerField == nullptr && trailer != 1) return 0;
    put(hashId, static_cast<unsigned>(hash));
    put(saltLen, salt);
    put(mgfSelector, selector);
    put(mgfHashId, mgfHash);
    put(trailerField, trailer);
    return 1;
}

int GetRsaOaepParams(const AlgorithmIdentifier& alg, unsigned* hashId, int* mgfValue, int* mgfOut,
                     const uint8_t** label, long* labelLen) {
    if (!(alg.algorithm == algoid::rsaesOaep()) || !alg.parametersPresent) return 0;
    RsaOaepParams p;
    if (p.assign(alg.parameters) != 1) return 0;
    int h = p.getHashId();
    if (h <= 0) return 0;
    int sel = p.getMgfSelector();
    int mh = p.getMgfHashId();
    if (sel < 0 || mh < 0) return 0;
    // The label lives in the identifier's own parameters: find it there so that the
    // pointer outlives the temporary decode.
    const uint8_t* lp = nullptr;
    long ll = 0;
    if (p.getLabel(&ll) != nullptr && ll > 0) {
        const uint8_t* base = alg.parameters.getData();
        long n = alg.parameters.getLength();
        const uint8_t* want = p.getLabel(&ll);
        for (long i = 0; base != nullptr && i + ll <= n; i++) {
            bool same = true;
            for (long k = 0; k < ll && same; k++) same = base[i + k] == want[k];
            if (same) {
                lp = base + i;
                break;
            }
        }
        if (lp == nullptr) return 0;
    } else {
        ll = 0;
    }
    put(hashId, static_cast<unsigned>(h));
    put(mgfValue, sel);
    put(mgfOut, mh);
    put(label, lp);
    put(labelLen, ll);
    return 1;
}

// ---------------------------------------------------------------------------
// Key algorithms and ciphers

const ASNobjectId* KeyAlgorithmOid(int id) {
    switch (id) {
        case 1: return &oid::rsaEncryption();
        case 2: return &oid::id_dsa();
        case 3: return &algoid::ecPublicKey();
        case 4: return &algoid::rsassaPss();
        case 5: return &algoid::rsaesOaep();
        case 51: return &algoid::ecDH();
        case 52: return &algoid::ecMQV();
        case 101: return &algoid::dhKeyAgreement();
        case 102: return &algoid::dhPublicNumber();
        case 201: return &algoid::keaAlgorithm();
        case 202: return &algoid::gostR3410_94();
        case 203: return &algoid::gostR3410_2001();
        default: return nullptr;
    }
}

namespace {

struct CipherRow {
    const ASNobjectId& (*oid)();
    unsigned block;
    int cipherId;  // -1: none
    int keyLen;    // -1: none
    unsigned derived;
    const char* name;
};

const CipherRow kCipherRows[] = {
    {oid::desCBC, 8, 3, 8, 0, "DES"},
    {oid::des_EDE3_CBC, 8, 4, 24, 0, "DES-EDE"},
    {oid::aes128_CBC, 16, 1, 16, 0, "AES-128"},
    {oid::aes192_CBC, 16, 1, 24, 0, "AES-192"},
    {oid::aes256_CBC, 16, 1, 32, 0, "AES-256"},
    {oid::rsadsi_encryptionAlgorithm_40, 8, 5, 24, 0, "DES-EEE"},
    {oid::rsadsi_encryptionAlgorithm_41, 8, 6, 40, 0, "DES-XEEEX"},
    {oid::enterprise_4_3, 8, -1, 32, 0, "NASZ1"},
    {oid::enterprise_4_5, 8, 4, 24, 1, "DES-EDE"},
    {oid::enterprise_4_6, 8, 5, 24, 1, "DES-EEE"},
    {oid::enterprise_4_7, 8, 6, 40, 1, "DES-XEEEX"},
    {oid::rc2CBC, 8, 7, -1, 0, "RC2"},
};

}  // namespace

const char* CipherOidToParams(const ASNobjectId& o, unsigned* blockSize, unsigned* cipherId,
                              unsigned* derivedFlag, unsigned* keyLen) {
    put(derivedFlag, 0u);
    for (const CipherRow& row : kCipherRows) {
        if (!(row.oid() == o)) continue;
        // A cipher without an id, or without a fixed key length, cannot answer the
        // value asked for.
        if (cipherId != nullptr && row.cipherId < 0) return nullptr;
        if (keyLen != nullptr && row.keyLen < 0) return nullptr;
        put(blockSize, row.block);
        if (row.cipherId >= 0) put(cipherId, static_cast<unsigned>(row.cipherId));
        if (row.keyLen >= 0) put(keyLen, static_cast<unsigned>(row.keyLen));
        put(derivedFlag, row.derived);
        return row.name;
    }
    return nullptr;
}
