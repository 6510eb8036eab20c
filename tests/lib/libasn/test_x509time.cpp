// X.509 times and validity: parsing and printing both forms, the two-digit-year
// window, leap years, fractions and offsets compared strictly and loosely, time_t
// conversions (around 2038 and across centuries, against the C library and OpenSSL),
// local time under a TZ with summer time, and validity periods that OpenSSL wrote.
// The test program runs with TZ=CET-1CEST,M3.5.0,M10.5.0/3 (a POSIX rule, no zone
// database needed).
#include <gtest/gtest.h>

#include <openssl/asn1.h>
#include <openssl/sha.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "lib/libasn/asnany.h"
#include "lib/libasn/asnseql.h"
#include "lib/libasn/x509time.h"
#include "tests/lib/libasn/asn_test_util.h"

using namespace asntest;

namespace {

std::string Text(const X509time& t) {
    char buf[80];
    int n = t.encode(buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "ERR";
}

X509time Utc(const char* text) {
    X509time t(TAG_UTCT_TIME);
    EXPECT_GT(t.parseUtcTime(text, -1), 0) << text;
    return t;
}

X509time Gen(const char* text) {
    X509time t(TAG_GENERAL_TIME);
    EXPECT_GT(t.parseGeneralizedTime(text, -1), 0) << text;
    return t;
}

int64_t CLibTimegm(int y, int m, int d, int h, int mi, int s) {
    struct tm t;
    std::memset(&t, 0, sizeof t);
    t.tm_year = y - 1900;
    t.tm_mon = m - 1;
    t.tm_mday = d;
    t.tm_hour = h;
    t.tm_min = mi;
    t.tm_sec = s;
    return static_cast<int64_t>(timegm(&t));
}

}  // namespace

TEST(X509Time, RunsUnderTheTestTimeZone) {
    const char* tz = std::getenv("TZ");
    ASSERT_NE(tz, nullptr);
    EXPECT_STREQ(tz, "CET-1CEST,M3.5.0,M10.5.0/3");
}

TEST(X509Time, TwoDigitYearsPivotAt1950) {
    X509time a = Utc("491231235959Z");
    EXPECT_EQ(a.year, 2049);
    EXPECT_EQ(a.month, 12);
    EXPECT_EQ(a.day, 31);
    EXPECT_EQ(a.hour, 23);
    EXPECT_EQ(a.minute, 59);
    EXPECT_EQ(a.second, 59);
    X509time b = Utc("500101000000Z");
    EXPECT_EQ(b.year, 1950);
    EXPECT_LT(X509time::compare(b, a, true), 0);
    EXPECT_EQ(X509time::expandTwoDigitYear(0), 2000);
    EXPECT_EQ(X509time::expandTwoDigitYear(49), 2049);
    EXPECT_EQ(X509time::expandTwoDigitYear(50), 1950);
    EXPECT_EQ(X509time::expandTwoDigitYear(99), 1999);
    EXPECT_EQ(X509time::expandTwoDigitYear(100), 100);
    // Setting a year outside the window switches to GeneralizedTime.
    X509time c;
    c.set(2050, 1, 1, 0, 0, 0, 0, true);
    EXPECT_EQ(c.getType(), 1);
    EXPECT_EQ(Text(c), "20500101000000Z");
    c.set(49, 6, 1, 0, 0, 0, 0, true);
    EXPECT_EQ(c.year, 2049);
}

TEST(X509Time, UtcTimeWithoutSecondsRoundTripsAndComparesLoosely) {
    X509time a = Utc("9912312359Z");
    EXPECT_EQ(a.hasSeconds, 0);
    EXPECT_EQ(Text(a), "9912312359Z");
    X509time b = Utc("991231235900Z");
    EXPECT_EQ(X509time::compare(a, b, false), 0);
    X509time c = Utc("991231235930Z");
    EXPECT_EQ(X509time::compare(a, c, false), 0);  // no seconds on one side: to the minute
    EXPECT_LT(X509time::compare(b, c, false), 0);  // both with seconds: the seconds count
    EXPECT_LT(X509time::compare(a, c, true), 0);
}

TEST(X509Time, UtcTimeTextsThatAreRefused) {
    X509time t;
    for (const char* bad : {"", "9912312359", "99123123590Z", "991231235960Z", "991301000000Z", "991232000000Z",
                            "990229000000Z", "992400000000Z", "991231236000Z", "991231235959z", "991231235959Z0",
                            "991231235959+01", "991231235959+2400", "991231235959+0160", "991231235959+01000",
                            "99123123595AZ", "9912312359591Z", " 91231235959Z"})
        EXPECT_EQ(t.parseUtcTime(bad, -1), 0) << bad;
    // A failed parse leaves the value as it was.
    ASSERT_GT(t.parseUtcTime("200101000000Z", -1), 0);
    EXPECT_EQ(t.parseUtcTime("201301000000Z", -1), 0);
    EXPECT_EQ(Text(t), "200101000000Z");
}

TEST(X509Time, LeapYears) {
    X509time t(TAG_GENERAL_TIME);
    EXPECT_EQ(t.parseGeneralizedTime("20150229000000Z", -1), 0);
    EXPECT_GT(t.parseGeneralizedTime("20160229000000Z", -1), 0);
    EXPECT_GT(t.parseGeneralizedTime("20000229000000Z", -1), 0);
    EXPECT_EQ(t.parseGeneralizedTime("21000229000000Z", -1), 0);
    EXPECT_EQ(t.parseGeneralizedTime("19000229000000Z", -1), 0);
    EXPECT_GT(t.parseGeneralizedTime("24000229000000Z", -1), 0);
    EXPECT_GT(t.parseUtcTime("000229000000Z", -1), 0);   // 2000
    EXPECT_EQ(t.parseUtcTime("990229000000Z", -1), 0);   // 1999
    EXPECT_TRUE(X509time::isLeapYear(2016));
    EXPECT_TRUE(X509time::isLeapYear(2000));
    EXPECT_FALSE(X509time::isLeapYear(2100));
    EXPECT_EQ(X509time::daysInMonth(2100, 2), 28);
    EXPECT_EQ(X509time::daysInMonth(2016, 2), 29);
    // Crossing February 29th by days.
    X509time d = Gen("20160228120000Z");
    d.addDays(1);
    EXPECT_EQ(Text(d), "20160229120000Z");
    d.addDays(1);
    EXPECT_EQ(Text(d), "20160301120000Z");
    d.addDays(-366);
    EXPECT_EQ(Text(d), "20150301120000Z");
}

TEST(X509Time, FractionsAndOffsetsCompareStrictly) {
    X509time a = Gen("20150101120000.500+0130");
    EXPECT_EQ(a.fraction, 500u);
    EXPECT_EQ(a.fractionDigits, 3);
    EXPECT_EQ(a.hasFraction, 1);
    EXPECT_EQ(a.offsetHours, 1);
    EXPECT_EQ(a.offsetMinutes, 30);
    EXPECT_EQ(Text(a), "20150101120000.500+0130");
    X509time b = Gen("20150101103000.5Z");
    EXPECT_TRUE(a == b);
    EXPECT_EQ(X509time::compare(a, b, true), 0);
    X509time c = Gen("20150101103000.51Z");
    EXPECT_LT(X509time::compare(b, c, true), 0);
    EXPECT_EQ(X509time::compare(b, c, false), 0);  // loose: GeneralizedTime to the minute
    X509time d = Gen("20150101103001Z");
    EXPECT_LT(X509time::compare(c, d, true), 0);
    EXPECT_GT(X509time::compare(d, c, true), 0);
    // A comma is a decimal sign as well; the text is written with a point.
    X509time e = Gen("20150101103000,5Z");
    EXPECT_TRUE(e == b);
    EXPECT_EQ(Text(e), "20150101103000.5Z");
}

TEST(X509Time, FractionDigitLimit) {
    X509time t(TAG_GENERAL_TIME);
    EXPECT_GT(t.parseGeneralizedTime("20150101000000.1234567890Z", -1), 0);
    EXPECT_EQ(t.fraction, 1234567890u);
    EXPECT_EQ(t.fractionDigits, 10);
    EXPECT_EQ(t.isValid(true), 1);
    EXPECT_EQ(t.parseGeneralizedTime("20150101000000.12345678901Z", -1), 0);
    // Ten nines are stored exactly, and are above what a valid fraction may be.
    EXPECT_GT(t.parseGeneralizedTime("20150101000000.9999999999Z", -1), 0);
    EXPECT_EQ(t.fraction, 9999999999ull);
    EXPECT_EQ(t.isValid(false), 0);
    EXPECT_EQ(t.parseGeneralizedTime("20150101000000.Z", -1), 0);
    EXPECT_EQ(t.parseGeneralizedTime("20150101000000.", -1), 0);
}

TEST(X509Time, GeneralizedTimeForms) {
    X509time t(TAG_GENERAL_TIME);
    EXPECT_GT(t.parseGeneralizedTime("20150101000000", -1), 0);  // local time
    EXPECT_EQ(t.isUtc, 0);
    EXPECT_EQ(t.hasOffset, 0);
    EXPECT_EQ(Text(t), "20150101000000");
    for (const char* bad : {"201501010000Z", "2015010100000AZ", "20150101000000X", "20150101000000+01",
                            "20151301000000Z", "20150100000000Z", "20150101240000Z", "20150101006000Z"})
        EXPECT_EQ(t.parseGeneralizedTime(bad, -1), 0) << bad;
    // Seconds 60..99 are kept as digits and left to the validity check.
    EXPECT_GT(t.parseGeneralizedTime("20150101000060Z", -1), 0);
    EXPECT_EQ(t.isValid(false), 0);
}

TEST(X509Time, NegativeOffsetsKeepTheirSign) {
    X509time a = Utc("150101120000-0130");
    EXPECT_EQ(a.offsetHours, -1);
    EXPECT_EQ(a.offsetMinutes, -30);
    EXPECT_EQ(Text(a), "150101120000-0130");
    EXPECT_EQ(a.getUtcOffset(), -5400);
    X509time u(a);
    u.toUtc();
    EXPECT_EQ(Text(u), "150101133000Z");
    X509time z = Utc("150101000000-0030");
    EXPECT_EQ(z.offsetHours, 0);
    EXPECT_EQ(z.offsetMinutes, -30);
    EXPECT_EQ(Text(z), "150101000000-0030");
    X509time m;
    m.setWithOffset(2015, 1, 1, 0, 0, 0, 0, -30);
    EXPECT_TRUE(m == z);
}

TEST(X509Time, ValidityChecksOfFields) {
    X509time t;
    t.set(2015, 1, 1, 0, 0, 0, 0, true);
    EXPECT_EQ(t.isValid(true), 1);
    t.offsetHours = 15;
    t.hasOffset = 1;
    t.isUtc = 0;
    EXPECT_EQ(t.isValid(false), 0);
    t.offsetHours = 1;
    t.offsetMinutes = -30;  // opposite signs
    EXPECT_EQ(t.isValid(false), 0);
    t.offsetMinutes = 30;
    EXPECT_EQ(t.isValid(false), 1);
    X509time u;
    u.setWithOffset(2015, 1, 1, 0, 0, 0, -12, 0);
    EXPECT_EQ(u.isValid(false), 1);
    X509time old(TAG_UTCT_TIME);
    old.year = 1949;
    old.month = old.day = 1;
    EXPECT_EQ(old.isValid(false), 1);
    EXPECT_EQ(old.isValid(true), 0);  // UTCTime cannot hold 1949
    X509time big(TAG_GENERAL_TIME);
    big.year = 10000;
    big.month = big.day = 1;
    EXPECT_EQ(big.isValid(false), 1);
    EXPECT_EQ(big.isValid(true), 0);
}

TEST(X509Time, DerDecodingTakesEitherFormAndRefusesMalformed) {
    X509time t;  // UTCTime by default, accepts both universal forms
    EXPECT_EQ(t.readVector(Tlv(0x17, "491231235959Z")), 15);
    EXPECT_EQ(t.getType(), 0);
    EXPECT_EQ(Encode(t), Hex(Tlv(0x17, "491231235959Z")));
    EXPECT_EQ(t.readVector(Tlv(0x18, "20500101000000Z")), 17);
    EXPECT_EQ(t.getType(), 1);
    EXPECT_EQ(Encode(t), Hex(Tlv(0x18, "20500101000000Z")));
    EXPECT_EQ(t.readVector(Tlv(0x17, "20500101000000Z")), 0);  // GeneralizedTime text in a UTCTime
    EXPECT_EQ(t.readVector(Tlv(0x13, "491231235959Z")), 0);    // PrintableString
    EXPECT_EQ(t.readVector(Tlv(0x80, "491231235959Z")), 0);    // a class tag for a universal time
    std::vector<uint8_t> constructed = {0x37, 0x0F};
    std::vector<uint8_t> inner = Tlv(0x17, "491231235959Z");
    constructed.insert(constructed.end(), inner.begin(), inner.end());
    EXPECT_EQ(t.readVector(constructed), 0);  // a constructed time

    // 129 contents octets are malformed without being looked at.
    std::vector<uint8_t> big = {0x18, 0x81, 0x81};
    big.resize(3 + 129, '0');
    EXPECT_EQ(t.readVector(big), 0);
    // A short stream is a stream failure of the contents read.
    X509time s;
    std::vector<uint8_t> cut = Tlv(0x17, "491231235959Z");
    EXPECT_EQ(s.readBuffer(cut.data(), 10), 0);

    // An implicitly tagged time accepts only its own tag.
    X509time imp(0x80);
    imp.setType(1);
    EXPECT_EQ(imp.readVector(Tlv(0x80, "20500101000000Z")), 17);
    EXPECT_EQ(Encode(imp), Hex(Tlv(0x80, "20500101000000Z")));
    EXPECT_EQ(imp.readVector(Tlv(0x81, "20500101000000Z")), 0);
    EXPECT_EQ(imp.readVector(Tlv(0x18, "20500101000000Z")), 0);
}

TEST(X509Time, ValidityWithMixedFormsReencodesEachMemberInItsForm) {
    std::vector<uint8_t> nb = Tlv(0x17, "261207061113Z"), na = Tlv(0x18, "20680101061113Z");
    std::vector<uint8_t> in = {0x30, static_cast<uint8_t>(nb.size() + na.size())};
    in.insert(in.end(), nb.begin(), nb.end());
    in.insert(in.end(), na.begin(), na.end());
    Validity v;
    ASSERT_EQ(v.readVector(in), static_cast<long>(in.size()));
    EXPECT_EQ(v.notBefore.getType(), 0);
    EXPECT_EQ(v.notAfter.getType(), 1);
    EXPECT_EQ(Encode(v), Hex(in));
    Validity c(v);
    EXPECT_TRUE(c == v);
    Validity g(0, TAG_GENERAL_TIME);
    EXPECT_EQ(g.notBefore.getType(), 1);
    ASSERT_EQ(g.readVector(in), static_cast<long>(in.size()));  // either form still accepted
    EXPECT_EQ(Encode(g), Hex(in));
    EXPECT_EQ(Encode(c), Hex(in));
    // Octets left over, or a member missing, make it malformed.
    std::vector<uint8_t> extra = in;
    extra[1]++;
    extra.push_back(0);
    EXPECT_EQ(v.readVector(extra), 0);
    std::vector<uint8_t> one = {0x30, static_cast<uint8_t>(nb.size())};
    one.insert(one.end(), nb.begin(), nb.end());
    EXPECT_EQ(v.readVector(one), 0);
}

TEST(X509Time, ValidityPeriodsWrittenByOpenSsl) {
    int seen = 0;
    for (const testsupport::DataLine& row : testsupport::ReadDataLines(testsupport::DataFile("validity_certs.txt"))) {
        ASSERT_EQ(row.fields.size(), 5u) << "line " << row.number;
        const std::string &file = row.fields[0], &nbText = row.fields[1], &naText = row.fields[2];
        const int64_t nbT = std::stoll(row.fields[3]), naT = std::stoll(row.fields[4]);
        std::vector<uint8_t> der = testsupport::ReadDataFile(file);
        ASSERT_FALSE(der.empty()) << file;
        // Certificate ::= SEQUENCE { tbs, alg, sig }; tbs ::= SEQUENCE { [0] version,
        // serial, signature, issuer, validity, ... }.
        ASNsequenceList<ASNany> cert;
        ASSERT_EQ(cert.readVector(der), static_cast<long>(der.size()));
        ASNsequenceList<ASNany> tbs;
        ASSERT_EQ(tbs.assign(*cert.getAt(0)), 1);
        ASNany* validityAny = tbs.getAt(4);
        ASSERT_NE(validityAny, nullptr);
        Validity v;
        ASSERT_EQ(v.assign(*validityAny), 1);
        EXPECT_EQ(Text(v.notBefore), nbText);
        EXPECT_EQ(Text(v.notAfter), naText);
        EXPECT_EQ(v.notBefore.getType(), nbText.size() == 13 ? 0 : 1);
        EXPECT_EQ(v.notAfter.getType(), naText.size() == 13 ? 0 : 1);
        EXPECT_EQ(v.notBefore.toTimeT(), nbT);
        EXPECT_EQ(v.notAfter.toTimeT(), naT);
        EXPECT_EQ(Encode(v), Encode(*validityAny));  // re-encodes to the octets received
        EXPECT_LT(v.notBefore.compareWithTimeT(static_cast<time_t>(nbT + 60)), 0);
        EXPECT_GT(v.notAfter.compareWithTimeT(static_cast<time_t>(naT - 60)), 0);
        seen++;
    }
    EXPECT_EQ(seen, 2);
}

TEST(X509Time, TimeTAround2038) {
    struct Case {
        int64_t t;
        const char* text;
    } cases[] = {
        {2147483647LL, "380119031407Z"},
        {2147483648LL, "380119031408Z"},
        {4294967295LL, "21060207062815Z"},
        {0, "700101000000Z"},
        {-1, "691231235959Z"},
        {-631152000LL, "500101000000Z"},
        {-631152001LL, "19491231235959Z"},
        {2524608000LL, "20500101000000Z"},
        {2524607999LL, "491231235959Z"},
    };
    for (const Case& c : cases) {
        X509time t;
        t.setFromTimeT(static_cast<time_t>(c.t), true);
        EXPECT_EQ(Text(t), c.text) << c.t;
        EXPECT_EQ(t.toTimeT(), c.t) << c.text;
        EXPECT_EQ(t.compareWithTimeT(static_cast<time_t>(c.t)), 0);
        int64_t direct = -5;
        if (c.t >= 0) {
            EXPECT_EQ(t.toTimeTDirect(&direct, false), 1) << c.text;
            EXPECT_EQ(direct, c.t);
        } else {
            EXPECT_EQ(t.toTimeTDirect(&direct, false), 0) << c.text;
        }
    }
    X509time u;
    u.setFromUnsignedTimeT(static_cast<time_t>(4102444800LL));
    EXPECT_EQ(Text(u), "21000101000000Z");
}

TEST(X509Time, CivilConversionsAgreeWithTheCLibrary) {
    std::mt19937_64 rng(2038);
    std::uniform_int_distribution<int64_t> dist(-4000000000LL, 8000000000LL);
    for (int i = 0; i < 20000; i++) {
        int64_t t = i < 10 ? 2147483640LL + i : dist(rng);
        time_t tt = static_cast<time_t>(t);
        struct tm g;
        ASSERT_NE(gmtime_r(&tt, &g), nullptr);
        int y, m, d, wd, yd;
        long sod = X509time::timeTToCivil(t, &y, &m, &d, &wd, &yd);
        ASSERT_EQ(y, g.tm_year + 1900) << t;
        ASSERT_EQ(m, g.tm_mon + 1) << t;
        ASSERT_EQ(d, g.tm_mday) << t;
        ASSERT_EQ(wd, g.tm_wday) << t;
        ASSERT_EQ(yd, g.tm_yday) << t;
        ASSERT_EQ(sod, g.tm_hour * 3600L + g.tm_min * 60L + g.tm_sec) << t;
        ASSERT_EQ(X509time::daysFromCivil(y, m, d) * 86400 + sod, t);
        ASSERT_EQ(CLibTimegm(y, m, d, g.tm_hour, g.tm_min, g.tm_sec), t);
    }
}

TEST(X509Time, EncodingsMatchOpenSslAsn1Time) {
    std::mt19937_64 rng(7);
    std::uniform_int_distribution<int64_t> dist(-2208988800LL, 7258118400LL);  // 1900 .. 2200
    for (int i = 0; i < 3000; i++) {
        int64_t t = dist(rng);
        ASN1_TIME* ot = ASN1_TIME_set(nullptr, static_cast<time_t>(t));
        ASSERT_NE(ot, nullptr);
        unsigned char* der = nullptr;
        int n = i2d_ASN1_TIME(ot, &der);
        ASSERT_GT(n, 0);
        std::vector<uint8_t> want(der, der + n);
        OPENSSL_free(der);
        ASN1_TIME_free(ot);

        X509time mine;
        mine.setFromTimeT(static_cast<time_t>(t), true);
        ASSERT_EQ(Encode(mine), Hex(want)) << t;
        X509time back;
        ASSERT_EQ(back.readVector(want), n);
        ASSERT_EQ(back.toTimeT(), t);
    }
}

TEST(X509Time, OffsetTextsAgreeWithOpenSsl) {
    std::mt19937 rng(99);
    for (int i = 0; i < 2000; i++) {
        int y = 1950 + static_cast<int>(rng() % 200), mo = 1 + static_cast<int>(rng() % 12);
        int d = 1 + static_cast<int>(rng() % static_cast<unsigned>(X509time::daysInMonth(y, mo)));
        int h = static_cast<int>(rng() % 24), mi = static_cast<int>(rng() % 60), s = static_cast<int>(rng() % 60);
        int oh = static_cast<int>(rng() % 13), om = static_cast<int>(rng() % 60);
        char sign = (rng() & 1) ? '+' : '-';
        char text[40];
        std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d%c%02d%02d", y, mo, d, h, mi, s, sign, oh, om);
        X509time mine(TAG_GENERAL_TIME);
        ASSERT_GT(mine.parseGeneralizedTime(text, -1), 0) << text;

        ASN1_GENERALIZEDTIME* g = ASN1_GENERALIZEDTIME_new();
        ASSERT_EQ(ASN1_STRING_set(g, text, static_cast<int>(std::strlen(text))), 1);
        struct tm otm;
        ASSERT_EQ(ASN1_TIME_to_tm(g, &otm), 1) << text;
        ASN1_GENERALIZEDTIME_free(g);
        int64_t want = CLibTimegm(otm.tm_year + 1900, otm.tm_mon + 1, otm.tm_mday, otm.tm_hour, otm.tm_min,
                                  otm.tm_sec);
        ASSERT_EQ(mine.toTimeT(), want) << text;
    }
}

TEST(X509Time, LocalTimesFollowTheZoneRules) {
    // Winter: CET is UTC+1; summer: CEST is UTC+2.
    X509time w;
    w.set(2015, 1, 15, 12, 0, 0, 0, false);
    EXPECT_EQ(w.hasOffset, 1);
    EXPECT_EQ(Text(w), "150115120000+0100");
    X509time s;
    s.set(2015, 7, 15, 12, 0, 0, 0, false);
    EXPECT_EQ(Text(s), "150715120000+0200");
    EXPECT_EQ(s.toTimeT(), CLibTimegm(2015, 7, 15, 10, 0, 0));

    // From time_t into local time, against localtime_r.
    for (int64_t t : {1421323200LL, 1437955200LL, 1445734799LL, 1445734800LL, 2147483647LL}) {
        X509time l;
        l.setFromTimeT(static_cast<time_t>(t), false);
        time_t tt = static_cast<time_t>(t);
        struct tm lt;
        ASSERT_NE(localtime_r(&tt, &lt), nullptr);
        EXPECT_EQ(l.year, lt.tm_year + 1900);
        EXPECT_EQ(l.hour, lt.tm_hour) << t;
        EXPECT_EQ(l.getUtcOffset(), lt.tm_gmtoff) << t;
        EXPECT_EQ(l.toTimeT(), t);
        EXPECT_EQ(l.compareWithTimeT(tt), 0);
    }

    // A local GeneralizedTime (no zone) is read in the local zone.
    X509time loc = Gen("20150715120000");
    EXPECT_EQ(loc.getUtcOffset(), 7200);
    EXPECT_TRUE(loc == Gen("20150715100000Z"));
    X509time u = Gen("20150715100000Z");
    u.toLocal();
    EXPECT_EQ(Text(u), "20150715120000+0200");
    EXPECT_EQ(X509time::localOffsetAt(1421323200LL), 3600);
}

TEST(X509Time, OffsetChangesKeepTheInstant) {
    X509time t = Gen("20151231233000Z");
    t.setUtcOffset(3600);
    EXPECT_EQ(Text(t), "20160101003000+0100");
    t.setUtcOffset(-5 * 3600 - 30 * 60);
    EXPECT_EQ(Text(t), "20151231180000-0530");
    t.toUtc();
    EXPECT_EQ(Text(t), "20151231233000Z");
}

TEST(X509Time, NormalisingCarriesBothWays) {
    int y = 2015, m = 13, d = 1;
    long sod = -1;
    EXPECT_EQ(X509time::normalizeCivil(&y, &m, &d, &sod), 12);
    EXPECT_EQ(y, 2015);
    EXPECT_EQ(d, 31);
    EXPECT_EQ(sod, 86399);
    y = 2016, m = 0, d = 0, sod = 86400 * 2;
    X509time::normalizeCivil(&y, &m, &d, &sod);
    EXPECT_EQ(y, 2015);
    EXPECT_EQ(m, 12);
    EXPECT_EQ(d, 2);  // day 0 of December is November 30th; two days on
    EXPECT_EQ(sod, 0);
}

TEST(X509Time, SettersAndConversions) {
    X509time t;
    t.set(2015, 6, 1, 8, 9, 10, 500, true);
    EXPECT_EQ(t.fractionDigits, 3);
    t.setType(1);
    EXPECT_EQ(Text(t), "20150601080910.500Z");
    X509time p(TAG_GENERAL_TIME);
    ASSERT_GT(p.parseGeneralizedTime("20150601080910.500Z", -1), 0);
    EXPECT_TRUE(p == t);  // the text reads back as the same time

    struct tm tmv;
    t.toTm(&tmv, false);
    EXPECT_EQ(tmv.tm_year, 115);
    EXPECT_EQ(tmv.tm_mon, 5);
    EXPECT_EQ(tmv.tm_mday, 1);
    EXPECT_EQ(tmv.tm_wday, 1);  // a Monday
    X509time f;
    f.setFromTm(&tmv, true);
    EXPECT_EQ(f.compareWith(2015, 6, 1, 8, 9, 10, true), 0);
    EXPECT_LT(f.compareWith(2015, 6, 1, 8, 10, 0, true), 0);
    EXPECT_EQ(f.compareWithTm(&tmv, true), 0);

    int64_t ft;
    EXPECT_EQ(X509time::fileTimeToTimeT(116444736000000000ULL + 10000000ULL * 86400, &ft), 1);
    EXPECT_EQ(ft, 86400);
    EXPECT_EQ(X509time::fileTimeToTimeT(116444735999999999ULL, &ft), 0);
    X509SystemTime st;
    EXPECT_EQ(X509time::fieldsToSystemTime(2015, 6, 1, 8 * 3600 + 9 * 60 + 10, &st), 1);
    EXPECT_EQ(st.wHour, 8);
    EXPECT_EQ(st.wSecond, 10);
    int y, m, d;
    long sod;
    EXPECT_EQ(X509time::systemTimeToFields(st, &y, &m, &d, &sod), 1);
    EXPECT_EQ(sod, 8 * 3600 + 9 * 60 + 10);
    EXPECT_EQ(X509time::fieldsToSystemTime(1600, 1, 1, 0, &st), 0);

    EXPECT_EQ(X509time::classifyText("491231235959Z", -1), 0);
    EXPECT_EQ(X509time::classifyText("20491231235959Z", -1), 1);
    EXPECT_EQ(X509time::classifyText("hello", -1), -1);
    int form = -1;
    X509time q;
    EXPECT_EQ(q.parse("20491231235959Z", -1, &form), 15);
    EXPECT_EQ(form, 1);
    form = 0;
    EXPECT_EQ(q.parse("20491231235959Z", -1, &form), 0);
    EXPECT_EQ(form, -1);
}

TEST(X509Time, EncodeBufferProtocolAndInvalidForm) {
    X509time t = Utc("491231235959Z");
    EXPECT_EQ(t.encode(nullptr, 0), 13);
    char small[5];
    EXPECT_EQ(t.encode(small, 5), -13);
    EXPECT_EQ(t.lenOfObject(), 15);
    X509time bad;
    bad.timeType = 5;
    bad.tag = TAG_ANY;
    EXPECT_THROW(bad.encode(nullptr, 0), VtestException);
}

TEST(X509Time, DigestIsTheHashOfTheEncoding) {
    std::vector<uint8_t> nb = Tlv(0x17, "261207061113Z"), na = Tlv(0x18, "20680101061113Z");
    std::vector<uint8_t> in = {0x30, static_cast<uint8_t>(nb.size() + na.size())};
    in.insert(in.end(), nb.begin(), nb.end());
    in.insert(in.end(), na.begin(), na.end());
    Validity v;
    ASSERT_EQ(v.readVector(in), static_cast<long>(in.size()));
    uint8_t got[32], want[32];
    SHA256(in.data(), in.size(), want);
    ASSERT_EQ(v.digest(3, got, 32), 1);
    EXPECT_EQ(Hex(got, 32), Hex(want, 32));
    SHA256(na.data(), na.size(), want);
    ASSERT_EQ(v.notAfter.digest(3, got, 32), 1);
    EXPECT_EQ(Hex(got, 32), Hex(want, 32));
}

TEST(X509Time, ConstructingWithAForeignUniversalTagIsAnInvariantFailure) {
    EXPECT_THROW(X509time(0x02), VtestException);
    X509time imp(0xA3);
    EXPECT_EQ(imp.getType(), 0);
    X509time any(TAG_ANY);
    EXPECT_EQ(any.getType(), 0);
}

TEST(X509Time, ConversionsFromManyThreadsAgree) {
    std::vector<int64_t> ts;
    for (int i = 0; i < 400; i++) ts.push_back(1400000000LL + i * 86400LL * 3 + i * 37);
    std::vector<std::string> want;
    for (int64_t t : ts) {
        X509time x;
        x.setFromTimeT(static_cast<time_t>(t), false);
        want.push_back(Text(x));
    }
    std::vector<std::thread> threads;
    std::vector<int> bad(8, 0);
    for (int k = 0; k < 8; k++)
        threads.emplace_back([&, k] {
            for (int rep = 0; rep < 5; rep++)
                for (size_t i = 0; i < ts.size(); i++) {
                    X509time x;
                    x.setFromTimeT(static_cast<time_t>(ts[i]), false);
                    if (Text(x) != want[i] || x.toTimeT() != ts[i]) bad[static_cast<size_t>(k)]++;
                }
        });
    for (auto& th : threads) th.join();
    for (int b : bad) EXPECT_EQ(b, 0);
}
