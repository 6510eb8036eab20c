#include "pkcs15/objectattr.h"

#include <cstring>
#include <new>

#include "lib/libasn/asnbase.h"
#include "support/textutil.h"
#include "support/vtest.h"

namespace {

const char kSrc[] = "objectattr";

struct TypeRow {
    uint64_t type;
    uint32_t store;
};

using A = SCPkcs15ObjectAttribute;

// 93 rows and the closing row. The first row of a type answers.
const TypeRow kTypeTable[] = {
    {0x1, A::integer}, {0x2, A::string}, {0x3, A::flags}, {0x4, A::binary}, {0x5, A::integer},
    {0x101, A::binary}, {0x102, A::flags}, {0x103, A::boolean}, {0x104, A::flags}, {0x105, A::integer},
    {0x106, A::date}, {0x107, A::date},
    {0x201, A::binary}, {0x202, A::boolean}, {0x203, A::asnder}, {0x204, A::binary}, {0x205, A::asnder},
    {0x206, A::boolean}, {0x280, A::binary}, {0x282, A::asnder}, {0x601, A::binary}, {0x603, A::string},
    {0x604, A::asnder}, {0x701, A::binary},
    {0x10101, A::asnder}, {0x10102, A::asnder}, {0x10103, A::asnder}, {0x10104, A::integer},
    {0x10180, A::binary}, {0x10181, A::asnder}, {0x10196, A::asnder}, {0x10106, A::asnder},
    {0x10105, A::flags}, {0x20101, A::asnder}, {0x20102, A::asnder}, {0x20103, A::boolean},
    {0x20104, A::asnder}, {0x20105, A::integer}, {0x20107, A::asnder}, {0x20106, A::flags},
    {0x20180, A::binary}, {0x20104, A::asnder}, {0x30101, A::binary}, {0x30102, A::integer},
    {0x1010101, A::integer}, {0x1010102, A::asnder}, {0x1010103, A::bigint}, {0x1010104, A::bigint},
    {0x1010105, A::bigint}, {0x1010106, A::bigint}, {0x1010107, A::bigint}, {0x1010108, A::bigint},
    {0x1010109, A::bigint}, {0x101010A, A::bigint}, {0x2010101, A::bigint}, {0x2010102, A::bigint},
    {0x2010103, A::bigint}, {0x1020101, A::integer}, {0x1020102, A::flags}, {0x1020103, A::bigint},
    {0x1020104, A::bigint}, {0x2020101, A::bigint}, {0x2020102, A::bigint}, {0x2020103, A::bigint},
    {0x1000201, A::asnder}, {0x1000202, A::asnder}, {0x1000203, A::asnder}, {0x1000204, A::asnder},
    {0x3000601, A::asnder}, {0x1000701, A::flags}, {0x1000702, A::integer}, {0x1000703, A::integer},
    {0x1000704, A::integer}, {0x1000705, A::integer}, {0x1000706, A::integer}, {0x1000707, A::binary},
    {0x1000708, A::date}, {0x1000709, A::binary},
    {0xFF000001, A::binary}, {0xFF000002, A::binary}, {0xFF000003, A::integer}, {0xFF000004, A::asnder},
    {0xFF000005, A::boolean}, {0xFF000006, A::asnder}, {0xFF000080, A::binary}, {0xFF000081, A::asnder},
    {0xFF000008, A::asnder}, {0xFF000007, A::flags}, {0xFF000015, A::bigint}, {0xFF000016, A::bigint},
    {0xFF000029, A::bigint}, {0xFF00002A, A::bigint}, {0xFF00002B, A::bigint},
    {0, 0},
};
static_assert(sizeof(kTypeTable) / sizeof(kTypeTable[0]) == 94, "93 rows and the closing row");

const uint8_t kEmpty = 0;

bool AllDigits(const uint8_t* p, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i)
        if (p[i] < '0' || p[i] > '9') return false;
    return true;
}

uint32_t GetDaysInMonth(uint32_t y, uint8_t m) {
    static const uint8_t days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (m < 1 || m > 12) return 0;
    if (m == 2 && ((y % 4 == 0 && y % 100 != 0) || y % 400 == 0)) return 29;
    return days[m - 1];
}

// Reads one DER header; the number of header octets, 0 when malformed.
uint32_t HeaderLength(const uint8_t* p, size_t n) {
    if (n < 2) return 0;
    size_t i = 1;
    if ((p[0] & 0x1F) == 0x1F) {
        while (i < n && (p[i] & 0x80)) ++i;
        ++i;
    }
    if (i >= n) return 0;
    uint8_t l = p[i++];
    if (l & 0x80) {
        uint32_t k = l & 0x7F;
        if (k == 0 || k > 4 || i + k > n) return 0;
        i += k;
    }
    return static_cast<uint32_t>(i);
}

}  // namespace

SCPkcs15ObjectAttribute::SCPkcs15ObjectAttribute(uint64_t type)
    : m_type(type), m_length(0), m_value(nullptr), m_capacity(0), m_storeType(GetStoreTypeForAttribute(type)),
      m_result(0) {}

SCPkcs15ObjectAttribute::~SCPkcs15ObjectAttribute() { Clear(); }

void SCPkcs15ObjectAttribute::Clear() {
    if (m_value) {
        SecureZero(m_value, m_capacity);
        delete[] m_value;
    }
    m_value = nullptr;
    m_type = 0;
    m_length = 0;
    m_capacity = 0;
    m_storeType = 0;
}

uint32_t SCPkcs15ObjectAttribute::GetStoreTypeForAttribute(uint64_t type) {
    if (type == p15attr::kKind) return integer;
    for (const TypeRow* r = kTypeTable; r->type != 0; ++r)
        if (r->type == type) return r->store;
    return none;
}

int SCPkcs15ObjectAttribute::SetValue(const void* data, uint32_t size) {
    if (size == 0) {
        if (m_value) {
            SecureZero(m_value, m_capacity);
            delete[] m_value;
        }
        m_value = nullptr;
        m_length = 0;
        m_capacity = 0;
        return 1;
    }
    if (size > m_capacity || m_value == nullptr) {
        uint8_t* nb = new (std::nothrow) uint8_t[size];
        if (!nb) return 0;
        if (m_value) {
            SecureZero(m_value, m_capacity);
            delete[] m_value;
        }
        m_value = nb;
        m_capacity = size;
    } else if (m_length > size) {
        // The tail of a longer old value is not left behind.
        SecureZero(m_value + size, m_capacity - size);
    }
    if (data)
        memmove(m_value, data, size);
    else
        memset(m_value, 0, size);
    m_length = size;
    return 1;
}

bool SCPkcs15ObjectAttribute::SetTyped(uint64_t type, uint32_t storeType) {
    m_type = type;
    m_storeType = storeType;
    return true;
}

int SCPkcs15ObjectAttribute::SetBinary(uint64_t type, const void* data, uint32_t len) {
    AssertInvariant(GetStoreTypeForAttribute(type) == binary, kSrc, __LINE__,
                    "GetStoreTypeForAttribute( type ) == binary");
    if (!data && len) return 0;
    if (!SetValue(data, len)) return 0;
    SetTyped(type, binary);
    return 1;
}

int SCPkcs15ObjectAttribute::SetString(uint64_t type, const char* text, uint32_t len) {
    AssertInvariant(GetStoreTypeForAttribute(type) == string, kSrc, __LINE__,
                    "GetStoreTypeForAttribute( type ) == string");
    if (!text) {
        if (len != ~0u && len != 0) return 0;
        text = "";
    }
    if (len == ~0u) len = static_cast<uint32_t>(strlen(text));
    if (len == ~0u) return 0;
    if (text >= reinterpret_cast<const char*>(m_value) &&
        text < reinterpret_cast<const char*>(m_value) + m_capacity) {
        // The text lies in our own buffer: copy it out first.
        SCPkcs15ObjectAttribute tmp;
        if (!tmp.SetValue(text, len)) return 0;
        return SetString(type, reinterpret_cast<const char*>(tmp.m_value), len);
    }
    if (!SetValue(nullptr, len + 1)) return 0;
    if (len) memcpy(m_value, text, len);
    m_value[len] = 0;
    m_length = len;
    SetTyped(type, string);
    return 1;
}

int SCPkcs15ObjectAttribute::SetFlags(uint64_t type, uint32_t value, uint32_t mask) {
    AssertInvariant(GetStoreTypeForAttribute(type) == flags, kSrc, __LINE__,
                    "GetStoreTypeForAttribute( type ) == flags");
    uint8_t b[8];
    UInt32ToBigEndian(value, b);
    UInt32ToBigEndian(mask, b + 4);
    if (!SetValue(b, 8)) return 0;
    SetTyped(type, flags);
    return 1;
}

int SCPkcs15ObjectAttribute::SetInteger(uint64_t type, uint32_t value) {
    uint32_t st = GetStoreTypeForAttribute(type);
    AssertInvariant(st == integer || st == bigint, kSrc, __LINE__, "storeType == integer || storeType == bigint");
    uint8_t b[4];
    UInt32ToBigEndian(value, b);
    uint32_t skip = 0;
    while (skip < 3 && b[skip] == 0) ++skip;
    if (!SetValue(b + skip, 4 - skip)) return 0;
    SetTyped(type, st);
    return 1;
}

int SCPkcs15ObjectAttribute::SetBigInt(uint64_t type, const uint8_t* bytes, uint32_t len) {
    uint32_t st = GetStoreTypeForAttribute(type);
    AssertInvariant(st == integer || st == bigint, kSrc, __LINE__, "storeType == integer || storeType == bigint");
    if (!bytes && len) return 0;
    while (len > 0 && bytes[0] == 0) {
        ++bytes;
        --len;
    }
    if (!SetValue(bytes, len)) return 0;
    SetTyped(type, st);
    return 1;
}

int SCPkcs15ObjectAttribute::SetBoolean(uint64_t type, bool value) {
    AssertInvariant(GetStoreTypeForAttribute(type) == boolean, kSrc, __LINE__,
                    "GetStoreTypeForAttribute( type ) == boolean");
    uint8_t b = value ? 0xFF : 0x00;
    if (!SetValue(&b, 1)) return 0;
    SetTyped(type, boolean);
    return 1;
}

int SCPkcs15ObjectAttribute::SetAsnObject(uint64_t type, const ASNobject& obj) {
    AssertInvariant(GetStoreTypeForAttribute(type) == asnder, kSrc, __LINE__,
                    "GetStoreTypeForAttribute( type ) == asnder");
    std::vector<uint8_t> der;
    try {
        if (obj.encodeToVector(der) < 1) return 0;
    } catch (const std::bad_alloc&) {
        return 0;
    }
    if (der.size() > 0xFFFFFFFEu) return 0;
    int ok = SetValue(der.data(), static_cast<uint32_t>(der.size()));
    SecureZero(der.data(), der.size());
    if (!ok) return 0;
    SetTyped(type, asnder);
    return 1;
}

int SCPkcs15ObjectAttribute::SetAsnContents(const ASNobject& obj) {
    AssertInvariant(m_storeType == asnder, kSrc, __LINE__, "m_storeType == asnder");
    std::vector<uint8_t> der;
    try {
        if (obj.encodeToVector(der) < 1) return 0;
    } catch (const std::bad_alloc&) {
        return 0;
    }
    uint32_t hdr = HeaderLength(der.data(), der.size());
    if (hdr > 0 && obj.isExplicit()) {
        uint32_t inner = HeaderLength(der.data() + hdr, der.size() - hdr);
        hdr = inner > 0 ? hdr + inner : 0;
    }
    AssertInvariant(hdr > 0, kSrc, __LINE__, "hdrlen > 0");
    int ok = SetValue(der.data() + hdr, static_cast<uint32_t>(der.size() - hdr));
    SecureZero(der.data(), der.size());
    return ok;
}

int SCPkcs15ObjectAttribute::SetDate(uint64_t type, const char* text, uint32_t len) {
    AssertInvariant(GetStoreTypeForAttribute(type) == date, kSrc, __LINE__,
                    "GetStoreTypeForAttribute( type ) == date");
    if (!text) return 0;
    if (len == ~0u) len = static_cast<uint32_t>(strlen(text));
    if (!AllDigits(reinterpret_cast<const uint8_t*>(text), len)) return 0;
    if (!SetValue(text, len)) return 0;
    SetTyped(type, date);
    return 1;
}

int SCPkcs15ObjectAttribute::SetDate(uint64_t type, int Y, int M, int D, int h, int m, int s, int ms) {
    AssertInvariant(Y >= 0 && Y < 10000, kSrc, __LINE__, "Y < 10000");
    AssertInvariant(M > 0 && M <= 12, kSrc, __LINE__, "M > 0 && M <= 12");
    AssertInvariant(D > 0 && static_cast<uint32_t>(D) <= GetDaysInMonth(static_cast<uint32_t>(Y), static_cast<uint8_t>(M)),
                    kSrc, __LINE__, "D > 0 && D <= GetDaysInMonth( (uint32)Y, (uint8)M)");
    char buf[16];
    YearToFourDigits(static_cast<unsigned>(Y), buf);
    ByteToTwoDigits(static_cast<unsigned>(M), buf + 4);
    ByteToTwoDigits(static_cast<unsigned>(D), buf + 6);
    uint32_t n = 8;
    const int parts[4] = {h, m, s, ms};
    const int limits[4] = {24, 60, 60, 100};
    static const char* const texts[4] = {"h < 24", "m < 60", "s < 60", "ms < 100"};
    for (int i = 0; i < 4; ++i) {
        if (parts[i] < 0) break;
        AssertInvariant(parts[i] < limits[i], kSrc, __LINE__, texts[i]);
        ByteToTwoDigits(static_cast<unsigned>(parts[i]), buf + n);
        n += 2;
    }
    return SetDate(type, buf, n);
}

int SCPkcs15ObjectAttribute::CopyValue(const SCPkcs15ObjectAttribute& other) {
    if (&other == this) return 1;
    if (!SetValue(other.m_value, other.m_length)) return 0;
    // A string keeps its closing NUL.
    if (other.m_storeType == string && other.m_value && other.m_capacity > other.m_length) {
        if (!SetValue(other.m_value, other.m_length + 1)) return 0;
        m_length = other.m_length;
    }
    return 1;
}

int SCPkcs15ObjectAttribute::Set(uint64_t type, const void* data, uint32_t len) {
    if (!data && len) return 0;
    if (!SetValue(data, len)) return 0;
    m_type = len ? type : 0;
    m_storeType = GetStoreTypeForAttribute(m_type);
    return 1;
}

const uint8_t* SCPkcs15ObjectAttribute::GetBinary(uint32_t* len) const {
    if (!m_value || m_length == 0) {
        if (len) *len = 0;
        return &kEmpty;
    }
    if (len) *len = m_length;
    return m_value;
}

int SCPkcs15ObjectAttribute::GetBoolean(bool* value) const {
    AssertInvariant(m_storeType == boolean, kSrc, __LINE__, "m_storeType == boolean");
    bool v = false;
    for (uint32_t i = 0; m_value && i < m_length && i < 1; ++i) v = m_value[i] != 0;
    if (value) *value = v;
    return 1;
}

int SCPkcs15ObjectAttribute::GetFlags(uint32_t* value, uint32_t* mask) const {
    AssertInvariant(m_storeType == flags, kSrc, __LINE__, "m_storeType == flags");
    if (!m_value || m_length != 8) return 0;
    uint32_t v = (uint32_t(m_value[0]) << 24) | (uint32_t(m_value[1]) << 16) | (uint32_t(m_value[2]) << 8) | m_value[3];
    uint32_t k = (uint32_t(m_value[4]) << 24) | (uint32_t(m_value[5]) << 16) | (uint32_t(m_value[6]) << 8) | m_value[7];
    if (value) *value = v;
    if (mask) *mask = k;
    return 1;
}

int SCPkcs15ObjectAttribute::GetInteger(uint32_t* value) const {
    AssertInvariant(m_storeType == integer || m_storeType == bigint, kSrc, __LINE__,
                    "m_storeType == integer || m_storeType == bigint");
    uint32_t i = 0;
    while (m_value && i < m_length && m_value[i] == 0) ++i;
    if (m_length - i > 4) return 0;
    uint32_t v = 0;
    for (; m_value && i < m_length; ++i) v = (v << 8) | m_value[i];
    if (value) *value = v;
    return 1;
}

const uint8_t* SCPkcs15ObjectAttribute::GetBigInt(uint32_t* len) const {
    AssertInvariant(m_storeType == integer || m_storeType == bigint, kSrc, __LINE__,
                    "m_storeType == integer || m_storeType == bigint");
    uint32_t i = 0;
    while (m_value && i < m_length && m_value[i] == 0) ++i;
    if (len) *len = m_value ? m_length - i : 0;
    return m_value ? m_value + i : &kEmpty;
}

int SCPkcs15ObjectAttribute::GetDate(uint32_t* Y, uint32_t* M, uint32_t* D, uint32_t* h, uint32_t* m, uint32_t* s,
                                     uint32_t* ms) const {
    AssertInvariant(m_storeType == date, kSrc, __LINE__, "m_storeType == date");
    if (m_value && !AllDigits(m_value, m_length)) return 0;
    auto part = [this](uint32_t off, uint32_t width) -> uint32_t {
        if (!m_value || off + width > m_length) return 0;
        uint32_t v = 0;
        for (uint32_t i = 0; i < width; ++i) v = v * 10 + (m_value[off + i] - '0');
        return v;
    };
    if (Y) *Y = part(0, 4);
    if (M) *M = part(4, 2);
    if (D) *D = part(6, 2);
    if (h) *h = part(8, 2);
    if (m) *m = part(10, 2);
    if (s) *s = part(12, 2);
    if (ms) *ms = part(14, 2);
    return 1;
}

int SCPkcs15ObjectAttribute::GetAsnObject(ASNobject& obj) const {
    AssertInvariant(m_storeType == asnder, kSrc, __LINE__, "m_storeType == asnder");
    if (!m_value || m_length == 0) return -2;
    long r = obj.readBuffer(m_value, m_length);
    if (r == -2) return -1;
    if (r != static_cast<long>(m_length)) return -3;
    return 0;
}

int SCPkcs15ObjectAttribute::GetAsnContents(ASNobject& obj) const {
    AssertInvariant(m_storeType == asnder, kSrc, __LINE__, "m_storeType == asnder");
    std::vector<uint8_t> der;
    try {
        der.push_back(obj.getTag());
        uint8_t lb[8];
        int n = ASNobject::encodeLength(static_cast<long>(m_length), lb);
        if (n < 1) return -3;
        der.insert(der.end(), lb, lb + n);
        if (m_value) der.insert(der.end(), m_value, m_value + m_length);
    } catch (const std::bad_alloc&) {
        return -1;
    }
    long r = obj.readBuffer(der.data(), static_cast<long>(der.size()));
    SecureZero(der.data(), der.size());
    if (r == -2) return -1;
    if (r != static_cast<long>(der.size())) return -3;
    return 0;
}

bool SCPkcs15ObjectAttribute::KindMatches(uint32_t t, uint32_t k) {
    if (t == 0 || t == k) return true;
    if ((t & ~0xFF00u) == 0) return (k & 0xFF00u) == t;
    if ((t & ~0xFF00FF00u) == 0 &&
        ((k & P15_CLASS_MASK) == P15_KIND_PRIVATE_KEY || (k & P15_CLASS_MASK) == P15_KIND_PUBLIC_KEY))
        return (k & 0xFF00FF00u) == t;
    if ((t & ~0xFFFF00u) == 0) return (k & 0xFFFF00u) == t;
    if ((t & 0xFFu) == 0) return (k & 0xFFFFFF00u) == t;
    return false;
}

int SCPkcs15ObjectAttribute::Compare(const SCPkcs15ObjectAttribute& other, bool sameTypeRequired) const {
    return Compare(*this, other, sameTypeRequired);
}

int SCPkcs15ObjectAttribute::Compare(const SCPkcs15ObjectAttribute& a, const SCPkcs15ObjectAttribute& b,
                                     bool sameTypeRequired) {
    if (a.m_type == 0 || b.m_type == 0) return -1;
    auto numeric = [](uint32_t st) { return st == integer || st == bigint; };
    if (a.m_storeType != b.m_storeType && !(numeric(a.m_storeType) && numeric(b.m_storeType))) return -1;
    if (sameTypeRequired && a.m_type != b.m_type) return -1;
    if (a.m_type == p15attr::kKind && numeric(a.m_storeType) && numeric(b.m_storeType)) {
        uint32_t t = 0, k = 0;
        if (!a.GetInteger(&t) || !b.GetInteger(&k)) return -1;
        return KindMatches(t, k) ? 0 : -1;
    }
    if (!a.m_value) return (!b.m_value && a.m_length == 0 && b.m_length == 0) ? 0 : -1;
    if (!b.m_value) return -1;
    switch (a.m_storeType) {
    case string: {
        const void* za = memchr(a.m_value, 0, a.m_length);
        const void* zb = memchr(b.m_value, 0, b.m_length);
        uint32_t la = za ? static_cast<uint32_t>(static_cast<const uint8_t*>(za) - a.m_value) : a.m_length;
        uint32_t lb = zb ? static_cast<uint32_t>(static_cast<const uint8_t*>(zb) - b.m_value) : b.m_length;
        if (la != lb) return static_cast<int>(la) - static_cast<int>(lb);
        for (uint32_t i = 0; i < la; ++i)
            if (a.m_value[i] != b.m_value[i]) return a.m_value[i] > b.m_value[i] ? 1 : -1;
        return 0;
    }
    case flags: {
        uint32_t av, am, bv, bm;
        if (!a.GetFlags(&av, &am) || !b.GetFlags(&bv, &bm)) return -1;
        return (av & am) == (bv & am) ? 0 : -1;
    }
    case boolean: {
        bool x = false, y = false;
        a.GetBoolean(&x);
        b.GetBoolean(&y);
        return x == y ? 0 : -1;
    }
    case integer:
    case bigint: {
        uint32_t la, lb;
        const uint8_t* pa = a.GetBigInt(&la);
        const uint8_t* pb = b.GetBigInt(&lb);
        if (la != lb) return la > lb ? 1 : -1;
        for (uint32_t i = 0; i < la; ++i)
            if (pa[i] != pb[i]) return pa[i] > pb[i] ? 1 : -1;
        return 0;
    }
    case date: {
        if (!AllDigits(a.m_value, a.m_length) || !AllDigits(b.m_value, b.m_length)) return -1;
        uint32_t common = a.m_length < b.m_length ? a.m_length : b.m_length;
        for (uint32_t i = 0; i < common; ++i)
            if (a.m_value[i] != b.m_value[i]) return static_cast<int>(a.m_value[i]) - static_cast<int>(b.m_value[i]);
        const SCPkcs15ObjectAttribute& longer = a.m_length > b.m_length ? a : b;
        for (uint32_t i = common; i < longer.m_length; ++i)
            if (longer.m_value[i] != '0') return &longer == &a ? 1 : -1;
        return 0;
    }
    default:
        if (a.m_length != b.m_length) return -1;
        return memcmp(a.m_value, b.m_value, a.m_length) == 0 ? 0 : -1;
    }
}

// ---- list ----

SCPkcs15ObjectAttributeList::~SCPkcs15ObjectAttributeList() { RemoveAll(); }

void SCPkcs15ObjectAttributeList::RemoveAll() {
    for (SCPkcs15ObjectAttribute* a : m_items) delete a;
    m_items.clear();
}

SCPkcs15ObjectAttribute* SCPkcs15ObjectAttributeList::AddAttribute(uint64_t type) {
    SCPkcs15ObjectAttribute* a = new (std::nothrow) SCPkcs15ObjectAttribute(type);
    if (!a) return nullptr;
    try {
        m_items.push_back(a);
    } catch (const std::bad_alloc&) {
        delete a;
        return nullptr;
    }
    return a;
}

SCPkcs15ObjectAttribute* SCPkcs15ObjectAttributeList::Keep(SCPkcs15ObjectAttribute* a, int ok) {
    if (ok) return a;
    m_items.pop_back();
    delete a;
    return nullptr;
}

SCPkcs15ObjectAttribute* SCPkcs15ObjectAttributeList::AddInteger(uint64_t type, uint32_t value) {
    SCPkcs15ObjectAttribute* a = AddAttribute(type);
    return a ? Keep(a, a->SetInteger(type, value)) : nullptr;
}
SCPkcs15ObjectAttribute* SCPkcs15ObjectAttributeList::AddBigInt(uint64_t type, const uint8_t* bytes, uint32_t len) {
    SCPkcs15ObjectAttribute* a = AddAttribute(type);
    return a ? Keep(a, a->SetBigInt(type, bytes, len)) : nullptr;
}
SCPkcs15ObjectAttribute* SCPkcs15ObjectAttributeList::AddFlags(uint64_t type, uint32_t value, uint32_t mask) {
    SCPkcs15ObjectAttribute* a = AddAttribute(type);
    return a ? Keep(a, a->SetFlags(type, value, mask)) : nullptr;
}
SCPkcs15ObjectAttribute* SCPkcs15ObjectAttributeList::AddDate(uint64_t type, const char* text, uint32_t len) {
    SCPkcs15ObjectAttribute* a = AddAttribute(type);
    return a ? Keep(a, a->SetDate(type, text, len)) : nullptr;
}
SCPkcs15ObjectAttribute* SCPkcs15ObjectAttributeList::AddAsnObject(uint64_t type, const ASNobject& obj) {
    SCPkcs15ObjectAttribute* a = AddAttribute(type);
    return a ? Keep(a, a->SetAsnObject(type, obj)) : nullptr;
}
SCPkcs15ObjectAttribute* SCPkcs15ObjectAttributeList::AddBinary(uint64_t type, const void* data, uint32_t len) {
    SCPkcs15ObjectAttribute* a = AddAttribute(type);
    return a ? Keep(a, a->SetBinary(type, data, len)) : nullptr;
}

SCPkcs15ObjectAttribute* SCPkcs15ObjectAttributeList::FindAttribute(uint64_t type) const {
    for (SCPkcs15ObjectAttribute* a : m_items)
        if (a->GetType() == type) return a;
    return nullptr;
}

int SCPkcs15ObjectAttributeList::RemoveAttribute(uint64_t type) {
    int removed = 0;
    for (size_t i = 0; i < m_items.size();) {
        if (m_items[i]->GetType() == type) {
            delete m_items[i];
            m_items.erase(m_items.begin() + static_cast<long>(i));
            removed = 1;
        } else {
            ++i;
        }
    }
    return removed;
}
