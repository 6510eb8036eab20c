#include "libtorvapp/qvdsaarith.h"

#include <cstring>
#include <memory>

#include "libtorvapp/qvcommon/qvwordmem.h"
#include "libtorvapp/qvnumbers/qvzn.h"

namespace {

// Wipes a work buffer of random octets when it goes.
struct WipedOctets {
    explicit WipedOctets(unsigned int n) : mem(n) {}
    ~WipedOctets() { mem.clear(); }
    QvOctMem mem;
};

unsigned int derLenOctets(unsigned int len)
{
    if (len < 128)
        return 1;
    unsigned int n = 0;
    for (unsigned int v = len; v != 0; v >>= 8)
        ++n;
    return 1 + n;
}

unsigned int integerContentLength(const QvN &v)
{
    unsigned int len = v.isZero() ? 1 : v.getOctetLength();
    if (v.getBit(8 * len - 1) != 0)
        ++len;
    return len;
}

unsigned int putInteger(const QvN &v, QvOctet *out)
{
    unsigned int content = integerContentLength(v);
    QvOctet *p = out;
    *p++ = 0x02;
    if (content < 128) {
        *p++ = static_cast<QvOctet>(content);
    } else {
        unsigned int n = derLenOctets(content) - 1;
        *p++ = static_cast<QvOctet>(0x80 + n);
        for (unsigned int i = 0; i < n; ++i)
            *p++ = static_cast<QvOctet>(content >> (8 * (n - 1 - i)));
    }
    v.asOctetString(p, content, true);
    return static_cast<unsigned int>(p - out) + content;
}

// One TLV at sig[0..len): its contents and total length, false when it
// leaves the buffer.
bool readTlv(const QvOctet *sig, unsigned int len, const QvOctet *&content, unsigned int &contentLen,
             unsigned int &total)
{
    if (len < 2)
        return false;
    unsigned int pos = 1;
    unsigned int first = sig[pos++];
    unsigned long long clen;
    if (first < 0x80) {
        clen = first;
    } else {
        unsigned int n = first & 0x7F;
        if (n == 0 || n > 4 || pos + n > len)
            return false;
        clen = 0;
        for (unsigned int i = 0; i < n; ++i)
            clen = (clen << 8) | sig[pos++];
    }
    if (clen > len - pos)
        return false;
    content = sig + pos;
    contentLen = static_cast<unsigned int>(clen);
    total = pos + contentLen;
    return true;
}

} // namespace

QvN qvDsaDigestNumber(const QvOctet *digest, unsigned int digestLen, unsigned int orderBits)
{
    QvN e(digest, digestLen, 0);
    unsigned long long bits = 8ULL * digestLen;
    if (orderBits < bits)
        e >>= static_cast<unsigned int>(bits - orderBits);
    return e;
}

void qvDsaSignRS(const QvGroup &group, const QvGroupElem *gen, const QvModulus &n, const QvN &x, const QvN &z,
                 QvRbg &rbg, unsigned int kOctets, QvN &r, QvN &s)
{
    if (n.getBitLength() <= 64)
        qvThrow<QvArgumentRangeException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\n"
            "REASON: Order of the group is too small for a secret value.\n"
            "FUNCTION: void qvDsaSignRS(const QvGroup &group, const QvGroupElem *gen, const QvModulus &n, "
            "const QvN &x, const QvN &z, QvRbg &rbg, unsigned int kOctets, QvN &r, QvN &s)\n"
            "FILE: qvdsaarith\nLINE: 96\n");
    WipedOctets buf(kOctets);
    const QvZn xr(x % n, &n);
    const QvZn zr(z % n, &n);
    for (;;) {
        QvN k;
        do {
            rbg.fillOctets(buf.mem.getData(), kOctets);
            k = QvN(buf.mem.getConstData(), kOctets, 0);
            k %= n;
        } while (k.isZero());
        std::unique_ptr<QvGroupElem> p(group.product(k, gen));
        r = group.asQvN(p.get()) % n;
        p.reset();
        if (r.isZero())
            continue;
        QvZn kr(k, &n);
        QvZn sr = (zr + xr * QvZn(r, &n)) / kr;
        s = sr.asQvN();
        k = QvWord(0);
        if (!s.isZero())
            return;
    }
}

bool qvDsaVerifyRS(const QvGroup &group, const QvGroupElem *gen, const QvModulus &n, const QvGroupElem *h,
                   const QvN &z, const QvN &r, const QvN &s)
{
    if (r.isZero() || s.isZero() || r >= n || s >= n)
        return false;
    try {
        QvZn w = 1u / QvZn(s, &n);
        QvN u1 = (QvZn(z % n, &n) * w).asQvN();
        QvN u2 = (QvZn(r, &n) * w).asQvN();
        std::unique_ptr<QvGroupElem> x(group.productTwo(u1, gen, u2, h));
        QvN v = group.asQvN(x.get()) % n;
        return v == r;
    } catch (const QvInvException &) {
        return false;
    }
}

unsigned int qvDsaEncodedRSLength(const QvN &r, const QvN &s)
{
    unsigned int rc = integerContentLength(r);
    unsigned int sc = integerContentLength(s);
    return 1 + derLenOctets(rc) + rc + 1 + derLenOctets(sc) + sc;
}

unsigned int qvDsaEncodeRS(const QvN &r, const QvN &s, QvOctet *out, unsigned int outLen)
{
    unsigned int total = qvDsaEncodedRSLength(r, s);
    if (total > outLen || out == nullptr)
        return 0;
    unsigned int pos = putInteger(r, out);
    putInteger(s, out + pos);
    return total;
}

bool qvDsaSplitRS(const QvOctet *sig, unsigned int len, const QvOctet *&r, unsigned int &rLen, const QvOctet *&s,
                  unsigned int &sLen)
{
    if (sig == nullptr)
        return false;
    unsigned int rTotal = 0;
    unsigned int sTotal = 0;
    if (!readTlv(sig, len, r, rLen, rTotal))
        return false;
    return readTlv(sig + rTotal, len - rTotal, s, sLen, sTotal);
}
