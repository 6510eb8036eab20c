// CHOICE, and the SEQUENCE and SET bases.
#include "lib/libasn/asnchoice.h"

#include <cstring>
#include <new>
#include <vector>

#include "lib/libasn/asnany.h"
#include "support/memfile.h"

namespace {
bool hasClass(uint8_t t) { return t != TAG_ANY && (t & ASN_CLASS_MASK) != 0; }
}  // namespace

ASNchoice::ASNchoice(uint32_t t) : ASNobject(t), m_chosenObject(nullptr), m_copiedIndex(-1) {
    if (hasClass(tag)) {
        flags |= ASN_FLAG_EXPLICIT;
        tag |= ASN_CONSTRUCTED;
    }
}

ASNchoice::ASNchoice(const ASNchoice& other)
    : ASNobject(other), m_chosenObject(nullptr), m_copiedIndex(other.getChosenIndex()) {}

ASNchoice::~ASNchoice() {}

ASNobject* ASNchoice::chosen() const {
    if (m_chosenObject == nullptr && m_copiedIndex >= 0) {
        ASNobject** l = const_cast<ASNchoice*>(this)->getObjectList();
        int idx = m_copiedIndex;
        m_copiedIndex = -1;
        if (l != nullptr) {
            for (int i = 0; l[i] != nullptr; i++)
                if (i == idx) m_chosenObject = l[i];
        }
    }
    return m_chosenObject;
}

ASNobject** ASNchoice::list() const {
    ASNobject** l = const_cast<ASNchoice*>(this)->getObjectList();
    AssertInvariant(l != nullptr, "asnchoice", __LINE__, "objectList != NULL", nullptr);
    AssertInvariant(l[0] != nullptr, "asnchoice", __LINE__, "objectList[0] != NULL", nullptr);
    return l;
}

ASNobject* ASNchoice::findAlternative(uint8_t id) const {
    ASNobject** l = list();
    for (int i = 0; l[i] != nullptr; i++) {
        ASNobject* alt = l[i];
        // An untagged CHOICE among the alternatives matches through its own.
        ASNchoice* nested = dynamic_cast<ASNchoice*>(alt);
        if (nested != nullptr && !nested->isExplicit()) {
            if (nested->findAlternative(id) != nullptr) return alt;
            continue;
        }
        // The identifier met in the input is the alternative's identifying tag: its
        // wrapper when it is explicitly tagged.
        uint8_t t = alt->getTag();
        if (t == TAG_ANY || (t | ASN_CONSTRUCTED) == (id | ASN_CONSTRUCTED)) return alt;
    }
    return nullptr;
}

long ASNchoice::read(GenericFile* src, long maxLen, uint8_t rflags) {
    ASNDepthGuard guard;
    if (!guard.ok()) return 0;
    list();
    if (src == nullptr) return EASN_FILE;
    maxLen = boundLength(src, maxLen);
    if (maxLen < 2) return 0;
    m_chosenObject = nullptr;
    m_copiedIndex = -1;
    flags &= ~ASN_FLAG_INDEF;
    long hdr = 0;
    long bound = maxLen;
    long wrapperLen = -1;
    bool indefWrapper = false;
    if (((flags | rflags) & ASN_FLAG_EXPLICIT) != 0 && hasClass(tag)) {
        uint8_t w;
        int r = asnReadExact(src, &w, 1);
        if (r < 1) return r;
        if ((w & ASN_TAGNUM_MASK) == ASN_TAGNUM_MASK) return 0;
        if ((w & ASN_CONSTRUCTED) == 0) return 0;
        if ((w | ASN_CONSTRUCTED) != (tag | ASN_CONSTRUCTED)) return 0;
        long l = maxLen - 1;
        r = readLength(src, &l);
        if (r < 1) return r;
        hdr = 1 + r;
        if (l < 0) {
            indefWrapper = true;
            bound = maxLen - hdr - 2;
        } else {
            if (hdr + l > maxLen) return 0;
            bound = l;
            wrapperLen = l;
        }
        if (bound < 2) return 0;
    }
    int64_t pos = src->Tell();
    if (pos < 0) return EASN_FILE;
    uint8_t id;
    int r = asnReadExact(src, &id, 1);
    if (r < 1) return r;
    if (src->Seek(static_cast<long>(pos)) != 0) return EASN_FILE;
    ASNobject* alt = findAlternative(id);
    if (alt == nullptr) return 0;
    long ar = alt->read(src, bound, static_cast<uint8_t>(rflags & (ASN_FLAG_CONST | ASN_FLAG_COPY)));
    if (ar < 1) return ar;
    // A definite wrapper holds exactly the alternative.
    if (wrapperLen >= 0 && ar != wrapperLen) return 0;
    long total = hdr + ar;
    if (indefWrapper || (rflags & ASN_FLAG_INDEF) != 0) {
        int e = readEndOfContents(src, maxLen - total);
        // End-of-contents octets that are not zero make the input malformed.
        if (e != 2) return e < 0 ? e : 0;
        total += 2;
        flags |= ASN_FLAG_INDEF;
    }
    setChosenObject(alt);
    m_rxLength = total;
    m_rxHeader = hdr;
    return total;
}

int ASNchoice::assign(const ASNany& anyObj) {
    ASNDepthGuard guard;
    if (!guard.ok()) return 0;
    list();
    bool expl = isExplicit() && hasClass(tag);
    uint8_t id;
    long valueLen = anyObj.lenOfBody();
    if (expl) {
        if ((anyObj.tag | ASN_CONSTRUCTED) != (tag | ASN_CONSTRUCTED)) return 0;
        if ((anyObj.tag & ASN_CONSTRUCTED) == 0) return 0;
        if (valueLen < 2 || anyObj.getData() == nullptr) return 0;
        id = anyObj.getData()[0];
    } else {
        id = anyObj.tag;
    }
    m_chosenObject = nullptr;
    m_copiedIndex = -1;
    ASNobject* alt = findAlternative(id);
    if (alt == nullptr) return 0;
    if (!expl) {
        int r = alt->assign(anyObj);
        if (r < 1) return r;
    } else {
        MemFile mf(static_cast<const void*>(anyObj.getData()), static_cast<size_t>(valueLen), false);
        long r = alt->read(&mf, valueLen, 0);
        if (r < 1) return static_cast<int>(r);
        // The wrapper's value is exactly the alternative's TLV.
        if (r != valueLen) return 0;
        flags &= ~ASN_FLAG_INDEF;
        if (anyObj.isIndefinite()) flags |= ASN_FLAG_INDEF;
    }
    setChosenObject(alt);
    return 1;
}

void ASNchoice::setChosenObject(ASNobject* obj) {
    m_chosenObject = obj;
    m_copiedIndex = -1;
    if (obj != nullptr) {
        const uint32_t copy = ASN_FLAG_CONST | ASN_FLAG_COPY | ASN_FLAG_CONSTR;
        flags = (flags & ~copy) | (obj->flags & copy);
    }
}

int ASNchoice::getChosenIndex() const {
    ASNobject** l = const_cast<ASNchoice*>(this)->getObjectList();
    AssertInvariant(l != nullptr, "asnchoice", __LINE__, "objectList != NULL", nullptr);
    if (chosen() == nullptr) return -1;
    for (int i = 0; l[i] != nullptr; i++)
        if (l[i] == chosen()) return i;
    return -1;
}

uint8_t ASNchoice::getChosenTag() const {
    AssertInvariant(chosen() != nullptr, "asnchoice", __LINE__, "m_chosenObject != NULL",
                    nullptr);
    return chosen()->getTag();
}

void ASNchoice::chooseByIndex(uint32_t index) {
    ASNobject** l = list();
    for (uint32_t i = 0; l[i] != nullptr; i++) {
        if (i == index) {
            setChosenObject(l[i]);
            return;
        }
    }
    AssertInvariant(0, "asnchoice", __LINE__, "0", nullptr);
}

void ASNchoice::chooseByTag(uint8_t t) {
    ASNobject** l = list();
    for (int i = 0; l[i] != nullptr; i++) {
        if (l[i]->tag == t) {
            setChosenObject(l[i]);
            return;
        }
    }
    AssertInvariant(0, "asnchoice", __LINE__, "0", nullptr);
}

namespace {
void assertChosen(const ASNobject* chosen, int line) {
    AssertInvariant(chosen != nullptr, "asnchoice", static_cast<unsigned>(line),
                    "m_chosenObject != NULL", nullptr);
}
}  // namespace

int ASNchoice::read_contents(GenericFile* src, long len) {
    assertChosen(chosen(), __LINE__);
    if (isExplicit() && hasClass(tag)) {
        long r = chosen()->read(src, len, static_cast<uint8_t>(flags & ASN_FLAG_CONST));
        if (r < 1) return static_cast<int>(r);
        return r == len ? 1 : 0;
    }
    return chosen()->read_contents(src, len);
}

int ASNchoice::write_contents(GenericFile* dst) const {
    assertChosen(chosen(), __LINE__);
    if (isExplicit() && hasClass(tag)) {
        long r = chosen()->write(dst);
        return r > 0 ? 1 : static_cast<int>(r);
    }
    return chosen()->write_contents(dst);
}

long ASNchoice::lenOfBody() const {
    assertChosen(chosen(), __LINE__);
    if (isExplicit() && hasClass(tag)) return chosen()->lenOfObject();
    return chosen()->lenOfBody();
}

long ASNchoice::lenOfObject() const {
    assertChosen(chosen(), __LINE__);
    long n = chosen()->lenOfObject();
    if (isExplicit() && hasClass(tag)) {
        if (isIndefinite()) return n + 4;
        return n + 1 + lenOfLen(n);
    }
    return n;
}

long ASNchoice::write(GenericFile* dst) const {
    assertChosen(chosen(), __LINE__);
    if (dst == nullptr) return EASN_FILE;
    if (!(isExplicit() && hasClass(tag))) return chosen()->write(dst);
    long n = chosen()->lenOfObject();
    uint8_t hdr[8];
    hdr[0] = tag;
    int h = 1 + encodeLength(isIndefinite() ? -1 : n, hdr + 1);
    if (asnWriteAll(dst, hdr, static_cast<size_t>(h)) != 1) return EASN_FILE;
    long r = chosen()->write(dst);
    if (r < 1) return r;
    long total = h + r;
    if (isIndefinite()) {
        if (writeEndOfContents(dst) < 0) return EASN_FILE;
        total += 2;
    }
    return total;
}

void ASNchoice::digest_contents(QvHash* hash) const {
    assertChosen(chosen(), __LINE__);
    if (isExplicit() && hasClass(tag))
        chosen()->digestObject(hash);
    else
        chosen()->digest_contents(hash);
}

void ASNchoice::digestChosen(QvHash* hash) const {
    assertChosen(chosen(), __LINE__);
    if (!(isExplicit() && hasClass(tag))) {
        chosen()->digestObject(hash);
        return;
    }
    long n = chosen()->lenOfObject();
    uint8_t hdr[8];
    hdr[0] = tag;
    int h = 1 + encodeLength(isIndefinite() ? -1 : n, hdr + 1);
    hashUpdate(hdr, h, hash);
    chosen()->digestObject(hash);
    if (isIndefinite()) digestEndOfContents(hash);
}

uint8_t ASNchoice::defaultTag() const {
    return chosen() != nullptr ? chosen()->defaultTag() : TAG_ANY;
}

void ASNchoice::clear() {
    if (hasClass(tag))
        flags |= ASN_FLAG_EXPLICIT;
    else
        flags &= ~ASN_FLAG_EXPLICIT;
    flags &= ~ASN_FLAG_INDEF;
    ASNobject** l = list();
    for (int i = 0; l[i] != nullptr; i++) l[i]->clear();
    m_chosenObject = nullptr;
    m_copiedIndex = -1;
}

void ASNchoice::setExplicitTag() {
    if (hasClass(tag)) {
        flags |= ASN_FLAG_EXPLICIT;
        tag |= ASN_CONSTRUCTED;
    }
}

void ASNchoice::resetExplicitTag() { flags &= ~(ASN_FLAG_EXPLICIT | ASN_FLAG_EXPL_INDEF); }

void ASNchoice::setTag(uint8_t t) {
    if (hasClass(t)) {
        tag = static_cast<uint8_t>(t | ASN_CONSTRUCTED);
        flags |= ASN_FLAG_EXPLICIT | ASN_FLAG_CLASSTAG;
    } else {
        tag = t;
        flags &= ~ASN_FLAG_EXPLICIT;
    }
}

uint8_t ASNchoice::getTag() const {
    if (isExplicit() && hasClass(tag)) return tag;
    return chosen() != nullptr ? chosen()->getTag() : tag;
}

ASNchoice& ASNchoice::operator=(const ASNchoice& other) {
    if (this == &other) return *this;
    int idx = other.getChosenIndex();
    ASNobject** l = list();
    ASNobject* target = nullptr;
    for (int i = 0; l[i] != nullptr; i++) {
        if (i == idx)
            target = l[i];
        else
            l[i]->clear();
    }
    m_chosenObject = nullptr;
    m_copiedIndex = -1;
    if (target == nullptr || other.chosen() == nullptr) return *this;
    int r = target->convertFrom(*other.chosen(), static_cast<uint8_t>(flags & ASN_FLAG_CONST));
    if (r != 1) {
        AssertInvariant(r == EASN_FILE || r == EASN_MEM, "asnchoice", __LINE__,
                        "asnret == EASN_FILE || asnret == EASN_MEM", nullptr);
        throw std::bad_alloc();
    }
    flags = (flags & ~ASN_FLAG_INDEF) | (other.flags & ASN_FLAG_INDEF);
    setChosenObject(target);
    return *this;
}

bool ASNchoice::operator==(const ASNchoice& other) const {
    int a = getChosenIndex();
    if (a != other.getChosenIndex()) return false;
    if (a < 0) return true;
    MemFile ma, mb;
    if (write_contents(&ma) != 1 || other.write_contents(&mb) != 1) return false;
    if (ma.Size() != mb.Size()) return false;
    return ma.Size() == 0 ||
           std::memcmp(ma.GetData(), mb.GetData(), static_cast<size_t>(ma.Size())) == 0;
}

// ---------------------------------------------------------------------------

ASNsequenceF::ASNsequenceF(uint32_t t)
    : ASNobject(hasClass(static_cast<uint8_t>(t)) ? ((t & 0xFF) | ASN_CONSTRUCTED) : 0x30) {
    flags |= ASN_FLAG_CONSTR;
}

ASNsetF::ASNsetF(uint32_t t)
    : ASNobject(hasClass(static_cast<uint8_t>(t)) ? ((t & 0xFF) | ASN_CONSTRUCTED) : 0x31) {
    flags |= ASN_FLAG_CONSTR;
}
