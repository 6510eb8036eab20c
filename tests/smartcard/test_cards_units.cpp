// Card-layer pieces without a card: file-header parsing (also of hostile
// headers), access rules built and read back, paths, value sets, the reference
// list, DigestInfo prefixes, the ATR table and the card result table.
#include <gtest/gtest.h>
#include <openssl/objects.h>

#include <cstring>
#include <string>
#include <vector>

#include "smartcard/sc_card.h"
#include "smartcard/sc_card_create.h"
#include "smartcard/sc_digestinfo.h"
#include "smartcard/sc_fileheader.h"
#include "smartcard/sc_fileheader_ias.h"
#include "smartcard/sc_path.h"
#include "smartcard/sc_types.h"
#include "tests/common/testsupport.h"

using Bytes = std::vector<uint8_t>;
using testsupport::FromHex;

namespace {

SCRESULT Parse(SCFileHeader* h, const Bytes& b) { return h->Parse(b.data(), b.size()); }

}  // namespace

TEST(FileHeader, ParsesTheFieldsOfAnEfHeader) {
    // 62 {80 0200, 82 01, 83 5031, 8A 05, AB {80 01 01 90 00, 80 02 A4 06 83 01 81 95 01 08, 80 40 97 00}}
    const Bytes fcp = FromHex("622580020200820101830250318A0105" "AB15" "800101" "9000" "800102" "A406830181950108"
                              "800140" "9700");
    SCFileHeader h;
    ASSERT_EQ(SC_OK, Parse(&h, fcp));
    EXPECT_EQ(SC_FT_TRANSPARENT, h.GetFileType());
    EXPECT_EQ(0x200u, h.GetFileSize());
    EXPECT_EQ(0x5031, h.GetFileId());
    EXPECT_EQ(SC_LCS_ACTIVATED, h.GetLifeCycleState());
    EXPECT_TRUE(h.HasPinRef(0x81));
    SCAccessRequest r;
    r.operation = SC_AC_OP_READ;
    ASSERT_EQ(SC_OK, h.GetAccessRefs(&r, nullptr));
    EXPECT_EQ(1, r.refs.Count());
    EXPECT_TRUE(r.refs.Contains(0));
    r.operation = SC_AC_OP_UPDATE;
    ASSERT_EQ(SC_OK, h.GetAccessRefs(&r, nullptr));
    EXPECT_TRUE(r.refs.Contains(0xC081));
    r.operation = SC_AC_OP_DELETE;
    ASSERT_EQ(SC_OK, h.GetAccessRefs(&r, nullptr));
    EXPECT_TRUE(r.refs.Contains(0xFFFF));
    r.operation = SC_AC_OP_WRITE;  // no rule for it: never
    ASSERT_EQ(SC_OK, h.GetAccessRefs(&r, nullptr));
    EXPECT_TRUE(r.refs.Contains(0xFFFF));
    EXPECT_EQ(fcp, h.GetRaw());
}

TEST(FileHeader, LifeCycleAndTypeNumbers) {
    struct {
        uint8_t lcs;
        uint32_t state;
    } lcs[] = {{0x01, 1}, {0x03, 2}, {0x05, 3}, {0x07, 3}, {0x04, 4}, {0x06, 4}, {0x0C, 5}, {0x0F, 5}, {0x00, 0}};
    for (const auto& c : lcs) {
        SCFileHeader h;
        const Bytes fcp = {0x62, 0x03, 0x8A, 0x01, c.lcs};
        ASSERT_EQ(SC_OK, Parse(&h, fcp));
        EXPECT_EQ(c.state, h.GetLifeCycleState()) << int(c.lcs);
    }
    struct {
        uint8_t desc;
        uint32_t type;
    } types[] = {{0x38, 1}, {0x01, 2}, {0x02, 3}, {0x04, 4}, {0x06, 5}, {0x11, 111}, {0x09, 900}, {0x21, 6}, {0x78, 1}};
    for (const auto& c : types) {
        SCFileHeader h;
        const Bytes fcp = {0x62, 0x03, 0x82, 0x01, c.desc};
        ASSERT_EQ(SC_OK, Parse(&h, fcp));
        EXPECT_EQ(c.type, h.GetFileType()) << int(c.desc);
    }
    // A key file without a key reference is used by its file (111); one whose header
    // names its reference is a key file (1).
    SCFileHeader keyed;
    ASSERT_EQ(SC_OK, Parse(&keyed, {0x62, 0x08, 0x82, 0x01, 0x11, 0xA5, 0x03, 0x83, 0x01, 0x02}));
    EXPECT_EQ(SC_FT_KEY_FILE, keyed.GetFileType());
    EXPECT_EQ(2, keyed.GetKeyRef());
    SCFileHeader none;
    ASSERT_EQ(SC_OK, Parse(&none, {0x62, 0x00}));
    EXPECT_EQ(SC_FT_NONE, none.GetFileType());
    EXPECT_EQ(SC_LCS_NONE, none.GetLifeCycleState());
    EXPECT_EQ(0u, none.GetFileSize());
    SCAccessRequest r;
    EXPECT_EQ(SC_E_UNSUPPORTED_FEATURE, none.GetAccessRefs(&r, nullptr));
}

TEST(FileHeader, DfHeaderInsideAnFciWithNameFreeSpaceAndKeyData) {
    const std::string body = "82023800" "83023F00" "84064D495254414C" "81021000" "850101";
    // The A5 template runs one byte past its parent: refused.
    const Bytes bad = FromHex("6F22" "6220" + body + "A508830101800208" "00");
    SCFileHeader h;
    EXPECT_EQ(SC_E_INVALID_DATA_FORMAT, Parse(&h, bad));
    const Bytes g = FromHex("6F22" "6220" + body + "A507830101800208" "00");
    ASSERT_EQ(SC_OK, Parse(&h, g));
    EXPECT_TRUE(h.IsDf());
    EXPECT_EQ(0x1000u, h.GetFreeSpace());
    size_t n = 0;
    EXPECT_EQ("MIRTAL", std::string(reinterpret_cast<const char*>(h.GetDfName(&n)), 6));
    EXPECT_EQ(6u, n);
    EXPECT_EQ(1, h.GetModelCode());
    EXPECT_EQ(1, h.GetKeyRef());
    EXPECT_EQ(0x0800u, h.GetKeyBits());
}

TEST(FileHeader, HostileHeadersAreRefusedWithoutReadingPastTheEnd) {
    const std::vector<Bytes> bad = {
        {},
        {0x62},
        {0x62, 0x05, 0x80, 0x02, 0x00},                    // template longer than the data
        {0x62, 0x04, 0x80, 0x05, 0x00, 0x00},              // element longer than its template
        {0x62, 0x84, 0xFF, 0xFF, 0xFF, 0xFF},              // four-byte length form
        {0x62, 0x83, 0x7F, 0xFF, 0xFF},                    // three-byte length past the end
        {0x62, 0x82, 0x00},                                // truncated length
        {0x62, 0x02, 0x1F, 0x81},                          // truncated multi-byte tag
        {0x62, 0x04, 0x5F, 0x81, 0x82, 0x00},              // tag longer than three bytes
        {0x62, 0x03, 0x83, 0x01, 0x50},                    // file identifier of one byte
        {0x62, 0x05, 0x80, 0x03, 0x01, 0x00, 0x00},        // fine: a three-byte size
        {0x6F, 0x02, 0x84, 0x00},                          // FCI without FCP: fine
        {0x62, 0x04, 0xAB, 0x02, 0x90, 0x00},              // condition without access mode
        {0x62, 0x06, 0xAB, 0x04, 0x80, 0x01, 0x01, 0xA4},  // truncated condition
        {0x63, 0x00},                                      // not a header
        {0x62, 0x12, 0x84, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},  // name of 17 bytes
        {0x62, 0x0B, 0x80, 0x09, 1, 0, 0, 0, 0, 0, 0, 0, 0},  // size that does not fit 32 bits
    };
    int accepted = 0;
    for (const Bytes& b : bad) {
        SCFileHeader h;
        const SCRESULT r = h.Parse(b.empty() ? nullptr : b.data(), b.size());
        if (r == SC_OK) ++accepted;
        else EXPECT_EQ(SC_E_INVALID_DATA_FORMAT, r);
    }
    EXPECT_EQ(2, accepted);
    // Nested OR templates and unknown conditions inside access rules.
    const Bytes nested = FromHex("6214" "AB12" "800101" "A00A" "A403830101" "A403830102" "800102" "B300");
    SCFileHeader h;
    ASSERT_EQ(SC_OK, Parse(&h, nested));
    SCAccessRequest r;
    r.operation = SC_AC_OP_READ;
    ASSERT_EQ(SC_OK, h.GetAccessRefs(&r, nullptr));
    EXPECT_TRUE(r.refs.Contains(0x8001));
    EXPECT_TRUE(r.refs.Contains(0x8002));
    r.operation = SC_AC_OP_UPDATE;
    ASSERT_EQ(SC_OK, h.GetAccessRefs(&r, nullptr));
    EXPECT_TRUE(r.refs.Contains(0xFFFF));
    // Deep nesting of OR templates stays bounded by the data.
    Bytes deep = {0x80, 0x01, 0x01};
    Bytes inner = {0x90, 0x00};
    for (int i = 0; i < 60; ++i) {
        Bytes wrap = {0xA0, static_cast<uint8_t>(inner.size())};
        if (inner.size() > 127) break;
        wrap.insert(wrap.end(), inner.begin(), inner.end());
        inner = wrap;
    }
    deep.insert(deep.end(), inner.begin(), inner.end());
    Bytes fcp = {0x62, 0x81, 0, 0xAB, 0x81, static_cast<uint8_t>(deep.size())};
    fcp.insert(fcp.end(), deep.begin(), deep.end());
    fcp[2] = static_cast<uint8_t>(fcp.size() - 3);
    EXPECT_EQ(SC_OK, Parse(&h, fcp));
    SCFileHeader::SafeRelease(nullptr);
    SCFileHeader::SafeRelease(SCFileHeader::AbsentMarker());
}

TEST(FileHeader, DeleteAddsTheParentsDeleteChildRule) {
    SCFileHeader file, parent;
    ASSERT_EQ(SC_OK, Parse(&file, FromHex("620C" "820101" "AB07" "800140" "A4028301")));
    ASSERT_EQ(SC_E_INVALID_DATA_FORMAT, Parse(&file, FromHex("620B" "820101" "AB06" "800140" "A403830181")));
    ASSERT_EQ(SC_OK, Parse(&file, FromHex("620D" "820101" "AB08" "800140" "A403830181")));
    ASSERT_EQ(SC_OK, Parse(&parent, FromHex("620D" "820138" "AB08" "800101" "A403830104")));
    SCAccessRequest r;
    r.operation = SC_AC_OP_DELETE;
    ASSERT_EQ(SC_OK, file.GetAccessRefs(&r, &parent));
    EXPECT_TRUE(r.refs.Contains(0x8081));
    EXPECT_TRUE(r.refs.Contains(0x8004));
    r.operation = SC_AC_OP_READ;
    ASSERT_EQ(SC_OK, parent.GetAccessRefs(&r, nullptr));
    EXPECT_TRUE(r.refs.Contains(0));  // selecting a DF needs nothing
}

TEST(AccessRules, TemplatesBecomeRulesTheParserReadsBack) {
    SCFileHeaderList refs;
    refs.SetRef(SC_REFIDX_USER_PIN, 0x81);
    refs.SetRef(SC_REFIDX_SO_PIN, 0x04);
    refs.SetRef(SC_REFIDX_SYS_KEY, 0x10);
    struct {
        uint32_t tmpl;
        uint32_t op;
        uint16_t want;
    } cases[] = {{0xBB01, SC_AC_OP_READ, 0x0000},  {0xBB01, SC_AC_OP_UPDATE, 0xC004}, {0xB001, SC_AC_OP_UPDATE, 0x8010},
                 {0x88B1, SC_AC_OP_UPDATE, 0xC081}, {0x88B1, SC_AC_OP_DELETE, 0xC081}, {0x0001, SC_AC_OP_UPDATE, 0xFFFF},
                 {0x80F0, SC_AC_OP_READ, 0xC081}};
    for (const auto& c : cases) {
        const Bytes rules = scBuildAccessRules(c.tmpl, 0x01, &refs);
        Bytes fcp = {0x62, 0, 0x82, 0x01, 0x01, 0xAB, static_cast<uint8_t>(rules.size())};
        fcp.insert(fcp.end(), rules.begin(), rules.end());
        fcp[1] = static_cast<uint8_t>(fcp.size() - 2);
        SCFileHeader h;
        ASSERT_EQ(SC_OK, Parse(&h, fcp));
        SCAccessRequest r;
        r.operation = c.op;
        ASSERT_EQ(SC_OK, h.GetAccessRefs(&r, nullptr));
        EXPECT_TRUE(r.refs.Contains(c.want)) << std::hex << c.tmpl << " op " << c.op;
    }
    // Access-mode bits left open are always allowed.
    {
        const Bytes open = scBuildAccessRules(0xBB01, 0x38, &refs, 0x02);
        Bytes fcp = {0x62, 0, 0x82, 0x01, 0x38, 0xAB, static_cast<uint8_t>(open.size())};
        fcp.insert(fcp.end(), open.begin(), open.end());
        fcp[1] = static_cast<uint8_t>(fcp.size() - 2);
        SCFileHeader h;
        ASSERT_EQ(SC_OK, Parse(&h, fcp));
        SCAccessRequest create, remove;
        create.operation = SC_AC_OP_CREATE_EF;
        remove.operation = SC_AC_OP_DELETE_SELF;
        ASSERT_EQ(SC_OK, h.GetAccessRefs(&create, nullptr));
        ASSERT_EQ(SC_OK, h.GetAccessRefs(&remove, nullptr));
        EXPECT_TRUE(create.refs.Contains(0));
        EXPECT_TRUE(remove.refs.Contains(0xC004));
    }
    // Key use under the key PIN of a user-consent key.
    refs.SetRef(SC_REFIDX_KEY_PIN, 0x85);
    const Bytes rules = scBuildAccessRules(0x80F0 | SC_TEMPLATE_KEY_PIN_USE, 0x11, &refs);
    Bytes fcp = {0x62, 0, 0x82, 0x01, 0x11, 0xAB, static_cast<uint8_t>(rules.size())};
    fcp.insert(fcp.end(), rules.begin(), rules.end());
    fcp[1] = static_cast<uint8_t>(fcp.size() - 2);
    SCFileHeader h;
    ASSERT_EQ(SC_OK, Parse(&h, fcp));
    SCAccessRequest use;
    use.operation = SC_AC_OP_USE;
    ASSERT_EQ(SC_OK, h.GetAccessRefs(&use, nullptr));
    EXPECT_TRUE(use.refs.Contains(0xC085));
}

TEST(FileHeaderList, ReferencesKeySetAndCopies) {
    SCFileHeaderList l;
    for (int i = 0; i < SC_REF_COUNT; ++i) EXPECT_EQ(0xFF, l.GetRef(i));
    EXPECT_FALSE(l.HasUserPinRef());
    l.SetRef(SC_REFIDX_USER_PUK, 0x82);
    EXPECT_EQ(0x82, l.GetUserPinOrPukRef());
    l.SetRef(SC_REFIDX_USER_PIN, 0x81);
    EXPECT_TRUE(l.HasUserPinRef());
    EXPECT_EQ(0x81, l.GetUserPinOrPukRef());
    l.SetRef(SC_REFIDX_SYS_KEY, 0x10);
    EXPECT_EQ(0x10, l.GetSoPinOrSysKeyRef());
    l.SetRef(SC_REFIDX_SO_PIN, 0x04);
    EXPECT_EQ(0x04, l.GetSoPinOrSysKeyRef());
    l.SetSeNumber(3);
    l.SetLocalPinRef(0x83);
    EXPECT_EQ(3, l.GetSeNumber());
    EXPECT_EQ(0x83, l.GetLocalPinRef());
    const uint8_t k[] = {1, 2, 3}, z[] = {0, 0, 0};
    EXPECT_FALSE(l.SetKeySet(k, 3, nullptr, 0, nullptr, 0));
    EXPECT_FALSE(l.SetKeySet(nullptr, 0, k, 3, z, 3));
    EXPECT_TRUE(l.SetKeySet(nullptr, 0, nullptr, 0, k, 3));
    SCFileHeaderList copy = l;
    EXPECT_TRUE(copy.IsKeySetValid());
    EXPECT_EQ(0x81, copy.GetUserPinRef());
    copy.Reset();
    EXPECT_EQ(0xFF, copy.GetUserPinRef());
    EXPECT_FALSE(copy.IsKeySetValid());
    EXPECT_EQ(0x81, l.GetUserPinRef());
    SCByteBuffer b;
    EXPECT_TRUE(b.IsZero());
    EXPECT_FALSE(b.Set(nullptr, 3));
    b.Set(k, 3);
    b.Resize(1000);
    EXPECT_EQ(1, b.Data()[0]);
    EXPECT_EQ(0, b.Data()[999]);
}

TEST(ValueSet, GrowsByEightAndAnswersMembership) {
    SCValueSet s;
    EXPECT_FALSE(s.Contains(0));
    for (uint16_t v = 0; v < 20; ++v) ASSERT_TRUE(s.Add(static_cast<uint16_t>(v * 3)));
    EXPECT_TRUE(s.Add(3));
    EXPECT_EQ(20, s.Count());
    EXPECT_EQ(24, s.capacity);
    EXPECT_TRUE(s.Contains(57));
    EXPECT_FALSE(s.Contains(58));
    SCValueSet t = s;
    s.Clear();
    EXPECT_FALSE(s.Contains(57));
    EXPECT_TRUE(t.Contains(57));
}

TEST(Path, AbsoluteRelativeAndPrefixes) {
    const uint16_t app[] = {0x3F00, 0x5015}, rel[] = {0x4401}, file[] = {0x3F00, 0x5015, 0x4401};
    SCPath base(app, 2), r(rel, 1);
    EXPECT_TRUE(base.IsAbsolute());
    EXPECT_FALSE(r.IsAbsolute());
    EXPECT_TRUE(r.BuildAbsolute(base).IsEqual(SCPath(file, 3)));
    SCPath out;
    ASSERT_TRUE(SCPath(rel, 1).ResolveInto(SCPath(), &out));
    const uint16_t fromMf[] = {0x3F00, 0x4401};
    EXPECT_TRUE(out.IsEqual(SCPath(fromMf, 2)));
    EXPECT_TRUE(SCPath().IsMasterFile());
    EXPECT_TRUE(SCPath().IsEqual(SCPath(app, 1)));
    size_t rest = 0;
    const uint16_t* p = SCPath::StripPrefix(file, 3, app, 2, &rest);
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(1u, rest);
    EXPECT_EQ(0x4401, p[0]);
    EXPECT_NE(nullptr, SCPath::StripPrefix(file, 3, nullptr, 0, &rest));
    EXPECT_EQ(2u, rest);
    EXPECT_EQ(nullptr, SCPath::StripPrefix(app, 2, file, 3, &rest));
    EXPECT_EQ(nullptr, SCPath::StripPrefix(rel, 1, app, 2, &rest));
    const uint16_t other[] = {0x3F00, 0x5016};
    EXPECT_EQ(nullptr, SCPath::StripPrefix(file, 3, other, 2, &rest));
    SCPath named;
    EXPECT_FALSE(named.HasDfName());
    const uint8_t aid[] = {0xA0, 0, 0, 0, 0x63};
    EXPECT_TRUE(named.SetDfName(aid, 5));
    EXPECT_TRUE(named.HasDfName());
    EXPECT_FALSE(named.SetDfName(aid, 17));
    uint16_t* buf = named.Reserve(3);
    ASSERT_NE(nullptr, buf);
    EXPECT_EQ(3u, named.Count());
    EXPECT_FALSE(named.Set(nullptr, 2));
}

TEST(DigestInfo, PrefixesMatchThePublishedEncodings) {
    int rows = 0;
    for (const testsupport::DataLine& l : testsupport::ReadDataLines(testsupport::DataFile("digestinfo_rfc8017.txt"))) {
        ASSERT_EQ(2u, l.fields.size()) << "line " << l.number;
        const uint32_t id = static_cast<uint32_t>(std::stoul(l.fields[0]));
        const Bytes want = FromHex(l.fields[1]);
        const uint8_t* prefix = nullptr;
        uint32_t len = 0;
        const uint32_t dl = scGetDigestInfo(id, &prefix, &len);
        ASSERT_EQ(want.size(), len) << id;
        EXPECT_EQ(want, Bytes(prefix, prefix + len)) << id;
        EXPECT_EQ(want.back(), dl);
        Bytes full = want;
        full.resize(want.size() + dl, 0xAB);
        EXPECT_EQ(id, scGetHashIdFromDigestInfo(full.data(), full.size()));
        full.pop_back();
        EXPECT_EQ(0u, scGetHashIdFromDigestInfo(full.data(), full.size()));
        ++rows;
    }
    EXPECT_EQ(6, rows);
    EXPECT_EQ(0u, scGetDigestInfo(0, nullptr, nullptr));
    EXPECT_EQ(0u, scGetDigestInfo(9, nullptr, nullptr));
    EXPECT_EQ(0u, scGetHashIdFromDigestInfo(nullptr, 35));
}

TEST(DigestInfo, RipemdPrefixesCarryTheRegisteredIdentifiers) {
    // The object identifiers as OpenSSL encodes them.
    for (auto c : {std::make_pair(SC_HASH_RIPEMD160, NID_ripemd160)}) {
        const ASN1_OBJECT* obj = OBJ_nid2obj(c.second);
        unsigned char* der = nullptr;
        const int n = i2d_ASN1_OBJECT(obj, &der);
        ASSERT_GT(n, 0);
        const uint8_t* prefix = nullptr;
        uint32_t len = 0;
        EXPECT_EQ(20u, scGetDigestInfo(c.first, &prefix, &len));
        EXPECT_EQ(Bytes(der, der + n), Bytes(prefix + 4, prefix + 4 + n));
        OPENSSL_free(der);
    }
    // RIPEMD-128: 1.3.36.3.2.2.
    const uint8_t* prefix = nullptr;
    uint32_t len = 0;
    EXPECT_EQ(16u, scGetDigestInfo(SC_HASH_RIPEMD128, &prefix, &len));
    EXPECT_EQ(FromHex("06052B24030202"), Bytes(prefix + 4, prefix + 11));
}

TEST(AtrTable, EachModelIsRecognisedAndOthersAreNot) {
    for (int model = 0; model < 8; ++model) {
        Bytes atr = FromHex("3B8F800180594341524453494D2D30830F900000");
        atr[14] = static_cast<uint8_t>('0' + model);
        atr[16] = static_cast<uint8_t>(model & 1 ? 0x07 : 0x0F);  // any life cycle
        uint8_t x = 0;
        for (size_t i = 1; i + 1 < atr.size(); ++i) x ^= atr[i];
        atr.back() = x;
        EXPECT_EQ(model, scFindCardModelByAtr(atr.data(), atr.size()));
        SCCard* card = scNewCardOfModel(static_cast<uint32_t>(model), nullptr);
        ASSERT_NE(nullptr, card);
        EXPECT_EQ(static_cast<uint32_t>(model), card->GetCardType());
        SCCardInfo info;
        std::memset(&info, 0, sizeof info);
        ASSERT_EQ(SC_OK, card->GetCardInfo(&info));
        EXPECT_EQ(static_cast<uint32_t>(model), info.cardFamily);
        if (model == 0) {
            EXPECT_EQ(SC_UNSET, info.issuerCode);
        }
        delete card;
    }
    const Bytes other = FromHex("3B8F800180594F5448455243415244830F9000");
    EXPECT_EQ(-1, scFindCardModelByAtr(other.data(), other.size()));
    EXPECT_EQ(-1, scFindCardModelByAtr(nullptr, 0));
    EXPECT_EQ(nullptr, scNewCardOfModel(8, nullptr));
    SCCard* none = nullptr;
    EXPECT_EQ(SC_E_BAD_PARAMS, scCreateCard(nullptr, &none));
    EXPECT_EQ(nullptr, none);
}

TEST(CardWithoutReader, OperationsFailCleanly) {
    SCCard card(nullptr);
    uint8_t buf[8];
    EXPECT_EQ(SC_E_CARD_NOT_CONNECTED, card.SelectMf(nullptr));
    EXPECT_EQ(SC_E_CARD_NOT_CONNECTED, card.ReadBinary(0, buf, 8));
    EXPECT_EQ(SC_E_CARD_NOT_CONNECTED, card.VerifyPin(1, nullptr, SC_UNSET));
    EXPECT_EQ(SC_E_CARD_NOT_CONNECTED, card.CheckCardState());
    EXPECT_EQ(SC_E_BAD_PARAMS, card.SelectPath(nullptr, 2, nullptr));
    EXPECT_EQ(SC_E_BAD_PARAMS, card.ReadBinary(0, nullptr, 8));
    EXPECT_EQ(SC_E_BAD_PARAMS, card.GetCardInfo(nullptr));
    EXPECT_EQ(SC_E_BAD_PARAMS, card.CreatePin(1, nullptr, nullptr, 0, 0));
    EXPECT_EQ(SC_E_UNSUPPORTED_FEATURE, card.SelectApplet());
    EXPECT_EQ(SC_E_UNSUPPORTED_FEATURE, card.OpenSmChannel(0, 0, SC_UNSET, 0, 0));
    EXPECT_EQ(SC_E_INVALID_FILE_TYPE, card.CreateKeyObject(SC_KEYOBJ_RSA_PUBLIC, 1024, 17, 0, 0, 0, 0, nullptr, 1, nullptr));
    EXPECT_EQ(0u, card.GetCardType());
}

TEST(CardResults, NamedCodesHaveTheirValuesAndRows) {
    size_t n = 0;
    scGetErrorTable(&n);
    EXPECT_EQ(80u, n);
    struct {
        SCRESULT code;
        uint64_t value;
    } named[] = {{SC_E_PIN_NOT_BLOCKED, 0xE00000000000002BULL}, {SC_E_DIR_NOT_EMPTY, 0xE000000000000030ULL},
                 {SC_E_MISMATCHED_HEADER, 0xE00000000000002AULL}, {SC_E_FILE_NOT_FOUND, 0xE000000000016A82ULL},
                 {SC_E_KEY_EXISTS, 0xE00000000000000BULL},        {SC_E_FILE_SIZE_REFUSED, 0xE000000000000027ULL}};
    for (const auto& c : named) EXPECT_EQ(c.value, static_cast<uint64_t>(c.code));
    EXPECT_EQ(nullptr, scFindErrorRow(SC_E_KEY_EXISTS));
    EXPECT_EQ(nullptr, scFindErrorRow(SC_E_FILE_SIZE_REFUSED));
    for (SCRESULT sm : {SC_E_SM_NOT_ESTABLISHED, SC_E_SM_MAC_INVALID, SC_E_SM_COUNTER_EXHAUSTED, SC_E_SM_CARD_AUTH_FAILED}) {
        EXPECT_NE(nullptr, scFindErrorRow(sm));
        EXPECT_EQ(0u, static_cast<uint64_t>(sm) & 0x30000u);
    }
    EXPECT_EQ(SC_OK, SCCard::MapStatus(0x6110));
    EXPECT_EQ(SC_E_VERIFY_FAILED, SCCard::MapStatus(0x63C2));
    EXPECT_EQ(SC_RESULT_CODE(0xE000000000016A86ULL), SCCard::MapStatus(0x6A86));
}

TEST(IasSdo, BodyValuesAndMalformedAnswers) {
    SCFileHeader_IAS h(0x81, 0x04);
    const Bytes ok = FromHex("BF81040E" "A00C" "9A0103" "9B0102" "800104" "810108");
    ASSERT_EQ(SC_OK, h.ParseSdo(ok.data(), ok.size()));
    EXPECT_EQ(0xBF8104u, h.GetSdoType());
    const uint8_t* v = nullptr;
    size_t n = 0;
    ASSERT_TRUE(h.FindInSdoBody(0x9B, &v, &n));
    EXPECT_EQ(2, v[0]);
    EXPECT_FALSE(h.FindInSdoBody(0x9C, &v, &n));
    for (const char* bad : {"BF8104", "BF81040F" "A00C9A01039B0102800104810108", "8104", "BF810403A0059A"}) {
        const Bytes b = FromHex(bad);
        EXPECT_EQ(SC_E_INVALID_DATA_FORMAT, h.ParseSdo(b.data(), b.size())) << bad;
    }
}
