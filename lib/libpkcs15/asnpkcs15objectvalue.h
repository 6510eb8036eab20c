// PKCS#15 ObjectValue {T}, KeyInfo {P, Ops} with its paramsAndOps SEQUENCE, and
// the RSA- and DSA-style key attributes built from them.
#pragma once

#include <cstdint>
#include <new>
#include <type_traits>

#include "lib/libasn/asnany.h"
#include "lib/libasn/asnbool.h"
#include "lib/libasn/asnchoice.h"
#include "lib/libasn/asnint.h"
#include "keys/ecdomain.h"
#include "lib/libasn/x509/x942dh.h"
#include "lib/libpkcs15/asnpkcs15common.h"
#include "lib/libpkcs15/asnpkcs15keyidentifier.h"
#include "lib/libpkcs15/asnpkcs15path.h"
#include "lib/libpkcs15/asnpkcs15recordinfo.h"
#include "support/vtest.h"

// Domain parameters of EC keys (explicit curve parameters, a named curve or NULL) and
// of DH, DSA and KEA keys (X9.42 parameters).
typedef ECDomainParameters ASNPkcs15ECParameters;
typedef X942DomainParameters ASNPkcs15X942Parameters;

// ObjectValue {T}: indirect path (0x30, chosen when built and after clear), direct
// [0] T, indirect-protected [1] path, direct-protected [2] (not supported: its
// decoding and encoding give -4).
template <class T>
class ASNPkcs15ObjectValue : public ASNchoice {
public:
    enum { kIndirect = 0, kDirect = 1, kIndirectProtected = 2, kDirectProtected = 3 };

    explicit ASNPkcs15ObjectValue(uint32_t tag = 0)
        : ASNchoice(tag), indirect(0x30), direct(0x80), indirectProtected(0xA1), directProtected(0x82),
          keyObject(nullptr) {
        direct.flags |= ASN_FLAG_CLASSTAG;
        // A value held whole (a certificate, a data object) is constructed under [0].
        if (std::is_same<T, ASNany>::value) direct.flags |= ASN_FLAG_CONSTR;
        indirectProtected.flags |= ASN_FLAG_CLASSTAG;
        directProtected.flags |= ASN_FLAG_CLASSTAG | ASN_FLAG_CONSTR;
        chooseByIndex(kIndirect);
    }
    ASNPkcs15ObjectValue(const ASNPkcs15ObjectValue& other)
        : ASNchoice(other), indirect(other.indirect), direct(other.direct), indirectProtected(other.indirectProtected),
          directProtected(0x82), keyObject(nullptr) {
        directProtected.flags |= ASN_FLAG_CLASSTAG | ASN_FLAG_CONSTR;
    }
    ~ASNPkcs15ObjectValue() override = default;

    ASNobject** getObjectList() override {
        m_list[0] = &indirect;
        m_list[1] = &direct;
        m_list[2] = &indirectProtected;
        m_list[3] = &directProtected;
        m_list[4] = nullptr;
        return m_list;
    }

    void clear() override {
        ASNchoice::clear();
        chooseByIndex(kIndirect);
    }

    ASNPkcs15ObjectValue& operator=(const ASNPkcs15ObjectValue& other) {
        if (this != &other) ASNchoice::operator=(other);
        return *this;
    }
    bool operator==(const ASNPkcs15ObjectValue& other) const { return ASNchoice::operator==(other); }

    // The path of the indirect or indirect-protected alternative, else NULL.
    ASNPkcs15Path* getPath() {
        int i = getChosenIndex();
        return i == kIndirect ? &indirect : i == kIndirectProtected ? &indirectProtected : nullptr;
    }
    // The direct value when that alternative is chosen, else NULL.
    T* getDirect() { return getChosenIndex() == kDirect ? &direct : nullptr; }

    ASNPkcs15Path indirect;
    T direct;
    ASNPkcs15Path indirectProtected;
    ASNunsupported directProtected;
    // The card layer's key object for this record; never encoded, not owned.
    void* keyObject;

private:
    ASNobject* m_list[5];
};

// paramsAndOps: the key parameters and, optionally, the supported operations.
template <class P, class Ops>
class ASNPkcs15ParamsAndOps : public ASNsequenceF {
public:
    explicit ASNPkcs15ParamsAndOps(uint32_t tag = 0)
        : ASNsequenceF(tag), parameters(0), supportedOperations(0x03, 0), wasSupportedOperations(0) {}
    ASNPkcs15ParamsAndOps(const ASNPkcs15ParamsAndOps& other) : ASNPkcs15ParamsAndOps(other.tag) { *this = other; }
    ~ASNPkcs15ParamsAndOps() override = default;

    int read_contents(GenericFile* src, long len) override {
        clear();
        return asnp15::readWithOptionalLast(src, len, members());
    }
    int write_contents(GenericFile* dst) const override { return asnp15::writeMembers(dst, members()); }
    long lenOfBody() const override { return asnp15::lenOfMembers(members()); }
    void digest_contents(QvHash* hash) const override { asnp15::digestMembers(hash, members()); }
    void clear() override { asnp15::clearMembers(members()); }
    ASNPkcs15ParamsAndOps& operator=(const ASNPkcs15ParamsAndOps& other) {
        if (this == &other) return *this;
        parameters = other.parameters;
        supportedOperations = other.supportedOperations;
        wasSupportedOperations = other.wasSupportedOperations;
        return *this;
    }

    P parameters;
    Ops supportedOperations;
    uint8_t wasSupportedOperations;

private:
    std::array<asnp15::Member, 2> members() const {
        auto* t = const_cast<ASNPkcs15ParamsAndOps*>(this);
        return {{{&t->parameters, nullptr, 0}, {&t->supportedOperations, &t->wasSupportedOperations, 0}}};
    }
};

// KeyInfo {P, Ops}: a reference to key information elsewhere, or paramsAndOps
// (chosen when built).
template <class P, class Ops>
class ASNPkcs15KeyInfoT : public ASNchoice {
public:
    enum { kReference = 0, kParamsAndOps = 1 };

    explicit ASNPkcs15KeyInfoT(uint32_t tag = 0) : ASNchoice(tag), reference(0x02), paramsAndOps(0x30) {
        chooseByIndex(kParamsAndOps);
    }
    ASNPkcs15KeyInfoT(const ASNPkcs15KeyInfoT& other)
        : ASNchoice(other), reference(other.reference), paramsAndOps(other.paramsAndOps) {}
    ~ASNPkcs15KeyInfoT() override = default;

    ASNobject** getObjectList() override {
        m_list[0] = &reference;
        m_list[1] = &paramsAndOps;
        m_list[2] = nullptr;
        return m_list;
    }
    ASNPkcs15KeyInfoT& operator=(const ASNPkcs15KeyInfoT& other) {
        if (this != &other) ASNchoice::operator=(other);
        return *this;
    }
    bool operator==(const ASNPkcs15KeyInfoT& other) const { return ASNchoice::operator==(other); }

    ASNinteger reference;
    ASNPkcs15ParamsAndOps<P, Ops> paramsAndOps;

private:
    ASNobject* m_list[3];
};

template <class P>
class ASNPkcs15KeyInfo : public ASNPkcs15KeyInfoT<P, ASNPkcs15Operations> {
public:
    explicit ASNPkcs15KeyInfo(uint32_t tag = 0) : ASNPkcs15KeyInfoT<P, ASNPkcs15Operations>(tag) {}
    ASNPkcs15KeyInfo(const ASNPkcs15KeyInfo& other) : ASNPkcs15KeyInfoT<P, ASNPkcs15Operations>(other) {}
    ~ASNPkcs15KeyInfo() override = default;
    ASNPkcs15KeyInfo& operator=(const ASNPkcs15KeyInfo& other) {
        ASNPkcs15KeyInfoT<P, ASNPkcs15Operations>::operator=(other);
        return *this;
    }
};

// The RSA key attributes: value, modulusLength, optional keyInfo.
template <class T>
class ASNPkcs15RsaKeyAttributes : public ASNsequenceF {
public:
    explicit ASNPkcs15RsaKeyAttributes(uint32_t tag = 0)
        : ASNsequenceF(tag), value(0), modulusLength(0x02), keyInfo(0), wasKeyInfo(0) {}
    ASNPkcs15RsaKeyAttributes(const ASNPkcs15RsaKeyAttributes& other) : ASNPkcs15RsaKeyAttributes(0x30) {
        tag = other.tag;
        *this = other;
    }
    ~ASNPkcs15RsaKeyAttributes() override = default;

    int read_contents(GenericFile* src, long len) override {
        clear();
        return asnp15::readWithOptionalLast(src, len, members());
    }
    int write_contents(GenericFile* dst) const override { return asnp15::writeMembers(dst, members()); }
    long lenOfBody() const override { return asnp15::lenOfMembers(members()); }
    void digest_contents(QvHash* hash) const override { asnp15::digestMembers(hash, members()); }
    void clear() override { asnp15::clearMembers(members()); }
    ASNPkcs15RsaKeyAttributes& operator=(const ASNPkcs15RsaKeyAttributes& other) {
        AssertInvariant((flags & ASN_FLAG_CONST) == 0, "asnpkcs15rsakeyattributes", 70, "!( flags & ASN_FLAG_CONST )");
        if (this == &other) return *this;
        wasKeyInfo = other.wasKeyInfo;
        if (value.convertFrom(other.value) != 1) throw std::bad_alloc();
        modulusLength = other.modulusLength;
        if (wasKeyInfo) keyInfo = other.keyInfo;
        return *this;
    }
    bool operator==(const ASNPkcs15RsaKeyAttributes& other) const {
        if (wasKeyInfo != other.wasKeyInfo) return false;
        if (!(value == other.value) || !(modulusLength == other.modulusLength)) return false;
        return !wasKeyInfo || keyInfo == other.keyInfo;
    }

    ASNPkcs15ObjectValue<T> value;
    ASNinteger modulusLength;
    ASNPkcs15KeyInfo<ASNPkcs15Null> keyInfo;
    uint8_t wasKeyInfo;

private:
    std::array<asnp15::Member, 3> members() const {
        auto* t = const_cast<ASNPkcs15RsaKeyAttributes*>(this);
        return {{{&t->value, nullptr, 0}, {&t->modulusLength, nullptr, 0}, {&t->keyInfo, &t->wasKeyInfo, 0}}};
    }
};

// The DSA-style key attributes (EC, DH, DSA, KEA): value and optional keyInfo.
template <class I, class P>
class ASNPkcs15DsaKeyAttributes : public ASNsequenceF {
public:
    explicit ASNPkcs15DsaKeyAttributes(uint32_t tag = 0) : ASNsequenceF(tag), value(0), keyInfo(0), wasKeyInfo(0) {}
    ASNPkcs15DsaKeyAttributes(const ASNPkcs15DsaKeyAttributes& other) : ASNPkcs15DsaKeyAttributes(0x30) {
        tag = other.tag;
        *this = other;
    }
    ~ASNPkcs15DsaKeyAttributes() override = default;

    int read_contents(GenericFile* src, long len) override {
        clear();
        return asnp15::readWithOptionalLast(src, len, members());
    }
    int write_contents(GenericFile* dst) const override { return asnp15::writeMembers(dst, members()); }
    long lenOfBody() const override { return asnp15::lenOfMembers(members()); }
    void digest_contents(QvHash* hash) const override { asnp15::digestMembers(hash, members()); }
    void clear() override { asnp15::clearMembers(members()); }
    ASNPkcs15DsaKeyAttributes& operator=(const ASNPkcs15DsaKeyAttributes& other) {
        AssertInvariant((flags & ASN_FLAG_CONST) == 0, "asnpkcs15dsakeyattributes", 70, "!( flags & ASN_FLAG_CONST )");
        if (this == &other) return *this;
        wasKeyInfo = other.wasKeyInfo;
        value = other.value;
        if (wasKeyInfo) keyInfo = other.keyInfo;
        return *this;
    }
    bool operator==(const ASNPkcs15DsaKeyAttributes& other) const {
        if (wasKeyInfo != other.wasKeyInfo) return false;
        if (!(value == other.value)) return false;
        return !wasKeyInfo || keyInfo == other.keyInfo;
    }

    ASNPkcs15ObjectValue<I> value;
    ASNPkcs15KeyInfo<P> keyInfo;
    uint8_t wasKeyInfo;

private:
    std::array<asnp15::Member, 2> members() const {
        auto* t = const_cast<ASNPkcs15DsaKeyAttributes*>(this);
        return {{{&t->value, nullptr, 0}, {&t->keyInfo, &t->wasKeyInfo, 0}}};
    }
};
