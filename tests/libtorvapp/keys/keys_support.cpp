#include "tests/libtorvapp/keys/keys_support.h"

#include <cstring>

std::vector<unsigned char> bnOctets(const BIGNUM *b) {
    std::vector<unsigned char> v(BN_num_bytes(b));
    if (!v.empty()) BN_bn2bin(b, v.data());
    return v;
}

QvN bnToQvN(const BIGNUM *b) {
    std::vector<unsigned char> v = bnOctets(b);
    if (v.empty()) return QvN();
    return QvN(v.data(), static_cast<unsigned int>(v.size()), 0);
}

BIGNUM *qvnToBn(const QvN &n) {
    std::vector<unsigned char> v(n.getOctetLength() + 1);
    unsigned int len = n.asOctetString(v.data(), static_cast<unsigned int>(v.size()), false);
    return BN_bin2bn(v.data(), static_cast<int>(len), nullptr);
}

std::string firstLines(const char *text, unsigned int lines) {
    std::string s(text);
    size_t pos = 0;
    for (unsigned int i = 0; i < lines && pos != std::string::npos; ++i) {
        pos = s.find('\n', pos);
        if (pos != std::string::npos) ++pos;
    }
    return pos == std::string::npos ? s : s.substr(0, pos);
}

std::string reasonOf(const char *text) {
    std::string s(text);
    size_t a = s.find("REASON: ");
    if (a == std::string::npos) return "";
    a += 8;
    size_t b = s.find('\n', a);
    return s.substr(a, b - a);
}
