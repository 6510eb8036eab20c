// The named-curve catalogue: 100 named elliptic curves of five families (SECG,
// NIST, Brainpool, X9.62, WTLS), each tying an id (1..100) to its OID constant,
// its names and the key domain that carries its parameters. Several records
// denote the same curve (for example secp256r1, nistp256 and prime256v1).
//
// The table is built on first use behind a function-local static, so it is
// complete before any caller (another static initialiser or a thread) sees it;
// it is read-only afterwards and destroyed at exit in reverse construction
// order. Lookups report absence by a null pointer, a null text or 0; nothing
// here throws once the table exists.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "lib/libasn/asnobjid.h"

class ECSpecifiedDomain;
class QvAsymKeyDomain;
class QvEpDsaKeyDomain;
class QvE2nDsaKeyDomain;

struct EcNamedCurve {
    int32_t id;         // 1..100, the position plus one
    int32_t fieldType;  // 0 prime field, 1 binary field
    int32_t family;     // 1 SECG, 2 NIST, 3 Brainpool, 4 X9.62, 5 WTLS
    const ASNobjectId* oid;                // a constant of the second OID table, or null
    const char* longName;
    const QvEpDsaKeyDomain* primeDomain;   // or null
    const QvE2nDsaKeyDomain* binaryDomain; // or null
    const char* shortName;
    const char* alias;                     // or null
};

class EcNamedCurveTable {
public:
    enum : int { kCount = 100 };
    enum : int { kFieldPrime = 0, kFieldBinary = 1 };
    enum : int { kFamilySecg = 1, kFamilyNist = 2, kFamilyBrainpool = 3, kFamilyX962 = 4, kFamilyWtls = 5 };
    enum : int { kShortName = 0, kLongName = 1, kAlias = 2 };
    enum : int { kEnglish = 0, kPolish = 1 };

    // The record at a position (0..99), or null.
    static const EcNamedCurve* at(int index);

    static const EcNamedCurve* findById(int id);
    // The first record in id order with this OID (so the X9.62 OIDs shared by
    // secp192r1/prime192v1 and secp256r1/prime256v1 find the SECG records).
    static const EcNamedCurve* findByOid(const ASNobjectId& oid);
    // From dotted text; null also for text that is not an OID.
    static const EcNamedCurve* findByOidText(const char* dotted);
    // Short name, then long name, then alias, ignoring ASCII case.
    static const EcNamedCurve* findByName(const char* name);

    // kind: kShortName, kLongName or kAlias; null for another kind or no record.
    static const char* getName(const EcNamedCurve* entry, int kind);
    static const char* getName(int id, int kind);
    static const char* getNameByOid(const ASNobjectId& oid, int kind);

    static const ASNobjectId* getOid(const EcNamedCurve* entry);
    static const ASNobjectId* getOid(const char* name);
    // Writes the dotted OID of the record; 1, or 0 (text left alone) when there
    // is no such record or it has no OID.
    static int getOidText(std::string& out, const char* name);
    static int getOidText(std::string& out, int id);

    // The record's domain by its field type; null when it has none.
    static const QvAsymKeyDomain* getDomain(const EcNamedCurve* entry);
    static const QvAsymKeyDomain* getDomain(int id);
    static const QvAsymKeyDomain* getDomain(const ASNobjectId& oid);
    static const QvAsymKeyDomain* getDomainByOidText(const char* dotted);
    static const QvAsymKeyDomain* getDomainByName(const char* name);

    // "SECG", "NIST", "Brainpool", "X9.62", "WTLS", or null.
    static const char* familyName(int family);
    static const char* familyName(const EcNamedCurve* entry);
    static const char* familyName(const ASNobjectId& oid);

    // Degree m of a binary domain, bit length of p of a prime domain, bit length of
    // the modulus of any other (a 1024-bit DSA domain gives 1024); 0 for none.
    static unsigned long fieldBitSize(const QvAsymKeyDomain* domain);
    static unsigned long securityStrength(const QvAsymKeyDomain* domain);
    // Field size of the record (also for the four normal-basis curves without a
    // domain); byteSize rounds up to octets.
    static unsigned long bitSize(const EcNamedCurve* entry);
    static unsigned long byteSize(const EcNamedCurve* entry);

    // The first record after the id 'after' whose domain is the given one's curve
    // (prime against prime records, binary against binary); null otherwise.
    static const EcNamedCurve* findNextByDomain(const QvAsymKeyDomain* domain, int after);
    // Next record denoting the same curve as id, after 'after'; fixed uses the
    // catalogue's equivalence classes, otherwise domain equality. 0 when none.
    static int nextEquivalentId(int id, int after, bool fixed);
    static const EcNamedCurve* nextEquivalent(int id, int after, bool fixed);

    // The names of a kind of the record and of its equivalents, joined by "/";
    // 1, or 0 when the record has no name of that kind.
    static int allNames(std::string& out, const EcNamedCurve* entry, int kind);
    static int allNames(std::string& out, const ASNobjectId& oid, int kind);

    // One-line description in English (kEnglish) or Polish (kPolish); 1, or 0.
    static int describe(std::string& out, const EcNamedCurve* entry, bool withEquivalents, int language);
    static int describe(std::string& out, int id, bool withEquivalents, int language);

    // Fills an explicit domain with the record's curve (key domain and all). The four
    // normal-basis curves fill it from their fixed DER without a key domain (their
    // basis has no arithmetic here). 1, or 0 for no record. By name, text that names
    // no record is tried as a dotted OID.
    static int toSpecifiedDomain(ECSpecifiedDomain& out, const EcNamedCurve* entry);
    static int toSpecifiedDomain(ECSpecifiedDomain& out, int id);
    static int toSpecifiedDomain(ECSpecifiedDomain& out, const ASNobjectId& oid);
    static int toSpecifiedDomain(ECSpecifiedDomain& out, const char* name);

    // The first record after the id 'after' whose curve is the explicit domain's
    // (by key-domain comparison; a domain for which none builds is compared with the
    // explicit forms of the normal-basis curves, whatever 'after' is); null when none
    // is. Also its id (0 when
    // none), the first match (with withOid, the first that has an OID), and the OID
    // of the first match after 'after' that has one.
    static const EcNamedCurve* findNextMatching(const ECSpecifiedDomain& domain, int after);
    static int findNextMatchingId(const ECSpecifiedDomain& domain, int after);
    static const EcNamedCurve* findFirstMatching(const ECSpecifiedDomain& domain, bool withOid = false);
    static const ASNobjectId* findMatchingOid(const ECSpecifiedDomain& domain, int after);

    // Builds the table now (it is otherwise built on the first lookup).
    static void load();
};
