// Helpers on BER/DER encodings and fixed-width big-endian integers. Every reader
// takes the number of octets available at `tlv` and refuses (throws) rather than
// read past them; long-form lengths of more than 4 octets are refused.
#ifndef LIBTORVAPP_QVCONV_QVDER_H
#define LIBTORVAPP_QVCONV_QVDER_H

#include "libtorvapp/qvcommon/qvexception.h"
#include "libtorvapp/qvcommon/qvtypes.h"

// Pointer to the contents octets (behind the tag and the length octets).
const QvOctet* qvDerGetContents(const QvOctet* tlv, unsigned int avail);
// Contents length (0 for the indefinite form 0x80).
unsigned int qvDerGetLength(const QvOctet* tlv, unsigned int avail);
// Pointer behind the whole TLV; the indefinite form is walked to its 00 00.
const QvOctet* qvDerGetEnd(const QvOctet* tlv, unsigned int avail);
// Tag, length and contents octets together.
unsigned int qvDerGetTlvLength(const QvOctet* tlv, unsigned int avail);

// Writes the DER length octets of len (at most 5) and returns their number.
unsigned int qvDerEncodeLength(unsigned int len, QvOctet* out);
// Number of length octets qvDerEncodeLength writes for len.
unsigned int qvDerLengthOfLength(unsigned int len);

// value big-endian in exactly n octets; a value that does not fit throws
// QvAccessException.
void qvUintToOctets(unsigned int value, QvOctet* out, unsigned int n);

#endif
