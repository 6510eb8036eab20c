// The second set of object-identifier constants: extension, directory-attribute,
// PKCS #1, Diffie-Hellman, ECDSA, curve, EC field/basis and EC key identifiers.
//
// Like the first table, the constants live in one table built on first use (a
// function-local static), so every caller, from any translation unit, static
// initialiser or thread, sees it fully built; it is destroyed at unload in
// reverse construction order. The two tables hold no value in common.
#pragma once

#include "lib/libasn/asnobjid.h"

// X(name, dotted text), in construction order. Names follow the identifier's
// name in its standard (hyphens become underscores).
#define MIRTAL_ASN_OID2_LIST(X) \
    X(id_ce_subjectDirectoryAttributes, "2.5.29.9") \
    X(id_ce_subjectKeyIdentifier, "2.5.29.14") \
    X(id_ce_keyUsage, "2.5.29.15") \
    X(id_ce_privateKeyUsagePeriod, "2.5.29.16") \
    X(id_ce_subjectAltName, "2.5.29.17") \
    X(id_ce_issuerAltName, "2.5.29.18") \
    X(id_ce_basicConstraints, "2.5.29.19") \
    X(id_ce_cRLNumber, "2.5.29.20") \
    X(id_ce_reasonCode, "2.5.29.21") \
    X(id_ce_holdInstructionCode, "2.5.29.23") \
    X(id_ce_invalidityDate, "2.5.29.24") \
    X(id_ce_deltaCRLIndicator, "2.5.29.27") \
    X(id_ce_issuingDistributionPoint, "2.5.29.28") \
    X(id_ce_certificateIssuer, "2.5.29.29") \
    X(id_ce_nameConstraints, "2.5.29.30") \
    X(id_ce_cRLDistributionPoints, "2.5.29.31") \
    X(id_ce_certificatePolicies, "2.5.29.32") \
    X(id_ce_policyMappings, "2.5.29.33") \
    X(id_ce_authorityKeyIdentifier, "2.5.29.35") \
    X(id_ce_policyConstraints, "2.5.29.36") \
    X(id_ce_extKeyUsage, "2.5.29.37") \
    X(id_ce_cRLStreamIdentifier, "2.5.29.40") \
    X(id_ce_cRLScope, "2.5.29.44") \
    X(id_ce_statusReferrals, "2.5.29.45") \
    X(id_ce_freshestCRL, "2.5.29.46") \
    X(id_ce_orderedList, "2.5.29.47") \
    X(id_ce_baseUpdateTime, "2.5.29.51") \
    X(id_ce_deltaInfo, "2.5.29.53") \
    X(id_ce_inhibitAnyPolicy, "2.5.29.54") \
    X(id_pe_qcStatements, "1.3.6.1.5.5.7.1.3") \
    X(ms_certificateTemplateName, "1.3.6.1.4.1.311.20.2") \
    X(id_pe_authorityInfoAccess, "1.3.6.1.5.5.7.1.1") \
    X(id_pe_subjectInfoAccess, "1.3.6.1.5.5.7.1.11") \
    X(mail, "0.9.2342.19200300.100.1.3") \
    X(uid, "0.9.2342.19200300.100.1.1") \
    X(id_at_dnQualifier, "2.5.4.46") \
    X(id_RSASSA_PSS, "1.2.840.113549.1.1.10") \
    X(id_RSAES_OAEP, "1.2.840.113549.1.1.7") \
    X(id_mgf1, "1.2.840.113549.1.1.8") \
    X(id_pSpecified, "1.2.840.113549.1.1.9") \
    X(dhKeyAgreement, "1.2.840.113549.1.3.1") \
    X(dhpublicnumber, "1.2.840.10046.2.1") \
    X(id_ecSigType, "1.2.840.10045.4") \
    X(ecdsa_with_SHA1, "1.2.840.10045.4.1") \
    X(ecdsa_with_Recommended, "1.2.840.10045.4.2") \
    X(ecdsa_with_SHA2, "1.2.840.10045.4.3") \
    X(ecdsa_with_SHA224, "1.2.840.10045.4.3.1") \
    X(ecdsa_with_SHA256, "1.2.840.10045.4.3.2") \
    X(ecdsa_with_SHA384, "1.2.840.10045.4.3.3") \
    X(ecdsa_with_SHA512, "1.2.840.10045.4.3.4") \
    X(secg_ellipticCurve, "1.3.132.0") \
    X(primeCurve, "1.2.840.10045.3.1") \
    X(secp112r1, "1.3.132.0.6") \
    X(secp112r2, "1.3.132.0.7") \
    X(secp128r1, "1.3.132.0.28") \
    X(secp128r2, "1.3.132.0.29") \
    X(secp160k1, "1.3.132.0.9") \
    X(secp160r1, "1.3.132.0.8") \
    X(secp160r2, "1.3.132.0.30") \
    X(secp192k1, "1.3.132.0.31") \
    X(secp192r1, "1.2.840.10045.3.1.1") \
    X(secp224k1, "1.3.132.0.32") \
    X(secp224r1, "1.3.132.0.33") \
    X(secp256k1, "1.3.132.0.10") \
    X(secp256r1, "1.2.840.10045.3.1.7") \
    X(secp384r1, "1.3.132.0.34") \
    X(secp521r1, "1.3.132.0.35") \
    X(sect113r1, "1.3.132.0.4") \
    X(sect113r2, "1.3.132.0.5") \
    X(sect131r1, "1.3.132.0.22") \
    X(sect131r2, "1.3.132.0.23") \
    X(sect163k1, "1.3.132.0.1") \
    X(sect163r1, "1.3.132.0.2") \
    X(sect163r2, "1.3.132.0.15") \
    X(sect193r1, "1.3.132.0.24") \
    X(sect193r2, "1.3.132.0.25") \
    X(sect233k1, "1.3.132.0.26") \
    X(sect233r1, "1.3.132.0.27") \
    X(sect239k1, "1.3.132.0.3") \
    X(sect283k1, "1.3.132.0.16") \
    X(sect283r1, "1.3.132.0.17") \
    X(sect409k1, "1.3.132.0.36") \
    X(sect409r1, "1.3.132.0.37") \
    X(sect571k1, "1.3.132.0.38") \
    X(sect571r1, "1.3.132.0.39") \
    X(brainpoolP160r1, "1.3.36.3.3.2.8.1.1.1") \
    X(brainpoolP160t1, "1.3.36.3.3.2.8.1.1.2") \
    X(brainpoolP192r1, "1.3.36.3.3.2.8.1.1.3") \
    X(brainpoolP192t1, "1.3.36.3.3.2.8.1.1.4") \
    X(brainpoolP224r1, "1.3.36.3.3.2.8.1.1.5") \
    X(brainpoolP224t1, "1.3.36.3.3.2.8.1.1.6") \
    X(brainpoolP256r1, "1.3.36.3.3.2.8.1.1.7") \
    X(brainpoolP256t1, "1.3.36.3.3.2.8.1.1.8") \
    X(brainpoolP320r1, "1.3.36.3.3.2.8.1.1.9") \
    X(brainpoolP320t1, "1.3.36.3.3.2.8.1.1.10") \
    X(brainpoolP384r1, "1.3.36.3.3.2.8.1.1.11") \
    X(brainpoolP384t1, "1.3.36.3.3.2.8.1.1.12") \
    X(brainpoolP512r1, "1.3.36.3.3.2.8.1.1.13") \
    X(brainpoolP512t1, "1.3.36.3.3.2.8.1.1.14") \
    X(c2pnb163v1, "1.2.840.10045.3.0.1") \
    X(c2pnb163v2, "1.2.840.10045.3.0.2") \
    X(c2pnb163v3, "1.2.840.10045.3.0.3") \
    X(c2pnb176w1, "1.2.840.10045.3.0.4") \
    X(c2tnb191v1, "1.2.840.10045.3.0.5") \
    X(c2tnb191v2, "1.2.840.10045.3.0.6") \
    X(c2tnb191v3, "1.2.840.10045.3.0.7") \
    X(c2onb191v4, "1.2.840.10045.3.0.8") \
    X(c2onb191v5, "1.2.840.10045.3.0.9") \
    X(c2pnb208w1, "1.2.840.10045.3.0.10") \
    X(c2tnb239v1, "1.2.840.10045.3.0.11") \
    X(c2tnb239v2, "1.2.840.10045.3.0.12") \
    X(c2tnb239v3, "1.2.840.10045.3.0.13") \
    X(c2onb239v4, "1.2.840.10045.3.0.14") \
    X(c2onb239v5, "1.2.840.10045.3.0.15") \
    X(c2pnb272w1, "1.2.840.10045.3.0.16") \
    X(c2pnb304w1, "1.2.840.10045.3.0.17") \
    X(c2tnb359v1, "1.2.840.10045.3.0.18") \
    X(c2pnb368w1, "1.2.840.10045.3.0.19") \
    X(c2tnb431r1, "1.2.840.10045.3.0.20") \
    X(prime192v2, "1.2.840.10045.3.1.2") \
    X(prime192v3, "1.2.840.10045.3.1.3") \
    X(prime239v1, "1.2.840.10045.3.1.4") \
    X(prime239v2, "1.2.840.10045.3.1.5") \
    X(prime239v3, "1.2.840.10045.3.1.6") \
    X(wap_wsg_idm_ecid_wtls1, "2.23.43.1.4.1") \
    X(wap_wsg_idm_ecid_wtls3, "2.23.43.1.4.3") \
    X(wap_wsg_idm_ecid_wtls4, "2.23.43.1.4.4") \
    X(wap_wsg_idm_ecid_wtls5, "2.23.43.1.4.5") \
    X(wap_wsg_idm_ecid_wtls10, "2.23.43.1.4.10") \
    X(wap_wsg_idm_ecid_wtls11, "2.23.43.1.4.11") \
    X(wap_wsg_idm_ecid_wtls6, "2.23.43.1.4.6") \
    X(wap_wsg_idm_ecid_wtls7, "2.23.43.1.4.7") \
    X(wap_wsg_idm_ecid_wtls8, "2.23.43.1.4.8") \
    X(wap_wsg_idm_ecid_wtls9, "2.23.43.1.4.9") \
    X(wap_wsg_idm_ecid_wtls12, "2.23.43.1.4.12") \
    X(prime_field, "1.2.840.10045.1.1") \
    X(characteristic_two_field, "1.2.840.10045.1.2") \
    X(gnBasis, "1.2.840.10045.1.2.3.1") \
    X(tpBasis, "1.2.840.10045.1.2.3.2") \
    X(ppBasis, "1.2.840.10045.1.2.3.3") \
    X(id_ecPublicKey, "1.2.840.10045.2.1") \
    X(id_ecPublicKeyRestricted, "1.2.840.10045.2.2") \
    X(id_ecPublicKeySupplemented, "1.3.132.1.0") \
    X(id_ecDH, "1.3.132.1.12") \
    X(id_ecMQV, "1.3.132.1.13") \
    X(id_keyExchangeAlgorithm, "2.16.840.1.101.2.1.1.22")

enum class AsnOid2 : int {
#define MIRTAL_ASN_OID2_ENUM(name, text) name,
    MIRTAL_ASN_OID2_LIST(MIRTAL_ASN_OID2_ENUM)
#undef MIRTAL_ASN_OID2_ENUM
    count
};

constexpr int kAsnOid2Count = static_cast<int>(AsnOid2::count);

// The constant (tag 6); the table is built on the first call.
const ASNobjectId& asnOid2(AsnOid2 which);
// By position in construction order (0-based); index must be below kAsnOid2Count.
const ASNobjectId& asnOid2At(int index);
// Accessor name and dotted text of a position; NULL outside the table.
const char* asnOid2Name(int index);
const char* asnOid2Text(int index);
// Position of a constant of this table (by address), or -1.
int asnOid2IndexOf(const ASNobjectId* constant);

// Named accessors: oid2::gnBasis(), oid2::secp256r1() and so on.
namespace oid2 {
#define MIRTAL_ASN_OID2_ACCESSOR(name, text) \
    inline const ASNobjectId& name() { return asnOid2(AsnOid2::name); }
MIRTAL_ASN_OID2_LIST(MIRTAL_ASN_OID2_ACCESSOR)
#undef MIRTAL_ASN_OID2_ACCESSOR
}  // namespace oid2
