#include "lib/libpkcs15/asnpkcs15recordinfo.h"

#include <cstring>
#include <new>

#include "keys/rsaprkey.h"
#include "lib/libpkcs15/asnpkcs15common.h"
#include "support/textutil.h"
#include "support/vtest.h"

namespace asnp15 {

int readContextIntegers(GenericFile* src, long len, const Member* m, size_t n) {
    return readElements(src, len, 0, static_cast<int>(n), [&](const ASNany& el) {
        return takeInOrder(m, n, (el.tag & 0xDF) - 0x80, el);
    });
}

}  // namespace asnp15

// ---------------------------------------------------------------------------
// RecordInfo

ASNPkcs15RecordInfo::ASNPkcs15RecordInfo(uint32_t t)
    : ASNsequenceF(t), oDFRecordLength(0x80), prKDFRecordLength(0x81), puKDFRecordLength(0x82),
      sKDFRecordLength(0x83), cDFRecordLength(0x84), dODFRecordLength(0x85), aODFRecordLength(0x86) {
    std::memset(present, 0, sizeof present);
}

ASNPkcs15RecordInfo::ASNPkcs15RecordInfo(const ASNPkcs15RecordInfo& o) : ASNPkcs15RecordInfo(0x30) {
    tag = o.tag;
    *this = o;
}

ASNPkcs15RecordInfo::~ASNPkcs15RecordInfo() = default;

void ASNPkcs15RecordInfo::components(ASNinteger** m) {
    m[0] = &oDFRecordLength;
    m[1] = &prKDFRecordLength;
    m[2] = &puKDFRecordLength;
    m[3] = &sKDFRecordLength;
    m[4] = &cDFRecordLength;
    m[5] = &dODFRecordLength;
    m[6] = &aODFRecordLength;
}

std::array<asnp15::Member, 7> ASNPkcs15RecordInfo::members() const {
    auto* t = const_cast<ASNPkcs15RecordInfo*>(this);
    ASNinteger* c[7];
    t->components(c);
    return asnp15::contextIntegers<7>(c, t->present);
}

int ASNPkcs15RecordInfo::read_contents(GenericFile* src, long len) {
    clear();
    const auto m = members();
    return asnp15::readContextIntegers(src, len, m.data(), m.size());
}

int ASNPkcs15RecordInfo::write_contents(GenericFile* dst) const { return asnp15::writeMembers(dst, members()); }

long ASNPkcs15RecordInfo::lenOfBody() const { return asnp15::lenOfMembers(members()); }

void ASNPkcs15RecordInfo::digest_contents(QvHash* hash) const { asnp15::digestMembers(hash, members()); }

void ASNPkcs15RecordInfo::clear() {
    ASNinteger* m[7];
    components(m);
    for (int k = 0; k < 7; k++) {
        m[k]->clear();
        present[k] = 0;
    }
}

ASNPkcs15RecordInfo& ASNPkcs15RecordInfo::operator=(const ASNPkcs15RecordInfo& o) {
    AssertInvariant((flags & ASN_FLAG_CONST) == 0, "asnpkcs15recordinfo", 60, "!( flags & ASN_FLAG_CONST )");
    if (this == &o) return *this;
    ASNinteger* m[7];
    components(m);
    ASNinteger* s[7];
    const_cast<ASNPkcs15RecordInfo&>(o).components(s);
    for (int k = 0; k < 7; k++) {
        present[k] = o.present[k];
        if (present[k]) *m[k] = *s[k];
    }
    return *this;
}

bool ASNPkcs15RecordInfo::operator==(const ASNPkcs15RecordInfo& o) const {
    ASNinteger* a[7];
    ASNinteger* b[7];
    const_cast<ASNPkcs15RecordInfo*>(this)->components(a);
    const_cast<ASNPkcs15RecordInfo&>(o).components(b);
    for (int k = 0; k < 7; k++) {
        if (present[k] != o.present[k]) return false;
        if (present[k] && !(*a[k] == *b[k])) return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// RSA private-key object

ASNPkcs15RSAPrivateKeyObject::ASNPkcs15RSAPrivateKeyObject(uint32_t t)
    : ASNsequenceF(t), modulus(0x80), publicExponent(0x81), privateExponent(0x82), prime1(0x83), prime2(0x84),
      exponent1(0x85), exponent2(0x86), coefficient(0x87) {
    std::memset(present, 0, sizeof present);
}

ASNPkcs15RSAPrivateKeyObject::ASNPkcs15RSAPrivateKeyObject(const ASNPkcs15RSAPrivateKeyObject& o)
    : ASNPkcs15RSAPrivateKeyObject(0x30) {
    tag = o.tag;
    *this = o;
}

namespace {
// Key components are wiped before their buffers go back to the heap.
void wipeInteger(ASNinteger& i) {
    uint8_t* p = const_cast<uint8_t*>(i.getData());
    if (p != nullptr && !i.isConstant() && i.getSegmentCount() == 0) SecureZero(p, static_cast<size_t>(i.getValueLength()));
    i.clear();
}
}  // namespace

ASNPkcs15RSAPrivateKeyObject::~ASNPkcs15RSAPrivateKeyObject() {
    for (int k = 0; k < 8; k++) wipeInteger(*component(k));
}

ASNinteger* ASNPkcs15RSAPrivateKeyObject::component(int k) {
    ASNinteger* m[8] = {&modulus, &publicExponent, &privateExponent, &prime1,
                        &prime2,  &exponent1,      &exponent2,       &coefficient};
    return k >= 0 && k < 8 ? m[k] : nullptr;
}

const ASNinteger* ASNPkcs15RSAPrivateKeyObject::component(int k) const {
    return const_cast<ASNPkcs15RSAPrivateKeyObject*>(this)->component(k);
}

std::array<asnp15::Member, 8> ASNPkcs15RSAPrivateKeyObject::members() const {
    auto* t = const_cast<ASNPkcs15RSAPrivateKeyObject*>(this);
    ASNinteger* c[8];
    for (int k = 0; k < 8; k++) c[k] = t->component(k);
    return asnp15::contextIntegers<8>(c, t->present);
}

int ASNPkcs15RSAPrivateKeyObject::read_contents(GenericFile* src, long len) {
    clear();
    const auto m = members();
    return asnp15::readContextIntegers(src, len, m.data(), m.size());
}

int ASNPkcs15RSAPrivateKeyObject::write_contents(GenericFile* dst) const {
    return asnp15::writeMembers(dst, members());
}

long ASNPkcs15RSAPrivateKeyObject::lenOfBody() const { return asnp15::lenOfMembers(members()); }

void ASNPkcs15RSAPrivateKeyObject::digest_contents(QvHash* hash) const { asnp15::digestMembers(hash, members()); }

void ASNPkcs15RSAPrivateKeyObject::clear() {
    for (int k = 0; k < 8; k++) {
        wipeInteger(*component(k));
        present[k] = 0;
    }
}

int ASNPkcs15RSAPrivateKeyObject::setComponents(const uint8_t* n, long nLen, const uint8_t* e, long eLen,
                                                const uint8_t* d, long dLen, const uint8_t* p, long pLen,
                                                const uint8_t* q, long qLen, const uint8_t* dp, long dpLen,
                                                const uint8_t* dq, long dqLen, const uint8_t* qi, long qiLen) {
    const uint8_t* data[8] = {n, e, d, p, q, dp, dq, qi};
    long lens[8] = {nLen, eLen, dLen, pLen, qLen, dpLen, dqLen, qiLen};
    for (int k = 0; k < 8; k++) {
        if (data[k] != nullptr && lens[k] > 0) {
            if (component(k)->setUnsigned(data[k], lens[k]) != 1) return 0;
            present[k] = 1;
        } else {
            present[k] = 0;
        }
    }
    return 1;
}

int ASNPkcs15RSAPrivateKeyObject::isComplete() const {
    for (int k = 0; k < 8; k++)
        if (!present[k]) return 0;
    return 1;
}

namespace {
// The key's members in the order of the record's components.
void keyComponents(RSAPrivateKey& key, ASNinteger** m) {
    m[0] = &key.modulus;
    m[1] = &key.publicExponent;
    m[2] = &key.privateExponent;
    m[3] = &key.prime1;
    m[4] = &key.prime2;
    m[5] = &key.exponent1;
    m[6] = &key.exponent2;
    m[7] = &key.coefficient;
}
}  // namespace

int ASNPkcs15RSAPrivateKeyObject::setFromKey(const RSAPrivateKey& key) {
    AssertInvariant((flags & ASN_FLAG_CONST) == 0, "asnpkcs15rsaprivatekeyobject", 60, "!( flags & ASN_FLAG_CONST )");
    ASNinteger* from[8];
    keyComponents(const_cast<RSAPrivateKey&>(key), from);
    for (int k = 0; k < 8; k++) {
        // An empty INTEGER would be written as a malformed element.
        const long n = from[k]->getValueLength();
        if (n <= 0) {
            wipeInteger(*component(k));
            present[k] = 0;
            continue;
        }
        if (component(k)->set(from[k]->getData(), n) != 1) {
            clear();
            return EASN_MEM;
        }
        present[k] = 1;
    }
    return 1;
}

int ASNPkcs15RSAPrivateKeyObject::toKey(RSAPrivateKey& key) const {
    if (!isComplete()) return 0;
    ASNinteger* to[8];
    keyComponents(key, to);
    for (int k = 0; k < 8; k++) {
        const ASNinteger* from = component(k);
        const int r = to[k]->set(from->getData(), from->getValueLength());
        key.cacheValid = 0;
        if (r != 1) {
            for (ASNinteger* i : to) i->clear();
            return EASN_MEM;
        }
    }
    return 1;
}

ASNPkcs15RSAPrivateKeyObject& ASNPkcs15RSAPrivateKeyObject::operator=(const ASNPkcs15RSAPrivateKeyObject& o) {
    AssertInvariant((flags & ASN_FLAG_CONST) == 0, "asnpkcs15rsaprivatekeyobject", 60, "!( flags & ASN_FLAG_CONST )");
    if (this == &o) return *this;
    for (int k = 0; k < 8; k++) {
        present[k] = o.present[k];
        if (present[k]) *component(k) = *o.component(k);
    }
    return *this;
}

bool ASNPkcs15RSAPrivateKeyObject::operator==(const ASNPkcs15RSAPrivateKeyObject& o) const {
    for (int k = 0; k < 8; k++) {
        if (present[k] != o.present[k]) return false;
        if (present[k] && !(*component(k) == *o.component(k))) return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// RSA public-key choice

ASNPkcs15RSAPublicKeyChoice::ASNPkcs15RSAPublicKeyChoice(uint32_t t)
    : ASNchoice(t), raw(0x30), spki(0xA1), m_fromSpki(0x30) {
    spki.flags |= ASN_FLAG_CLASSTAG;
    getObjectList();
}

ASNPkcs15RSAPublicKeyChoice::ASNPkcs15RSAPublicKeyChoice(const ASNPkcs15RSAPublicKeyChoice& o)
    : ASNchoice(o), raw(o.raw), spki(o.spki), m_fromSpki(0x30) {
    getObjectList();
}

ASNPkcs15RSAPublicKeyChoice::~ASNPkcs15RSAPublicKeyChoice() = default;

ASNobject** ASNPkcs15RSAPublicKeyChoice::getObjectList() {
    m_list[0] = &raw;
    m_list[1] = &spki;
    m_list[2] = nullptr;
    return m_list;
}

RSAPublicKey* ASNPkcs15RSAPublicKeyChoice::getRSAPublicKey() {
    int i = getChosenIndex();
    if (i == 0) return &raw;
    if (i == 1 && spki.isRsaKey()) {
        m_fromSpki.clear();
        if (spki.getPublicKey(&m_fromSpki, nullptr) == 1) return &m_fromSpki;
    }
    return nullptr;
}

int ASNPkcs15RSAPublicKeyChoice::setRaw(const ASNinteger* modulus, const ASNinteger* publicExponent) {
    if (modulus != nullptr) raw.setModulus(*modulus);
    if (publicExponent != nullptr) raw.setPublicExponent(*publicExponent);
    chooseByIndex(0);
    return 1;
}

int ASNPkcs15RSAPublicKeyChoice::setRawBytes(const uint8_t* modulus, long modulusLen, const uint8_t* exponent,
                                             long exponentLen) {
    if (modulus != nullptr && raw.setModulusBytes(modulus, modulusLen) != 1) return 0;
    if (exponent != nullptr && raw.setPublicExponentBytes(exponent, exponentLen) != 1) return 0;
    chooseByIndex(0);
    return 1;
}

int ASNPkcs15RSAPublicKeyChoice::setRSAPublicKey(const RSAPublicKey& key) {
    raw = key;
    if (spki.setRsaPublicKey(key) != 1) return 0;
    chooseByIndex(0);
    return 1;
}

ASNPkcs15RSAPublicKeyChoice& ASNPkcs15RSAPublicKeyChoice::operator=(const RSAPublicKey& key) {
    raw = key;
    chooseByIndex(0);
    return *this;
}

ASNPkcs15RSAPublicKeyChoice& ASNPkcs15RSAPublicKeyChoice::operator=(const ASNPkcs15RSAPublicKeyChoice& o) {
    if (this != &o) ASNchoice::operator=(o);
    return *this;
}

// ---------------------------------------------------------------------------
// Security-environment info

ASNPkcs15SecEnvInfo::ASNPkcs15SecEnvInfo(uint32_t t)
    : ASNsequenceF(t), se(0x02), owner(0x06), aid(0x04), wasOwner(0), wasAid(0) {}

ASNPkcs15SecEnvInfo::ASNPkcs15SecEnvInfo(const ASNPkcs15SecEnvInfo& o) : ASNPkcs15SecEnvInfo(0x30) {
    tag = o.tag;
    *this = o;
}

ASNPkcs15SecEnvInfo::~ASNPkcs15SecEnvInfo() = default;

std::array<asnp15::Member, 3> ASNPkcs15SecEnvInfo::members() const {
    auto* t = const_cast<ASNPkcs15SecEnvInfo*>(this);
    return {{{&t->se, nullptr, 0}, {&t->owner, &t->wasOwner, 0}, {&t->aid, &t->wasAid, 0}}};
}

int ASNPkcs15SecEnvInfo::read_contents(GenericFile* src, long len) {
    clear();
    long consumed = se.read(src, len, 0);
    if (consumed < 1) return static_cast<int>(consumed);
    if (consumed > len) return 0;
    const auto m = members();
    return asnp15::readElements(src, len, consumed, 2, [&](const ASNany& el) {
        const uint8_t id = el.tag & 0xDF;
        return asnp15::takeInOrder(m, id == 0x06 ? 1 : id == 0x04 ? 2 : -1, el);
    });
}

int ASNPkcs15SecEnvInfo::write_contents(GenericFile* dst) const { return asnp15::writeMembers(dst, members()); }

long ASNPkcs15SecEnvInfo::lenOfBody() const { return asnp15::lenOfMembers(members()); }

void ASNPkcs15SecEnvInfo::digest_contents(QvHash* hash) const { asnp15::digestMembers(hash, members()); }

void ASNPkcs15SecEnvInfo::clear() {
    wasOwner = wasAid = 0;
    se.clear();
    owner.clear();
    aid.clear();
}

ASNPkcs15SecEnvInfo& ASNPkcs15SecEnvInfo::operator=(const ASNPkcs15SecEnvInfo& o) {
    AssertInvariant((flags & ASN_FLAG_CONST) == 0, "asnpkcs15secenvinfo", 60, "!( flags & ASN_FLAG_CONST )");
    if (this == &o) return *this;
    wasOwner = o.wasOwner;
    wasAid = o.wasAid;
    se = o.se;
    if (wasOwner) owner = o.owner;
    if (wasAid) aid = o.aid;
    return *this;
}

bool ASNPkcs15SecEnvInfo::operator==(const ASNPkcs15SecEnvInfo& o) const {
    if (wasOwner != o.wasOwner || wasAid != o.wasAid) return false;
    if (!(se == o.se)) return false;
    if (wasOwner && owner != o.owner) return false;
    if (wasAid && aid != o.aid) return false;
    return true;
}
