// The X.500 attribute-type table and its lookups.
#include "lib/libasn/x509/x500types.h"

#include <cstring>
#include <new>
#include <string>

#include "lib/libasn/asnoidconst.h"
#include "support/lasting.h"

namespace {

const char* const kEmailAliases[] = {"email", "e-mail"};
const char* const kSerialAliases[] = {"serial"};

struct Table {
    // Types that have no global constant get their own here.
    ASNobjectId userId{"0.9.2342.19200300.100.1.1"};
    ASNobjectId mail{"0.9.2342.19200300.100.1.3"};
    ASNobjectId dnQualifier{"2.5.4.46"};
    ASNobjectId sentinel;
    X500AttributeType rec[X500_TYPE_COUNT];

    Table() {
        using namespace oid;
        const X500AttributeType init[X500_TYPE_COUNT] = {
            {0, &id_at_countryName(), "2.5.4.6", "countryName", "C", "C", "country", "kraj", "C",
             "countryName", "C", 2, nullptr, 0},
            {1, &id_at_localityName(), "2.5.4.7", "localityName", "L", "L", "locality",
             "miejscowo\xC5\x9B\xC4\x87", "L", "localityName", "L", 1, nullptr, 0},
            {2, &id_at_stateOrProvinceName(), "2.5.4.8", "stateOrProvinceName", "ST", "ST", "state",
             "wojew\xC3\xB3" "dztwo", "ST", "stateOrProvinceName", "S", 1, nullptr, 0},
            {3, &id_at_organizationName(), "2.5.4.10", "organizationName", "O", "O", "organization",
             "organizacja", "O", "organizationName", "O", 1, nullptr, 0},
            {4, &id_at_organizationalUnitName(), "2.5.4.11", "organizationalUnitName", "OU", "OU",
             "organizational unit", "jednostka organizacyjna", "OU", "organizationalUnitName", "OU", 1,
             nullptr, 0},
            {5, &id_at_commonName(), "2.5.4.3", "commonName", "CN", "CN", "common name",
             "nazwa powszechna", "CN", "commonName", "CN", 1, nullptr, 0},
            {6, &id_at_title(), "2.5.4.12", "title", "T", nullptr, "title", "tytu\xC5\x82", nullptr,
             "title", "T", 1, nullptr, 0},
            {7, &id_at_postalAddress(), "2.5.4.16", "postalAddress", nullptr, nullptr, "postal address",
             "adres pocztowy", nullptr, nullptr, nullptr, 10, nullptr, 0},
            {8, &pkcs_9_at_emailAddress(), "1.2.840.113549.1.9.1", "emailAddress", "E", nullptr,
             "e-mail address", "adres e-mail", nullptr, "emailAddress", "E", 4, kEmailAliases, 2},
            {9, &id_at_surname(), "2.5.4.4", "surname", "SN", nullptr, "surname", "nazwisko", "SN",
             "surname", "SN", 1, nullptr, 0},
            {10, &id_at_givenName(), "2.5.4.42", "givenName", "GN", nullptr, "given name",
             "imi\xC4\x99", "GN", "givenName", "G", 1, nullptr, 0},
            {11, &id_at_uniqueIdentifier(), "2.5.4.45", "uniqueIdentifier", nullptr, nullptr,
             "unique identifier", "unikalny identyfikator", nullptr, "x500UniqueIdentifier", nullptr, 8,
             nullptr, 0},
            {12, &id_at_serialNumber(), "2.5.4.5", "serialNumber", "SERIALNUMBER", nullptr,
             "serial number", "numer seryjny", nullptr, "serialNumber", "SERIALNUMBER", 2, kSerialAliases,
             1},
            {13, &id_at_description(), "2.5.4.13", "description", nullptr, nullptr, "description", "opis",
             nullptr, "description", "Description", 1, nullptr, 0},
            {14, &id_at_telephoneNumber(), "2.5.4.20", "phone", "PHONE", nullptr, "phone number",
             "numer telefonu", nullptr, nullptr, "Phone", 2, nullptr, 0},
            {15, &id_at_internationalISDNNumber(), "2.5.4.25", "ISDNPhone", nullptr, nullptr,
             "ISDN phone number", "numer telefonu ISDN", nullptr, nullptr, nullptr, 6, nullptr, 0},
            {16, &domainComponent(), "0.9.2342.19200300.100.1.25", "domainComponent", "DC", "DC",
             "domain component", "nazwa domeny", "DC", "domainComponent", "DC", 4, nullptr, 0},
            {17, &id_at_pseudonym(), "2.5.4.65", "pseudonym", nullptr, nullptr, "pseudonym", "pseudonim",
             nullptr, "pseudonym", nullptr, 1, nullptr, 0},
            {18, &id_at_streetAddress(), "2.5.4.9", "streetAddress", "STREET", "STREET", "street address",
             "adres ulicy", nullptr, "streetAddress", "STREET", 1, nullptr, 0},
            {19, &pkcs_9_at_unstructuredName(), "1.2.840.113549.1.9.2", "unstructuredName", nullptr,
             nullptr, "unstructured name", "nazwa bez struktury", nullptr, "unstructuredName",
             "Unstructured Name", 9, nullptr, 0},
            {20, &pkcs_9_at_unstructuredAddress(), "1.2.840.113549.1.9.8", "unstructuredAddress", nullptr,
             nullptr, "unstructured address", "adres bez struktury", nullptr, "unstructuredAddress",
             "Unstructured Addresss", 1, nullptr, 0},
            {21, &userId, "0.9.2342.19200300.100.1.1", "userId", "UID", "UID", "user identifier",
             "identyfikator u\xC5\xBCytkownika", "UID", "userId", nullptr, 1, nullptr, 0},
            {22, &mail, "0.9.2342.19200300.100.1.3", "mail", "MAIL", nullptr, "mail",
             "adres poczty e-mail", "mail", "rfc822Mailbox", nullptr, 4, nullptr, 0},
            {23, &dnQualifier, "2.5.4.46", "dnQualifier", nullptr, nullptr, "dn qualifier",
             "kwalifikator DN", nullptr, "dnQualifier", "dnQualifier", 2, nullptr, 0},
        };
        for (uint32_t i = 0; i < X500_TYPE_COUNT; i++) rec[i] = init[i];
    }
};

const Table& theTable() {
    static Lasting<Table> t;
    return *t;
}

// Built with the library, so that lookups never race on first use.
[[maybe_unused]] const Table& kEager = theTable();

}  // namespace

namespace x500 {

const X500AttributeType* table() { return theTable().rec; }
const ASNobjectId& unknownOid() { return theTable().sentinel; }

bool sameName(const char* name, const char* text, int len) {
    if (name == nullptr || text == nullptr) return false;
    size_t n = len < 0 ? std::strlen(text) : static_cast<size_t>(len);
    if (std::strlen(name) != n) return false;
    for (size_t i = 0; i < n; i++) {
        unsigned char a = static_cast<unsigned char>(name[i]);
        unsigned char b = static_cast<unsigned char>(text[i]);
        if (a >= 'a' && a <= 'z') a = static_cast<unsigned char>(a - 32);
        if (b >= 'a' && b <= 'z') b = static_cast<unsigned char>(b - 32);
        if (a != b) return false;
    }
    return true;
}

const X500AttributeType* findById(uint32_t id) {
    const X500AttributeType* t = table();
    if (id < X500_TYPE_COUNT && t[id].id == id) return &t[id];
    for (uint32_t i = 0; i < X500_TYPE_COUNT; i++)
        if (t[i].id == id) return &t[i];
    return nullptr;
}

const X500AttributeType* findByOid(const ASNobjectId& oid) {
    const X500AttributeType* t = table();
    for (uint32_t i = 0; i < X500_TYPE_COUNT; i++)
        if (*t[i].oid == oid) return &t[i];
    return nullptr;
}

const X500AttributeType* findByOidText(const char* text, int len) {
    if (text == nullptr) return nullptr;
    std::string s = len < 0 ? std::string(text) : std::string(text, static_cast<size_t>(len));
    if (s.empty() || s.find('\0') != std::string::npos) return nullptr;
    ASNobjectId o;
    if (o.setText(s.c_str()) != 1) return nullptr;
    return findByOid(o);
}

const X500AttributeType* findByName(const char* text, int len, int style) {
    if (text == nullptr) return nullptr;
    if (style == X500_STYLE_OID) return findByOidText(text, len);
    const X500AttributeType* t = table();
    if (style >= 0) {
        for (uint32_t i = 0; i < X500_TYPE_COUNT; i++) {
            const char* n = nameOf(&t[i], style);
            if (n != nullptr && sameName(n, text, len)) return &t[i];
        }
        return nullptr;
    }
    for (uint32_t i = 0; i < X500_TYPE_COUNT; i++) {
        const X500AttributeType& r = t[i];
        const char* names[] = {r.name,    r.description, r.polishDescription, r.shortName,
                               r.keyword, r.shortLabel,  r.longLabel,         r.altLabel};
        for (const char* n : names)
            if (n != nullptr && sameName(n, text, len)) return &r;
        for (uint32_t a = 0; a < r.aliasCount; a++)
            if (sameName(r.aliases[a], text, len)) return &r;
    }
    return findByOidText(text, len);
}

int idOf(const X500AttributeType* t) { return t != nullptr ? static_cast<int>(t->id) : -1; }

const char* nameOf(const X500AttributeType* t, int style) {
    if (t == nullptr) return nullptr;
    const char* n = nullptr;
    switch (style) {
    case 0: n = t->shortName != nullptr ? t->shortName : t->name; break;
    case 1: n = t->name; break;
    case 2: n = t->polishDescription; break;
    case 3: n = t->shortLabel != nullptr ? t->shortLabel : t->longLabel; break;
    case 4: n = t->shortName; break;
    case 5: n = t->keyword; break;
    case 6: n = t->description; break;
    case 7: n = t->altLabel; break;
    case 8: n = t->oidText; break;
    case 9: n = t->longLabel; break;
    case 10: n = t->shortLabel; break;
    default: return nullptr;
    }
    return (n != nullptr && *n != '\0') ? n : nullptr;
}

const char* oidTextOf(const X500AttributeType* t) { return t != nullptr ? t->oidText : nullptr; }
const ASNobjectId& oidOf(const X500AttributeType* t) { return t != nullptr ? *t->oid : unknownOid(); }
uint32_t syntaxOf(const X500AttributeType* t) { return t != nullptr ? t->syntax : 0; }

const char* nameById(uint32_t id, int style) { return nameOf(findById(id), style); }
const ASNobjectId& oidById(uint32_t id) { return oidOf(findById(id)); }
uint32_t syntaxById(uint32_t id) { return syntaxOf(findById(id)); }
const char* nameByOid(const ASNobjectId& oid, int style) { return nameOf(findByOid(oid), style); }
int idByOid(const ASNobjectId& oid) { return idOf(findByOid(oid)); }
const char* nameByOidText(const char* text, int style) { return nameOf(findByOidText(text, -1), style); }
int idByName(const char* text, int len, int style) { return idOf(findByName(text, len, style)); }

}  // namespace x500
