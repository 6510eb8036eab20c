// QvN: representation, conversions and arithmetic over the word kernels.
#include "libtorvapp/qvnumbers/qvn.h"

#include <cstring>
#include <utility>

#include "libtorvapp/qvconv/qvder.h"
#include "libtorvapp/qvnumbers/longv_internal.h"
#include "libtorvapp/qvrbg.h"

using namespace qvlongv;

namespace {

unsigned int wordBits(QvWord w) { return w == 0 ? 0 : 32 - __builtin_clz(w); }

}  // namespace

// ---------------------------------------------------------------------------
// Construction
// ---------------------------------------------------------------------------
QvN::QvN() : v(1), n(1) { v.getData()[0] = 0; }

QvN::QvN(QvWord value, unsigned int words) : v(words == 0 ? 1 : words), n(words == 0 ? 1 : words) {
    longvZero(v.getData(), n);
    v.getData()[0] = value;
}

QvN::QvN(const QvWord *words, unsigned int count) : v(count == 0 ? 1 : count), n(count == 0 ? 1 : count) {
    if (count == 0) v.getData()[0] = 0;
    else longvCopy(v.getData(), words, count);
    normalise();
}

QvN::QvN(const QvWordMem &words) : QvN(words.getConstData(), words.getLength()) {}

QvN::QvN(const QvOctet *oct, unsigned int len, unsigned int flag) : QvN() {
    (void)flag;
    setOctetString(oct, len);
}

QvN::QvN(const QvConv &der) : QvN() {
    const QvOctet *tlv = der.getConstData();
    const unsigned int avail = der.getLength();
    const QvOctet *c = qvDerGetContents(tlv, avail);
    setOctetString(c, qvDerGetLength(tlv, avail));
}

QvN::QvN(const char *text) : QvN() {
    if (text == nullptr) return;
    const std::size_t len = std::strlen(text);
    if (len == 0) return;
    unsigned int words;
    QvWordLen got;
    if (text[0] == '0' && text[1] == 'x') {
        words = (unsigned int)(4 * len / 32 + 1);
        QvWordMem buf(words);
        longvZero(buf.getData(), words);
        const char *digits = text + 2;
        while (*digits == '0' && digits[1] != '\0') ++digits;
        got = longvFromHex(buf.getData(), digits);
        v = std::move(buf);
    } else if (text[0] == '0' && len > 1) {
        words = (unsigned int)(3 * len / 32 + 1);
        QvWordMem buf(words);
        longvZero(buf.getData(), words);
        got = longvFromOctal(buf.getData(), text + 1);
        v = std::move(buf);
    } else {
        // One word per nine characters and one more: enough also for
        // characters that are not decimal digits (each group of nine then
        // still adds at most one word), which len / (32 log10 2) + 1 is not.
        words = (unsigned int)(len / 9 + 2);
        QvWordMem buf(words);
        longvZero(buf.getData(), words);
        got = longvFromDecimal(buf.getData(), text);
        v = std::move(buf);
    }
    n = got == 0 ? 1 : (got > words ? words : got);
    normalise();
}

QvN::QvN(const QvN &other) : v(other.n), n(other.n) { longvCopy(v.getData(), other.v.getConstData(), n); }

QvN::~QvN() {}

QvN &QvN::operator=(const QvN &other) {
    if (this != &other) {
        if (v.getLength() < other.n) {
            QvWordMem buf(other.n);
            longvCopy(buf.getData(), other.v.getConstData(), other.n);
            v = std::move(buf);
        } else {
            longvCopy(v.getData(), other.v.getConstData(), other.n);
        }
        n = other.n;
    }
    return *this;
}

QvN &QvN::operator=(QvWord w) {
    if (v.getLength() == 0) v = QvWordMem(1);
    v.getData()[0] = w;
    n = 1;
    return *this;
}

void QvN::normalise() {
    const QvWord *d = v.getConstData();
    while (n > 1 && d[n - 1] == 0) --n;
}

void QvN::reserve(unsigned int words) {
    if (v.getLength() < words) v.resize(words);
}

void QvN::setWords(const QvWord *src, unsigned int count) {
    if (count == 0) {
        *this = (QvWord)0;
        return;
    }
    if (v.getLength() < count) {
        QvWordMem buf(count);
        longvCopy(buf.getData(), src, count);
        v = std::move(buf);
    } else {
        longvCopy(v.getData(), src, count);
    }
    n = count;
    normalise();
}

// ---------------------------------------------------------------------------
// Access and conversion
// ---------------------------------------------------------------------------
unsigned int QvN::getBitLength() const {
    const unsigned int b = 32 * (n - 1) + wordBits(v.getConstData()[n - 1]);
    return b == 0 ? 1 : b;
}

unsigned int QvN::getOctetLength() const {
    return 4 * (n - 1) + (wordBits(v.getConstData()[n - 1]) + 7) / 8;
}

QvWord &QvN::operator[](unsigned int i) {
    if (i >= n)
        qvThrow<QvAccessException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvAccessException\nREASON: To large index.\n"
            "FUNCTION: QvWord& QvN::operator [](unsigned int i)\nFILE: qvnumbers/n_access\nLINE: 34\n");
    return v.getData()[i];
}

int QvN::getBit(unsigned int i) const {
    if (i / 32 >= n) return 0;
    return (v.getConstData()[i / 32] >> (i % 32)) & 1;
}

unsigned int QvN::asOctetString(QvOctet *oct, unsigned int len, bool pad) const {
    unsigned int needed = getOctetLength();
    if (needed == 0) needed = 1;
    if (len < needed || oct == nullptr) return 0;
    QvOctet *out = oct;
    if (pad) {
        std::memset(out, 0, len - needed);
        out += len - needed;
    }
    const QvWord *d = v.getConstData();
    for (unsigned int i = 0; i < needed; ++i) {
        const unsigned int k = needed - 1 - i;  // octet index from the least significant
        out[i] = (QvOctet)(d[k / 4] >> (8 * (k % 4)));
    }
    return pad ? len : needed;
}

void QvN::setOctetString(const QvOctet *oct, unsigned int len) {
    if (len == 0 || oct == nullptr) {
        *this = (QvWord)0;
        return;
    }
    QvWordMem buf(oct, len, true);
    v = std::move(buf);
    n = v.getLength();
    normalise();
}

QvConvASCII QvN::asDecimalASCII() const {
    const std::size_t size = (std::size_t)n * 32 / 3 + 2;
    char *text = new (std::nothrow) char[size];
    if (text == nullptr) throw QvMemException(size, "qvnumbers/n_conv", "26");
    longvToOctal(text, v.getConstData(), n);
    octalToDecimalText(text);
    QvConvASCII out(text);
    qvWipe(text, size);
    delete[] text;
    return out;
}

QvConvASCIIHex QvN::asHexASCII() const {
    const std::size_t size = (std::size_t)n * 8 + 1;
    char *text = new (std::nothrow) char[size];
    if (text == nullptr) throw QvMemException(size, "qvnumbers/n_conv", "140");
    static const char digits[] = "0123456789abcdef";
    std::size_t k = 0;
    const QvWord *d = v.getConstData();
    for (unsigned int i = n; i-- > 0;)
        for (int s = 28; s >= 0; s -= 4) {
            const char c = digits[(d[i] >> s) & 15];
            if (k == 0 && c == '0') continue;
            text[k++] = c;
        }
    if (k == 0) text[k++] = '0';
    text[k] = '\0';
    QvConvASCIIHex out(text);
    qvWipe(text, size);
    delete[] text;
    return out;
}

QvConvASCIIBin QvN::asBinASCII() const {
    const std::size_t size = (std::size_t)n * 32 + 1;
    char *text = new (std::nothrow) char[size];
    if (text == nullptr) throw QvMemException(size, "qvnumbers/n_conv", "73");
    std::size_t k = 0;
    const QvWord *d = v.getConstData();
    for (unsigned int i = n; i-- > 0;)
        for (int s = 31; s >= 0; --s) {
            const char c = (char)('0' + ((d[i] >> s) & 1));
            if (k == 0 && c == '0') continue;
            text[k++] = c;
        }
    if (k == 0) text[k++] = '0';
    text[k] = '\0';
    QvConvASCIIBin out(text);
    qvWipe(text, size);
    delete[] text;
    return out;
}

void QvN::setRandom(unsigned int bits, QvRbg *rbg) {
    if (bits == 0) {
        *this = (QvWord)0;
        return;
    }
    const unsigned int words = (bits + 31) / 32;
    QvWordMem buf(words);
    rbg->fillWords(buf.getData(), words);
    if (bits % 32 != 0) buf.getData()[words - 1] &= (1u << (bits % 32)) - 1;
    v = std::move(buf);
    n = words;
    normalise();
}

void QvN::setRandom(const QvN &limit, QvRbg *rbg) {
    if (limit <= 1u) {
        *this = (QvWord)0;
        return;
    }
    const unsigned int bits = limit.getBitLength();
    do {
        setRandom(bits, rbg);
    } while (*this >= limit);
}

unsigned int QvN::getNaf(QvWord *digits) const {
    QvN x(*this);
    unsigned int i = 0;
    while (!x.isZero()) {
        QvWord d = 0;
        if (!x.isEven()) {
            if ((x.getLowestWord() & 3) == 1) {
                d = 1;
                --x;
            } else {
                d = 0xFFFFFFFF;
                ++x;
            }
        }
        digits[i++] = d;
        x >>= 1;
    }
    return i;
}

int QvN::compare(const QvN &b) const { return longvCmpExt(v.getConstData(), n, b.v.getConstData(), b.n); }

int QvN::compare(QvWord w) const {
    if (n > 1 && !longvIsZero(v.getConstData() + 1, n - 1)) return 1;
    const QvWord x = v.getConstData()[0];
    return x > w ? 1 : (x < w ? -1 : 0);
}

// ---------------------------------------------------------------------------
// Arithmetic
// ---------------------------------------------------------------------------
QvN &QvN::operator+=(const QvN &b) {
    if (n < b.n) {
        QvWordMem buf(b.n + 1);
        QvWord *d = buf.getData();
        longvCopy(d, b.v.getConstData(), b.n);
        d[b.n] = longvAddExt(d, b.n, v.getConstData(), n, 0);
        v = std::move(buf);
        n = b.n + 1;
    } else {
        const QvWord c = longvAddExt(v.getData(), n, b.v.getConstData(), b.n, 0);
        if (c != 0) {
            reserve(n + 1);
            v.getData()[n++] = 1;
        }
    }
    normalise();
    return *this;
}

QvN &QvN::operator+=(QvWord w) {
    const QvWord c = longvAddWord(v.getData(), n, w);
    if (c != 0) {
        reserve(n + 1);
        v.getData()[n++] = 1;
    }
    return *this;
}

QvN &QvN::operator++() { return *this += 1u; }

QvN QvN::operator++(int) {
    QvN old(*this);
    *this += 1u;
    return old;
}

QvN &QvN::operator-=(const QvN &b) {
    if (compare(b) < 0)
        qvThrow<QvRevException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvRevException\nREASON: There is no proper subtraction result in "
            "natural numbers.\nFUNCTION: QvN& QvN::operator -=(const QvN &n)\nFILE: qvnumbers/n_sub\nLINE: 27\n");
    const QvWordLen nb = sigLen(b.v.getConstData(), b.n);
    longvSubExt(v.getData(), n, b.v.getConstData(), nb == 0 ? 1 : nb, 0);
    normalise();
    return *this;
}

QvN &QvN::operator-=(QvWord w) {
    if (compare(w) < 0)
        qvThrow<QvRevException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvRevException\nREASON: There is no proper subtraction result in "
            "natural numbers.\nFUNCTION: QvN& QvN::operator -=(unsigned int n)\nFILE: qvnumbers/n_sub\nLINE: 63\n");
    longvSubWord(v.getData(), n, w);
    normalise();
    return *this;
}

QvN &QvN::operator--() {
    if (isZero())
        qvThrow<QvRevException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvRevException\nREASON: Decrementation is not allowed, because number "
            "is equel 0.\nFUNCTION: QvN& QvN::operator --(void)\nFILE: qvnumbers/n_sub\nLINE: 91\n");
    longvDec(v.getData(), n);
    normalise();
    return *this;
}

QvN QvN::operator--(int) {
    if (isZero())
        qvThrow<QvRevException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvRevException\nREASON: Decrementation is not allowed, because number "
            "is equel 0.\nFUNCTION: QvN& QvN::operator --(int i)\nFILE: qvnumbers/n_sub\nLINE: 123\n");
    QvN old(*this);
    longvDec(v.getData(), n);
    normalise();
    return old;
}

QvN &QvN::operator*=(const QvN &b) {
    const unsigned int na = n, nb = b.n;
    QvWordMem buf(na + nb);
    longvMul(buf.getData(), v.getConstData(), na, b.v.getConstData(), nb);
    v = std::move(buf);
    n = na + nb;
    normalise();
    return *this;
}

QvN &QvN::operator*=(QvWord w) {
    const QvWord c = longvScaleWord(v.getData(), w, n);
    if (c != 0) {
        reserve(n + 1);
        v.getData()[n++] = c;
    }
    normalise();
    return *this;
}

QvN &QvN::operator/=(const QvN &b) {
    if (b.isZero()) {
        if (isZero()) return *this;
        qvThrow<QvDivByZeroException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvDivByZeroException\nREASON: Division by zero.\n"
            "FUNCTION: QvN& QvN::operator /=(const QvN &n)\nFILE: qvnumbers/n_div\nLINE: 38\n");
    }
    if (compare(b) < 0) {
        *this = (QvWord)0;
        return *this;
    }
    QvWordMem x(v);
    QvWordMem q(n - b.n + 2);
    longvZero(q.getData(), q.getLength());
    QvWordLen nq = 0;
    longvDivClassical(x.getData(), n, b.v.getConstData(), b.n, q.getData(), &nq);
    v = std::move(q);
    n = nq == 0 ? 1 : nq;
    normalise();
    return *this;
}

QvN &QvN::operator/=(QvWord w) { return *this /= QvN(w, 1); }

QvN &QvN::operator%=(const QvN &b) {
    if (b.isZero())
        qvThrow<QvDivByZeroException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvDivByZeroException\nREASON: Division by zero.\n"
            "FUNCTION: QvN& QvN::operator %=(const QvN &n)\nFILE: qvnumbers/n_mod\nLINE: 28\n");
    if (compare(b) < 0) return *this;
    longvMod(v.getData(), n, b.v.getConstData(), b.n);
    normalise();
    return *this;
}

QvN &QvN::operator%=(QvWord w) { return *this %= QvN(w, 1); }

QvN &QvN::operator<<=(unsigned int s) {
    if (isZero() || s == 0) return *this;
    const unsigned int grow = s / 32 + 1;
    QvWordMem buf(n + grow);
    longvCopyExtend(buf.getData(), n + grow, v.getConstData(), n);
    longvShlBits(buf.getData(), n + grow, s);
    v = std::move(buf);
    n += grow;
    normalise();
    return *this;
}

QvN &QvN::operator>>=(unsigned int s) {
    if (n > s / 32) {
        longvShrBits(v.getData(), n, s);
        n -= s / 32;
        if (n == 0) n = 1;
        normalise();
    } else {
        *this = (QvWord)0;
    }
    return *this;
}

QvN &QvN::operator^=(unsigned int e) {
    QvN result(1u, 1);
    QvN sq(*this);
    while (e != 0) {
        if (e & 1) result *= sq;
        e >>= 1;
        if (e != 0) sq *= sq;
    }
    *this = std::move(result);
    return *this;
}

bool QvN::operator|(const QvN &b) const {
    if (isZero()) {
        if (b.isZero()) return true;
        qvThrow<QvDivByZeroException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvDivByZeroException\nREASON: Division by zero.\n"
            "FUNCTION: bool QvN::operator |(const QvN &n) const\nFILE: qvnumbers/n_divisibility\nLINE: 58\n");
    }
    return (b % *this).isZero();
}

bool QvN::operator|(unsigned int b) const {
    if (isZero()) {
        if (b == 0) return true;
        qvThrow<QvDivByZeroException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvDivByZeroException\nREASON: Division by zero.\n"
            "FUNCTION: bool QvN::operator |(unsigned int n) const\nFILE: qvnumbers/n_divisibility\nLINE: 92\n");
    }
    return (QvN(b, 1) % *this).isZero();
}

bool operator|(unsigned int a, const QvN &b) {
    if (a == 0) {
        if (b.isZero()) return true;
        qvThrow<QvDivByZeroException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvDivByZeroException\nREASON: Division by zero.\n"
            "FUNCTION: bool operator |(unsigned int n, const QvN &m)\nFILE: qvnumbers/n_divisibility\nLINE: 128\n");
    }
    return (b % a).isZero();
}

QvN operator+(const QvN &a, const QvN &b) {
    QvN r(a);
    r += b;
    return r;
}
QvN operator+(const QvN &a, QvWord w) {
    QvN r(a);
    r += w;
    return r;
}
QvN operator-(const QvN &a, const QvN &b) {
    QvN r(a);
    r -= b;
    return r;
}
QvN operator-(const QvN &a, QvWord w) {
    QvN r(a);
    r -= w;
    return r;
}
QvN operator*(const QvN &a, const QvN &b) {
    QvN r(a);
    r *= b;
    return r;
}
QvN operator*(const QvN &a, QvWord w) {
    QvN r(a);
    r *= w;
    return r;
}
QvN operator/(const QvN &a, const QvN &b) {
    QvN r(a);
    r /= b;
    return r;
}
QvN operator/(const QvN &a, QvWord w) {
    QvN r(a);
    r /= w;
    return r;
}
QvN operator%(const QvN &a, const QvN &b) {
    QvN r(a);
    r %= b;
    return r;
}
QvN operator%(const QvN &a, QvWord w) {
    QvN r(a);
    r %= w;
    return r;
}
QvN operator<<(const QvN &a, unsigned int s) {
    QvN r(a);
    r <<= s;
    return r;
}
QvN operator>>(const QvN &a, unsigned int s) {
    QvN r(a);
    r >>= s;
    return r;
}
QvN operator^(const QvN &a, unsigned int e) {
    QvN r(a);
    r ^= e;
    return r;
}

QvN gcd(const QvN &a, const QvN &b) {
    if (a.isZero()) return b;
    if (b.isZero()) return a;
    const unsigned int len = a.getWordCount() > b.getWordCount() ? a.getWordCount() : b.getWordCount();
    QvWordMem r(len);
    longvGcdBinary(a.getWords(), a.getWordCount(), b.getWords(), b.getWordCount(), r.getData(), len);
    return QvN(r);
}

QvN lcm(const QvN &a, const QvN &b) {
    if (a.isZero() || b.isZero()) return QvN();
    return (a * b) / gcd(a, b);
}

int jacobi(const QvN &a, const QvN &n) {
    return longvJacobi(a.getWords(), a.getWordCount(), n.getWords(), n.getWordCount());
}

// ---------------------------------------------------------------------------
// Word-size number theory
// ---------------------------------------------------------------------------
QvWord isPrimeWord(QvWord n) {
    if (n < 2) return 0;
    if (n == 2) return 1;
    if ((n & 1) == 0) return 0;
    if (n < 9) return 1;
    if (n % 3 == 0) return 0;
    // The square is formed in 64 bits: d*d overflows 32 bits near 2^32.
    for (std::uint64_t d = 5; d * d <= n; d += 2)
        if (n % d == 0) return 0;
    return 1;
}

QvWord gcdWord(QvWord a, QvWord b) {
    while (b != 0) {
        const QvWord t = a % b;
        a = b;
        b = t;
    }
    return a;
}

QvWord powModWord(QvWord a, QvWord e, QvWord m) {
    if (m == 0) return 0;
    std::uint64_t r = 1 % m, x = a % m;
    while (e != 0) {
        if (e & 1) r = r * x % m;
        x = x * x % m;
        e >>= 1;
    }
    return (QvWord)r;
}

QvWord invModPrimePower(QvWord a, QvWord p, QvWord m) {
    const QvWord M = m != 0 ? m : p;
    if (p == 0 || M == 0) return 0;
    const QvWord phi = M / p * (p - 1);
    if (phi == 1) return 1;
    return powModWord(a, phi - 1, M);
}

QvWord primePowerPart(QvWord p, QvWord n) {
    if (p < 2 || n == 0) return 1;
    QvWord r = 1;
    while (n % p == 0) {
        n /= p;
        r *= p;
    }
    return r;
}

QvWord countPrimeDivisorShifts(QvWord t) {
    const std::int32_t st = (std::int32_t)t;
    if (st >= -2 && st <= 1) return 0;
    QvWord count = 0;
    for (std::uint64_t q = 3; q <= (std::uint64_t)t + 1; ++q)
        if (t % (QvWord)(q - 1) == 0 && isPrimeWord((QvWord)q)) ++count;
    return count;
}
