// Zero-terminated texts: `length` counts the terminating zero, so the empty text
// has length 1. QvConvASCIIHex and QvConvASCIIBin hold hexadecimal and binary
// digit texts (the text forms of big numbers).
#ifndef LIBTORVAPP_QVCONV_QVCONVASCII_H
#define LIBTORVAPP_QVCONV_QVCONVASCII_H

#include <cstdint>

#include "libtorvapp/qvconv/qvconv.h"

class QvConvASCII : public QvConv {
public:
    static constexpr unsigned int NOT_FOUND = 0xFFFFFFFFu;

    QvConvASCII();
    QvConvASCII(const char* text);
    // An empty text with room for `capacity` characters.
    explicit QvConvASCII(unsigned int capacity);
    QvConvASCII(const QvConvASCII& other);
    ~QvConvASCII() override;

    // Text output: the characters without the terminator.
    void writeFile(const char* fileName) const override;
    void writeStream(FILE* stream) const override;
    // Text input: the octets read, then a terminator, so the text stays a text.
    using QvConv::readStream;
    void readStream(FILE* stream, unsigned int bound) override;

    QvConvASCII& operator=(const QvConvASCII& other);
    QvConvASCII& operator=(const char* text);
    // Decimal, with '-' for negatives.
    QvConvASCII& operator=(std::int64_t value);
    QvConvASCII& operator=(std::int32_t value);
    // "%.19g"
    QvConvASCII& operator=(double value);
    QvConvASCII& operator+=(const char* text);
    QvConvASCII& operator+=(const QvConvASCII& other);

    virtual void assignRepeated(const char* text, unsigned int n);
    virtual void appendRepeated(const char* text, unsigned int n);
    // Removes the last n characters (everything when n >= length).
    virtual void cutEnd(unsigned int n);
    // Returns the number of characters removed.
    virtual unsigned int removeWhiteSpace();
    // Removes every occurrence (left to right, not overlapping); returns their number.
    virtual unsigned int removeAll(const char* text);
    // First position >= from where the whole of `text` occurs, or NOT_FOUND.
    virtual unsigned int find(const char* text, unsigned int from) const;
    // before = text up to the separator, after = text behind it; returns the
    // separator's position or NOT_FOUND (then before = whole text, after empty).
    virtual unsigned int split(QvConvASCII& before, QvConvASCII& after, const char* separator) const;
    virtual unsigned int getTextLength() const;
    virtual bool operator==(const QvConvASCII& other) const;
    virtual bool operator!=(const QvConvASCII& other) const;
    virtual bool operator==(const char* text) const;
    virtual bool operator!=(const char* text) const;
    // Reads one item: skips white space and comment lines, then takes characters
    // up to the end of the line, the comment character or the end of the file;
    // the escape character keeps the next character (the pair is kept). Returns
    // false when the end of the file came before any character of an item.
    virtual bool readItem(FILE* stream, char commentChar, char escapeChar);
    virtual bool readItem(FILE* stream);

    const char* c_str() const;

protected:
    void setText(const char* text, std::size_t n);
    void appendText(const char* text, std::size_t n);
};

QvConvASCII operator+(const QvConvASCII& a, const QvConvASCII& b);
QvConvASCII operator+(const QvConvASCII& a, const char* b);
QvConvASCII operator+(const char* a, const QvConvASCII& b);

class QvConvASCIIBin;

class QvConvASCIIHex : public QvConvASCII {
public:
    QvConvASCIIHex();
    QvConvASCIIHex(const char* text);
    explicit QvConvASCIIHex(unsigned int capacity);
    QvConvASCIIHex(const QvConvASCIIHex& other);
    explicit QvConvASCIIHex(const QvConvASCIIBin& bin);
    ~QvConvASCIIHex() override;

    QvConvASCIIHex& operator=(const QvConvASCIIHex& other);
    QvConvASCIIHex& operator=(const char* text);
    // Lower-case hexadecimal ("%x").
    QvConvASCIIHex& operator=(std::uint32_t value);
    // Lower-case hexadecimal digits of the magnitude, without sign.
    QvConvASCIIHex& operator=(std::int64_t value);
    // Each group of four binary digits, counted from the right, becomes one digit.
    QvConvASCIIHex& operator=(const QvConvASCIIBin& bin);
    QvConvASCIIHex& operator+=(const char* text);
    QvConvASCIIHex& operator+=(const QvConvASCIIHex& other);
};

QvConvASCIIHex operator+(const QvConvASCIIHex& a, const QvConvASCIIHex& b);
QvConvASCIIHex operator+(const QvConvASCIIHex& a, const char* b);
QvConvASCIIHex operator+(const char* a, const QvConvASCIIHex& b);

class QvConvASCIIBin : public QvConvASCII {
public:
    QvConvASCIIBin();
    QvConvASCIIBin(const char* text);
    explicit QvConvASCIIBin(unsigned int capacity);
    QvConvASCIIBin(const QvConvASCIIBin& other);
    ~QvConvASCIIBin() override;

    QvConvASCIIBin& operator=(const QvConvASCIIBin& other);
    QvConvASCIIBin& operator=(const char* text);
    // Binary digits without leading zeros ("0" for 0); negative values give all
    // 64 (or 32) bits of their two's complement.
    QvConvASCIIBin& operator=(std::int64_t value);
    QvConvASCIIBin& operator=(std::int32_t value);
    QvConvASCIIBin& operator+=(const char* text);
    QvConvASCIIBin& operator+=(const QvConvASCIIBin& other);
};

QvConvASCIIBin operator+(const QvConvASCIIBin& a, const QvConvASCIIBin& b);
QvConvASCIIBin operator+(const QvConvASCIIBin& a, const char* b);
QvConvASCIIBin operator+(const char* a, const QvConvASCIIBin& b);

#endif
