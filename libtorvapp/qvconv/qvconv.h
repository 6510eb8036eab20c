// Value classes that carry octet strings and texts through the library: the
// octet string QvConvOS and the zero-terminated texts QvConvASCII,
// QvConvASCIIHex and QvConvASCIIBin. All can be read from and written to files,
// compared and concatenated.
#ifndef LIBTORVAPP_QVCONV_QVCONV_H
#define LIBTORVAPP_QVCONV_QVCONV_H

#include <cstdio>

#include "libtorvapp/qvcommon/qvexception.h"
#include "libtorvapp/qvcommon/qvoctmem.h"

class QvConv {
public:
    QvConv();
    QvConv(const QvOctet* src, unsigned int len);
    QvConv(const QvConv& other);
    QvConv& operator=(const QvConv& other);
    virtual ~QvConv();

    // Replaces the contents with the stream's octets up to end of file (at most
    // `bound` octets when bound is not 0). A file that cannot be opened throws
    // QvAccessException and leaves the object unchanged.
    virtual void readFile(const char* fileName, unsigned int bound);
    virtual void readStream(FILE* stream, unsigned int bound);
    virtual void readFile(const char* fileName);
    virtual void readStream(FILE* stream);

    // "name+mode" opens name with that fopen mode; a plain name appends ("a").
    virtual void writeFile(const char* fileName) const;
    virtual void writeStream(FILE* stream) const;

    // beginFrase, every octet through `format` ("0x%02x " when null), endFrase.
    virtual void fprintTxt(const char* fileName, const char* beginFrase, const char* endFrase,
                           const char* format) const;
    virtual void fprintTxt(FILE* stream, const char* beginFrase, const char* endFrase,
                           const char* format) const;

    virtual bool operator==(const QvConv& other) const;
    virtual bool operator!=(const QvConv& other) const;
    virtual QvOctet* getData();
    // Checked access: idx at or beyond the length throws QvAccessException.
    virtual char& operator[](unsigned int idx);
    virtual unsigned int getLength() const;
    virtual unsigned int getSize() const;

    const QvOctet* getData() const;
    const QvOctet* getConstData() const;
    char* getChars();
    const char* getChars() const;
    void* getVoid();
    const void* getVoid() const;

    QvConv& operator+=(const QvConv& other);

protected:
    // Capacity only, length 0.
    struct Capacity {
        unsigned int octets;
    };
    explicit QvConv(Capacity cap);

    // Replaces or extends the contents; the storage grows by powers of two.
    void setOctets(const QvOctet* src, unsigned int len);
    void appendOctets(const QvOctet* src, unsigned int len);
    void reserve(unsigned int len);

    QvOctMem data;
    unsigned int length;
};

// Octet string; its text constructor accepts hexadecimal digits only, two per octet.
class QvConvOS : public QvConv {
public:
    QvConvOS();
    QvConvOS(const QvOctet* src, unsigned int len);
    // len octets, all zero.
    explicit QvConvOS(unsigned int len);
    // Checked hexadecimal text; odd length or another character throws
    // QvWrongSyntaxException.
    explicit QvConvOS(const char* str);
    QvConvOS(const QvConvOS& other);
    ~QvConvOS() override;

    void assign(const QvOctet* src, unsigned int len);
    QvConvOS& operator=(const QvConvOS& other);
    QvConvOS& operator=(const char* hex);
    QvConvOS& operator+=(const QvConvOS& other);
    QvConvOS operator+(const QvConvOS& other) const;
};

#endif
