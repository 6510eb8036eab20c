// The global object-identifier constants: one read-only ASNobjectId for each
// identifier the system recognises or writes.
//
// The constants live in one table that is built on first use (a function-local
// static, so C++ guarantees it exists before any caller, from any translation unit
// and any thread, sees it) and destroyed at unload in reverse construction order.
// Other load-time tables may use them from their own initialisers.
#pragma once

#include "lib/libasn/asnobjid.h"

// Dotted text of tdea; the two last tdea constants are built from these.
constexpr const char kAsnTdeaText1[] = "1.0.18033.3.1.1";
constexpr const char kAsnTdeaText2[] = "1.0.18033.3.1.1";

// X(name, dotted text), in construction order. Names follow the identifier's
// name in its standard (hyphens become underscores); a repeated identifier gets a
// suffix (_2, _3) and is a separate object that compares equal.
#define MIRTAL_ASN_OID_LIST(X) \
    X(md2, "1.2.840.113549.2.2") \
    X(md5, "1.2.840.113549.2.5") \
    X(id_sha1, "1.3.14.3.2.26") \
    X(id_sha224, "2.16.840.1.101.3.4.2.4") \
    X(id_sha256, "2.16.840.1.101.3.4.2.1") \
    X(id_sha384, "2.16.840.1.101.3.4.2.2") \
    X(id_sha512, "2.16.840.1.101.3.4.2.3") \
    X(ripemd_160, "1.0.10118.3.0.49") \
    X(id_ea_rsa, "2.5.8.1.1") \
    X(rsaEncryption, "1.2.840.113549.1.1.1") \
    X(md2WithRSAEncryption, "1.2.840.113549.1.1.2") \
    X(md5WithRSAEncryption, "1.2.840.113549.1.1.4") \
    X(sha1WithRSASignature, "1.3.14.3.2.29") \
    X(sha1WithRSAEncryption, "1.2.840.113549.1.1.5") \
    X(sha224WithRSAEncryption, "1.2.840.113549.1.1.14") \
    X(sha256WithRSAEncryption, "1.2.840.113549.1.1.11") \
    X(sha384WithRSAEncryption, "1.2.840.113549.1.1.12") \
    X(sha512WithRSAEncryption, "1.2.840.113549.1.1.13") \
    X(rsaOAEPEncryptionSET, "1.2.840.113549.1.1.6") \
    X(rc2CBC, "1.2.840.113549.3.2") \
    X(desCBC, "1.3.14.3.2.7") \
    X(des_EDE3_CBC, "1.2.840.113549.3.7") \
    X(desx_CBC, "1.2.840.113549.3.6") \
    X(aes128_CBC, "2.16.840.1.101.3.4.1.2") \
    X(aes192_CBC, "2.16.840.1.101.3.4.1.22") \
    X(aes256_CBC, "2.16.840.1.101.3.4.1.42") \
    X(id_dsa, "1.2.840.10040.4.1") \
    X(id_dsa_with_sha1, "1.2.840.10040.4.3") \
    X(teletrust_1_3_36_8_5_1_2_2, "1.3.36.8.5.1.2.2") \
    X(idea_CBC, "1.3.6.1.4.1.188.7.1.1.2") \
    X(id_at_serialNumber, "2.5.4.5") \
    X(id_at_countryName, "2.5.4.6") \
    X(id_at_localityName, "2.5.4.7") \
    X(id_at_stateOrProvinceName, "2.5.4.8") \
    X(id_at_streetAddress, "2.5.4.9") \
    X(id_at_organizationName, "2.5.4.10") \
    X(id_at_organizationalUnitName, "2.5.4.11") \
    X(id_at_title, "2.5.4.12") \
    X(id_at_description, "2.5.4.13") \
    X(id_at_postalAddress, "2.5.4.16") \
    X(id_at_telephoneNumber, "2.5.4.20") \
    X(id_at_internationalISDNNumber, "2.5.4.25") \
    X(pkcs_9_at_emailAddress, "1.2.840.113549.1.9.1") \
    X(id_at_commonName, "2.5.4.3") \
    X(id_at_surname, "2.5.4.4") \
    X(id_at_givenName, "2.5.4.42") \
    X(id_at_uniqueIdentifier, "2.5.4.45") \
    X(id_at_pseudonym, "2.5.4.65") \
    X(domainComponent, "0.9.2342.19200300.100.1.25") \
    X(pkcs_9_at_unstructuredName, "1.2.840.113549.1.9.2") \
    X(pkcs_9_at_unstructuredAddress, "1.2.840.113549.1.9.8") \
    X(pkcs_9_at_challengePassword, "1.2.840.113549.1.9.7") \
    X(id_data, "1.2.840.113549.1.7.1") \
    X(id_signedData, "1.2.840.113549.1.7.2") \
    X(id_envelopedData, "1.2.840.113549.1.7.3") \
    X(id_signedAndEnvelopedData, "1.2.840.113549.1.7.4") \
    X(id_digestedData, "1.2.840.113549.1.7.5") \
    X(id_encryptedData, "1.2.840.113549.1.7.6") \
    X(keyBag, "1.2.840.113549.1.12.10.1.1") \
    X(certBag, "1.2.840.113549.1.12.10.1.3") \
    X(pkcs8ShroudedKeyBag, "1.2.840.113549.1.12.10.1.2") \
    X(secretBag, "1.2.840.113549.1.12.10.1.5") \
    X(pbeWithSHAAnd3_KeyTripleDES_CBC, "1.2.840.113549.1.12.1.3") \
    X(pbeWithSHAAnd40BitRC2_CBC, "1.2.840.113549.1.12.1.6") \
    X(x509Certificate, "1.2.840.113549.1.9.22.1") \
    X(pkcs_9_at_friendlyName, "1.2.840.113549.1.9.20") \
    X(pkcs_9_at_localKeyId, "1.2.840.113549.1.9.21") \
    X(pkcs8ShroudedKeyBag_2, "1.2.840.113549.1.12.10.1.2") \
    X(rsaEncryption_2, "1.2.840.113549.1.1.1") \
    X(id_messageDigest, "1.2.840.113549.1.9.4") \
    X(id_aa_signingCertificate, "1.2.840.113549.1.9.16.2.12") \
    X(id_contentType, "1.2.840.113549.1.9.3") \
    X(id_signingTime, "1.2.840.113549.1.9.5") \
    X(pkcs_9_at_randomNonce, "1.2.840.113549.1.9.25.3") \
    X(pkcs_9_at_sequenceNumber, "1.2.840.113549.1.9.25.4") \
    X(id_countersignature, "1.2.840.113549.1.9.6") \
    X(id_aa_ets_certificateRefs, "1.2.840.113549.1.9.16.2.21") \
    X(id_aa_ets_revocationRefs, "1.2.840.113549.1.9.16.2.22") \
    X(id_aa_ets_certValues, "1.2.840.113549.1.9.16.2.23") \
    X(id_aa_ets_revocationValues, "1.2.840.113549.1.9.16.2.24") \
    X(id_aa_ets_escTimeStamp, "1.2.840.113549.1.9.16.2.25") \
    X(id_aa_ets_archiveTimestamp, "1.2.840.113549.1.9.16.2.27") \
    X(id_aa_contentHint, "1.2.840.113549.1.9.16.2.4") \
    X(pkcs_9_at_10, "1.2.840.113549.1.9.10") \
    X(private_1_2_616_1_104742_20_10_10_10, "1.2.616.1.104742.20.10.10.10") \
    X(id_ct_TSTInfo, "1.2.840.113549.1.9.16.1.4") \
    X(id_aa_timeStampToken, "1.2.840.113549.1.9.16.2.14") \
    X(id_aa_ets_sigPolicyId, "1.2.840.113549.1.9.16.2.15") \
    X(pkcs_9_at_extensionRequest, "1.2.840.113549.1.9.14") \
    X(id_aa_ets_commitmentType, "1.2.840.113549.1.9.16.2.16") \
    X(id_cti_ets_proofOfOrigin, "1.2.840.113549.1.9.16.6.1") \
    X(id_cti_ets_proofOfReceipt, "1.2.840.113549.1.9.16.6.2") \
    X(id_cti_ets_proofOfDelivery, "1.2.840.113549.1.9.16.6.3") \
    X(id_cti_ets_proofOfSender, "1.2.840.113549.1.9.16.6.4") \
    X(id_cti_ets_proofOfApproval, "1.2.840.113549.1.9.16.6.5") \
    X(id_cti_ets_proofOfCreation, "1.2.840.113549.1.9.16.6.6") \
    X(netscape_cert_type, "2.16.840.1.113730.1.1") \
    X(netscape_base_url, "2.16.840.1.113730.1.2") \
    X(netscape_revocation_url, "2.16.840.1.113730.1.3") \
    X(netscape_ca_revocation_url, "2.16.840.1.113730.1.4") \
    X(netscape_cert_sequence, "2.16.840.1.113730.2.5") \
    X(netscape_data_type_6, "2.16.840.1.113730.2.6") \
    X(netscape_cert_renewal_url, "2.16.840.1.113730.1.7") \
    X(netscape_ca_policy_url, "2.16.840.1.113730.1.8") \
    X(netscape_homepage_url, "2.16.840.1.113730.1.9") \
    X(netscape_entity_logo, "2.16.840.1.113730.1.10") \
    X(netscape_user_picture, "2.16.840.1.113730.1.11") \
    X(netscape_ssl_server_name, "2.16.840.1.113730.1.12") \
    X(netscape_comment, "2.16.840.1.113730.1.13") \
    X(id_kp_timeStamping, "1.3.6.1.5.5.7.3.8") \
    X(id_PasswordBasedMac, "1.2.840.113533.7.66.13") \
    X(hmac_sha1, "1.3.6.1.5.5.8.1.2") \
    X(id_regCtrl_regToken, "1.3.6.1.5.5.7.5.1.1") \
    X(anyPolicy, "2.5.29.32.0") \
    X(id_qt_cps, "1.3.6.1.5.5.7.2.1") \
    X(id_qt_unotice, "1.3.6.1.5.5.7.2.2") \
    X(id_ad_ocsp, "1.3.6.1.5.5.7.48.1") \
    X(id_pkix_ocsp_basic, "1.3.6.1.5.5.7.48.1.1") \
    X(id_pkix_ocsp_nonce, "1.3.6.1.5.5.7.48.1.2") \
    X(object_2_0_2, "2.0.2") \
    X(id_etsi_qcs_QcCompliance, "0.4.0.1862.1.1") \
    X(id_etsi_qcs_QcLimitValue, "0.4.0.1862.1.2") \
    X(national_1_2_616_1_101_3_1_1_2, "1.2.616.1.101.3.1.1.2") \
    X(enterprise_2_1_1_1, "1.3.6.1.4.1.32473.2.1.1.1") \
    X(enterprise_2_1_2, "1.3.6.1.4.1.32473.2.1.2") \
    X(id_kp_serverAuth, "1.3.6.1.5.5.7.3.1") \
    X(id_kp_clientAuth, "1.3.6.1.5.5.7.3.2") \
    X(id_kp_emailProtection, "1.3.6.1.5.5.7.3.4") \
    X(id_kp_timeStamping_2, "1.3.6.1.5.5.7.3.8") \
    X(ms_kp_smartcardLogon, "1.3.6.1.4.1.311.20.2.2") \
    X(ms_kp_efsCrypto, "1.3.6.1.4.1.311.10.3.4") \
    X(ms_kp_trustListSigning, "1.3.6.1.4.1.311.10.3.1") \
    X(ms_directoryReplication, "1.3.6.1.4.1.311.25.1") \
    X(ms_userPrincipalName, "1.3.6.1.4.1.311.20.2.3") \
    X(enterprise_4_3, "1.3.6.1.4.1.32473.4.3") \
    X(enterprise_4_4, "1.3.6.1.4.1.32473.4.4") \
    X(enterprise_4_5, "1.3.6.1.4.1.32473.4.5") \
    X(enterprise_4_6, "1.3.6.1.4.1.32473.4.6") \
    X(enterprise_4_7, "1.3.6.1.4.1.32473.4.7") \
    X(id_ad_ocsp_2, "1.3.6.1.5.5.7.48.1") \
    X(id_ad_caIssuers, "1.3.6.1.5.5.7.48.2") \
    X(id_ad_timeStamping, "1.3.6.1.5.5.7.48.3") \
    X(id_ad_caRepository, "1.3.6.1.5.5.7.48.5") \
    X(rsadsi_encryptionAlgorithm_40, "1.2.840.113549.3.40") \
    X(rsadsi_encryptionAlgorithm_41, "1.2.840.113549.3.41") \
    X(rc2ECB, "1.2.840.113549.3.3") \
    X(desECB, "1.3.14.3.2.6") \
    X(tdea, "1.0.18033.3.1.1") \
    X(aes, "1.0.18033.3.2.1") \
    X(tdea_2, kAsnTdeaText1) \
    X(tdea_3, kAsnTdeaText2) \
    X(enterprise_4_1, "1.3.6.1.4.1.32473.4.1") \
    X(enterprise_4_2, "1.3.6.1.4.1.32473.4.2")

enum class AsnOid : int {
#define MIRTAL_ASN_OID_ENUM(name, text) name,
    MIRTAL_ASN_OID_LIST(MIRTAL_ASN_OID_ENUM)
#undef MIRTAL_ASN_OID_ENUM
    count
};

constexpr int kAsnOidCount = static_cast<int>(AsnOid::count);

// The constant (tag 6); the table is built on the first call.
const ASNobjectId& asnOid(AsnOid which);
// By position in construction order (0-based); index must be below kAsnOidCount.
const ASNobjectId& asnOidAt(int index);
// Accessor name and dotted text of a position; NULL outside the table.
const char* asnOidName(int index);
const char* asnOidText(int index);

// Named accessors: oid::id_at_commonName() and so on.
namespace oid {
#define MIRTAL_ASN_OID_ACCESSOR(name, text) \
    inline const ASNobjectId& name() { return asnOid(AsnOid::name); }
MIRTAL_ASN_OID_LIST(MIRTAL_ASN_OID_ACCESSOR)
#undef MIRTAL_ASN_OID_ACCESSOR
}  // namespace oid
