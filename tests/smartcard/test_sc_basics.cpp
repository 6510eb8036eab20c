// Card result table, APDU structure, reader option layout and the
// secure-messaging context.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "smartcard/sc_apdu.h"
#include "smartcard/sc_errors.h"
#include "smartcard/sc_pcscapi.h"
#include "smartcard/sc_readeroptions.h"
#include "smartcard/sc_smctx.h"

using Bytes = std::vector<uint8_t>;

namespace {
std::string Name(SCRESULT c) {
    char buf[128];
    return scGetErrorName(c, buf, sizeof buf);
}
std::string Text(SCRESULT c) {
    char buf[256];
    return scGetErrorMessage(c, buf, sizeof buf);
}
bool ValidUtf8(const std::string& s) {
    size_t i = 0;
    while (i < s.size()) {
        const unsigned char c = s[i];
        const int n = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : -1;
        if (n < 0 || i + n >= s.size() + (n ? 0 : 1)) return false;
        for (int k = 1; k <= n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += n + 1;
    }
    return true;
}
}  // namespace

TEST(CardResults, NamedCodesHaveTheirValues) {
    EXPECT_EQ(static_cast<SCRESULT>(0xE000000000000001ULL), SC_E_UNIMPLEMENTED_FEATURE);
    EXPECT_EQ(static_cast<SCRESULT>(0xE000000000000066ULL), SC_E_READER_SUBSYSTEM_NOT_RUNNING);
    EXPECT_EQ(static_cast<SCRESULT>(0xE000000000000067ULL), SC_E_READER_SUBSYSTEM_RESTARTED);
    EXPECT_EQ(static_cast<SCRESULT>(0xE000000000000068ULL), SC_E_READER_NOT_FOUND);
    EXPECT_EQ(static_cast<SCRESULT>(0xE000000000000069ULL), SC_E_READER_NOT_AVAILABLE);
    EXPECT_EQ(static_cast<SCRESULT>(0xE0000000000000CDULL), SC_E_CARD_IS_USED);
    EXPECT_EQ(static_cast<SCRESULT>(0xE0000000000000CFULL), SC_E_CARD_PROTO_MISMATCH);
    EXPECT_EQ(static_cast<SCRESULT>(0xE0000000000003E8ULL), SC_F_INTERNAL_ERROR);
    EXPECT_EQ(static_cast<SCRESULT>(0xE000000000016A82ULL), SC_E_FILE_NOT_FOUND);
    EXPECT_EQ(scResultFromStatus(0x6A82), SC_E_FILE_NOT_FOUND);
    EXPECT_EQ(SC_OK, scResultFromStatus(0x9000));
    EXPECT_TRUE(scIsStatusWordResult(SC_E_PIN_BLOCKED));
    EXPECT_FALSE(scIsStatusWordResult(SC_E_NO_SMARTCARD));
    EXPECT_FALSE(scIsStatusWordResult(SC_RESULT_CODE(0xE000000000021388ULL)));
}

TEST(CardResults, TableRowsAreUniqueNamedAndPolishInUtf8) {
    size_t n = 0;
    const SCErrorTableRow* rows = scGetErrorTable(&n);
    ASSERT_GT(n, 60u);
    std::set<SCRESULT> codes;
    std::set<std::string> names;
    for (size_t i = 0; i < n; ++i) {
        EXPECT_TRUE(codes.insert(rows[i].code).second) << rows[i].name;
        EXPECT_TRUE(names.insert(rows[i].name).second) << rows[i].name;
        EXPECT_TRUE(ValidUtf8(rows[i].message)) << rows[i].name;
        EXPECT_GT(std::strlen(rows[i].message), 5u);
        EXPECT_EQ(rows[i].name, Name(rows[i].code));
        EXPECT_EQ(rows[i].message, Text(rows[i].code));
    }
}

TEST(CardResults, CodesWithoutGivenValuesStayOutOfTheStatusAndBridgeFamilies) {
    // Their PKCS#11 mapping must fall to the general rule.
    for (SCRESULT c : {SC_E_TIMEOUT, SC_E_CARD_WAS_RESET, SC_E_CARD_NEEDED_REINIT, SC_E_SYSTEM_ERROR}) {
        EXPECT_EQ(0u, static_cast<uint64_t>(c) & 0x30000u) << Name(c);
        EXPECT_EQ(0xE000000000000000ULL, static_cast<uint64_t>(c) & 0xE000000000000000ULL);
    }
    // Restarted lies between not running and not found, so range checks hold.
    EXPECT_GT(SC_E_READER_SUBSYSTEM_RESTARTED, SC_E_READER_SUBSYSTEM_NOT_RUNNING);
    EXPECT_LT(SC_E_READER_SUBSYSTEM_RESTARTED, SC_E_READER_NOT_FOUND);
}

TEST(CardResults, UnknownCodesGetGenericNamesAndTexts) {
    EXPECT_EQ("SC_E_CARD_STATUS_6A86", Name(scResultFromStatus(0x6A86)));
    EXPECT_EQ("Błąd karty, status 6A86", Text(scResultFromStatus(0x6A86)));
    EXPECT_EQ("0xE000000000000777", Name(SC_RESULT_CODE(0xE000000000000777ULL)));
    EXPECT_EQ("SC_OK(5)", Name(5));
    EXPECT_EQ("SC_E_NO_SMARTCARD", Name(SC_E_NO_SMARTCARD));
    EXPECT_EQ("Brak karty w czytniku", Text(SC_E_NO_SMARTCARD));
}

TEST(CardResults, ShortBuffersAreCutOnCharacterBoundaries) {
    char buf[4];
    // "Błąd..." : 'B' then the two bytes of 'ł'; a cut inside 'ą' steps back.
    ASSERT_NE(nullptr, scGetErrorMessage(scResultFromStatus(0x6A86), buf, sizeof buf));
    EXPECT_STREQ("Bł", buf);
    char one[1];
    EXPECT_STREQ("", scGetErrorMessage(SC_E_NO_SMARTCARD, one, 1));
    EXPECT_EQ(nullptr, scGetErrorMessage(SC_E_NO_SMARTCARD, nullptr, 10));
    EXPECT_EQ(nullptr, scGetErrorName(SC_E_NO_SMARTCARD, buf, 0));
}

TEST(CardResults, PcscCodesMapToCardResults) {
    using namespace scpcsc;
    EXPECT_EQ(SC_OK, scMapPcscError(0));
    EXPECT_EQ(SC_E_READER_SUBSYSTEM_NOT_RUNNING, scMapPcscError(static_cast<LONG>(E_NO_SERVICE)));
    EXPECT_EQ(SC_E_READER_SUBSYSTEM_RESTARTED, scMapPcscError(static_cast<LONG>(E_SERVICE_STOPPED)));
    EXPECT_EQ(SC_E_CARD_IS_USED, scMapPcscError(static_cast<LONG>(E_SHARING_VIOLATION)));
    EXPECT_EQ(SC_E_CARD_WAS_RESET, scMapPcscError(static_cast<LONG>(W_RESET_CARD)));
    EXPECT_EQ(SC_E_CARD_REMOVED, scMapPcscError(static_cast<LONG>(W_REMOVED_CARD)));
    EXPECT_EQ(SC_E_TIMEOUT, scMapPcscError(static_cast<LONG>(E_TIMEOUT)));
    EXPECT_EQ(SC_E_CARD_PROTO_MISMATCH, scMapPcscError(static_cast<LONG>(E_PROTO_MISMATCH)));
    EXPECT_EQ(SC_E_COMM_FAILED, scMapPcscError(0x12345));
    EXPECT_STREQ("SCARD_W_RESET_CARD", scPcscErrorName(static_cast<LONG>(W_RESET_CARD)));
}

TEST(Apdu, ParsesTheFourCasesInShortAndExtendedForm) {
    SCApduInfo i;
    const Bytes c1 = {0x00, 0xA4, 0x00, 0x00};
    ASSERT_TRUE(scParseApdu(c1.data(), c1.size(), &i));
    EXPECT_EQ(1, i.apduCase);
    const Bytes c2 = {0x00, 0xB0, 0x00, 0x00, 0x00};
    ASSERT_TRUE(scParseApdu(c2.data(), c2.size(), &i));
    EXPECT_EQ(2, i.apduCase);
    EXPECT_EQ(256u, i.le);
    const Bytes c3 = {0x00, 0xD6, 0x00, 0x00, 0x02, 1, 2};
    ASSERT_TRUE(scParseApdu(c3.data(), c3.size(), &i));
    EXPECT_EQ(3, i.apduCase);
    EXPECT_EQ(2u, i.lc);
    EXPECT_EQ(5u, i.dataOffset);
    const Bytes c4 = {0x00, 0x88, 0x00, 0x00, 0x01, 9, 0x10};
    ASSERT_TRUE(scParseApdu(c4.data(), c4.size(), &i));
    EXPECT_EQ(4, i.apduCase);
    EXPECT_EQ(16u, i.le);
    const Bytes e2 = {0x00, 0xB0, 0x00, 0x00, 0x00, 0x00, 0x00};
    ASSERT_TRUE(scParseApdu(e2.data(), e2.size(), &i));
    EXPECT_TRUE(i.extended);
    EXPECT_EQ(65536u, i.le);
    Bytes e4 = {0x00, 0x2A, 0x80, 0x86, 0x00, 0x01, 0x00};
    e4.insert(e4.end(), 256, 0xAB);
    e4.push_back(0x02);
    e4.push_back(0x00);
    ASSERT_TRUE(scParseApdu(e4.data(), e4.size(), &i));
    EXPECT_EQ(4, i.apduCase);
    EXPECT_EQ(256u, i.lc);
    EXPECT_EQ(512u, i.le);
}

TEST(Apdu, RefusesLengthsThatDoNotMatchTheBytes) {
    SCApduInfo i;
    for (const Bytes& b : {Bytes{}, Bytes{0x00, 0xA4, 0x00}, Bytes{0x00, 0xA4, 0x00, 0x00, 0x03, 1},
                           Bytes{0x00, 0xA4, 0x00, 0x00, 0x01, 1, 2, 3}, Bytes{0x00, 0xA4, 0x00, 0x00, 0x00, 0x01},
                           Bytes{0x00, 0xA4, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01}})
        EXPECT_FALSE(scParseApdu(b.data(), b.size(), &i)) << b.size();
    EXPECT_FALSE(scParseApdu(nullptr, 4, &i));
}

TEST(Apdu, LeIsSetOrRemovedKeepingTheCommand) {
    Bytes out;
    const Bytes c3 = {0x00, 0xD6, 0x00, 0x00, 0x02, 1, 2};
    ASSERT_TRUE(scApduWithLe(c3.data(), c3.size(), 256, &out));
    EXPECT_EQ(Bytes({0x00, 0xD6, 0x00, 0x00, 0x02, 1, 2, 0x00}), out);
    ASSERT_TRUE(scApduWithLe(c3.data(), c3.size(), 300, &out));
    EXPECT_EQ(Bytes({0x00, 0xD6, 0x00, 0x00, 0x00, 0x00, 0x02, 1, 2, 0x01, 0x2C}), out);
    const Bytes c2 = {0x00, 0xB0, 0x00, 0x00, 0x00};
    ASSERT_TRUE(scApduWithLe(c2.data(), c2.size(), 0x10, &out));
    EXPECT_EQ(Bytes({0x00, 0xB0, 0x00, 0x00, 0x10}), out);
    EXPECT_FALSE(scApduWithLe(c2.data(), c2.size(), 0, &out));
    EXPECT_FALSE(scApduWithLe(c2.data(), c2.size(), 65537, &out));
    const Bytes c4 = {0x00, 0x88, 0x00, 0x00, 0x01, 9, 0x10};
    ASSERT_TRUE(scApduWithoutLe(c4.data(), c4.size(), &out));
    EXPECT_EQ(Bytes({0x00, 0x88, 0x00, 0x00, 0x01, 9}), out);
}

TEST(Apdu, TraceShowsDataOnlyOfCommandsThatCarryNoSecret) {
    const struct {
        Bytes apdu;
        const char* text;
    } cases[] = {
        {{0x00, 0xA4, 0x00, 0x00}, "00 A4 00 00 ..."},
        {{0x00, 0xA4, 0x08, 0x04, 0x04, 0x50, 0x15, 0x44, 0x01}, "00 A4 08 04 04 50 15 44 ..."},
        {{0x00, 0xB0, 0x00, 0x00, 0x00}, "00 B0 00 00 00 ..."},
        {{0x00, 0x2A, 0x9E, 0x9A, 0x03, 1, 2, 3}, "00 2A 9E 9A 03 01 02 03 ..."},
        {{0x10, 0x2A, 0x80, 0x86, 0x03, 0, 2, 3}, "10 2A 80 86 03 00 02 03 ..."},
        // VERIFY, CHANGE REFERENCE DATA, RESET RETRY COUNTER with PIN and PUK digits
        {{0x00, 0x20, 0x00, 0x81, 0x08, 0x31, 0x32, 0x33, 0x34, 0xFF, 0xFF, 0xFF, 0xFF}, "00 20 00 81 (data not shown)"},
        {{0x00, 0x24, 0x00, 0x01, 0x04, 0x31, 0x32, 0x33, 0x34}, "00 24 00 01 (data not shown)"},
        {{0x00, 0x2C, 0x00, 0x01, 0x04, 0x35, 0x36, 0x37, 0x38}, "00 2C 00 01 (data not shown)"},
        // key import, file creation, writes, proprietary class, chained PIN data
        {{0x00, 0xDB, 0x00, 0x02, 0x03, 0x9A, 0x9B, 0x9C}, "00 DB 00 02 (data not shown)"},
        {{0x00, 0xE0, 0x00, 0x00, 0x03, 0x62, 0x01, 0x00}, "00 E0 00 00 (data not shown)"},
        {{0x00, 0xD6, 0x00, 0x00, 0x02, 0x51, 0x5A}, "00 D6 00 00 (data not shown)"},
        {{0x80, 0xD8, 0x00, 0x81, 0x02, 0x40, 0x41}, "80 D8 00 81 (data not shown)"},
        {{0x80, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00}, "80 A4 00 00 (data not shown)"},
        {{0x10, 0x20, 0x00, 0x81, 0x02, 0x31, 0x32}, "10 20 00 81 (data not shown)"},
        // PSO encipher carries plain text
        {{0x00, 0x2A, 0x86, 0x80, 0x02, 0x41, 0x42}, "00 2A 86 80 (data not shown)"},
        // secure messaging: even a wrapped SELECT shows its header only
        {{0x0C, 0xA4, 0x00, 0x00, 0x03, 0x87, 0x01, 0x01}, "0C A4 00 00 (data not shown)"},
        {{0x04, 0xB0, 0x00, 0x00, 0x03, 0x8E, 0x01, 0x01}, "04 B0 00 00 (data not shown)"},
        {{0x60, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00}, "60 A4 00 00 (data not shown)"},
        {{0x40, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00}, "40 A4 00 00 02 3F 00 ..."},
        {{0x00, 0x20, 0x00}, "(malformed)"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.text, scApduTraceText(c.apdu.data(), c.apdu.size()));
    EXPECT_EQ("(malformed)", scApduTraceText(nullptr, 8));
}

TEST(ReaderOptions, FieldsSitWhereTheConfigurationPutsThem) {
    uint64_t w = 0;
    w = scRoptSetPinpadMode(w, SC_ROPT_PINPAD_FORCED);
    w = scRoptSetDefaultProtocols(w, SC_ROPT_PROTO_T1);
    w = scRoptSetDisabledProtocols(w, SC_ROPT_PROTO_T0);
    w = scRoptSetWaitTime(w, 250);
    w |= SC_ROPT_FALLBACK_TO_DEFAULT_PROTOCOL;
    EXPECT_EQ(0x000000FA00010122ULL, w);
    EXPECT_EQ(2u, scRoptPinpadMode(w));
    EXPECT_EQ(2u, scRoptDefaultProtocols(w));
    EXPECT_EQ(1u, scRoptDisabledProtocols(w));
    EXPECT_EQ(250u, scRoptWaitTime(w));
    uint64_t l = 0;
    l = scRoptSetLimit(l, SC_RLIMIT_T0_SEND, 200);
    l = scRoptSetLimit(l, SC_RLIMIT_T1_RECV, 65535);
    l = scRoptSetLimit(l, SC_RLIMIT_T1_SEND, 300);
    EXPECT_EQ(0xFFFF0000012C00C8ULL, l);
    EXPECT_EQ(300, scRoptLimit(l, SC_RLIMIT_T1_SEND));
    EXPECT_EQ(0, scRoptLimit(l, SC_RLIMIT_T0_RECV));
}

TEST(SmContext, SessionStateAndFlagsDecideWhatIsWrapped) {
    SCSmCtx ctx(4);
    EXPECT_TRUE(ctx.IsGpChannelMode());
    EXPECT_EQ(SC_SM_KIND_CARD, ctx.GetKind());
    EXPECT_FALSE(ctx.IsEstablished());
    ctx.SetEstablished(true);
    EXPECT_EQ(SC_SM_FLAG_ESTABLISHED, ctx.GetFlags());
    EXPECT_FALSE(ctx.IsActive());  // established, but no session yet
    ctx.SessionOpened();
    EXPECT_TRUE(ctx.IsActive());
    ctx.SetRunning(false);
    EXPECT_EQ(SC_SM_FLAG_ESTABLISHED | SC_SM_FLAG_PAUSED, ctx.GetFlags());
    EXPECT_FALSE(ctx.IsActive());
    ctx.SetFlags(SC_SM_FLAG_OPTION, true);
    EXPECT_TRUE(ctx.IsActive());  // the IAS-ECC option keeps a paused channel in use
    ctx.SetFlags(SC_SM_FLAG_OPTION, false);
    ctx.SetRunning(true);
    // A lost session blocks; an idle context stays idle when a session ends.
    ctx.LoseSession();
    EXPECT_TRUE(ctx.IsLost());
    EXPECT_TRUE(ctx.NeedsRestore());
    EXPECT_FALSE(ctx.IsActive());
    ctx.SetRunning(false);
    EXPECT_FALSE(ctx.NeedsRestore());  // a paused context lets commands pass
    ctx.SetRunning(true);
    ctx.CloseSession();
    EXPECT_EQ(SCSmSession::None, ctx.GetSession());
    ctx.LoseSession();
    EXPECT_EQ(SCSmSession::None, ctx.GetSession());
    ctx.MarkLost();
    EXPECT_TRUE(ctx.IsLost());
    ctx.Reset();
    EXPECT_FALSE(ctx.IsEstablished());
    EXPECT_EQ(SCSmSession::None, ctx.GetSession());
}

TEST(SmContext, IdleContextPassesApdusThroughAndOpenOneIsNotFaked) {
    SCSmCtx ctx;
    const Bytes apdu = {0x00, 0xA4, 0x00, 0x00};
    Bytes out;
    ASSERT_EQ(SC_OK, ctx.WrapCommand(apdu.data(), apdu.size(), &out));
    EXPECT_EQ(apdu, out);
    uint16_t sw = 0;
    const Bytes resp = {1, 2};
    ASSERT_EQ(SC_OK, ctx.UnwrapResponse(resp.data(), resp.size(), 0x9000, &out, &sw));
    EXPECT_EQ(resp, out);
    EXPECT_EQ(0x9000, sw);
    // A context without a protocol cannot wrap; the session is lost, not passed.
    ctx.SessionOpened();
    EXPECT_EQ(SC_E_UNIMPLEMENTED_FEATURE, ctx.WrapCommand(apdu.data(), apdu.size(), &out));
    EXPECT_TRUE(ctx.IsLost());
    EXPECT_EQ(SC_E_BAD_PARAMS, ctx.WrapCommand(nullptr, 4, &out));
    // An answer with no wrapped command before it is refused.
    ctx.SessionOpened();
    EXPECT_EQ(SC_E_SM_MAC_INVALID, ctx.UnwrapResponse(resp.data(), resp.size(), 0x9000, &out, &sw));
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(ctx.IsLost());
}

TEST(SmContext, KeysAndCountersAreKeptAndChecked) {
    SCSmCtx ctx(3);
    const uint8_t k[16] = {1, 2, 3};
    const uint8_t zero[16] = {};
    EXPECT_FALSE(ctx.HasKeys());
    ASSERT_EQ(SC_OK, ctx.SetKey(0, k, 16));
    ASSERT_EQ(SC_OK, ctx.SetKey(1, k, 16));
    ASSERT_EQ(SC_OK, ctx.SetKey(2, zero, 16));
    EXPECT_FALSE(ctx.HasKeys());  // an all-zero key is no key
    ASSERT_EQ(SC_OK, ctx.SetKey(2, k, 16));
    EXPECT_TRUE(ctx.HasKeys());
    size_t len = 0;
    ASSERT_NE(nullptr, ctx.GetKey(1, &len));
    EXPECT_EQ(16u, len);
    EXPECT_EQ(SC_E_BAD_PARAMS, ctx.SetKey(3, k, 16));
    uint8_t big[65] = {};
    EXPECT_EQ(SC_E_BAD_PARAMS, ctx.SetKey(0, big, sizeof big));
    EXPECT_EQ(nullptr, ctx.GetKey(-1, &len));

    const uint8_t ssc[2] = {0x00, 0xFF};
    ASSERT_EQ(SC_OK, ctx.SetSequenceCounter(ssc, 2));
    EXPECT_TRUE(ctx.IncrementSequenceCounter());
    const uint8_t* p = ctx.GetSequenceCounter(&len);
    ASSERT_EQ(2u, len);
    EXPECT_EQ(0x01, p[0]);
    EXPECT_EQ(0x00, p[1]);

    EXPECT_EQ(nullptr, ctx.GetKeySet());
    SCSmKeySet ks;
    ks.group = 14;
    ks.keys[0] = {1, 2};
    ctx.SetKeySet(ks);
    ASSERT_NE(nullptr, ctx.GetKeySet());
    EXPECT_EQ(14, ctx.GetKeySet()->group);
    const uint8_t top[2] = {0xFF, 0xFF};
    ASSERT_EQ(SC_OK, ctx.SetSequenceCounter(top, 2));
    EXPECT_FALSE(ctx.IncrementSequenceCounter());  // a counter never wraps to an old value
    EXPECT_EQ(0xFF, ctx.GetSequenceCounter(&len)[1]);
    ctx.Reset();
    EXPECT_EQ(nullptr, ctx.GetKeySet());
    EXPECT_EQ(nullptr, ctx.GetSequenceCounter(&len));
    EXPECT_FALSE(ctx.HasKeys());  // every key is wiped
    EXPECT_EQ(nullptr, ctx.GetKey(0, &len));
}

TEST(CardResults, MissingFileTextSaysTheFolderOrFileDoesNotExist) {
    EXPECT_EQ("Katalog lub plik, do którego chcieliśmy przejść, nie istnieje", Text(SC_E_FILE_NOT_FOUND));
    EXPECT_EQ(Text(SC_E_FILE_NOT_FOUND), Text(scResultFromStatus(0x6A82)));
}
