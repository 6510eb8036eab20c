// UTF8String: UTF-8 octets held in the OCTET STRING fields.
#pragma once

#include <cstdint>

#include "lib/libasn/asnocstr.h"

class ASNUtf8String : public ASNoctstr {
public:
    explicit ASNUtf8String(uint32_t tag = 0);
    ASNUtf8String(const ASNUtf8String& other) : ASNoctstr(other) {}

    // Stores the octets unchanged (len < 0: up to the NUL); 1, or 0 when memory runs out.
    int setText(const char* text, int len);
    ASNUtf8String& operator=(const char* text);
    // From UCS-2 (len < 0: up to the 0 unit).
    int setUnicode(const uint16_t* text, int len);
    ASNUtf8String& operator=(const uint16_t* text);
    // From the system's default character set.
    int setSystemText(const char* text, int len);
    ASNUtf8String& operator=(const ASNoctstr& other);
    ASNUtf8String& operator=(const ASNUtf8String& other) {
        ASNoctstr::operator=(other);
        return *this;
    }

    // An empty value or valid UTF-8.
    bool isValid() const;
    // Equal length to strlen(text) (NULL counts as empty) and equal octets.
    bool isEqual(const char* text) const;
    int getCharCount() const;
    // Converts to the system character set. Without size: isValid. On success *size
    // receives the length (+1 with the NUL) and 1 is returned; otherwise 0 with *size
    // the needed size (or 0 when the text does not convert).
    int getSystemText(char* out, int* size, bool terminate) const;
};
