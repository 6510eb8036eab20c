// The object-identifier tables checked against what OpenSSL makes of each
// identifier: a table file beside the test lists index, accessor name, dotted
// text and the DER that `openssl asn1parse -genstr OID:<text>` produced.
#pragma once

#include <gtest/gtest.h>
#include <openssl/crypto.h>
#include <openssl/objects.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "lib/libasn/asnobjid.h"
#include "tests/lib/libasn/asn_test_util.h"

namespace asntest {

struct OidRow {
    int index;
    std::string name, text, der;
};

// The rows of a table file in the test's data folder.
inline std::vector<OidRow> LoadOidTable(const char* file) {
    std::vector<OidRow> rows;
    for (const testsupport::DataLine& l : testsupport::ReadDataLines(testsupport::DataFile(file))) {
        if (l.fields.size() != 4) throw std::runtime_error(std::string(file) + " line " + std::to_string(l.number));
        rows.push_back({std::stoi(l.fields[0]), l.fields[1], l.fields[2], l.fields[3]});
    }
    return rows;
}

// A constant against its row and against OpenSSL at run time: encoding, dotted
// text both ways.
inline void ExpectOidMatchesRow(const ASNobjectId& o, const OidRow& r) {
    EXPECT_EQ(o.tag, 0x06);
    EXPECT_EQ(Encode(o), N(r.der)) << r.name;
    EXPECT_EQ(o.toString(), r.text) << r.name;
    ASN1_OBJECT* obj = OBJ_txt2obj(r.text.c_str(), 1);
    ASSERT_NE(obj, nullptr) << r.text;
    unsigned char* der = nullptr;
    int n = i2d_ASN1_OBJECT(obj, &der);
    ASSERT_GT(n, 0);
    EXPECT_EQ(Hex(std::vector<uint8_t>(der, der + n)), Encode(o)) << r.name;
    OPENSSL_free(der);
    char back[128];
    ASSERT_GT(OBJ_obj2txt(back, sizeof back, obj, 1), 0);
    EXPECT_EQ(std::string(back), r.text);
    ASN1_OBJECT_free(obj);
}

}  // namespace asntest
