// X.509 certificates from arbitrary octets, as DER and through the PEM reader: a
// decode never crashes; a decoded certificate re-encodes to octets that decode to an
// equal certificate; the signed part keeps the octets received; the key and extension
// accessors and the verification dispatch run on whatever was decoded.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "lib/libasn/x509/sgncert.h"
#include "support/memfile.h"

namespace {

void Exercise(const SignedCertificate& c) {
    const TBSCertificate& t = c.tbsCertificate;
    (void)t.getKeySizeBits();
    (void)t.getKeySize();
    (void)t.checkValidityAt(0);
    (void)c.isCA();
    (void)t.subjectPublicKeyInfo.detectKeyType();
    uint8_t id[20];
    (void)t.subjectPublicKeyInfo.getKeyIdSha1(id);
    BasicConstraints bc;
    (void)t.extensions.value.getExtensionValue(algoid::basicConstraints(), &bc);
    ASNbitstr ku;
    (void)t.extensions.value.getExtensionValue(algoid::keyUsage(), &ku);
    (void)c.verifySelfSigned();
    std::string s;
    (void)t.subject.toString(s, DNF_LABEL);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > 1 << 16) return 0;
    SignedCertificate::setReadHook(nullptr);
    SignedCertificate c;
    long r = c.readBuffer(data, static_cast<long>(size));
    if (r > 0) {
        if (static_cast<size_t>(r) > size) abort();
        // The signed part kept exactly the octets it was decoded from.
        const std::vector<uint8_t>& rx = c.tbsCertificate.receivedEncoding();
        if (rx.empty() || rx.size() > static_cast<size_t>(r)) abort();
        Exercise(c);
        std::vector<uint8_t> enc;
        long w = c.encodeToVector(enc);
        if (w < 1 || w != c.lenOfObject()) abort();
        SignedCertificate back;
        if (back.readVector(enc) != w) abort();
        if (!(back == c)) abort();
        std::vector<uint8_t> enc2;
        if (back.encodeToVector(enc2) != w || enc2 != enc) abort();
    }
    // The same octets as text through the PEM reader.
    SignedCertificate::enablePemInput();
    SignedCertificate p;
    MemFile mf(static_cast<const void*>(data), size, false);
    long pr = p.read(&mf, static_cast<long>(size));
    if (pr > static_cast<long>(size)) abort();
    if (pr > 0) Exercise(p);
    SignedCertificate::setReadHook(nullptr);
    return 0;
}
