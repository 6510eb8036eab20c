// The PKCS#1 encodings on octet strings, shared by the RSA signature and
// cipher schemes: the DigestInfo, EMSA-PKCS1-v1_5, EMSA-PSS, EME-PKCS1-v1_5
// and EME-OAEP.  They know nothing of keys: the schemes pass the key size and
// do the checks that carry their own exception texts.
#ifndef LIBTORVAPP_QVPKCS1_H
#define LIBTORVAPP_QVPKCS1_H

#include "libtorvapp/qvcommon/qvoctmem.h"
#include "libtorvapp/qvhash.h"
#include "libtorvapp/qvmgf.h"
#include "libtorvapp/qvrbg.h"

// DER DigestInfo { { hash OID, NULL }, OCTET STRING digest } with the OID of
// `hash`; the digest is taken as given, whatever its length.
void qvPkcs1DigestInfo(QvOctMem &t, const QvHash &hash, const QvOctet *digest, unsigned int digestLen);

// 01 FF..FF 00 T in k - 1 octets (EM without its leading zero octet).  False
// (encoding untouched) when fewer than eight FF octets would fit.
bool qvPkcs1EmsaV15(QvOctMem &encoding, const QvOctMem &t, unsigned int k);

// EMSA-PSS for a modulus of modBits bits: emLen = ceil((modBits - 1) / 8)
// octets.  hLen octets of the hash are used; the salt is drawn octet by octet
// from rbg (unused when saltOctets is 0).  The caller checks that
// emLen >= hLen + saltOctets + 2.
void qvPkcs1EmsaPssEncode(QvOctMem &encoding, unsigned int modBits, QvHash &hash, unsigned int hLen,
                          const QvOctet *digest, unsigned int digestLen, unsigned int saltOctets, QvRbg *rbg,
                          QvMgf &mgf);

// Checks an emLen-octet EM (unmasked in place).  Every test runs; the result
// is their conjunction.
bool qvPkcs1EmsaPssVerify(QvOctet *em, unsigned int emLen, unsigned int modBits, QvHash &hash, unsigned int hLen,
                          const QvOctet *digest, unsigned int digestLen, unsigned int saltOctets, QvMgf &mgf);

// 02 PS 00 M in k - 1 octets with PS of non-zero random octets (k - 3 - mLen
// of them); the caller checks mLen + 11 <= k.
void qvPkcs1EmeV15Encode(QvOctet *out, unsigned int k, const QvOctet *m, unsigned int mLen, QvRbg &rbg);

// Checks a k-octet block 00 02 PS 00 M with at least eight PS octets; on
// success sets the offset and length of M.
bool qvPkcs1EmeV15Decode(const QvOctet *em, unsigned int k, unsigned int &mOff, unsigned int &mLen);

// maskedSeed || maskedDB in k - 1 octets; the caller checks
// mLen + 2 hLen + 2 <= k.
void qvPkcs1EmeOaepEncode(QvOctet *out, unsigned int k, const QvOctet *m, unsigned int mLen, const QvOctet *label,
                          unsigned int labelLen, QvHash &hash, QvMgf &mgf, QvRbg &rbg);

// Unmasks a k-octet EM in place and checks it; on success sets the offset and
// length of M.  All failures look the same.
bool qvPkcs1EmeOaepDecode(QvOctet *em, unsigned int k, const QvOctet *label, unsigned int labelLen, QvHash &hash,
                          QvMgf &mgf, unsigned int &mOff, unsigned int &mLen);

#endif
