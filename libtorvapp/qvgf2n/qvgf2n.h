// An element of a binary field GF(2^m) bound to its field.  Each element
// carries its own multiplication and inversion contexts so that arithmetic
// allocates nothing; the field must outlive its elements.
#ifndef LIBTORVAPP_QVGF2N_QVGF2N_H
#define LIBTORVAPP_QVGF2N_QVGF2N_H

#include "libtorvapp/qvconv/qvconv.h"
#include "libtorvapp/qvconv/qvconvascii.h"
#include "libtorvapp/qvgf2n/qvgf2nfield.h"
#include "libtorvapp/qvnumbers/qvn.h"

class QvGF2n {
public:
    QvGF2n();
    QvGF2n(const QvWord *words, unsigned int count, const QvGF2nField *field);
    QvGF2n(const QvOctet *octets, unsigned int length, const QvGF2nField *field);
    QvGF2n(const char *text, const QvGF2nField *field);
    explicit QvGF2n(const QvGF2nField *field);
    QvGF2n(const QvGF2n &other);
    virtual ~QvGF2n();

    // Binds to the field (value zero).
    void setField(const QvGF2nField *field);
    const QvGF2nField *getField() const { return field; }
    unsigned int getWordCount() const { return n; }
    const QvWord *getWords() const { return value.getConstData(); }

    // Values are taken as they are (no reduction); bits above x^m are cleared.
    void setWords(const QvWord *words, unsigned int count);
    void setOctets(const QvOctet *octets, unsigned int length);
    void setText(const char *text);
    void setValue(const QvGF2n &other);

    QvGF2n &operator=(const QvGF2n &other);
    QvGF2n &operator+=(const QvGF2n &b);
    QvGF2n &operator-=(const QvGF2n &b) { return *this += b; }
    QvGF2n &operator*=(const QvGF2n &b);
    QvGF2n &operator/=(const QvGF2n &gf2n);

    bool operator==(const QvGF2n &b) const;
    bool operator!=(const QvGF2n &b) const { return !(*this == b); }
    bool operator==(QvWord w) const;
    bool operator!=(QvWord w) const { return !(*this == w); }

    bool isZero() const { return *this == static_cast<QvWord>(0); }
    // Coefficient of x^0.
    bool lowBit() const { return n != 0 && (value.getConstData()[0] & 1) != 0; }

    // ceil(m/8) big-endian octets.
    unsigned int asOctetString(QvOctet *oct, unsigned int octLen) const;
    unsigned int getOctetLength() const;
    QvConvOS asQvConvOS() const;
    QvN asQvN() const;
    // Lower-case hexadecimal, 8 digits per word, most significant word first.
    QvConvASCII asText() const;

private:
    void requireBound() const;
    void requireSameField(const QvGF2n &b) const;

    const QvGF2nField *field;
    QvWordMem value;
    unsigned int n;
    QvWordMem mulCtx;
    QvWordMem invCtx;
};

QvGF2n operator+(const QvGF2n &a, const QvGF2n &b);
QvGF2n operator-(const QvGF2n &a, const QvGF2n &b);
QvGF2n operator*(const QvGF2n &a, const QvGF2n &b);
QvGF2n operator/(const QvGF2n &a, const QvGF2n &b);

// Roots of x^2 + a x = b in the field: returns how many distinct roots there
// are (0, 1 or 2) and sets x1, x2 (the two differ by a).
unsigned int solve(const QvGF2n &a, const QvGF2n &b, const QvGF2nField *field, QvGF2n &x1, QvGF2n &x2);

#endif
