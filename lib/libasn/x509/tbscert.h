// X.509 TBSCertificate (versions 1, 2 and 3): the signed part of a certificate.
#pragma once

#include <cstdint>
#include <ctime>
#include <vector>

#include "lib/libasn/asnbitst.h"
#include "lib/libasn/asnexpl.h"
#include "lib/libasn/asnint.h"
#include "lib/libasn/x509/siganddigoid.h"
#include "lib/libasn/x509/spkinfo.h"
#include "lib/libasn/x509/x509ext.h"
#include "lib/libasn/x509/x509name.h"
#include "lib/libasn/x509time.h"

class TBSCertificate : public ASNsequenceF {
public:
    TBSCertificate();
    TBSCertificate(const TBSCertificate& other);
    // Copies every member; the extension list is rebuilt element by element (when
    // that fails it is left empty and std::bad_alloc is thrown).
    TBSCertificate& operator=(const TBSCertificate& other);
    ~TBSCertificate() override;

    // Also keeps the octets received, over which the certificate's signature is
    // checked (a re-encoding of BER input could differ from what was signed).
    long read(GenericFile* src, long maxLen, uint8_t flags = 0) override;
    void clear() override;
    int read_contents(GenericFile* src, long len) override;
    int write_contents(GenericFile* dst) const override;
    long lenOfBody() const override;
    void digest_contents(QvHash* hash) const override;

    // The version INTEGER's value (0 for version 1), -1 when it is not a small
    // non-negative number.
    long getVersion() const;
    bool isVersion1() const { return getVersion() == 0; }
    // Sets the version value (0, 1 or 2).
    void setVersion(uint32_t v);
    // -1 before notBefore, 1 after notAfter, else 0.
    int checkValidity(const X509time& t) const;
    // The same to the minute of gmtime(t), from the stored fields.
    int checkValidityAt(time_t t) const;
    bool operator==(const TBSCertificate& other) const;
    bool operator!=(const TBSCertificate& other) const { return !(*this == other); }

    uint64_t getKeySizeBits() const { return subjectPublicKeyInfo.getKeySizeBits(); }
    uint64_t getKeySizeBytes() const { return subjectPublicKeyInfo.getKeySizeBytes(); }
    // In bits for an elliptic-curve key, else in octets.
    uint64_t getKeySize() const;

    // The whole TLV as the last decode received it (empty when it was built here,
    // changed since, or read from a stream that cannot seek back).
    const std::vector<uint8_t>& receivedEncoding() const { return m_received; }
    // Forget the received octets (after changing members directly).
    void forgetReceived() { m_received.clear(); }
    // Hash of the received octets when there are any, else of the DER encoding; 1.
    int digestReceived(unsigned hashId, uint8_t* buf, long bufLen) const;

    ASNexpl<ASNinteger> version;
    ASNinteger serialNumber;
    AlgorithmIdentifier signature;
    DistinguishedName issuer;
    Validity validity;
    DistinguishedName subject;
    SubPubKeyInfo subjectPublicKeyInfo;
    uint8_t issuerUniqueIDPresent;
    uint8_t subjectUniqueIDPresent;
    ASNbitstr issuerUniqueID;
    ASNbitstr subjectUniqueID;
    ASNexpl<Extensions> extensions;

private:
    std::vector<uint8_t> m_received;
};
