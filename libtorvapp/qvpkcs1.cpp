#include "libtorvapp/qvpkcs1.h"

#include <cstring>

namespace {

unsigned int derLengthOctets(unsigned int len)
{
    if (len < 128)
        return 1;
    unsigned int n = 0;
    for (unsigned int v = len; v != 0; v >>= 8)
        ++n;
    return 1 + n;
}

unsigned int putDerLength(QvOctet *out, unsigned int len)
{
    if (len < 128) {
        out[0] = static_cast<QvOctet>(len);
        return 1;
    }
    unsigned int n = derLengthOctets(len) - 1;
    out[0] = static_cast<QvOctet>(0x80 + n);
    for (unsigned int i = 0; i < n; ++i)
        out[1 + i] = static_cast<QvOctet>(len >> (8 * (n - 1 - i)));
    return 1 + n;
}

// H = Hash(8 zero octets || digest || salt), first hLen octets into h.
void pssHash(QvHash &hash, const QvOctet *digest, unsigned int digestLen, const QvOctet *salt,
             unsigned int saltLen, QvOctet *h, unsigned int hLen)
{
    static const QvOctet zeros[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    hash.init();
    hash.step(zeros, 8);
    hash.step(digest, digestLen);
    hash.step(salt, saltLen);
    hash.finish();
    hash.getHash(hLen, h);
}

} // namespace

void qvPkcs1DigestInfo(QvOctMem &t, const QvHash &hash, const QvOctet *digest, unsigned int digestLen)
{
    const QvOctet *oid = hash.getOidDer();
    unsigned int oidLen = hash.getOidDerOctets();
    unsigned int algLen = oidLen + 2;                                     // OID, NULL
    unsigned int algTlv = 1 + derLengthOctets(algLen) + algLen;
    unsigned int octTlv = 1 + derLengthOctets(digestLen) + digestLen;
    unsigned int body = algTlv + octTlv;
    unsigned int total = 1 + derLengthOctets(body) + body;
    QvOctMem out(total);
    QvOctet *p = out.getData();
    *p++ = 0x30;
    p += putDerLength(p, body);
    *p++ = 0x30;
    p += putDerLength(p, algLen);
    std::memcpy(p, oid, oidLen);
    p += oidLen;
    *p++ = 0x05;
    *p++ = 0x00;
    *p++ = 0x04;
    p += putDerLength(p, digestLen);
    if (digestLen != 0)
        std::memcpy(p, digest, digestLen);
    t = out;
}

bool qvPkcs1EmsaV15(QvOctMem &encoding, const QvOctMem &t, unsigned int k)
{
    unsigned int tLen = t.getLength();
    if (k < tLen + 11 || k < tLen)
        return false;
    QvOctMem out(k - 1);
    QvOctet *p = out.getData();
    unsigned int ps = k - tLen - 3;
    p[0] = 0x01;
    std::memset(p + 1, 0xFF, ps);
    p[1 + ps] = 0x00;
    std::memcpy(p + 2 + ps, t.getConstData(), tLen);
    encoding = out;
    return true;
}

void qvPkcs1EmsaPssEncode(QvOctMem &encoding, unsigned int modBits, QvHash &hash, unsigned int hLen,
                          const QvOctet *digest, unsigned int digestLen, unsigned int saltOctets, QvRbg *rbg,
                          QvMgf &mgf)
{
    unsigned int emLen = (modBits + 6) / 8;
    QvOctet topMask = static_cast<QvOctet>(0xFF >> (8 * emLen - (modBits - 1)));
    QvOctMem out(emLen);
    QvOctet *em = out.getData();
    unsigned int psLen = emLen - saltOctets - hLen - 2;
    std::memset(em, 0, psLen);
    em[psLen] = 0x01;
    QvOctet *salt = em + psLen + 1;
    for (unsigned int i = 0; i < saltOctets; ++i)
        salt[i] = rbg->getOctet();
    QvOctet *h = em + emLen - hLen - 1;
    pssHash(hash, digest, digestLen, salt, saltOctets, h, hLen);
    em[emLen - 1] = 0xBC;
    mgf.xorMask(em, emLen - hLen - 1, h, hLen);
    em[0] &= topMask;
    encoding = out;
}

bool qvPkcs1EmsaPssVerify(QvOctet *em, unsigned int emLen, unsigned int modBits, QvHash &hash, unsigned int hLen,
                          const QvOctet *digest, unsigned int digestLen, unsigned int saltOctets, QvMgf &mgf)
{
    if (modBits == 0 || emLen < hLen + saltOctets + 2)
        return false;
    QvOctet topMask = static_cast<QvOctet>(0xFF >> (8 * emLen - (modBits - 1)));
    bool ok = (em[0] & static_cast<QvOctet>(~topMask)) == 0;
    ok = (em[emLen - 1] == 0xBC) && ok;
    const QvOctet *h = em + emLen - hLen - 1;
    mgf.xorMask(em, emLen - hLen - 1, h, hLen);
    em[0] &= topMask;
    unsigned int psLen = emLen - saltOctets - hLen - 2;
    QvOctet acc = 0;
    for (unsigned int i = 0; i < psLen; ++i)
        acc |= em[i];
    ok = (acc == 0) && ok;
    ok = (em[psLen] == 0x01) && ok;
    QvOctet hh[QV_HASH_MAX_OCTETS];
    pssHash(hash, digest, digestLen, em + psLen + 1, saltOctets, hh, hLen);
    QvOctet diff = 0;
    for (unsigned int i = 0; i < hLen; ++i)
        diff |= static_cast<QvOctet>(hh[i] ^ h[i]);
    std::memset(hh, 0, sizeof hh);
    return (diff == 0) && ok;
}

void qvPkcs1EmeV15Encode(QvOctet *out, unsigned int k, const QvOctet *m, unsigned int mLen, QvRbg &rbg)
{
    unsigned int ps = k - 3 - mLen;
    out[0] = 0x02;
    for (unsigned int i = 0; i < ps; ++i) {
        QvOctet o;
        do {
            o = rbg.getOctet();
        } while (o == 0);
        out[1 + i] = o;
    }
    out[1 + ps] = 0x00;
    if (mLen != 0)
        std::memcpy(out + 2 + ps, m, mLen);
}

bool qvPkcs1EmeV15Decode(const QvOctet *em, unsigned int k, unsigned int &mOff, unsigned int &mLen)
{
    if (k < 11 || em[0] != 0x00 || em[1] != 0x02)
        return false;
    unsigned int i = 2;
    while (i < k && em[i] != 0x00)
        ++i;
    if (i >= k)
        return false;
    unsigned int len = k - i - 1;
    if (len > k - 11)                      // fewer than eight padding octets
        return false;
    mOff = i + 1;
    mLen = len;
    return true;
}

void qvPkcs1EmeOaepEncode(QvOctet *out, unsigned int k, const QvOctet *m, unsigned int mLen, const QvOctet *label,
                          unsigned int labelLen, QvHash &hash, QvMgf &mgf, QvRbg &rbg)
{
    unsigned int hLen = hash.getHashOctets();
    QvOctet *seed = out;
    QvOctet *db = out + hLen;
    unsigned int dbLen = k - hLen - 1;
    for (unsigned int i = 0; i < hLen; ++i)
        seed[i] = rbg.getOctet();
    static const QvOctet empty[1] = {0};
    hash.hash(label != nullptr ? label : empty, labelLen);
    hash.getHash(hLen, db);
    unsigned int ps = k - mLen - 2 * hLen - 2;
    std::memset(db + hLen, 0, ps);
    db[hLen + ps] = 0x01;
    if (mLen != 0)
        std::memcpy(db + hLen + ps + 1, m, mLen);
    mgf.xorMask(db, dbLen, seed, hLen);
    mgf.xorMask(seed, hLen, db, dbLen);
}

bool qvPkcs1EmeOaepDecode(QvOctet *em, unsigned int k, const QvOctet *label, unsigned int labelLen, QvHash &hash,
                          QvMgf &mgf, unsigned int &mOff, unsigned int &mLen)
{
    unsigned int hLen = hash.getHashOctets();
    if (k < 2 * hLen + 2)
        return false;
    QvOctet *seed = em + 1;
    QvOctet *db = em + 1 + hLen;
    unsigned int dbLen = k - hLen - 1;
    mgf.xorMask(seed, hLen, db, dbLen);
    mgf.xorMask(db, dbLen, seed, hLen);
    static const QvOctet empty[1] = {0};
    QvOctet lh[QV_HASH_MAX_OCTETS];
    hash.hash(label != nullptr ? label : empty, labelLen);
    hash.getHash(hLen, lh);
    for (unsigned int i = 0; i < hLen; ++i)
        db[i] ^= lh[i];
    std::memset(lh, 0, sizeof lh);
    // One pass over all of DB whatever it holds, so that the time taken does
    // not tell which check failed.
    unsigned int found = 0;      // 1 once the first non-zero octet was seen
    unsigned int index = 0;      // its position
    unsigned int good = em[0] == 0 ? 1u : 0u;
    for (unsigned int j = 0; j < dbLen; ++j) {
        unsigned int nonZero = db[j] != 0 ? 1u : 0u;
        unsigned int first = nonZero & (found ^ 1u);
        index |= (0u - first) & j;
        good &= ~first | (db[j] == 0x01 ? 1u : 0u);
        found |= nonZero;
    }
    good &= found;
    unsigned int len = dbLen - index - 1;
    good &= (len <= k - 2 * hLen - 2) ? 1u : 0u;
    if (good == 0)
        return false;
    unsigned int i = index;
    mOff = 1 + hLen + i + 1;
    mLen = len;
    return true;
}
