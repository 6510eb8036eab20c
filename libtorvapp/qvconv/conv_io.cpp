#include <cstring>
#include <string>

#include "libtorvapp/qvconv/qvconv.h"

namespace {

bool validMode(const char* m)
{
    std::size_t n = std::strlen(m);
    if (n == 0 || n > 3 || (m[0] != 'r' && m[0] != 'w' && m[0] != 'a'))
        return false;
    for (std::size_t i = 1; i < n; ++i)
        if (m[i] != 'b' && m[i] != '+' && m[i] != 't')
            return false;
    return true;
}

// "name+mode" -> name and mode; true when an explicit mode was given.
bool splitMode(const char* fileName, std::string& name, std::string& mode)
{
    for (const char* p = std::strchr(fileName, '+'); p != nullptr; p = std::strchr(p + 1, '+')) {
        if (p != fileName && validMode(p + 1)) {
            name.assign(fileName, p);
            mode = p + 1;
            return true;
        }
    }
    name = fileName;
    mode = "a";
    return false;
}

} // namespace

void QvConv::readFile(const char* fileName, unsigned int bound)
{
    FILE* f = fileName != nullptr ? std::fopen(fileName, "r") : nullptr;
    if (f == nullptr)
        qvThrow<QvAccessException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvAccessException\n"
            "REASON: Couldn't open file to read.\n"
            "FUNCTION: void QvConv::readFile(const char *fileName, unsigned int bound)\n"
            "FILE: qvconv/conv_io\nLINE: 33\n");
    try {
        readStream(f, bound);
    } catch (...) {
        std::fclose(f);
        throw;
    }
    std::fclose(f);
}

void QvConv::readStream(FILE* stream, unsigned int bound)
{
    length = 0;
    data.resize(0);
    if (stream == nullptr)
        return;
    QvOctet buf[4096];
    for (;;) {
        std::size_t want = sizeof(buf);
        if (bound != 0) {
            unsigned int left = bound - length;
            if (left == 0)
                break;
            if (left < want)
                want = left;
        }
        std::size_t got = std::fread(buf, 1, want, stream);
        if (got != 0)
            appendOctets(buf, static_cast<unsigned int>(got));
        if (got < want)
            break;
    }
    qvWipe(buf, sizeof(buf));
}

void QvConv::readFile(const char* fileName) { readFile(fileName, 0); }
void QvConv::readStream(FILE* stream) { readStream(stream, 0); }

void QvConv::writeStream(FILE* stream) const
{
    if (stream != nullptr && length != 0)
        std::fwrite(data.getConstData(), 1, length, stream);
}

void QvConv::writeFile(const char* fileName) const
{
    std::string name, mode;
    bool explicitMode = fileName != nullptr && splitMode(fileName, name, mode);
    FILE* f = fileName != nullptr ? std::fopen(name.c_str(), mode.c_str()) : nullptr;
    if (f == nullptr) {
        if (explicitMode)
            qvThrow<QvAccessException>("LIBRARY: libtorvapp\nEXCEPTION: QvAccessException\n"
                                       "REASON: Coudn't open file to write.\n"
                                       "FUNCTION: void QvConv::writeFile(const char *fileName) const\n"
                                       "FILE: qvconv/conv_io\nLINE: 160\n");
        qvThrow<QvAccessException>("LIBRARY: libtorvapp\nEXCEPTION: QvAccessException\n"
                                   "REASON: Coudn't open file to write.\n"
                                   "FUNCTION: void QvConv::writeFile(const char *fileName) const\n"
                                   "FILE: qvconv/conv_io\nLINE: 172\n");
    }
    writeStream(f);
    std::fclose(f);
}

void QvConv::fprintTxt(FILE* stream, const char* beginFrase, const char* endFrase,
                       const char* format) const
{
    if (stream == nullptr)
        return;
    if (beginFrase != nullptr)
        std::fputs(beginFrase, stream);
    const char* fmt = format != nullptr ? format : "0x%02x ";
    for (unsigned int i = 0; i < length; ++i)
        std::fprintf(stream, fmt, static_cast<unsigned int>(data.getConstData()[i]));
    if (endFrase != nullptr)
        std::fputs(endFrase, stream);
}

void QvConv::fprintTxt(const char* fileName, const char* beginFrase, const char* endFrase,
                       const char* format) const
{
    std::string name, mode;
    bool explicitMode = fileName != nullptr && splitMode(fileName, name, mode);
    FILE* f = fileName != nullptr ? std::fopen(name.c_str(), mode.c_str()) : nullptr;
    if (f == nullptr) {
        if (explicitMode)
            qvThrow<QvAccessException>(
                "LIBRARY: libtorvapp\nEXCEPTION: QvAccessException\n"
                "REASON: Coudn't open file.\n"
                "FUNCTION: void QvConv::fprintTxt(const char *fileName, const char *beginFrase, "
                "const char *endFrase, const char *format) const\n"
                "FILE: qvconv/conv_io\nLINE: 280\n");
        qvThrow<QvAccessException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvAccessException\n"
            "REASON: Coudn't open file to write.\n"
            "FUNCTION: void QvConv::fprintTxt(const char *fileName, const char *beginFrase, "
            "const char *endFrase, const char *format) const\n"
            "FILE: qvconv/conv_io\nLINE: 293\n");
    }
    fprintTxt(f, beginFrase, endFrase, format);
    std::fclose(f);
}
