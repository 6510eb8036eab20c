#include "smartcard/sc_apdu.h"

#include <cstdio>

bool scParseApdu(const uint8_t* apdu, size_t len, SCApduInfo* info) {
    if (apdu == nullptr || info == nullptr || len < 4) return false;
    SCApduInfo r;
    if (len == 4) {
        r.apduCase = 1;
    } else if (len == 5) {
        r.apduCase = 2;
        r.hasLe = true;
        r.le = apdu[4] ? apdu[4] : 256;
    } else if (apdu[4] != 0) {
        r.lc = apdu[4];
        r.dataOffset = 5;
        if (len == 5 + static_cast<size_t>(r.lc)) {
            r.apduCase = 3;
        } else if (len == 6 + static_cast<size_t>(r.lc)) {
            r.apduCase = 4;
            r.hasLe = true;
            r.le = apdu[len - 1] ? apdu[len - 1] : 256;
        } else {
            return false;
        }
    } else {
        // Extended length fields start with a 00 byte.
        if (len < 7) return false;
        r.extended = true;
        const uint32_t n = (static_cast<uint32_t>(apdu[5]) << 8) | apdu[6];
        if (len == 7) {
            r.apduCase = 2;
            r.hasLe = true;
            r.le = n ? n : 65536;
        } else {
            if (n == 0) return false;
            r.lc = n;
            r.dataOffset = 7;
            if (len == 7 + static_cast<size_t>(n)) {
                r.apduCase = 3;
            } else if (len == 9 + static_cast<size_t>(n)) {
                r.apduCase = 4;
                r.hasLe = true;
                const uint32_t le = (static_cast<uint32_t>(apdu[len - 2]) << 8) | apdu[len - 1];
                r.le = le ? le : 65536;
            } else {
                return false;
            }
        }
    }
    *info = r;
    return true;
}

bool scApduWithLe(const uint8_t* apdu, size_t len, uint32_t le, std::vector<uint8_t>* out) {
    SCApduInfo info;
    if (out == nullptr || le == 0 || le > 65536 || !scParseApdu(apdu, len, &info)) return false;
    const bool extended = info.extended || le > 256;
    if (extended && info.lc > 65535) return false;
    std::vector<uint8_t> r(apdu, apdu + 4);
    if (!extended) {
        if (info.lc) {
            r.push_back(static_cast<uint8_t>(info.lc));
            r.insert(r.end(), apdu + info.dataOffset, apdu + info.dataOffset + info.lc);
        }
        r.push_back(static_cast<uint8_t>(le & 0xFF));  // 256 is written as 00
    } else {
        r.push_back(0);
        if (info.lc) {
            r.push_back(static_cast<uint8_t>(info.lc >> 8));
            r.push_back(static_cast<uint8_t>(info.lc));
            r.insert(r.end(), apdu + info.dataOffset, apdu + info.dataOffset + info.lc);
        }
        r.push_back(static_cast<uint8_t>((le >> 8) & 0xFF));  // 65536 is written as 0000
        r.push_back(static_cast<uint8_t>(le & 0xFF));
    }
    out->swap(r);
    return true;
}

bool scApduWithoutLe(const uint8_t* apdu, size_t len, std::vector<uint8_t>* out) {
    SCApduInfo info;
    if (out == nullptr || !scParseApdu(apdu, len, &info)) return false;
    std::vector<uint8_t> r(apdu, apdu + 4);
    if (info.lc) {
        if (info.extended) {
            r.push_back(0);
            r.push_back(static_cast<uint8_t>(info.lc >> 8));
            r.push_back(static_cast<uint8_t>(info.lc));
        } else {
            r.push_back(static_cast<uint8_t>(info.lc));
        }
        r.insert(r.end(), apdu + info.dataOffset, apdu + info.dataOffset + info.lc);
    }
    out->swap(r);
    return true;
}

namespace {

// Plain class byte: interindustry, without secure messaging (chaining allowed).
bool IsPlainClass(uint8_t cla) {
    if (cla < 0x40) return (cla & 0x0C) == 0;
    if (cla < 0x80) return (cla & 0x20) == 0;
    return false;
}

// Commands whose data is a path, a file or record number, a tag, a reference,
// a hash or a cryptogram to decipher: never a PIN, PUK or key.
bool DataIsShowable(const uint8_t* apdu) {
    if (!IsPlainClass(apdu[0])) return false;
    switch (apdu[1]) {
    case 0xA4:  // SELECT
    case 0xB0:  // READ BINARY
    case 0xB1:
    case 0xB2:  // READ RECORD
    case 0xB3:
    case 0xC0:  // GET RESPONSE
    case 0xCA:  // GET DATA
    case 0xCB:
    case 0x84:  // GET CHALLENGE
    case 0x22:  // MANAGE SECURITY ENVIRONMENT
    case 0xE4:  // DELETE FILE
        return true;
    case 0x2A:  // PERFORM SECURITY OPERATION: signing and deciphering only
        return (apdu[2] == 0x9E && apdu[3] == 0x9A) || (apdu[2] == 0x80 && apdu[3] == 0x86);
    default:
        return false;
    }
}

}  // namespace

std::string scApduTraceText(const uint8_t* apdu, size_t len) {
    if (apdu == nullptr || len < 4) return "(malformed)";
    std::string s;
    char octet[4];
    const bool showData = DataIsShowable(apdu);
    const size_t shown = showData ? (len < 8 ? len : 8) : 4;
    for (size_t i = 0; i < shown; ++i) {
        std::snprintf(octet, sizeof octet, "%02X ", apdu[i]);
        s += octet;
    }
    if (showData) return s + "...";
    return s + "(data not shown)";
}
