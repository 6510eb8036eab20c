// BOOLEAN and NULL.
#include "lib/libasn/asnbool.h"

namespace {
uint32_t universalOr(uint32_t t, uint8_t def) {
    return ((t & ASN_CLASS_MASK) != 0 || (t & 0xFF) == TAG_ANY) ? t : def;
}
}  // namespace

ASNbool::ASNbool(uint32_t t) : ASNobject(universalOr(t, 0x01)), m_value(0x01) {}
ASNbool::ASNbool(const ASNbool& other) : ASNobject(other), m_value(other.m_value) {}

void ASNbool::clear() { m_value = 0x01; }

int ASNbool::read_contents(GenericFile* src, long len) {
    if (len != 1) return 0;
    uint8_t b;
    int r = asnReadExact(src, &b, 1);
    if (r < 1) return r;
    m_value = b;
    return 1;
}

int ASNbool::write_contents(GenericFile* dst) const { return asnWriteAll(dst, &m_value, 1); }

void ASNbool::digest_contents(QvHash* hash) const { hashUpdate(&m_value, 1, hash); }

ASNbool& ASNbool::operator=(bool value) {
    assertNotConst("asnbool", __LINE__, "!( flags & ASN_FLAG_CONST )");
    m_value = value ? 0xFF : 0x00;
    return *this;
}

ASNbool& ASNbool::operator=(const ASNbool& other) {
    assertNotConst("asnbool", __LINE__, "!( flags & ASN_FLAG_CONST )");
    m_value = other.m_value;
    return *this;
}

ASNnull::ASNnull(uint32_t t) : ASNobject(universalOr(t, 0x05)) {}

int ASNnull::read_contents(GenericFile*, long len) { return len == 0 ? 1 : 0; }
