#include "libtorvapp/qvconv/qvder.h"

namespace {

// Nested indefinite-length encodings deeper than this are refused.
const unsigned int kMaxDepth = 64;

[[noreturn]] void pastEnd()
{
    qvThrow<QvAccessException>("LIBRARY: libtorvapp\nEXCEPTION: QvAccessException\n"
                               "REASON: Encoding runs past the end of its buffer.\n"
                               "FUNCTION: qvDerParseHeader\n"
                               "FILE: qvconv/conv_der\nLINE: 13\n");
}

struct Header {
    unsigned int headerOctets; // tag and length octets
    unsigned int contentOctets;
    bool indefinite;
};

// Parses tag and length and checks that the definite contents lie within avail.
Header parseHeader(const QvOctet* tlv, unsigned int avail)
{
    if (tlv == nullptr || avail < 2)
        pastEnd();
    unsigned int pos = 1;
    if ((tlv[0] & 0x1F) == 0x1F) { // high tag number: continuation octets have bit 8 set
        while (pos < avail && (tlv[pos] & 0x80) != 0)
            ++pos;
        ++pos; // the last tag octet
        if (pos >= avail)
            pastEnd();
    }
    QvOctet first = tlv[pos++];
    Header h{0, 0, false};
    if (first < 0x80) {
        h.contentOctets = first;
    } else if (first == 0x80) {
        h.indefinite = true;
        if ((tlv[0] & 0x20) == 0) // only constructed encodings may be indefinite
            qvThrow<QvWrongSyntaxException>("LIBRARY: libtorvapp\nEXCEPTION: QvWrongSyntaxException\n"
                                            "REASON: Indefinite length of a primitive encoding.\n"
                                            "FUNCTION: qvDerParseHeader\n"
                                            "FILE: qvconv/conv_der\nLINE: 45\n");
    } else {
        unsigned int n = first & 0x7F;
        if (n > 4)
            qvThrow<QvWrongSyntaxException>("LIBRARY: libtorvapp\nEXCEPTION: QvWrongSyntaxException\n"
                                            "REASON: Length of more than 4 octets.\n"
                                            "FUNCTION: qvDerParseHeader\n"
                                            "FILE: qvconv/conv_der\nLINE: 52\n");
        if (n > avail - pos)
            pastEnd();
        unsigned int len = 0;
        for (unsigned int i = 0; i < n; ++i)
            len = (len << 8) | tlv[pos++];
        h.contentOctets = len;
    }
    h.headerOctets = pos;
    if (!h.indefinite && h.contentOctets > avail - pos)
        pastEnd();
    return h;
}

// Total octets of the TLV at tlv, walking indefinite forms to their end-of-contents.
unsigned int tlvOctets(const QvOctet* tlv, unsigned int avail, unsigned int depth)
{
    Header h = parseHeader(tlv, avail);
    if (!h.indefinite)
        return h.headerOctets + h.contentOctets;
    if (depth >= kMaxDepth)
        qvThrow<QvWrongSyntaxException>("LIBRARY: libtorvapp\nEXCEPTION: QvWrongSyntaxException\n"
                                        "REASON: Encoding nested too deeply.\n"
                                        "FUNCTION: qvDerGetEnd\n"
                                        "FILE: qvconv/conv_der\nLINE: 76\n");
    unsigned int pos = h.headerOctets;
    for (;;) {
        if (avail - pos < 2)
            pastEnd();
        if (tlv[pos] == 0 && tlv[pos + 1] == 0)
            return pos + 2;
        pos += tlvOctets(tlv + pos, avail - pos, depth + 1);
    }
}

} // namespace

const QvOctet* qvDerGetContents(const QvOctet* tlv, unsigned int avail)
{
    return tlv + parseHeader(tlv, avail).headerOctets;
}

unsigned int qvDerGetLength(const QvOctet* tlv, unsigned int avail)
{
    Header h = parseHeader(tlv, avail);
    return h.indefinite ? 0 : h.contentOctets;
}

const QvOctet* qvDerGetEnd(const QvOctet* tlv, unsigned int avail)
{
    return tlv + tlvOctets(tlv, avail, 0);
}

unsigned int qvDerGetTlvLength(const QvOctet* tlv, unsigned int avail)
{
    return tlvOctets(tlv, avail, 0);
}

unsigned int qvDerEncodeLength(unsigned int len, QvOctet* out)
{
    if (len < 128) {
        out[0] = static_cast<QvOctet>(len);
        return 1;
    }
    unsigned int n = qvDerLengthOfLength(len) - 1;
    out[0] = static_cast<QvOctet>(0x80 | n);
    for (unsigned int i = 0; i < n; ++i)
        out[1 + i] = static_cast<QvOctet>(len >> (8 * (n - 1 - i)));
    return n + 1;
}

unsigned int qvDerLengthOfLength(unsigned int len)
{
    if (len < 128)
        return 1;
    unsigned int n = 0;
    while (len != 0) {
        ++n;
        len >>= 8;
    }
    return 1 + n;
}

void qvUintToOctets(unsigned int value, QvOctet* out, unsigned int n)
{
    if (n < 4 && (value >> (8 * n)) != 0)
        throw QvAccessException();
    for (unsigned int i = 0; i < n; ++i) {
        unsigned int shift = 8 * (n - 1 - i);
        out[i] = shift < 32 ? static_cast<QvOctet>(value >> shift) : 0;
    }
}
