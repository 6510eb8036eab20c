#include "libtorvapp/qvconv/qvconv.h"

#include <cstring>

QvConv::QvConv() : data(), length(0) {}

QvConv::QvConv(const QvOctet* src, unsigned int len) : data(), length(0)
{
    setOctets(src, len);
}

QvConv::QvConv(Capacity cap) : data(), length(0)
{
    if (cap.octets != 0) {
        data.resize(cap.octets);
        data.resize(0);
    }
}

QvConv::QvConv(const QvConv& other) : data(), length(0)
{
    setOctets(other.data.getConstData(), other.length);
}

QvConv& QvConv::operator=(const QvConv& other)
{
    if (this != &other)
        setOctets(other.data.getConstData(), other.length);
    return *this;
}

QvConv::~QvConv() { length = 0; }

void QvConv::reserve(unsigned int len)
{
    if (data.getCapacity() >= len)
        return;
    unsigned int cap = data.getCapacity() < 16 ? 16 : data.getCapacity();
    while (cap < len && cap <= 0x7FFFFFFFu)
        cap <<= 1;
    if (cap < len)
        cap = len;
    unsigned int keep = data.getLength();
    data.resize(cap); // copies the old octets and wipes the old storage
    data.resize(keep);
}

void QvConv::setOctets(const QvOctet* src, unsigned int len)
{
    if (len != 0 && src == data.getConstData()) {
        // The source is our own storage: nothing to copy.
        data.resize(len);
        length = len;
        return;
    }
    reserve(len);
    data.resize(len);
    if (len != 0) {
        if (src != nullptr)
            std::memmove(data.getData(), src, len);
        else
            std::memset(data.getData(), 0, len);
    }
    length = len;
}

void QvConv::appendOctets(const QvOctet* src, unsigned int len)
{
    if (len == 0)
        return;
    if (len > 0xFFFFFFFFu - length)
        throw QvMemException(0xFFFFFFFFull + 1, "qvconv/conv_access", "72");
    // src may lie inside our own storage, which reserve() can move.
    const QvOctet* base = data.getConstData();
    bool inside = base != nullptr && src >= base && src < base + data.getCapacity();
    std::size_t srcOffset = inside ? static_cast<std::size_t>(src - base) : 0;
    reserve(length + len);
    data.resize(length + len);
    if (inside)
        src = data.getConstData() + srcOffset;
    if (src != nullptr)
        std::memmove(data.getData() + length, src, len);
    else
        std::memset(data.getData() + length, 0, len);
    length += len;
}

bool QvConv::operator==(const QvConv& other) const
{
    if (length != other.length)
        return false;
    return length == 0 || std::memcmp(data.getConstData(), other.data.getConstData(), length) == 0;
}

bool QvConv::operator!=(const QvConv& other) const { return !(*this == other); }

QvOctet* QvConv::getData() { return data.getData(); }
const QvOctet* QvConv::getData() const { return data.getConstData(); }
const QvOctet* QvConv::getConstData() const { return data.getConstData(); }
char* QvConv::getChars() { return reinterpret_cast<char*>(data.getData()); }
const char* QvConv::getChars() const { return reinterpret_cast<const char*>(data.getConstData()); }
void* QvConv::getVoid() { return data.getData(); }
const void* QvConv::getVoid() const { return data.getConstData(); }

char& QvConv::operator[](unsigned int idx)
{
    if (idx >= length)
        qvThrow<QvAccessException>("LIBRARY: libtorvapp\nEXCEPTION: QvAccessException\n"
                                   "REASON: To large index.\n"
                                   "FUNCTION: char& QvConv::operator [](unsigned int idx)\n"
                                   "FILE: qvconv/conv_access\nLINE: 48\n");
    return reinterpret_cast<char*>(data.getData())[idx];
}

unsigned int QvConv::getLength() const { return length; }
unsigned int QvConv::getSize() const { return length; }

QvConv& QvConv::operator+=(const QvConv& other)
{
    appendOctets(other.data.getConstData(), other.length);
    return *this;
}
