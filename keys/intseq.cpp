// Shared coding of key structures that are a SEQUENCE of INTEGERs.
#include "keys/intseq.h"

#include "libtorvapp/qvnumbers/qvn.h"

int keyReadIntegers(GenericFile* src, long len, uint8_t flags, ASNinteger* const* ints, int n,
                    ASNinteger* const* opt, uint8_t* const* optPresent, int nOpt) {
    long used = 0;
    for (int i = 0; i < nOpt; i++) *optPresent[i] = 0;
    for (int i = 0; i < n; i++) {
        if (len - used < 2) return 0;
        long r = ints[i]->read(src, len - used, flags);
        if (r < 1) return static_cast<int>(r);
        used += r;
    }
    for (int i = 0; i < nOpt && used < len; i++) {
        if (len - used < 2) return 0;
        long r = opt[i]->read(src, len - used, flags);
        if (r < 1) return static_cast<int>(r);
        used += r;
        *optPresent[i] = 1;
    }
    return used == len ? 1 : 0;
}

int keyWriteIntegers(GenericFile* dst, const ASNinteger* const* ints, int n) {
    for (int i = 0; i < n; i++) {
        long r = ints[i]->write(dst);
        if (r < 1) return static_cast<int>(r);
    }
    return 1;
}

long keyLenIntegers(const ASNinteger* const* ints, int n) {
    long s = 0;
    for (int i = 0; i < n; i++) s += ints[i]->lenOfObject();
    return s;
}

void keyDigestIntegers(QvHash* hash, const ASNinteger* const* ints, int n) {
    for (int i = 0; i < n; i++) ints[i]->digestObject(hash);
}

unsigned keyIntegerBits(const ASNinteger& v) {
    const uint8_t* d = v.getData();
    long all = v.getValueLength();
    if (d == nullptr || all < 1 || (d[0] & 0x80) != 0) return 0;
    long i = 0;
    while (i < all && d[i] == 0) i++;
    if (i == all) return 0;
    unsigned bits = static_cast<unsigned>(all - i - 1) * 8;
    for (uint8_t top = d[i]; top != 0; top >>= 1) bits++;
    return bits;
}

bool keyIntegerMagnitude(const ASNinteger& v, const uint8_t*& d, unsigned& n) {
    d = v.getData();
    long len = v.getValueLength();
    if (d == nullptr || len < 1 || (d[0] & 0x80) != 0) return false;
    while (len > 1 && d[0] == 0) {
        ++d;
        --len;
    }
    n = static_cast<unsigned>(len);
    return true;
}

unsigned keyIntegerOctets(const ASNinteger& v) {
    const uint8_t* d = v.getData();
    long n = v.getValueLength();
    while (d != nullptr && n > 1 && d[0] == 0) {
        ++d;
        --n;
    }
    return static_cast<unsigned>(n < 1 ? 1 : n);
}

bool keyIntegerNonZero(const ASNinteger& v) {
    const uint8_t* d = v.getData();
    for (long i = 0; d != nullptr && i < v.getValueLength(); i++)
        if (d[i] != 0) return true;
    return false;
}

bool keyIntegerValue(const ASNinteger& v, QvN& out) {
    const uint8_t* d;
    unsigned n;
    if (!keyIntegerMagnitude(v, d, n)) return false;
    out = QvN(d, n, 0);
    return true;
}
