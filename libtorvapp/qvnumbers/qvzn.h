// QvZn: a residue modulo a shared QvModulus, kept in the form its modulus
// chose (plain, Montgomery over k words, or wide Montgomery over k + 1 words)
// in exactly as many words as the arithmetic needs.  Conversion to and from
// QvN happens only at the edges (constructors, asQvN).  The modulus is not
// owned and must outlive the residue; the operands of one operation belong to
// the same modulus.
#ifndef LIBTORVAPP_QVNUMBERS_QVZN_H
#define LIBTORVAPP_QVNUMBERS_QVZN_H

#include "libtorvapp/qvabstractalgebra/qvgroupelem.h"
#include "libtorvapp/qvnumbers/qvmodulus.h"

class QvZn : public QvGroupElem {
public:
    enum : unsigned int { FORM_PLAIN = 0, FORM_MONTGOMERY = 1, FORM_WIDE = 2 };

    QvZn();
    QvZn(const QvZn &other);
    QvZn(QvZn &&other) noexcept;
    // Zero.
    explicit QvZn(const QvModulus *m);
    QvZn(const QvN &a, const QvModulus *m);
    QvZn(const QvWordMem &words, const QvModulus *m);
    QvZn(const QvWord *words, unsigned int count, const QvModulus *m);
    QvZn(const QvOctet *oct, unsigned int len, unsigned int flag, const QvModulus *m);
    // a >= 0: a mod n; a < 0: n - (|a| mod n), reduced.
    QvZn(int a, const QvModulus *m);
    // An optional leading "-", then a QvN text.
    QvZn(const char *text, const QvModulus *m);
    ~QvZn() override;

    void precompute() override {}

    QvZn &operator=(const QvZn &other);
    QvZn &operator=(QvZn &&other) noexcept;
    // Needs a usable modulus (QvNotInitException otherwise).
    QvZn &operator=(int a);

    QvZn &operator+=(const QvZn &b);
    QvZn &operator-=(const QvZn &b);
    QvZn &operator*=(const QvZn &b);
    // b is taken by value: a /= a works.
    QvZn &operator/=(QvZn b);
    QvZn &operator++();
    QvZn operator++(int);
    QvZn &operator--();
    QvZn operator--(int);
    QvZn operator-() const;

    // Exponentiation.
    QvZn &operator^=(const QvN &e);
    QvZn &operator^=(QvWord e);

    bool operator==(const QvZn &b) const;
    bool operator!=(const QvZn &b) const { return !(*this == b); }
    bool operator==(unsigned int u) const;
    bool operator!=(unsigned int u) const { return !(*this == u); }

    QvN asQvN() const;
    const QvWordMem *getWords() const { return &value; }
    QvWordMem *getWords() { return &value; }
    const QvModulus *getModulus() const { return modulus; }
    unsigned int getCount() const { return count; }
    unsigned int getForm() const { return form; }

    // "<value> mod (<modulus>)" in hexadecimal, base 2 and decimal.
    QvConvASCIIHex asHexASCII() const;
    QvConvASCIIBin asBinASCII() const;
    QvConvASCII asDecimalASCII() const;

    // Raw arithmetic in the held form (count words each); for exponentiation
    // and the curve code.  r may equal a or b; scratch has 2 * count words.
    void mulWords(QvWord *r, const QvWord *a, const QvWord *b, QvWord *scratch) const;
    void sqrWords(QvWord *r, const QvWord *a, QvWord *scratch) const;
    // The held form of 1 (count words).
    const QvWord *oneWords() const;

private:
    friend void expWindow(QvZn &a, const QvN &e);
    void bind(const QvModulus *m);
    // Sets the value from the plain v (below n) and enters the held form.
    void setPlain(const QvN &v);
    void enterForm();
    // value reduced below the arithmetic modulus (form 2 may hold up to 2m).
    void reduceFully(QvWord *w) const;
    bool usable() const;
    void checkOperands(const QvZn &b) const;
    void ensureScratch();

    QvWordMem value;
    unsigned int count;
    const QvModulus *modulus;
    const QvWord *arithModulus;
    unsigned int form;
    QvWordMem scratch;
};

QvZn operator+(const QvZn &a, const QvZn &b);
QvZn operator+(const QvZn &a, int b);
QvZn operator+(int a, const QvZn &b);
QvZn operator-(const QvZn &a, const QvZn &b);
QvZn operator-(const QvZn &a, int b);
QvZn operator-(int a, const QvZn &b);
QvZn operator*(const QvZn &a, const QvZn &b);
QvZn operator*(const QvZn &a, int b);
QvZn operator*(int a, const QvZn &b);
QvZn operator/(const QvZn &a, const QvZn &b);
QvZn operator/(const QvZn &a, int b);
// 1 / b is the inverse; any other a / b is the residue a times it.
QvZn operator/(unsigned int a, const QvZn &b);
QvZn operator^(const QvZn &base, const QvN &e);
QvZn operator^(const QvZn &base, QvWord e);
inline bool operator==(unsigned int u, const QvZn &a) { return a == u; }
inline bool operator!=(unsigned int u, const QvZn &a) { return !(a == u); }

// The fixed-window (2^w-ary) method, in place.
void expWindow(QvZn &a, const QvN &e);
// The window width that method takes for an exponent of `bits` bits.
unsigned int expWindowWidth(unsigned int bits);
// Garner's recombination of t residues, each modulo its own modulus.
QvN crtCombine(const QvZn *r, unsigned int t);

// A square root modulo an odd prime.  A non-residue (or a modulus for which
// no non-residue turns up) throws QvArgumentRangeException.
QvZn sqrt(const QvZn &a);

#endif
