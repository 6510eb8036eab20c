// QvN: the natural number of the cryptographic library, an unsigned integer of
// any size held as 32-bit words (least significant first).  Every result is
// normalised: no high zero word, at least one word (zero is one word 0).
// There is no sign: a subtraction that would go below zero throws
// QvRevException and leaves the operand as it was.
#ifndef LIBTORVAPP_QVNUMBERS_QVN_H
#define LIBTORVAPP_QVNUMBERS_QVN_H

#include "libtorvapp/qvcommon/qvexception.h"
#include "libtorvapp/qvcommon/qvtypes.h"
#include "libtorvapp/qvcommon/qvwordmem.h"
#include "libtorvapp/qvconv/qvconv.h"
#include "libtorvapp/qvconv/qvconvascii.h"
#include "libtorvapp/qvnumbers/longv.h"

class QvRbg;

class QvN {
public:
    QvN();
    // Lowest word = value, the other words 0; the count is taken from `words`
    // (callers pass 1, or the count of a value they then write word by word).
    QvN(QvWord value, unsigned int words);
    QvN(const QvWord *words, unsigned int count);
    explicit QvN(const QvWordMem &words);
    // flag 0: big-endian octets.
    QvN(const QvOctet *oct, unsigned int len, unsigned int flag);
    // The contents octets of one DER TLV, big-endian (the tag is not examined).
    explicit QvN(const QvConv &der);
    // "0x..." hexadecimal, "0..." octal, otherwise decimal; "" and "0" give 0.
    explicit QvN(const char *text);
    QvN(const QvN &other);
    virtual ~QvN();

    QvN &operator=(const QvN &other);
    QvN &operator=(QvWord w);

    // 32 (count - 1) + bits of the top word; zero gives 1.
    unsigned int getBitLength() const;
    // 4 (count - 1) + octets of the top word; zero gives 0.
    unsigned int getOctetLength() const;
    QvWord getLowestWord() const { return v.getConstData()[0]; }
    unsigned int getWordCount() const { return n; }
    const QvWord *getWords() const { return v.getConstData(); }
    QvWord &operator[](unsigned int i);
    bool isEven() const { return (getLowestWord() & 1) == 0; }
    bool isZero() const { return n == 1 && getLowestWord() == 0; }
    // Bit i (0 beyond the value).
    int getBit(unsigned int i) const;

    // Big-endian octets: the minimal form (zero is one octet 00) or, with pad,
    // zero octets first so that exactly len octets are written.  Returns the
    // octets written, 0 (nothing written) when len is too small.
    unsigned int asOctetString(QvOctet *oct, unsigned int len, bool pad) const;
    unsigned int asOctetString(QvOctet *oct, unsigned int len) const { return asOctetString(oct, len, false); }
    void setOctetString(const QvOctet *oct, unsigned int len);

    QvConvASCII asDecimalASCII() const;
    // Lower-case hexadecimal and base-2 digits without leading zeros ("0" for 0).
    QvConvASCIIHex asHexASCII() const;
    QvConvASCIIBin asBinASCII() const;

    // Uniform in [0, 2^bits); no bit is forced.
    void setRandom(unsigned int bits, QvRbg *rbg);
    // Uniform below limit (zero when limit <= 1).
    void setRandom(const QvN &limit, QvRbg *rbg);
    // Non-adjacent form, least significant digit first (-1 as all ones);
    // digits has room for the bit length plus one.  Returns the digit count.
    unsigned int getNaf(QvWord *digits) const;

    QvN &operator+=(const QvN &b);
    QvN &operator+=(QvWord w);
    QvN &operator++();
    QvN operator++(int);
    QvN &operator-=(const QvN &b);
    QvN &operator-=(QvWord w);
    QvN &operator--();
    QvN operator--(int);
    QvN &operator*=(const QvN &b);
    QvN &operator*=(QvWord w);
    QvN &operator/=(const QvN &b);
    QvN &operator/=(QvWord w);
    QvN &operator%=(const QvN &b);
    QvN &operator%=(QvWord w);
    QvN &operator<<=(unsigned int s);
    QvN &operator>>=(unsigned int s);
    // Power (not exclusive or); e = 0 gives 1, also for 0.
    QvN &operator^=(unsigned int e);

    // a | b: a divides b.  A zero divisor divides only zero; with a non-zero
    // dividend it throws QvDivByZeroException.
    bool operator|(const QvN &b) const;
    bool operator|(unsigned int b) const;

    // Three-way comparison (-1, 0, 1).
    int compare(const QvN &b) const;
    int compare(QvWord w) const;

protected:
    void normalise();
    // Makes room for `words` words (keeps the value).
    void reserve(unsigned int words);
    void setWords(const QvWord *src, unsigned int count);

    QvWordMem v;
    unsigned int n;
};

bool operator|(unsigned int a, const QvN &b);

QvN operator+(const QvN &a, const QvN &b);
QvN operator+(const QvN &a, QvWord w);
QvN operator-(const QvN &a, const QvN &b);
QvN operator-(const QvN &a, QvWord w);
QvN operator*(const QvN &a, const QvN &b);
QvN operator*(const QvN &a, QvWord w);
QvN operator/(const QvN &a, const QvN &b);
QvN operator/(const QvN &a, QvWord w);
QvN operator%(const QvN &a, const QvN &b);
QvN operator%(const QvN &a, QvWord w);
QvN operator<<(const QvN &a, unsigned int s);
QvN operator>>(const QvN &a, unsigned int s);
QvN operator^(const QvN &a, unsigned int e);

inline bool operator==(const QvN &a, const QvN &b) { return a.compare(b) == 0; }
inline bool operator!=(const QvN &a, const QvN &b) { return a.compare(b) != 0; }
inline bool operator<(const QvN &a, const QvN &b) { return a.compare(b) < 0; }
inline bool operator<=(const QvN &a, const QvN &b) { return a.compare(b) <= 0; }
inline bool operator>(const QvN &a, const QvN &b) { return a.compare(b) > 0; }
inline bool operator>=(const QvN &a, const QvN &b) { return a.compare(b) >= 0; }
inline bool operator==(const QvN &a, QvWord w) { return a.compare(w) == 0; }
inline bool operator!=(const QvN &a, QvWord w) { return a.compare(w) != 0; }
inline bool operator<(const QvN &a, QvWord w) { return a.compare(w) < 0; }
inline bool operator<=(const QvN &a, QvWord w) { return a.compare(w) <= 0; }
inline bool operator>(const QvN &a, QvWord w) { return a.compare(w) > 0; }
inline bool operator>=(const QvN &a, QvWord w) { return a.compare(w) >= 0; }
inline bool operator==(QvWord w, const QvN &a) { return a.compare(w) == 0; }
inline bool operator!=(QvWord w, const QvN &a) { return a.compare(w) != 0; }
inline bool operator<(QvWord w, const QvN &a) { return a.compare(w) > 0; }
inline bool operator<=(QvWord w, const QvN &a) { return a.compare(w) >= 0; }
inline bool operator>(QvWord w, const QvN &a) { return a.compare(w) < 0; }
inline bool operator>=(QvWord w, const QvN &a) { return a.compare(w) <= 0; }

QvN gcd(const QvN &a, const QvN &b);
QvN lcm(const QvN &a, const QvN &b);
// The Jacobi symbol (a/n): -1, 0 or 1.
int jacobi(const QvN &a, const QvN &n);
// The first h^((p-1)/q) mod p (h = 2, 3, ...) that is not 1.
QvN findGenerator(const QvN &p, const QvN &q);

// Word-size number theory.
QvWord isPrimeWord(QvWord n);
QvWord gcdWord(QvWord a, QvWord b);
QvWord powModWord(QvWord a, QvWord e, QvWord m);
// Inverse of a modulo M = m (or p when m is 0), M a power of the prime p; M < 65536.
QvWord invModPrimePower(QvWord a, QvWord p, QvWord m);
QvWord primePowerPart(QvWord p, QvWord n);
QvWord countPrimeDivisorShifts(QvWord t);

#endif
