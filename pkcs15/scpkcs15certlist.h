// Certificate directories (CDF, trusted and useful certificates) and the file
// object that holds one certificate. Attributes that a record does not carry
// (subject, issuer, serial number, key hashes) come from the certificate itself.
#pragma once

#include <cstdint>
#include <vector>

#include "lib/libasn/asnany.h"
#include "lib/libpkcs15/asnpkcs15x509certificateattributes.h"
#include "pkcs15/scpkcs15objectlist.h"

// One certificate file. Contents that are not DER are kept byte for byte.
class SCPkcs15X509CertificateObject : public SCPkcs15PathObjectInfo {
public:
    explicit SCPkcs15X509CertificateObject(SCCard* card = nullptr);
    ~SCPkcs15X509CertificateObject() override;

    SCRESULT Parse(MemFile* in, uint32_t len) override;
    void ClearContents() override;
    SCRESULT Encode(MemFile* out) override;
    void Reset(bool full) override;

    // Takes a certificate's DER; SC_E_PKCS15_INVALID_ATTR_VALUE when it is not one TLV.
    SCRESULT SetCertificate(const uint8_t* der, uint32_t len);
    // The certificate's octets (DER when parsed, else the file's octets).
    SCRESULT GetOctets(std::vector<uint8_t>* out) const;

private:
    ASNany m_cert;
    std::vector<uint8_t> m_raw;
    bool m_parsed;
    uint32_t m_word;
};

typedef ASNPkcs15X509CertificateObject ASNPkcs15CertificateRecord;

class SCPkcs15CertificateList : public SCPkcs15TypedObjectList<ASNPkcs15CertificateRecord> {
public:
    explicit SCPkcs15CertificateList(SCCard* card, bool trusted = false);
    ~SCPkcs15CertificateList() override;

    using SCPkcs15TypedObjectList<ASNPkcs15CertificateRecord>::GetValueObject;
    using SCPkcs15TypedObjectList<ASNPkcs15CertificateRecord>::CreateRecord;

    SCRESULT GetAttribute(void* handle, SCPkcs15ObjectAttribute* attr) override;
    SCRESULT GetObjectKind(void* handle) override;
    SCRESULT GetValueObject(void* record, SCPkcs15PathObjectInfo** out, bool create) override;
    SCRESULT IsPrivate(void* handle) override;
    SCRESULT IsReadOnly(void* handle) override;
    SCRESULT SetAttribute(void* handle, const SCPkcs15ObjectAttribute* attr) override;
    // A kind in the template (type 1) whose second octet is neither 0 nor 2 is refused.
    SCRESULT CreateRecord(const SCPkcs15ObjectAttributeList* tmpl, void** out) override;
    const ASNPkcs15Path* GetValuePath(ASNPkcs15CertificateRecord* rec) override;
    ASNPkcs15ObjectValue<ASNany>* ValueOf(ASNPkcs15CertificateRecord* rec) override;
    SCRESULT MapAttributeType(uint64_t code) override;

    SCRESULT SetValueFileParameters(void* record, uint32_t lifeCycleState, uint32_t accessTemplate,
                                    const SCFileHeaderList& profile);
    SCRESULT SetValuePath(void* record, const SCPath& path);
    SCRESULT AllocateValuePath(void* record, const ASNPkcs15Path* path);
    SCRESULT CreateValueObject(void* record);

private:
    SCRESULT GetCertificateValue(ASNPkcs15CertificateRecord* rec, std::vector<uint8_t>* out);
    SCRESULT GetFromCertificate(ASNPkcs15CertificateRecord* rec, uint64_t code, SCPkcs15ObjectAttribute* attr);
    SCRESULT SetTypeAttribute(ASNPkcs15CertificateRecord* rec, uint64_t code, const SCPkcs15ObjectAttribute* attr);
};
