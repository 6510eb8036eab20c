#include "lib/libpkcs15/asnpkcs15path.h"

#include <new>
#include <stdexcept>
#include <vector>

#include "lib/libpkcs15/asnpkcs15common.h"
#include "support/vtest.h"

ASNPkcs15Path::ASNPkcs15Path(uint32_t t)
    : ASNsequenceF(t), path(0x04), index(0x02), length(0x80), wasIndex(0), wasLength(0) {}

ASNPkcs15Path::ASNPkcs15Path(const ASNPkcs15Path& other)
    : ASNsequenceF(other), path(0x04), index(0x02), length(0x80), wasIndex(0), wasLength(0) {
    *this = other;
}

ASNPkcs15Path::~ASNPkcs15Path() = default;

std::array<asnp15::Member, 3> ASNPkcs15Path::members() const {
    auto* t = const_cast<ASNPkcs15Path*>(this);
    return {{{&t->path, nullptr, 0}, {&t->index, &t->wasIndex, 0}, {&t->length, &t->wasLength, 0x80}}};
}

int ASNPkcs15Path::read_contents(GenericFile* src, long len) {
    clear();
    long r = path.read(src, len, 0);
    if (r < 1) return static_cast<int>(r);
    if ((path.getLength() & 1) != 0) return 0;
    if (r > len) return 0;
    const auto m = members();
    return asnp15::readElements(src, len, r, 2, [&](const ASNany& el) {
        const uint8_t id = asnp15::idOf(el);
        return asnp15::takeInOrder(m, id == 0x02 ? 1 : (id & 0xDF) == 0x80 ? 2 : -1, el);
    });
}

int ASNPkcs15Path::write_contents(GenericFile* dst) const { return asnp15::writeMembers(dst, members()); }

long ASNPkcs15Path::lenOfBody() const { return asnp15::lenOfMembers(members()); }

void ASNPkcs15Path::digest_contents(QvHash* hash) const { asnp15::digestMembers(hash, members()); }

void ASNPkcs15Path::clear() {
    path.clear();
    index.clear();
    length.clear();
    wasIndex = wasLength = 0;
    asnp15::makeImplicit(length, 0x80);
}

int ASNPkcs15Path::setPath(const uint16_t* words, int count) {
    if (words == nullptr || count <= 0) {
        path.clear();
        return 1;
    }
    std::vector<uint8_t> b;
    try {
        b.resize(static_cast<size_t>(count) * 2);
    } catch (const std::bad_alloc&) {
        return 0;
    }
    for (int i = 0; i < count; i++) {
        b[2 * i] = static_cast<uint8_t>(words[i] >> 8);
        b[2 * i + 1] = static_cast<uint8_t>(words[i]);
    }
    return path.set(b.data(), static_cast<long>(b.size())) == 1 ? 1 : 0;
}

int ASNPkcs15Path::set(const uint16_t* words, int count, uint32_t idx, uint32_t len) {
    if (setPath(words, count) != 1) return 0;
    if (idx == 0 && len == 0) {
        index.clear();
        length.clear();
        wasIndex = wasLength = 0;
        return 1;
    }
    try {
        index.setValue(idx);
        length.setValue(len);
    } catch (const std::bad_alloc&) {
        return 0;
    }
    wasIndex = wasLength = 1;
    return 1;
}

int ASNPkcs15Path::getPath(uint16_t* out, uint32_t maxWords) const {
    long n = path.getLength();
    if ((n & 1) != 0) return -1;
    if (out == nullptr) return static_cast<int>(n / 2);
    if (static_cast<uint64_t>(maxWords) * 2 < static_cast<uint64_t>(n)) return -2;
    if (n == 0) return 0;
    const uint8_t* d = path.getData();
    if (d == nullptr) return 0;
    for (long i = 0; i < n / 2; i++)
        out[i] = static_cast<uint16_t>((d[2 * i] << 8) | d[2 * i + 1]);
    return static_cast<int>(n / 2);
}

namespace {
uint32_t smallValue(const ASNinteger& v) {
    try {
        long x = v.getLong();
        return x < 0 || x > 0xFFFFFFFFL ? 0 : static_cast<uint32_t>(x);
    } catch (const std::exception&) {
        return 0;
    }
}
}  // namespace

uint32_t ASNPkcs15Path::getIndex() const { return wasIndex ? smallValue(index) : 0; }
uint32_t ASNPkcs15Path::getLengthValue() const { return wasLength ? smallValue(length) : 0; }

ASNPkcs15Path& ASNPkcs15Path::operator=(const ASNPkcs15Path& other) {
    AssertInvariant((flags & ASN_FLAG_CONST) == 0, "asnpkcs15path.cpp", 51, "!( flags & ASN_FLAG_CONST )");
    if (this == &other) return *this;
    wasIndex = other.wasIndex;
    wasLength = other.wasLength;
    path = other.path;
    if (wasIndex) index = other.index;
    if (wasLength) asnp15::assignTagged(length, other.length, 0x80);
    return *this;
}

bool ASNPkcs15Path::operator==(const ASNPkcs15Path& o) const {
    if (wasIndex != o.wasIndex || wasLength != o.wasLength) return false;
    if (path != o.path) return false;
    if (wasIndex && !(index == o.index)) return false;
    if (wasLength && !(length == o.length)) return false;
    return true;
}
