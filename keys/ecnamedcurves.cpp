// The named-curve catalogue.
#include "keys/ecnamedcurves.h"

#include <algorithm>
#include <cstdio>
#include <utility>
#include <memory>
#include <vector>

#include "keys/ecdomain.h"
#include "keys/oidconst2.h"
#include "libtorvapp/qve2ndsakeydomain.h"
#include "libtorvapp/qvepdsakeydomain.h"
#include "libtorvapp/qvgfpkeydomain.h"
#include "libtorvapp/qvnamedcurveobjects.h"
#include "support/lasting.h"

namespace {

// Where a record's domain comes from: one of the library's named-curve objects
// (by short name), the domain of a lower id, one the catalogue builds from the
// parameters below, or none (the normal-basis curves).
enum : int { kNamed = -1, kBuilt = -2, kNone = -3 };

struct Row {
    int id;
    int fieldType;
    int family;
    int oid;  // AsnOid2 position, or -1
    const char* longName;
    int domain;  // kNamed, kBuilt, kNone, or the id whose domain is shared
    const char* shortName;
    const char* alias;
};

#define o(name) static_cast<int>(AsnOid2::name)

// The standard names c2tnb359v1 and c2tnb431r1 are kept as aliases of the two
// records whose short names read c2pnb, so that either name finds them.
const Row kRows[EcNamedCurveTable::kCount] = {
    {1, 0, 1, o(secp112r1), "CERTICOM PRIME 112 R1", kNamed, "secp112r1", nullptr},
    {2, 0, 1, o(secp112r2), "CERTICOM PRIME 112 R2", kNamed, "secp112r2", nullptr},
    {3, 0, 1, o(secp128r1), "CERTICOM PRIME 128 R1", kNamed, "secp128r1", nullptr},
    {4, 0, 1, o(secp128r2), "CERTICOM PRIME 128 R2", kNamed, "secp128r2", nullptr},
    {5, 0, 1, o(secp160k1), "CERTICOM PRIME 160 K1", kNamed, "secp160k1", nullptr},
    {6, 0, 1, o(secp160r1), "CERTICOM PRIME 160 R1", kNamed, "secp160r1", nullptr},
    {7, 0, 1, o(secp160r2), "CERTICOM PRIME 160 R2", kNamed, "secp160r2", nullptr},
    {8, 0, 1, o(secp192k1), "CERTICOM PRIME 192 K1", kNamed, "secp192k1", nullptr},
    {9, 0, 1, o(secp192r1), "CERTICOM PRIME 192 R1", kNamed, "secp192r1", nullptr},
    {10, 0, 1, o(secp224k1), "CERTICOM PRIME 224 K1", kNamed, "secp224k1", nullptr},
    {11, 0, 1, o(secp224r1), "CERTICOM PRIME 224 R1", kNamed, "secp224r1", nullptr},
    {12, 0, 1, o(secp256k1), "CERTICOM PRIME 256 K1", kNamed, "secp256k1", nullptr},
    {13, 0, 1, o(secp256r1), "CERTICOM PRIME 256 R1", kNamed, "secp256r1", nullptr},
    {14, 0, 1, o(secp384r1), "CERTICOM PRIME 384 R1", kNamed, "secp384r1", nullptr},
    {15, 0, 1, o(secp521r1), "CERTICOM PRIME 521 R1", kNamed, "secp521r1", nullptr},
    {16, 1, 1, o(sect113r1), "CERTICOM BINARY 113 R1", kNamed, "sect113r1", nullptr},
    {17, 1, 1, o(sect113r2), "CERTICOM BINARY 113 R2", kNamed, "sect113r2", nullptr},
    {18, 1, 1, o(sect131r1), "CERTICOM BINARY 131 R1", kNamed, "sect131r1", nullptr},
    {19, 1, 1, o(sect131r2), "CERTICOM BINARY 131 R2", kNamed, "sect131r2", nullptr},
    {20, 1, 1, o(sect163k1), "CERTICOM BINARY 163 K1", kNamed, "sect163k1", nullptr},
    {21, 1, 1, o(sect163r1), "CERTICOM BINARY 163 R1", kNamed, "sect163r1", nullptr},
    {22, 1, 1, o(sect163r2), "CERTICOM BINARY 163 R2", kNamed, "sect163r2", nullptr},
    {23, 1, 1, o(sect193r1), "CERTICOM BINARY 193 R1", kNamed, "sect193r1", nullptr},
    {24, 1, 1, o(sect193r2), "CERTICOM BINARY 193 R2", kNamed, "sect193r2", nullptr},
    {25, 1, 1, o(sect233k1), "CERTICOM BINARY 233 K1", kNamed, "sect233k1", nullptr},
    {26, 1, 1, o(sect233r1), "CERTICOM BINARY 233 R1", kNamed, "sect233r1", nullptr},
    {27, 1, 1, o(sect239k1), "CERTICOM BINARY 239 K1", kNamed, "sect239k1", nullptr},
    {28, 1, 1, o(sect283k1), "CERTICOM BINARY 283 K1", kNamed, "sect283k1", nullptr},
    {29, 1, 1, o(sect283r1), "CERTICOM BINARY 283 R1", kNamed, "sect283r1", nullptr},
    {30, 1, 1, o(sect409k1), "CERTICOM BINARY 409 K1", kNamed, "sect409k1", nullptr},
    {31, 1, 1, o(sect409r1), "CERTICOM BINARY 409 R1", kNamed, "sect409r1", nullptr},
    {32, 1, 1, o(sect571k1), "CERTICOM BINARY 571 K1", kNamed, "sect571k1", nullptr},
    {33, 1, 1, o(sect571r1), "CERTICOM BINARY 571 R1", kNamed, "sect571r1", nullptr},
    {34, 0, 2, -1, "FIPS186 PRIME P192", kNamed, "nistp192", nullptr},
    {35, 0, 2, -1, "FIPS186 PRIME P224", kNamed, "nistp224", nullptr},
    {36, 0, 2, -1, "FIPS186 PRIME P256", kNamed, "nistp256", nullptr},
    {37, 0, 2, -1, "FIPS186 PRIME P384", kNamed, "nistp384", nullptr},
    {38, 0, 2, -1, "FIPS186 PRIME P521", kNamed, "nistp521", nullptr},
    {39, 1, 2, -1, "FIPS186 BINARY K163", kNamed, "nistk163", nullptr},
    {40, 1, 2, -1, "FIPS186 BINARY B163", kNamed, "nistb163", nullptr},
    {41, 1, 2, -1, "FIPS186 BINARY K233", kNamed, "nistk233", nullptr},
    {42, 1, 2, -1, "FIPS186 BINARY B233", kNamed, "nistb233", nullptr},
    {43, 1, 2, -1, "FIPS186 BINARY K283", kNamed, "nistk283", nullptr},
    {44, 1, 2, -1, "FIPS186 BINARY B283", kNamed, "nistb283", nullptr},
    {45, 1, 2, -1, "FIPS186 BINARY K409", kNamed, "nistk409", nullptr},
    {46, 1, 2, -1, "FIPS186 BINARY B409", kNamed, "nistb409", nullptr},
    {47, 1, 2, -1, "FIPS186 BINARY K571", kNamed, "nistk571", nullptr},
    {48, 1, 2, -1, "FIPS186 BINARY B571", kNamed, "nistb571", nullptr},
    {49, 0, 3, o(brainpoolP160r1), "BRAINPOOL PRIME 160 R1", kNamed, "brainpoolP160r1", nullptr},
    {50, 0, 3, o(brainpoolP160t1), "BRAINPOOL PRIME 160 T1", kNamed, "brainpoolP160t1", nullptr},
    {51, 0, 3, o(brainpoolP192r1), "BRAINPOOL PRIME 192 R1", kNamed, "brainpoolP192r1", nullptr},
    {52, 0, 3, o(brainpoolP192t1), "BRAINPOOL PRIME 192 T1", kNamed, "brainpoolP192t1", nullptr},
    {53, 0, 3, o(brainpoolP224r1), "BRAINPOOL PRIME 224 R1", kNamed, "brainpoolP224r1", nullptr},
    {54, 0, 3, o(brainpoolP224t1), "BRAINPOOL PRIME 224 T1", kNamed, "brainpoolP224t1", nullptr},
    {55, 0, 3, o(brainpoolP256r1), "BRAINPOOL PRIME 256 R1", kNamed, "brainpoolP256r1", nullptr},
    {56, 0, 3, o(brainpoolP256t1), "BRAINPOOL PRIME 256 T1", kNamed, "brainpoolP256t1", nullptr},
    {57, 0, 3, o(brainpoolP320r1), "BRAINPOOL PRIME 320 R1", kNamed, "brainpoolP320r1", nullptr},
    {58, 0, 3, o(brainpoolP320t1), "BRAINPOOL PRIME 320 T1", kNamed, "brainpoolP320t1", nullptr},
    {59, 0, 3, o(brainpoolP384r1), "BRAINPOOL PRIME 384 R1", kNamed, "brainpoolP384r1", nullptr},
    {60, 0, 3, o(brainpoolP384t1), "BRAINPOOL PRIME 384 T1", kNamed, "brainpoolP384t1", nullptr},
    {61, 0, 3, o(brainpoolP512r1), "BRAINPOOL PRIME 512 R1", kNamed, "brainpoolP512r1", nullptr},
    {62, 0, 3, o(brainpoolP512t1), "BRAINPOOL PRIME 512 T1", kNamed, "brainpoolP512t1", nullptr},
    {63, 0, 4, o(secp192r1), "ANSI PRIME 192 V1", 9, "prime192v1", "ansiX9p192r1"},
    {64, 0, 4, o(prime192v2), "ANSI PRIME 192 V2", kBuilt, "prime192v2", nullptr},
    {65, 0, 4, o(prime192v3), "ANSI PRIME 192 V3", kBuilt, "prime192v3", nullptr},
    {66, 0, 4, o(prime239v1), "ANSI PRIME 239 V1", kBuilt, "prime239v1", nullptr},
    {67, 0, 4, o(prime239v2), "ANSI PRIME 239 V2", kBuilt, "prime239v2", nullptr},
    {68, 0, 4, o(prime239v3), "ANSI PRIME 239 V3", kBuilt, "prime239v3", nullptr},
    {69, 0, 4, o(secp256r1), "ANSI PRIME 256 V1", 13, "prime256v1", "ansiX9p256r1"},
    {70, 1, 4, o(c2pnb163v1), "ANSI BINARY 163 V1", kBuilt, "c2pnb163v1", nullptr},
    {71, 1, 4, o(c2pnb163v2), "ANSI BINARY 163 V2", kBuilt, "c2pnb163v2", nullptr},
    {72, 1, 4, o(c2pnb163v3), "ANSI BINARY 163 V3", kBuilt, "c2pnb163v3", nullptr},
    {73, 1, 4, o(c2pnb176w1), "ANSI BINARY 176 W1", kBuilt, "c2pnb176w1", "c2pnb176v1"},
    {74, 1, 4, o(c2tnb191v1), "ANSI BINARY 191 V1", kBuilt, "c2tnb191v1", nullptr},
    {75, 1, 4, o(c2tnb191v2), "ANSI BINARY 191 V2", kBuilt, "c2tnb191v2", nullptr},
    {76, 1, 4, o(c2tnb191v3), "ANSI BINARY 191 V3", kBuilt, "c2tnb191v3", nullptr},
    {77, 1, 4, o(c2onb191v4), "ANSI BINARY 191 V4", kNone, "c2onb191v4", nullptr},
    {78, 1, 4, o(c2onb191v5), "ANSI BINARY 191 V5", kNone, "c2onb191v5", nullptr},
    {79, 1, 4, o(c2pnb208w1), "ANSI BINARY 208 W1", kBuilt, "c2pnb208w1", nullptr},
    {80, 1, 4, o(c2tnb239v1), "ANSI BINARY 239 V1", kBuilt, "c2tnb239v1", nullptr},
    {81, 1, 4, o(c2tnb239v2), "ANSI BINARY 239 V2", kBuilt, "c2tnb239v2", nullptr},
    {82, 1, 4, o(c2tnb239v3), "ANSI BINARY 239 V3", kBuilt, "c2tnb239v3", nullptr},
    {83, 1, 4, o(c2onb239v4), "ANSI BINARY 239 V4", kNone, "c2onb239v4", nullptr},
    {84, 1, 4, o(c2onb239v5), "ANSI BINARY 239 V5", kNone, "c2onb239v5", nullptr},
    {85, 1, 4, o(c2pnb272w1), "ANSI BINARY 272 W1", kBuilt, "c2pnb272w1", nullptr},
    {86, 1, 4, o(c2pnb304w1), "ANSI BINARY 304 W1", kBuilt, "c2pnb304w1", nullptr},
    {87, 1, 4, o(c2tnb359v1), "ANSI BINARY 359 V1", kBuilt, "c2pnb359v1", "c2tnb359v1"},
    {88, 1, 4, o(c2pnb368w1), "ANSI BINARY 368 W1", kBuilt, "c2pnb368w1", nullptr},
    {89, 1, 4, o(c2tnb431r1), "ANSI BINARY 431 R1", kBuilt, "c2pnb431r1", "c2tnb431r1"},
    {90, 1, 5, o(wap_wsg_idm_ecid_wtls1), "WTLS BINARY 1 113", kBuilt, "wap-wsg-idm-ecid-wtls1", nullptr},
    {91, 1, 5, o(wap_wsg_idm_ecid_wtls3), "WTLS BINARY 3 163", 20, "wap-wsg-idm-ecid-wtls3", nullptr},
    {92, 1, 5, o(wap_wsg_idm_ecid_wtls4), "WTLS BINARY 4 113", 16, "wap-wsg-idm-ecid-wtls4", nullptr},
    {93, 1, 5, o(wap_wsg_idm_ecid_wtls5), "WTLS BINARY 5 163", 70, "wap-wsg-idm-ecid-wtls5", nullptr},
    {94, 0, 5, o(wap_wsg_idm_ecid_wtls6), "WTLS PRIME 6 112", 1, "wap-wsg-idm-ecid-wtls6", nullptr},
    {95, 0, 5, o(wap_wsg_idm_ecid_wtls7), "WTLS PRIME 7 160", 7, "wap-wsg-idm-ecid-wtls7", nullptr},
    {96, 0, 5, o(wap_wsg_idm_ecid_wtls8), "WTLS PRIME 8 112", kBuilt, "wap-wsg-idm-ecid-wtls8", nullptr},
    {97, 0, 5, o(wap_wsg_idm_ecid_wtls9), "WTLS PRIME 9 160", kBuilt, "wap-wsg-idm-ecid-wtls9", nullptr},
    {98, 1, 5, o(wap_wsg_idm_ecid_wtls10), "WTLS BINARY 12 233", 25, "wap-wsg-idm-ecid-wtls10", nullptr},
    {99, 1, 5, o(wap_wsg_idm_ecid_wtls11), "WTLS BINARY 11 233", 26, "wap-wsg-idm-ecid-wtls11", nullptr},
    {100, 0, 5, o(wap_wsg_idm_ecid_wtls12), "WTLS PRIME 12 224", 11, "wap-wsg-idm-ecid-wtls12", nullptr},
};

#undef o

// ANSI X9.62 and WTLS parameters of the curves the library has no object for:
// a, b, the prime or the reduction polynomial (bit i = coefficient of x^i), the
// uncompressed base point, the order and the cofactor, hexadecimal.
struct BuiltParams {
    int id;
    bool binary;
    const char* a;
    const char* b;
    const char* field;
    const char* g;
    const char* n;
    const char* h;
};

const BuiltParams kBuiltParams[] = {
    {64, false, "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEFFFFFFFFFFFFFFFC",
     "CC22D6DFB95C6B25E49C0D6364A4E5980C393AA21668D953",
     "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEFFFFFFFFFFFFFFFF",
     "04EEA2BAE7E1497842F2DE7769CFE9C989C072AD696F48034A6574D11D69B6EC7A672BB82A083DF2F2B0847DE970B2DE15",
     "FFFFFFFFFFFFFFFFFFFFFFFE5FB1A724DC80418648D8DD31", "1"},  // prime192v2
    {65, false, "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEFFFFFFFFFFFFFFFC",
     "22123DC2395A05CAA7423DAECCC94760A7D462256BD56916",
     "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEFFFFFFFFFFFFFFFF",
     "047D29778100C65A1DA1783716588DCE2B8B4AEE8E228F189638A90F22637337334B49DCB66A6DC8F9978ACA7648A943B0",
     "FFFFFFFFFFFFFFFFFFFFFFFF7A62D031C83F4294F640EC13", "1"},  // prime192v3
    {66, false, "7FFFFFFFFFFFFFFFFFFFFFFF7FFFFFFFFFFF8000000000007FFFFFFFFFFC",
     "6B016C3BDCF18941D0D654921475CA71A9DB2FB27D1D37796185C2942C0A",
     "7FFFFFFFFFFFFFFFFFFFFFFF7FFFFFFFFFFF8000000000007FFFFFFFFFFF",
     "040FFA963CDCA8816CCC33B8642BEDF905C3D358573D3F27FBBD3B3CB9AAAF7DEBE8E4E90A5DAE6E4054CA530BA04654B36818CE226B39FCCB7B02F1AE",
     "7FFFFFFFFFFFFFFFFFFFFFFF7FFFFF9E5E9A9F5D9071FBD1522688909D0B", "1"},  // prime239v1
    {67, false, "7FFFFFFFFFFFFFFFFFFFFFFF7FFFFFFFFFFF8000000000007FFFFFFFFFFC",
     "617FAB6832576CBBFED50D99F0249C3FEE58B94BA0038C7AE84C8C832F2C",
     "7FFFFFFFFFFFFFFFFFFFFFFF7FFFFFFFFFFF8000000000007FFFFFFFFFFF",
     "0438AF09D98727705120C921BB5E9E26296A3CDCF2F35757A0EAFD87B830E75B0125E4DBEA0EC7206DA0FC01D9B081329FB555DE6EF460237DFF8BE4BA",
     "7FFFFFFFFFFFFFFFFFFFFFFF800000CFA7E8594377D414C03821BC582063", "1"},  // prime239v2
    {68, false, "7FFFFFFFFFFFFFFFFFFFFFFF7FFFFFFFFFFF8000000000007FFFFFFFFFFC",
     "255705FA2A306654B1F4CB03D6A750A30C250102D4988717D9BA15AB6D3E",
     "7FFFFFFFFFFFFFFFFFFFFFFF7FFFFFFFFFFF8000000000007FFFFFFFFFFF",
     "046768AE8E18BB92CFCF005C949AA2C6D94853D0E660BBF854B1C9505FE95A1607E6898F390C06BC1D552BAD226F3B6FCFE48B6E818499AF18E3ED6CF3",
     "7FFFFFFFFFFFFFFFFFFFFFFF7FFFFF975DEB41B3A6057C3C432146526551", "1"},  // prime239v3
    {70, true, "72546B5435234A422E0789675F432C89435DE5242",
     "C9517D06D5240D3CFF38C74B20B6CD4D6F9DD4D9",
     "80000000000000000000000000000000000000107",
     "0407AF69989546103D79329FCC3D74880F33BBE803CB01EC23211B5966ADEA1D3F87F7EA5848AEF0B7CA9F",
     "400000000000000000001E60FC8821CC74DAEAFC1", "2"},  // c2pnb163v1
    {71, true, "108B39E77C4B108BED981ED0E890E117C511CF072",
     "667ACEB38AF4E488C407433FFAE4F1C811638DF20",
     "80000000000000000000000000000000000000107",
     "040024266E4EB5106D0A964D92C4860E2671DB9B6CC5079F684DDF6684C5CD258B3890021B2386DFD19FC5",
     "3FFFFFFFFFFFFFFFFFFFDF64DE1151ADBB78F10A7", "2"},  // c2pnb163v2
    {72, true, "7A526C63D3E25A256A007699F5447E32AE456B50E",
     "3F7061798EB99E238FD6F1BF95B48FEEB4854252B",
     "80000000000000000000000000000000000000107",
     "0402F9F87B7C574D0BDECF8A22E6524775F98CDEBDCB05B935590C155E17EA48EB3FF3718B893DF59A05D0",
     "3FFFFFFFFFFFFFFFFFFFE1AEE140F110AFF961309", "2"},  // c2pnb163v3
    {73, true, "E4E6DB2995065C407D9D39B8D0967B96704BA8E9C90B",
     "5DDA470ABE6414DE8EC133AE28E9BBD7FCEC0AE0FFF2",
     "100000000000000000000000000000000080000000007",
     "048D16C2866798B600F9F08BB4A8E860F3298CE04A57986FA4539C2DADDDD6BAB5167D61B436E1D92BB16A562C",
     "10092537397ECA4F6145799D62B0A19CE06FE26AD", "FF6E"},  // c2pnb176v1
    {74, true, "2866537B676752636A68F56554E12640276B649EF7526267",
     "2E45EF571F00786F67B0081B9495A3D95462F5DE0AA185EC",
     "800000000000000000000000000000000000000000000201",
     "0436B3DAF8A23206F9C4F299D7B21A9C369137F2C84AE1AA0D765BE73433B3F95E332932E70EA245CA2418EA0EF98018FB",
     "40000000000000000000000004A20E90C39067C893BBB9A5", "2"},  // c2tnb191v1
    {75, true, "401028774D7777C7B7666D1366EA432071274F89FF01E718",
     "620048D28BCBD03B6249C99182B7C8CD19700C362C46A01",
     "800000000000000000000000000000000000000000000201",
     "043809B2B7CC1B28CC5A87926AAD83FD28789E81E2C9E3BF1017434386626D14F3DBF01760D9213A3E1CF37AEC437D668A",
     "20000000000000000000000050508CB89F652824E06B8173", "4"},  // c2tnb191v2
    {76, true, "6C01074756099122221056911C77D77E77A777E7E7E77FCB",
     "71FE1AF926CF847989EFEF8DB459F66394D90F32AD3F15E8",
     "800000000000000000000000000000000000000000000201",
     "04375D4CE24FDE434489DE8746E71786015009E66E38A926DD545A39176196575D985999366E6AD34CE0A77CD7127B06BE",
     "155555555555555555555555610C0B196812BFB6288A3EA3", "6"},  // c2tnb191v3
    {79, true, "0",
     "C8619ED45A62E6212E1160349E2BFA844439FAFC2A3FD1638F9E",
     "10000000000000000000000000000000800000000000000000007",
     "0489FDFBE4ABE193DF9559ECF07AC0CE78554E2784EB8C1ED1A57A0F55B51A06E78E9AC38A035FF520D8B01781BEB1A6BB08617DE3",
     "101BAF95C9723C57B6C21DA2EFF2D5ED588BDD5717E212F9D", "FE48"},  // c2pnb208w1
    {80, true, "32010857077C5431123A46B808906756F543423E8D27877578125778AC76",
     "790408F2EEDAF392B012EDEFB3392F30F4327C0CA3F31FC383C422AA8C16",
     "800000000000000000000000000000000000000000000000001000000001",
     "0457927098FA932E7C0A96D3FD5B706EF7E5F5C156E16B7E7C86038552E91D61D8EE5077C33FECF6F1A16B268DE469C3C7744EA9A971649FC7A9616305",
     "2000000000000000000000000000000F4D42FFE1492A4993F1CAD666E447", "4"},  // c2tnb239v1
    {81, true, "4230017757A767FAE42398569B746325D45313AF0766266479B75654E65F",
     "5037EA654196CFF0CD82B2C14A2FCF2E3FF8775285B545722F03EACDB74B",
     "800000000000000000000000000000000000000000000000001000000001",
     "0428F9D04E900069C8DC47A08534FE76D2B900B7D7EF31F5709F200C4CA2055667334C45AFF3B5A03BAD9DD75E2C71A99362567D5453F7FA6E227EC833",
     "1555555555555555555555555555553C6F2885259C31E3FCDF154624522D", "6"},  // c2tnb239v2
    {82, true, "1238774666A67766D6676F778E676B66999176666E687666D8766C66A9F",
     "6A941977BA9F6A435199ACFC51067ED587F519C5ECB541B8E44111DE1D40",
     "800000000000000000000000000000000000000000000000001000000001",
     "0470F6E9D04D289C4E89913CE3530BFDE903977D42B146D539BF1BDE4E9C922E5A0EAF6E5E1305B9004DCE5C0ED7FE59A35608F33837C816D80B79F461",
     "CCCCCCCCCCCCCCCCCCCCCCCCCCCCCAC4912D2D9DF903EF9888B8A0E4CFF", "A"},  // c2tnb239v3
    {85, true, "91A091F03B5FBA4AB2CCF49C4EDD220FB028712D42BE752B2C40094DBACDB586FB20",
     "7167EFC92BB2E3CE7C8AAAFF34E12A9C557003D7C73A6FAF003F99F6CC8482E540F7",
     "10000000000000000000000000000000000000000000000000000010000000000000B",
     "046108BABB2CEEBCF787058A056CBE0CFE622D7723A289E08A07AE13EF0D10D171DD8D10C7695716851EEF6BA7F6872E6142FBD241B830FF5EFCACECCAB05E02005DDE9D23",
     "100FAF51354E0E39E4892DF6E319C72C8161603FA45AA7B998A167B8F1E629521", "FF06"},  // c2pnb272w1
    {86, true, "FD0D693149A118F651E6DCE6802085377E5F882D1B510B44160074C1288078365A0396C8E681",
     "BDDB97E555A50A908E43B01C798EA5DAA6788F1EA2794EFCF57166B8C14039601E55827340BE",
     "10000000000000000000000000000000000000000000000000000000000000000000000000807",
     "04197B07845E9BE2D96ADB0F5F3C7F2CFFBD7A3EB8B6FEC35C7FD67F26DDF6285A644F740A2614E19FBEB76E0DA171517ECF401B50289BF014103288527A9B416A105E80260B549FDC1B92C03B",
     "101D556572AABAC800101D556572AABAC8001022D5C91DD173F8FB561DA6899164443051D", "FE2E"},  // c2pnb304w1
    {87, true, "5667676A654B20754F356EA92017D946567C46675556F19556A04616B567D223A5E05656FB549016A96656A557",
     "2472E2D0197C49363F1FE7F5B6DB075D52B6947D135D8CA445805D39BC345626089687742B6329E70680231988",
     "800000000000000000000000000000000000000000000000000000000000000000000000100000000000000001",
     "043C258EF3047767E7EDE0F1FDAA79DAEE3841366A132E163ACED4ED2401DF9C6BDCDE98E8E707C07A2239B1B09753D7E08529547048121E9C95F3791DD804963948F34FAE7BF44EA82365DC7868FE57E4AE2DE211305A407104BD",
     "1AF286BCA1AF286BCA1AF286BCA1AF286BCA1AF286BC9FB8F6B85C556892C20A7EB964FE7719E74F490758D3B", "4C"},  // c2tnb359v1
    {88, true, "E0D2EE25095206F5E2A4F9ED229F1F256E79A0E2B455970D8D0D865BD94778C576D62F0AB7519CCD2A1A906AE30D",
     "FC1217D4320A90452C760A58EDCD30C8DD069B3C34453837A34ED50CB54917E1C2112D84D164F444F8F74786046A",
     "100000000000000000000000000000000000000000000000000000000000000000000002000000000000000000007",
     "041085E2755381DCCCE3C1557AFA10C2F0C0C2825646C5B34A394CBCFA8BC16B22E7E789E927BE216F02E1FB136A5F7B3EB1BDDCBA62D5D8B2059B525797FC73822C59059C623A45FF3843CEE8F87CD1855ADAA81E2A0750B80FDA2310",
     "10090512DA9AF72B08349D98A5DD4C7B0532ECA51CE03E2D10F3B7AC579BD87E909AE40A6F131E9CFCE5BD967", "FF70"},  // c2pnb368w1
    {89, true, "1A827EF00DD6FC0E234CAF046C6A5D8A85395B236CC4AD2CF32A0CADBDC9DDF620B0EB9906D0957F6C6FEACD615468DF104DE296CD8F",
     "10D9B4A3D9047D8B154359ABFB1B7F5485B04CEB868237DDC9DEDA982A679A5A919B626D4E50A8DD731B107A9962381FB5D807BF2618",
     "800000000000000000000000000000000000000000000000000000000000000000000000000001000000000000000000000000000001",
     "04120FC05D3C67A99DE161D2F4092622FECA701BE4F50F4758714E8A87BBF2A658EF8C21E7C5EFE965361F6C2999C0C247B0DBD70CE6B720D0AF8903A96F8D5FA2C255745D3C451B302C9346D9B7E485E7BCE41F6B591F3E8F6ADDCBB0BC4C2F947A7DE1A89B625D6A598B3760",
     "340340340340340340340340340340340340340340340340340340323C313FAB50589703B5EC68D3587FEC60D161CC149C1AD4A91", "2760"},  // c2tnb431r1
    {90, true, "1",
     "1",
     "20000000000000000000000000201",
     "0401667979A40BA497E5D5C27078061700F44B4AF1ECC2630E08785CEBCC15",
     "FFFFFFFFFFFFFFFDBF91AF6DEA73", "2"},  // wap-wsg-idm-ecid-wtls1
    {96, false, "0",
     "3",
     "FFFFFFFFFFFFFFFFFFFFFFFFFDE7",
     "0400000000000000000000000000010000000000000000000000000002",
     "100000000000001ECEA551AD837E9", "1"},  // wap-wsg-idm-ecid-wtls8
    {97, false, "0",
     "3",
     "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFC808F",
     "0400000000000000000000000000000000000000010000000000000000000000000000000000000002",
     "100000000000000000001CDC98AE0E2DE574ABF33", "1"},  // wap-wsg-idm-ecid-wtls9
};

// Records denoting the same curve; every other record stands alone. WTLS curve 3
// is the Koblitz curve sect163k1 (a = b = 1) and WTLS curve 7 is secp160r2, as the
// WTLS parameters give them.
const int kClasses[][3] = {
    {1, 94, 0},   {7, 95, 0},   {9, 34, 63},  {11, 35, 100}, {13, 36, 69}, {14, 37, 0},  {15, 38, 0},
    {16, 92, 0},  {20, 39, 91}, {22, 40, 0},  {25, 41, 98},  {26, 42, 99}, {28, 43, 0},  {29, 44, 0},
    {30, 45, 0},  {31, 46, 0},  {32, 47, 0},  {33, 48, 0},   {70, 93, 0},
};

const int* classOf(int id) {
    for (const auto& c : kClasses)
        for (int v : c)
            if (v != 0 && v == id) return c;
    return nullptr;
}

class Catalogue {
public:
    Catalogue() {
        for (int i = 0; i < EcNamedCurveTable::kCount; i++) {
            const Row& r = kRows[i];
            EcNamedCurve& e = records[i];
            e.id = r.id;
            e.fieldType = r.fieldType;
            e.family = r.family;
            e.oid = r.oid >= 0 ? &asnOid2At(r.oid) : nullptr;
            e.longName = r.longName;
            e.primeDomain = nullptr;
            e.binaryDomain = nullptr;
            e.shortName = r.shortName;
            e.alias = r.alias;
            if (r.domain == kNamed) {
                const QvGeneralDsaKeyDomain* d = qvFindNamedCurveDomain(r.shortName);
                if (r.fieldType == 0)
                    e.primeDomain = dynamic_cast<const QvEpDsaKeyDomain*>(d);
                else
                    e.binaryDomain = dynamic_cast<const QvE2nDsaKeyDomain*>(d);
            } else if (r.domain > 0) {
                // Shared rows always refer to a lower id, already filled.
                e.primeDomain = records[r.domain - 1].primeDomain;
                e.binaryDomain = records[r.domain - 1].binaryDomain;
            } else if (r.domain == kBuilt) {
                for (const BuiltParams& p : kBuiltParams) {
                    if (p.id != r.id) continue;
                    if (p.binary) {
                        binary.push_back(std::make_unique<QvE2nDsaKeyDomain>(p.a, p.b, p.field, p.g, p.n, p.h));
                        e.binaryDomain = binary.back().get();
                    } else {
                        prime.push_back(std::make_unique<QvEpDsaKeyDomain>(p.a, p.b, p.field, p.g, p.n, p.h));
                        e.primeDomain = prime.back().get();
                    }
                }
            }
        }
    }
    ~Catalogue() {
        // Reverse order of construction.
        while (!binary.empty()) binary.pop_back();
        while (!prime.empty()) prime.pop_back();
    }
    EcNamedCurve records[EcNamedCurveTable::kCount];

private:
    std::vector<std::unique_ptr<QvEpDsaKeyDomain>> prime;
    std::vector<std::unique_ptr<QvE2nDsaKeyDomain>> binary;
};

const Catalogue& catalogue() {
    static Lasting<Catalogue> c;
    return *c;
}

bool equalsIgnoreCase(const char* a, const char* b) {
    if (!a || !b) return false;
    for (;; a++, b++) {
        unsigned char x = static_cast<unsigned char>(*a), y = static_cast<unsigned char>(*b);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
        if (x != y) return false;
        if (x == 0) return true;
    }
}

// Octets with leading zeros dropped, so getters that pad compare equal.
std::vector<QvOctet> trimmed(const QvOctet* p, unsigned int len) {
    unsigned int i = 0;
    while (i < len && p[i] == 0) i++;
    return std::vector<QvOctet>(p + i, p + len);
}

template <typename Getter>
std::vector<QvOctet> octetsOf(Getter get) {
    std::vector<QvOctet> buf(160);  // large enough for a 571-bit point
    unsigned int n = get(buf.data(), static_cast<unsigned int>(buf.size()));
    return trimmed(buf.data(), n);
}

unsigned long bitLength(const std::vector<QvOctet>& v) {
    if (v.empty()) return 0;
    unsigned long bits = 8 * static_cast<unsigned long>(v.size());
    for (QvOctet top = v[0]; !(top & 0x80); top = static_cast<QvOctet>(top << 1)) bits--;
    return bits;
}

}  // namespace

void EcNamedCurveTable::load() { (void)catalogue(); }

const EcNamedCurve* EcNamedCurveTable::at(int index) {
    if (index < 0 || index >= kCount) return nullptr;
    return &catalogue().records[index];
}

const EcNamedCurve* EcNamedCurveTable::findById(int id) {
    const EcNamedCurve* e = at(id - 1);
    if (e && e->id == id) return e;
    for (int i = 0; i < kCount; i++)
        if (at(i)->id == id) return at(i);
    return nullptr;
}

const EcNamedCurve* EcNamedCurveTable::findByOid(const ASNobjectId& oid) {
    for (int i = 0; i < kCount; i++) {
        const EcNamedCurve* e = at(i);
        if (e->oid && *e->oid == oid) return e;
    }
    return nullptr;
}

const EcNamedCurve* EcNamedCurveTable::findByOidText(const char* dotted) {
    if (!dotted) return nullptr;
    ASNobjectId oid;
    if (oid.setText(dotted, ".") != 1) return nullptr;
    return findByOid(oid);
}

const EcNamedCurve* EcNamedCurveTable::findByName(const char* name) {
    if (!name) return nullptr;
    for (int i = 0; i < kCount; i++) {
        const EcNamedCurve* e = at(i);
        if (equalsIgnoreCase(e->shortName, name) || equalsIgnoreCase(e->longName, name) ||
            equalsIgnoreCase(e->alias, name))
            return e;
    }
    return nullptr;
}

const char* EcNamedCurveTable::getName(const EcNamedCurve* entry, int kind) {
    if (!entry) return nullptr;
    switch (kind) {
    case kShortName: return entry->shortName;
    case kLongName: return entry->longName;
    case kAlias: return entry->alias;
    default: return nullptr;
    }
}

const char* EcNamedCurveTable::getName(int id, int kind) { return getName(findById(id), kind); }

const char* EcNamedCurveTable::getNameByOid(const ASNobjectId& oid, int kind) {
    return getName(findByOid(oid), kind);
}

const ASNobjectId* EcNamedCurveTable::getOid(const EcNamedCurve* entry) { return entry ? entry->oid : nullptr; }

const ASNobjectId* EcNamedCurveTable::getOid(const char* name) { return getOid(findByName(name)); }

static int oidTextOf(std::string& out, const EcNamedCurve* e) {
    if (!e || !e->oid) return 0;
    std::string text;
    if (e->oid->getText(text, ".") != 1) return 0;
    out = text;
    return 1;
}

int EcNamedCurveTable::getOidText(std::string& out, const char* name) { return oidTextOf(out, findByName(name)); }

int EcNamedCurveTable::getOidText(std::string& out, int id) { return oidTextOf(out, findById(id)); }

const QvAsymKeyDomain* EcNamedCurveTable::getDomain(const EcNamedCurve* entry) {
    if (!entry) return nullptr;
    if (entry->fieldType == kFieldPrime) return entry->primeDomain;
    if (entry->fieldType == kFieldBinary) return entry->binaryDomain;
    return nullptr;
}

const QvAsymKeyDomain* EcNamedCurveTable::getDomain(int id) { return getDomain(findById(id)); }

const QvAsymKeyDomain* EcNamedCurveTable::getDomain(const ASNobjectId& oid) { return getDomain(findByOid(oid)); }

const QvAsymKeyDomain* EcNamedCurveTable::getDomainByOidText(const char* dotted) {
    return getDomain(findByOidText(dotted));
}

const QvAsymKeyDomain* EcNamedCurveTable::getDomainByName(const char* name) { return getDomain(findByName(name)); }

const char* EcNamedCurveTable::familyName(int family) {
    switch (family) {
    case kFamilySecg: return "SECG";
    case kFamilyNist: return "NIST";
    case kFamilyBrainpool: return "Brainpool";
    case kFamilyX962: return "X9.62";
    case kFamilyWtls: return "WTLS";
    default: return nullptr;
    }
}

const char* EcNamedCurveTable::familyName(const EcNamedCurve* entry) {
    return entry ? familyName(entry->family) : nullptr;
}

const char* EcNamedCurveTable::familyName(const ASNobjectId& oid) { return familyName(findByOid(oid)); }

unsigned long EcNamedCurveTable::fieldBitSize(const QvAsymKeyDomain* domain) {
    if (!domain) return 0;
    if (domain->getType() == QvAsymKeyDomain::TYPE_E2N) {
        const auto* d = static_cast<const QvE2nDsaKeyDomain*>(domain);
        if (!d->getE2n()) return 0;
        unsigned int m = 0;
        QvOctet poly[80];
        d->getFieldPolynomial(&m, poly, sizeof poly);
        return m;
    }
    if (domain->getType() == QvAsymKeyDomain::TYPE_EP) {
        const auto* d = static_cast<const QvEpDsaKeyDomain*>(domain);
        if (!d->getEp() && !d->getCryptoEp()) return 0;
        return bitLength(octetsOf([d](QvOctet* b, unsigned int n) { return d->getP(b, n); }));
    }
    // Other domains: the bit length of their modulus (p of a DSA or Diffie-Hellman
    // domain, the modulus of a general domain's multiplicative group).
    const QvModulus* modulus = nullptr;
    if (domain->getType() == QvAsymKeyDomain::TYPE_GFP || domain->getType() == QvAsymKeyDomain::TYPE_DH_GFP ||
        domain->getType() == QvAsymKeyDomain::TYPE_DSA) {
        modulus = &static_cast<const QvGFpKeyDomain*>(domain)->getP();
    } else if (domain->getType() == QvAsymKeyDomain::TYPE_GENERAL) {
        modulus = dynamic_cast<const QvModulus*>(static_cast<const QvGeneralDsaKeyDomain*>(domain)->getGroup());
    }
    if (!modulus || modulus->isZero()) return 0;
    return modulus->getBitLength();
}

unsigned long EcNamedCurveTable::securityStrength(const QvAsymKeyDomain* domain) {
    unsigned long bits = fieldBitSize(domain);
    if (bits > 511) return 256;
    if (bits > 383) return 192;
    if (bits > 319) return 160;
    if (bits > 255) return 128;
    if (bits > 223) return 112;
    if (bits > 191) return 96;
    if (bits > 159) return 80;
    return 0;
}

unsigned long EcNamedCurveTable::bitSize(const EcNamedCurve* entry) {
    if (!entry) return 0;
    unsigned long bits = fieldBitSize(getDomain(entry));
    if (bits != 0) return bits;
    switch (entry->id) {
    case 77:
    case 78: return 191;
    case 83:
    case 84: return 239;
    default: return 0;
    }
}

unsigned long EcNamedCurveTable::byteSize(const EcNamedCurve* entry) { return (bitSize(entry) + 7) / 8; }

const EcNamedCurve* EcNamedCurveTable::findNextByDomain(const QvAsymKeyDomain* domain, int after) {
    if (!domain) return nullptr;
    int type = domain->getType();
    if (type != QvAsymKeyDomain::TYPE_EP && type != QvAsymKeyDomain::TYPE_E2N) return nullptr;
    if (after < 0) after = 0;
    for (int id = after + 1; id <= kCount; id++) {
        const EcNamedCurve* e = findById(id);
        const QvAsymKeyDomain* d = type == QvAsymKeyDomain::TYPE_EP
                                       ? static_cast<const QvAsymKeyDomain*>(e->primeDomain)
                                       : static_cast<const QvAsymKeyDomain*>(e->binaryDomain);
        if (d && ecKeyDomainsEqual(domain, d)) return e;
    }
    return nullptr;
}

int EcNamedCurveTable::nextEquivalentId(int id, int after, bool fixed) {
    if (!findById(id)) return 0;
    if (fixed) {
        const int* c = classOf(id);
        if (!c) return 0;
        int best = 0;
        for (int i = 0; i < 3; i++)
            if (c[i] != 0 && c[i] != id && c[i] > after && (best == 0 || c[i] < best)) best = c[i];
        return best;
    }
    const QvAsymKeyDomain* domain = getDomain(id);
    if (!domain) return 0;
    for (const EcNamedCurve* e = findNextByDomain(domain, after); e; e = findNextByDomain(domain, e->id))
        if (e->id != id) return e->id;
    return 0;
}

const EcNamedCurve* EcNamedCurveTable::nextEquivalent(int id, int after, bool fixed) {
    int next = nextEquivalentId(id, after, fixed);
    return next ? findById(next) : nullptr;
}

int EcNamedCurveTable::allNames(std::string& out, const EcNamedCurve* entry, int kind) {
    const char* first = getName(entry, kind);
    if (!first) return 0;
    std::string text = first;
    for (int next = nextEquivalentId(entry->id, 0, true); next; next = nextEquivalentId(entry->id, next, true)) {
        const char* name = getName(next, kind);
        if (name) {
            text += '/';
            text += name;
        }
    }
    out = text;
    return 1;
}

int EcNamedCurveTable::allNames(std::string& out, const ASNobjectId& oid, int kind) {
    return allNames(out, findByOid(oid), kind);
}

int EcNamedCurveTable::describe(std::string& out, const EcNamedCurve* entry, bool withEquivalents, int language) {
    if (!entry || (language != kEnglish && language != kPolish)) return 0;
    if (entry->fieldType != kFieldPrime && entry->fieldType != kFieldBinary) return 0;
    unsigned long bits = bitSize(entry);
    std::string size;
    if (bits != 0) {
        char buf[48];
        std::snprintf(buf, sizeof buf, language == kEnglish ? "%lu bit " : "%lu bitowym ", bits);
        size = buf;
    }
    const char* own = familyName(entry);
    std::string families = own ? own : "";
    int count = 1;
    if (withEquivalents) {
        for (int next = nextEquivalentId(entry->id, 0, true); next; next = nextEquivalentId(entry->id, next, true)) {
            const char* f = familyName(findById(next));
            families += '/';
            families += f ? f : "";
            count++;
        }
    }
    bool binary = entry->fieldType == kFieldBinary;
    if (language == kEnglish) {
        out = families + " curve over a " + size + (binary ? "binary field" : "prime field");
    } else {
        out = "Krzywa nad " + size + (binary ? "ciałem binarnym" : "ciałem prostym") +
              (count > 1 ? " z norm " : " z normy ") + families;
    }
    return 1;
}

int EcNamedCurveTable::describe(std::string& out, int id, bool withEquivalents, int language) {
    return describe(out, findById(id), withEquivalents, language);
}

// ---------------------------------------------------------------------------
// Explicit domains

namespace {

// The X9.62 explicit parameters (DER of a SpecifiedECDomain) of the four curves over
// a Gaussian normal basis, which have no key domain here: version 1, the
// characteristic-two field with m and gnBasis / NULL, a and b without the seed,
// the compressed base point, the order and the cofactor. The figures are those
// ANSI X9.62-1998 publishes in Annex J (J.4.3 and J.4.5, examples 4 and 5).

// c2onb191v4 (1.2.840.10045.3.0.8), 146 octets.
const uint8_t kC2onb191v4[] = {
    0x30, 0x81, 0x8F,
    // version 1
    0x02, 0x01, 0x01,
    // characteristic-two field, m = 191, gnBasis, NULL
    0x30, 0x1C, 0x06, 0x07, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x01, 0x02, 0x30, 0x11, 0x02, 0x02, 0x00,
    0xBF, 0x06, 0x09, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x01, 0x02, 0x03, 0x01, 0x05, 0x00,
    // curve: a, b (no seed)
    0x30, 0x34, 0x04, 0x18, 0x65, 0x90, 0x3E, 0x04, 0xE1, 0xE4, 0x92, 0x42, 0x53, 0xE2, 0x6A, 0x3C,
    0x9A, 0xC2, 0x8C, 0x75, 0x8B, 0xD8, 0x18, 0x4A, 0x3F, 0xB6, 0x80, 0xE8, 0x04, 0x18, 0x54, 0x67,
    0x86, 0x21, 0xB1, 0x90, 0xCF, 0xCE, 0x28, 0x2A, 0xDE, 0x21, 0x9D, 0x5B, 0x3A, 0x06, 0x5E, 0x3F,
    0x4B, 0x3F, 0xFD, 0xEB, 0xB2, 0x9B,
    // base point, compressed
    0x04, 0x19, 0x02, 0x5A, 0x2C, 0x69, 0xA3, 0x2E, 0x86, 0x38, 0xE5, 0x1C, 0xCE, 0xFA, 0xAD, 0x05,
    0x35, 0x0A, 0x97, 0x84, 0x57, 0xCB, 0x5F, 0xB6, 0xDF, 0x99, 0x4A,
    // order
    0x02, 0x18, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x9C, 0xF2,
    0xD6, 0xE3, 0x90, 0x1D, 0xAC, 0x4C, 0x32, 0xEE, 0xC6, 0x5D,
    // cofactor
    0x02, 0x01, 0x02,
};

// c2onb191v5 (1.2.840.10045.3.0.9), 146 octets.
const uint8_t kC2onb191v5[] = {
    0x30, 0x81, 0x8F,
    // version 1
    0x02, 0x01, 0x01,
    // characteristic-two field, m = 191, gnBasis, NULL
    0x30, 0x1C, 0x06, 0x07, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x01, 0x02, 0x30, 0x11, 0x02, 0x02, 0x00,
    0xBF, 0x06, 0x09, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x01, 0x02, 0x03, 0x01, 0x05, 0x00,
    // curve: a, b (no seed)
    0x30, 0x34, 0x04, 0x18, 0x25, 0xF8, 0xD0, 0x6C, 0x97, 0xC8, 0x22, 0x53, 0x6D, 0x46, 0x9C, 0xD5,
    0x17, 0x0C, 0xDD, 0x7B, 0xB9, 0xF5, 0x00, 0xBD, 0x6D, 0xB1, 0x10, 0xFB, 0x04, 0x18, 0x75, 0xFF,
    0x57, 0x0E, 0x35, 0xCA, 0x94, 0xFB, 0x37, 0x80, 0xC2, 0x61, 0x9D, 0x08, 0x1C, 0x17, 0xAA, 0x59,
    0xFB, 0xD5, 0xE5, 0x91, 0xC1, 0xC4,
    // base point, compressed
    0x04, 0x19, 0x03, 0x2A, 0x16, 0x91, 0x0E, 0x8F, 0x6C, 0x4B, 0x19, 0x9B, 0xE2, 0x42, 0x13, 0x85,
    0x7A, 0xBC, 0x9C, 0x99, 0x2E, 0xDF, 0xB2, 0x47, 0x1F, 0x3C, 0x68,
    // order
    0x02, 0x18, 0x0F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xEE, 0xB3,
    0x54, 0xB7, 0x27, 0x0B, 0x29, 0x92, 0xB7, 0x81, 0x86, 0x27,
    // cofactor
    0x02, 0x01, 0x08,
};

// c2onb239v4 (1.2.840.10045.3.0.14), 170 octets.
const uint8_t kC2onb239v4[] = {
    0x30, 0x81, 0xA7,
    // version 1
    0x02, 0x01, 0x01,
    // characteristic-two field, m = 239, gnBasis, NULL
    0x30, 0x1C, 0x06, 0x07, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x01, 0x02, 0x30, 0x11, 0x02, 0x02, 0x00,
    0xEF, 0x06, 0x09, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x01, 0x02, 0x03, 0x01, 0x05, 0x00,
    // curve: a, b (no seed)
    0x30, 0x40, 0x04, 0x1E, 0x18, 0x2D, 0xD4, 0x5F, 0x5D, 0x47, 0x02, 0x39, 0xB8, 0x98, 0x3F, 0xEA,
    0x47, 0xB8, 0xB2, 0x92, 0x64, 0x1C, 0x57, 0xF9, 0xBF, 0x84, 0xBA, 0xEC, 0xDE, 0x8B, 0xB3, 0xAD,
    0xCE, 0x30, 0x04, 0x1E, 0x14, 0x7A, 0x9C, 0x1D, 0x4C, 0x2C, 0xE9, 0xBE, 0x5D, 0x34, 0xEC, 0x02,
    0x79, 0x7F, 0x76, 0x66, 0x7E, 0xBA, 0xD5, 0xA3, 0xF9, 0x3F, 0xA2, 0xA5, 0x24, 0xBF, 0xDE, 0x91,
    0xEF, 0x28,
    // base point, compressed
    0x04, 0x1F, 0x03, 0x49, 0x12, 0xAD, 0x65, 0x7F, 0x1D, 0x1C, 0x6B, 0x32, 0xED, 0xB9, 0x94, 0x2C,
    0x95, 0xE2, 0x26, 0xB0, 0x6F, 0xB0, 0x12, 0xCD, 0x40, 0xFD, 0xEA, 0x0D, 0x72, 0x19, 0x7C, 0x81,
    0x04,
    // order
    0x02, 0x1E, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x47, 0x4F, 0x7E, 0x69, 0xF4, 0x2F, 0xE4, 0x30, 0x93, 0x1D, 0x0B, 0x45, 0x5A, 0xAE, 0x8B,
    // cofactor
    0x02, 0x01, 0x04,
};

// c2onb239v5 (1.2.840.10045.3.0.15), 170 octets.
const uint8_t kC2onb239v5[] = {
    0x30, 0x81, 0xA7,
    // version 1
    0x02, 0x01, 0x01,
    // characteristic-two field, m = 239, gnBasis, NULL
    0x30, 0x1C, 0x06, 0x07, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x01, 0x02, 0x30, 0x11, 0x02, 0x02, 0x00,
    0xEF, 0x06, 0x09, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x01, 0x02, 0x03, 0x01, 0x05, 0x00,
    // curve: a, b (no seed)
    0x30, 0x40, 0x04, 0x1E, 0x1E, 0xCF, 0x1B, 0x9D, 0x28, 0xD8, 0x01, 0x75, 0x05, 0xE1, 0x74, 0x75,
    0xD3, 0xDF, 0x29, 0x82, 0xE2, 0x43, 0xCA, 0x5C, 0xB5, 0xE9, 0xF9, 0x4A, 0x3F, 0x36, 0x12, 0x4A,
    0x48, 0x6E, 0x04, 0x1E, 0x3E, 0xE2, 0x57, 0x25, 0x0D, 0x1A, 0x2E, 0x66, 0xCE, 0xF2, 0x3A, 0xA0,
    0xF2, 0x5B, 0x12, 0x38, 0x8D, 0xE8, 0xA1, 0x0F, 0xF9, 0x55, 0x4F, 0x90, 0xAF, 0xBA, 0xA9, 0xA0,
    0x8B, 0x6D,
    // base point, compressed
    0x04, 0x1F, 0x02, 0x19, 0x32, 0x79, 0xFC, 0x54, 0x3E, 0x9F, 0x5F, 0x71, 0x19, 0x18, 0x97, 0x85,
    0xB9, 0xC6, 0x0B, 0x24, 0x9B, 0xE4, 0x82, 0x0B, 0xAF, 0x6C, 0x24, 0xBD, 0xFA, 0x28, 0x13, 0xF8,
    0xB8,
    // order
    0x02, 0x1E, 0x15, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55,
    0x55, 0x8C, 0xF7, 0x7A, 0x5D, 0x05, 0x89, 0xD2, 0xA9, 0x34, 0x0D, 0x96, 0x3B, 0x7A, 0xD7, 0x03,
    // cofactor
    0x02, 0x01, 0x06,
};

struct NormalBasisDer {
    int id;
    const uint8_t* der;
    long length;
};

const NormalBasisDer kNormalBasisDer[] = {{77, kC2onb191v4, sizeof kC2onb191v4},
                                          {78, kC2onb191v5, sizeof kC2onb191v5},
                                          {83, kC2onb239v4, sizeof kC2onb239v4},
                                          {84, kC2onb239v5, sizeof kC2onb239v5}};

const NormalBasisDer* normalBasisDer(int id) {
    for (const NormalBasisDer& n : kNormalBasisDer)
        if (n.id == id) return &n;
    return nullptr;
}

}  // namespace

int EcNamedCurveTable::toSpecifiedDomain(ECSpecifiedDomain& out, const EcNamedCurve* entry) {
    if (!entry) return 0;
    if (const NormalBasisDer* n = normalBasisDer(entry->id)) {
        if (n->der == nullptr || n->length < 2) return 0;
        long used = out.readBuffer(n->der, n->length);
        if (used > 1) return 1;
        // The structure cannot build a normal-basis curve; what was read still
        // names it when its field says so.
        ECE2NFileld field(0x30);
        return out.fieldID.type == oid2::characteristic_two_field() && field.assign(out.fieldID.value) == 1 &&
                       field.basis == oid2::gnBasis()
                   ? 1
                   : 0;
    }
    const QvAsymKeyDomain* domain = getDomain(entry);
    if (!domain) return 0;
    return out.setFromKeyDomain(domain);
}

int EcNamedCurveTable::toSpecifiedDomain(ECSpecifiedDomain& out, int id) {
    return toSpecifiedDomain(out, findById(id));
}

int EcNamedCurveTable::toSpecifiedDomain(ECSpecifiedDomain& out, const ASNobjectId& oid) {
    return toSpecifiedDomain(out, findByOid(oid));
}

int EcNamedCurveTable::toSpecifiedDomain(ECSpecifiedDomain& out, const char* name) {
    const EcNamedCurve* e = findByName(name);
    if (!e) e = findByOidText(name);
    return toSpecifiedDomain(out, e);
}

const EcNamedCurve* EcNamedCurveTable::findNextMatching(const ECSpecifiedDomain& domain, int after) {
    const QvAsymKeyDomain* keyDomain = domain.getKeyDomain();
    std::unique_ptr<ECSpecifiedDomain> built;
    if (keyDomain == nullptr) {
        try {
            // A copy builds the key domain of the field type; it throws when none builds.
            built.reset(new ECSpecifiedDomain(domain));
            keyDomain = built->getKeyDomain();
        } catch (const std::bad_alloc&) {
            keyDomain = nullptr;
        }
    }
    if (keyDomain != nullptr) return findNextByDomain(keyDomain, after);
    for (const NormalBasisDer& n : kNormalBasisDer) {
        ECSpecifiedDomain candidate(0x30);
        if (toSpecifiedDomain(candidate, n.id) == 1 && candidate == domain) return findById(n.id);
    }
    return nullptr;
}

int EcNamedCurveTable::findNextMatchingId(const ECSpecifiedDomain& domain, int after) {
    const EcNamedCurve* e = findNextMatching(domain, after);
    return e ? e->id : 0;
}

const EcNamedCurve* EcNamedCurveTable::findFirstMatching(const ECSpecifiedDomain& domain, bool withOid) {
    for (const EcNamedCurve* e = findNextMatching(domain, 0); e; e = findNextMatching(domain, e->id)) {
        if (!withOid || e->oid) return e;
        // The normal-basis step does not move on with the id.
        if (normalBasisDer(e->id)) return nullptr;
    }
    return nullptr;
}

const ASNobjectId* EcNamedCurveTable::findMatchingOid(const ECSpecifiedDomain& domain, int after) {
    for (const EcNamedCurve* e = findNextMatching(domain, after); e; e = findNextMatching(domain, e->id)) {
        if (e->oid) return e->oid;
        if (normalBasisDer(e->id)) return nullptr;
    }
    return nullptr;
}
