// Certificates made by the openssl command (RSA 2048, EC P-256, DSA; versions 1 and
// 3; DER and PEM), compared field by field with OpenSSL's own view; signature
// verification; hand-made TBSCertificates for the version rules; hostile input.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/sha.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "asn_test_util.h"
#include "lib/libasn/asnoidconst.h"
#include "lib/libasn/x509/sgncert.h"
#include "libtorvapp/qvrbg.h"
#include "support/memfile.h"
#include "keys/rsaprkey.h"
#include "keys/dsaprkey.h"
#include "keys/ecprvkey.h"

using namespace asntest;

namespace {

// A private directory with the certificates of one test process.
class CertDir {
public:
    CertDir() {
        char tmpl[] = "/tmp/x509test.XXXXXX";
        char* d = mkdtemp(tmpl);
        if (d != nullptr) path = d;
    }
    ~CertDir() {
        if (!path.empty()) {
            std::string cmd = "rm -rf '" + path + "'";
            if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "cannot remove %s\n", path.c_str());
        }
    }
    bool run(const std::string& cmds) const {
        std::string c = "cd '" + path + "' && (" + cmds + ") >/dev/null 2>&1";
        return std::system(c.c_str()) == 0;
    }
    std::vector<uint8_t> read(const std::string& name) const {
        std::ifstream f(path + "/" + name, std::ios::binary);
        return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    }
    std::string readText(const std::string& name) const {
        std::vector<uint8_t> v = read(name);
        return std::string(v.begin(), v.end());
    }
    std::string path;
};

const char kSubj[] = "/CN=Test CA/O=Firma/C=PL";

// Makes <name>.pem and <name>.der of one kind of certificate.
bool MakeCert(const CertDir& d, const std::string& kind) {
    std::string c;
    if (kind == "rsa") {
        c = std::string("openssl req -x509 -newkey rsa:2048 -nodes -keyout rsa.key -subj '") + kSubj +
            "' -days 30 -sha256 -addext 'basicConstraints=critical,CA:TRUE,pathlen:1' "
            "-addext 'keyUsage=critical,keyCertSign,cRLSign' -out rsa.pem";
    } else if (kind == "ec") {
        c = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout ec.key "
            "-subj '/CN=EC/O=Firma' -days 30 -sha256 -addext 'keyUsage=digitalSignature' -out ec.pem";
    } else if (kind == "dsa") {
        c = "openssl genpkey -genparam -algorithm DSA -pkeyopt dsa_paramgen_bits:1024 -out dsap.pem && "
            "openssl req -x509 -newkey dsa:dsap.pem -nodes -keyout dsa.key -subj '/CN=DSA' -days 30 -sha1 "
            "-out dsa.pem && openssl req -x509 -key dsa.key -subj '/CN=DSA2' -days 30 -sha256 -out dsa2.pem && "
            "openssl x509 -in dsa2.pem -outform DER -out dsa2.der";
    } else if (kind == "v1") {
        c = "openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out v1.key && "
            "openssl req -new -key v1.key -subj '/CN=v1/C=PL' -out v1.csr && "
            "openssl x509 -req -in v1.csr -signkey v1.key -days 3 -sha1 -out v1.pem";
    } else if (kind == "leaf") {
        if (!MakeCert(d, "rsa")) return false;
        c = "printf 'basicConstraints=CA:FALSE\\nkeyUsage=digitalSignature,keyEncipherment\\n"
            "subjectKeyIdentifier=hash\\n' > leaf.ext && "
            "openssl req -new -newkey rsa:2048 -nodes -keyout leaf.key -subj '/CN=Leaf/O=Firma' -out leaf.csr && "
            "openssl x509 -req -in leaf.csr -CA rsa.pem -CAkey rsa.key -CAcreateserial -days 3 -sha384 "
            "-extfile leaf.ext -out leaf.pem";
    } else {
        return false;
    }
    return d.run(c + " && openssl x509 -in " + kind + ".pem -outform DER -out " + kind + ".der");
}

template <class T>
std::vector<uint8_t> Der(int (*f)(T*, unsigned char**), T* p) {
    unsigned char* der = nullptr;
    int n = f(p, &der);
    std::vector<uint8_t> v(der, der + (n > 0 ? n : 0));
    OPENSSL_free(der);
    return v;
}

template <class T>
std::vector<uint8_t> DerC(int (*f)(const T*, unsigned char**), const T* p) {
    unsigned char* der = nullptr;
    int n = f(p, &der);
    std::vector<uint8_t> v(der, der + (n > 0 ? n : 0));
    OPENSSL_free(der);
    return v;
}

std::vector<uint8_t> Enc(const ASNobject& o) {
    std::vector<uint8_t> v;
    o.encodeToVector(v);
    return v;
}

// The TLV starting at off: header length and total length (short or long form).
bool TlvAt(const std::vector<uint8_t>& b, size_t off, size_t* hdr, size_t* total) {
    if (off + 2 > b.size()) return false;
    size_t len = b[off + 1];
    size_t h = 2;
    if (len & 0x80) {
        size_t n = len & 0x7F;
        len = 0;
        for (size_t i = 0; i < n; i++) len = (len << 8) | b[off + 2 + i];
        h += n;
    }
    *hdr = h;
    *total = h + len;
    return off + *total <= b.size();
}

std::vector<uint8_t> TbsBytes(const std::vector<uint8_t>& cert) {
    size_t h, t, h2, t2;
    if (!TlvAt(cert, 0, &h, &t) || !TlvAt(cert, h, &h2, &t2)) return {};
    return std::vector<uint8_t>(cert.begin() + static_cast<long>(h), cert.begin() + static_cast<long>(h + t2));
}

std::vector<uint8_t> Wrap(uint8_t tag, const std::vector<uint8_t>& contents) {
    std::vector<uint8_t> v{tag};
    size_t n = contents.size();
    if (n < 128) {
        v.push_back(static_cast<uint8_t>(n));
    } else if (n < 256) {
        v.push_back(0x81);
        v.push_back(static_cast<uint8_t>(n));
    } else if (n < 65536) {
        v.push_back(0x82);
        v.push_back(static_cast<uint8_t>(n >> 8));
        v.push_back(static_cast<uint8_t>(n));
    } else {
        v.push_back(0x83);
        v.push_back(static_cast<uint8_t>(n >> 16));
        v.push_back(static_cast<uint8_t>(n >> 8));
        v.push_back(static_cast<uint8_t>(n));
    }
    v.insert(v.end(), contents.begin(), contents.end());
    return v;
}

std::vector<uint8_t> Cat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> v;
    for (const auto& p : parts) v.insert(v.end(), p.begin(), p.end());
    return v;
}

// Every field of our decode against OpenSSL's decode of the same octets.
void CompareWithOpenSsl(const std::vector<uint8_t>& der, const SignedCertificate& c) {
    const unsigned char* p = der.data();
    X509* x = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
    ASSERT_NE(nullptr, x);
    const TBSCertificate& t = c.tbsCertificate;
    EXPECT_EQ(X509_get_version(x), t.getVersion());
    EXPECT_EQ(Hex(DerC(i2d_ASN1_INTEGER, X509_get0_serialNumber(x))), Hex(Enc(t.serialNumber)));
    EXPECT_EQ(Hex(DerC(i2d_X509_NAME, X509_get_issuer_name(x))), Hex(Enc(t.issuer)));
    EXPECT_EQ(Hex(DerC(i2d_X509_NAME, X509_get_subject_name(x))), Hex(Enc(t.subject)));
    EXPECT_EQ(Hex(DerC(i2d_X509_PUBKEY, X509_get_X509_PUBKEY(x))), Hex(Enc(t.subjectPublicKeyInfo)));
    EVP_PKEY* pk = X509_get0_pubkey(x);
    ASSERT_NE(nullptr, pk);
    EXPECT_EQ(static_cast<uint64_t>(EVP_PKEY_get_bits(pk)), t.getKeySizeBits());

    // Validity, field by field.
    struct tm nb, na;
    ASSERT_EQ(1, ASN1_TIME_to_tm(X509_get0_notBefore(x), &nb));
    ASSERT_EQ(1, ASN1_TIME_to_tm(X509_get0_notAfter(x), &na));
    EXPECT_EQ(nb.tm_year + 1900, t.validity.notBefore.year);
    EXPECT_EQ(nb.tm_mon + 1, t.validity.notBefore.month);
    EXPECT_EQ(nb.tm_mday, t.validity.notBefore.day);
    EXPECT_EQ(nb.tm_hour, t.validity.notBefore.hour);
    EXPECT_EQ(nb.tm_min, t.validity.notBefore.minute);
    EXPECT_EQ(nb.tm_sec, t.validity.notBefore.second);
    EXPECT_EQ(na.tm_year + 1900, t.validity.notAfter.year);
    EXPECT_EQ(na.tm_mday, t.validity.notAfter.day);
    time_t now = time(nullptr);
    EXPECT_EQ(0, t.checkValidityAt(now));
    EXPECT_EQ(-1, t.checkValidityAt(now - 86400));
    EXPECT_EQ(1, t.checkValidityAt(now + 86400 * 400));
    X509time later;
    later.setFromTimeT(now + 86400 * 400, true);
    EXPECT_EQ(1, t.checkValidity(later));

    // Signature algorithm and value.
    const ASN1_BIT_STRING* sig = nullptr;
    const X509_ALGOR* sa = nullptr;
    X509_get0_signature(&sig, &sa, x);
    EXPECT_EQ(Hex(DerC(i2d_X509_ALGOR, sa)), Hex(Enc(c.signatureAlgorithm)));
    uint32_t sl = 0;
    const uint8_t* so = c.signatureOctets(&sl);
    ASSERT_EQ(static_cast<uint32_t>(ASN1_STRING_length(sig)), sl);
    EXPECT_EQ(Hex(ASN1_STRING_get0_data(sig), sl), Hex(so, sl));
    EXPECT_EQ(OBJ_obj2nid(sa->algorithm), X509_get_signature_nid(x));

    // Extensions in order: OID, criticality, value.
    int n = X509_get_ext_count(x);
    EXPECT_EQ(static_cast<long>(n), static_cast<long>(t.extensions.value.GetCount()));
    for (int i = 0; i < n && i < static_cast<int>(t.extensions.value.GetCount()); i++) {
        X509_EXTENSION* e = X509_get_ext(x, i);
        const Extension* ours = t.extensions.value.getAt(i);
        char text[100];
        OBJ_obj2txt(text, sizeof text, X509_EXTENSION_get_object(e), 1);
        EXPECT_EQ(std::string(text), ours->extnID.toString());
        EXPECT_EQ(X509_EXTENSION_get_critical(e) != 0, ours->isCritical());
        ASN1_OCTET_STRING* v = X509_EXTENSION_get_data(e);
        EXPECT_EQ(Hex(ASN1_STRING_get0_data(v), ASN1_STRING_length(v)),
                  Hex(ours->extnValue.getData(), ours->extnValue.getLength()));
    }
    // basicConstraints and keyUsage as OpenSSL reads them.
    EXPECT_EQ((X509_get_extension_flags(x) & EXFLAG_CA) != 0, c.isCA());
    BasicConstraints bc;
    int bcr = t.extensions.value.getExtensionValue(algoid::basicConstraints(), &bc);
    if (X509_get_extension_flags(x) & EXFLAG_BCONS) {
        ASSERT_EQ(1, bcr);
        long pl = X509_get_pathlen(x);
        EXPECT_EQ(pl >= 0, bc.pathLenConstraintPresent != 0);
        if (pl >= 0) {
            EXPECT_EQ(pl, bc.pathLenConstraint.getLong());
        }
    } else {
        EXPECT_EQ(-1, bcr);
    }
    ASNbitstr ku;
    int kur = t.extensions.value.getExtensionValue(algoid::keyUsage(), &ku);
    if (X509_get_extension_flags(x) & EXFLAG_KUSAGE) {
        ASSERT_EQ(1, kur);
        uint32_t theirs = X509_get_key_usage(x);
        const uint8_t* kb = ku.getBits();
        ASSERT_NE(nullptr, kb);
        EXPECT_EQ(theirs & 0xFF, kb[0]);
    } else {
        EXPECT_EQ(-1, kur);
    }

    // The signed part: the octets received, hashed, equal OpenSSL's hash of them.
    std::vector<uint8_t> tbs = TbsBytes(der);
    ASSERT_FALSE(tbs.empty());
    EXPECT_EQ(Hex(tbs), Hex(t.receivedEncoding()));
    unsigned char want[32];
    SHA256(tbs.data(), tbs.size(), want);
    uint8_t got[32], got2[32];
    ASSERT_EQ(1, t.digestReceived(3, got, 32));
    ASSERT_EQ(1, t.digest(3, got2, 32));
    EXPECT_EQ(Hex(want, 32), Hex(got, 32));
    EXPECT_EQ(Hex(want, 32), Hex(got2, 32));
    EXPECT_EQ(Hex(Der(i2d_re_X509_tbs, x)), Hex(Enc(t)));

    // Re-encoding gives the input back.
    EXPECT_EQ(Hex(der), Hex(Enc(c)));
    X509_free(x);
}

long DecodeCert(SignedCertificate& c, const std::vector<uint8_t>& der) {
    return c.readBuffer(der.data(), static_cast<long>(der.size()));
}

class HookReset {
public:
    ~HookReset() { SignedCertificate::setReadHook(nullptr); }
};

}  // namespace

// ---------------------------------------------------------------------------
// Certificates made by openssl

TEST(SignedCertificate, Rsa2048CaVersion3MatchesOpenSslAndVerifiesItself) {
    CertDir d;
    ASSERT_TRUE(MakeCert(d, "rsa"));
    std::vector<uint8_t> der = d.read("rsa.der");
    SignedCertificate c;
    ASSERT_EQ(static_cast<long>(der.size()), DecodeCert(c, der));
    CompareWithOpenSsl(der, c);
    EXPECT_EQ(2, c.tbsCertificate.getVersion());
    EXPECT_TRUE(c.isCA());
    EXPECT_EQ(256u, c.tbsCertificate.getKeySize());
    // The label lists the RDNs from the last to the first.
    EXPECT_EQ("C=PL, O=Firma, CN=Test CA", c.tbsCertificate.subject.toString(DNF_LABEL));
    EXPECT_EQ(1, c.verifySelfSigned());
    EXPECT_EQ(1, c.verifyRsa(c.tbsCertificate.subjectPublicKeyInfo.rsaKey));
    // The subject key identifier is the SHA-1 of the key bits.
    const Extension* ski = c.tbsCertificate.extensions.value.findExtensionByText("2.5.29.14");
    ASSERT_NE(nullptr, ski);
    uint8_t id[20];
    ASSERT_EQ(1, c.tbsCertificate.subjectPublicKeyInfo.getKeyIdSha1(id));
    EXPECT_EQ("04 14 " + Hex(id, 20), Hex(ski->extnValue.getData(), ski->extnValue.getLength()));

    // A changed signature or a changed signed part no longer verifies.
    SignedCertificate bad;
    std::vector<uint8_t> t = der;
    t[t.size() - 7] ^= 0x01;
    ASSERT_GT(DecodeCert(bad, t), 0);
    EXPECT_EQ(-3, bad.verifySelfSigned());
    EXPECT_EQ(-1, bad.verifyRsa(c.tbsCertificate.subjectPublicKeyInfo.rsaKey));
    t = der;
    size_t h, tot;
    ASSERT_TRUE(TlvAt(t, 0, &h, &tot));
    // Inside the serial number: still well formed, but not what was signed.
    t[h + 4 + 7 + 3] ^= 0x01;
    ASSERT_GT(DecodeCert(bad, t), 0);
    EXPECT_EQ(-3, bad.verifyWithIssuer(c));
    // Copies compare equal; a different certificate does not.
    SignedCertificate copy(c);
    EXPECT_TRUE(copy == c);
    EXPECT_FALSE(bad == c);
    EXPECT_TRUE(copy.tbsCertificate == c.tbsCertificate);
    EXPECT_FALSE(bad.tbsCertificate == c.tbsCertificate);
}

TEST(SignedCertificate, LeafIssuedByCaVerifiesWithTheIssuerOnly) {
    CertDir d;
    ASSERT_TRUE(MakeCert(d, "leaf"));
    std::vector<uint8_t> ca = d.read("rsa.der"), leaf = d.read("leaf.der");
    SignedCertificate c, l;
    ASSERT_GT(DecodeCert(c, ca), 0);
    ASSERT_EQ(static_cast<long>(leaf.size()), DecodeCert(l, leaf));
    CompareWithOpenSsl(leaf, l);
    EXPECT_FALSE(l.isCA());
    EXPECT_EQ(1, l.verifyWithIssuer(c));
    EXPECT_EQ(-3, l.verifySelfSigned());
    EXPECT_EQ(1, l.verifyRsa(c.tbsCertificate.subjectPublicKeyInfo.rsaKey));
    EXPECT_EQ(-2, l.verifyDsa(DSAPublicKey(), nullptr));
    EXPECT_TRUE(l.tbsCertificate.issuer.isEqual(c.tbsCertificate.subject) == 1);
}

TEST(SignedCertificate, EcP256MatchesOpenSslAndVerifies) {
    CertDir d;
    ASSERT_TRUE(MakeCert(d, "ec"));
    std::vector<uint8_t> der = d.read("ec.der");
    SignedCertificate c;
    ASSERT_EQ(static_cast<long>(der.size()), DecodeCert(c, der));
    CompareWithOpenSsl(der, c);
    EXPECT_EQ(256u, c.tbsCertificate.getKeySize());  // bits for EC keys
    EXPECT_EQ(3, c.tbsCertificate.subjectPublicKeyInfo.getKeyAlgorithmId());
    EXPECT_EQ(1, c.verifySelfSigned());
    const SubPubKeyInfo& k = c.tbsCertificate.subjectPublicKeyInfo;
    EXPECT_EQ(1, c.verifyEcdsa(k.ecKey, k.ecParams));
    EXPECT_EQ(-2, c.verifyEcdsa(k.ecKey, ECDomainParameters()));
    // An RSA key cannot use an ECDSA algorithm.
    EXPECT_EQ(-3, c.verifyRsa(RSAPublicKey()));
    // A changed signed part or signature does not verify.
    std::vector<uint8_t> t = der;
    size_t h, tot;
    ASSERT_TRUE(TlvAt(t, 0, &h, &tot));
    t[h + 4 + 7 + 3] ^= 0x01;
    SignedCertificate bad;
    ASSERT_GT(DecodeCert(bad, t), 0);
    EXPECT_EQ(-3, bad.verifyWithIssuer(c));
    EXPECT_EQ(-1, bad.verifyEcdsa(k.ecKey, k.ecParams));
}

TEST(SignedCertificate, EcP384AndExplicitCurveParametersVerify) {
    CertDir d;
    ASSERT_TRUE(d.run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-384 -nodes -keyout p384.key "
                      "-subj /CN=P384 -days 3 -sha384 -outform DER -out p384.der && "
                      "openssl ecparam -name prime256v1 -param_enc explicit -out explicit.pem && "
                      "openssl req -x509 -newkey ec:explicit.pem -nodes -keyout ex.key -subj /CN=Explicit -days 3 "
                      "-sha256 -outform DER -out explicit.der && "
                      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-521 -nodes -keyout p521.key "
                      "-subj /CN=P521 -days 3 -sha512 -outform DER -out p521.der"));
    for (const char* name : {"p384.der", "explicit.der", "p521.der"}) {
        std::vector<uint8_t> der = d.read(name);
        SignedCertificate c;
        ASSERT_EQ(static_cast<long>(der.size()), DecodeCert(c, der)) << name;
        CompareWithOpenSsl(der, c);
        EXPECT_EQ(1, c.verifySelfSigned()) << name;
        std::vector<uint8_t> t = der;
        t[t.size() - 5] ^= 0x04;
        SignedCertificate bad;
        ASSERT_GT(DecodeCert(bad, t), 0) << name;
        EXPECT_EQ(-3, bad.verifySelfSigned()) << name;
    }
    SignedCertificate e;
    ASSERT_GT(DecodeCert(e, d.read("explicit.der")), 0);
    EXPECT_EQ(ECDomainParameters::kSpecified, e.tbsCertificate.subjectPublicKeyInfo.ecParams.getType());
    EXPECT_EQ(256u, e.tbsCertificate.getKeySizeBits());
}

TEST(SignedCertificate, DsaMatchesOpenSslAndVerifies) {
    CertDir d;
    ASSERT_TRUE(MakeCert(d, "dsa"));
    std::vector<uint8_t> der = d.read("dsa.der");
    SignedCertificate c;
    ASSERT_EQ(static_cast<long>(der.size()), DecodeCert(c, der));
    CompareWithOpenSsl(der, c);
    const SubPubKeyInfo& k = c.tbsCertificate.subjectPublicKeyInfo;
    EXPECT_EQ(2, k.getKeyAlgorithmId());
    EXPECT_EQ(1024u, k.getKeySizeBits());
    EXPECT_EQ(1, c.verifySelfSigned());
    EXPECT_EQ(1, c.verifyDsa(k.dsaKey, &k.dsaParams));
    EXPECT_EQ(-4, c.verifyDsa(k.dsaKey, nullptr));
    SignedCertificate bad;
    std::vector<uint8_t> t = der;
    size_t h, tot;
    ASSERT_TRUE(TlvAt(t, 0, &h, &tot));
    t[h + 4 + 7 + 3] ^= 0x01;
    ASSERT_GT(DecodeCert(bad, t), 0);
    EXPECT_EQ(-3, bad.verifyWithIssuer(c));
    EXPECT_EQ(-1, bad.verifyDsa(k.dsaKey, &k.dsaParams));

    // DSA with SHA-256 has no identifier in the DSA table: unsupported.
    std::vector<uint8_t> der2 = d.read("dsa2.der");
    SignedCertificate c2;
    ASSERT_EQ(static_cast<long>(der2.size()), DecodeCert(c2, der2));
    CompareWithOpenSsl(der2, c2);
    EXPECT_EQ(-4, c2.verifySelfSigned());
    EXPECT_EQ(-2, c2.verifyDsa(k.dsaKey, &k.dsaParams));

    // The key structure cuts a longer digest to the bits of q (160 here).
    FILE* f = std::fopen((d.path + "/dsa.key").c_str(), "r");
    ASSERT_NE(nullptr, f);
    EVP_PKEY* pk = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
    std::fclose(f);
    ASSERT_NE(nullptr, pk);
    const unsigned char msg[] = "tekst do podpisu";
    EVP_MD_CTX* mc = EVP_MD_CTX_new();
    ASSERT_EQ(1, EVP_DigestSignInit(mc, nullptr, EVP_sha256(), nullptr, pk));
    size_t sl = 0;
    ASSERT_EQ(1, EVP_DigestSign(mc, nullptr, &sl, msg, sizeof msg));
    std::vector<uint8_t> sig(sl);
    ASSERT_EQ(1, EVP_DigestSign(mc, sig.data(), &sl, msg, sizeof msg));
    sig.resize(sl);
    uint8_t dg[32];
    SHA256(msg, sizeof msg, dg);
    DSASignature ds;
    ASSERT_GT(ds.readVector(sig), 0);
    EXPECT_EQ(0, k.dsaKey.verifyWithHash(dg, 32, 3, &k.dsaParams, ds));
    EXPECT_EQ(3, k.dsaKey.verifyWithHash(dg, 20, 3, &k.dsaParams, ds));
    EXPECT_EQ(2, k.dsaKey.verifyWithHash(dg, 32, 3, nullptr, ds));
    dg[31] ^= 1;  // beyond the 160 bits used
    EXPECT_EQ(0, k.dsaKey.verifyWithHash(dg, 32, 3, &k.dsaParams, ds));
    dg[0] ^= 1;
    EXPECT_EQ(1, k.dsaKey.verifyWithHash(dg, 32, 3, &k.dsaParams, ds));
    EVP_MD_CTX_free(mc);
    EVP_PKEY_free(pk);
}

TEST(SignedCertificate, Version1HasNoWrapperAndVerifiesWithSha1) {
    CertDir d;
    ASSERT_TRUE(MakeCert(d, "v1"));
    std::vector<uint8_t> der = d.read("v1.der");
    SignedCertificate c;
    ASSERT_EQ(static_cast<long>(der.size()), DecodeCert(c, der));
    CompareWithOpenSsl(der, c);
    EXPECT_TRUE(c.tbsCertificate.isVersion1());
    EXPECT_EQ(0u, c.tbsCertificate.extensions.value.GetCount());
    EXPECT_FALSE(c.isCA());
    EXPECT_EQ(1, c.verifySelfSigned());

    // In constant mode, over a stream that outlives the certificate.
    MemFile mf(der.data(), der.size(), false);
    SignedCertificate k;
    ASSERT_EQ(static_cast<long>(der.size()), k.read(&mf, static_cast<long>(der.size()), ASN_FLAG_CONST));
    EXPECT_EQ(Hex(der), Hex(Enc(k)));
    EXPECT_EQ(1, k.verifySelfSigned());
}

// ---------------------------------------------------------------------------
// PEM

TEST(SignedCertificatePem, PemIsReadOnlyThroughTheInstalledReader) {
    HookReset reset;
    CertDir d;
    ASSERT_TRUE(MakeCert(d, "ec"));
    std::string pem = d.readText("ec.pem");
    std::vector<uint8_t> der = d.read("ec.der");
    SignedCertificate c;
    EXPECT_EQ(0, c.readBuffer(pem.data(), static_cast<long>(pem.size())));

    ASSERT_EQ(1, SignedCertificate::enablePemInput());
    // DER decodes exactly as before.
    EXPECT_EQ(static_cast<long>(der.size()), DecodeCert(c, der));
    EXPECT_EQ(Hex(der), Hex(Enc(c)));

    // Text before the armour is skipped; the count ends with the END marker.
    std::string text = "Certificate for tests\nsubject=EC\n" + pem + "trailing words\n";
    MemFile mf(text.data(), text.size(), false);
    long r = c.read(&mf, static_cast<long>(text.size()));
    size_t endPos = text.find("-----END CERTIFICATE-----") + std::strlen("-----END CERTIFICATE-----");
    EXPECT_EQ(static_cast<long>(endPos), r);
    EXPECT_EQ(static_cast<int64_t>(endPos), mf.Tell());
    EXPECT_EQ(Hex(der), Hex(Enc(c)));
    EXPECT_EQ(Hex(TbsBytes(der)), Hex(c.tbsCertificate.receivedEncoding()));

    // CRLF line ends, indented lines and blank lines.
    std::string crlf;
    for (char ch : pem) {
        if (ch == '\n') crlf += '\r';
        crlf += ch;
    }
    SignedCertificate c2;
    ASSERT_GT(c2.readBuffer(crlf.data(), static_cast<long>(crlf.size())), 0);
    EXPECT_EQ(Hex(der), Hex(Enc(c2)));
    std::string spaced;
    for (char ch : pem) {
        spaced += ch;
        if (ch == '\n') spaced += "  \n\t ";
    }
    SignedCertificate c3;
    ASSERT_GT(c3.readBuffer(spaced.data(), static_cast<long>(spaced.size())), 0);
    EXPECT_EQ(Hex(der), Hex(Enc(c3)));
}

TEST(SignedCertificatePem, BrokenArmourOrBase64GivesZero) {
    HookReset reset;
    CertDir d;
    ASSERT_TRUE(MakeCert(d, "ec"));
    std::string pem = d.readText("ec.pem");
    SignedCertificate::enablePemInput();
    SignedCertificate c;
    auto tryText = [&](const std::string& t) { return c.readBuffer(t.data(), static_cast<long>(t.size())); };

    std::string noEnd = pem.substr(0, pem.find("-----END"));
    EXPECT_EQ(0, tryText(noEnd));
    std::string noBegin = pem.substr(pem.find('\n') + 1);
    EXPECT_EQ(0, tryText(noBegin));
    std::string badChar = pem;
    badChar[pem.find('\n') + 10] = '*';
    EXPECT_EQ(0, tryText(badChar));
    std::string cut = pem;
    cut.erase(pem.find('\n') + 5, 40);
    EXPECT_EQ(0, tryText(cut));
    // A certificate followed by more Base64 inside the armour.
    std::string extra = pem;
    extra.insert(extra.find("-----END"), "AAAA\n");
    EXPECT_EQ(0, tryText(extra));
    EXPECT_EQ(0, tryText("-----BEGIN CERTIFICATE-----\n-----END CERTIFICATE-----\n"));
    EXPECT_EQ(0, tryText("-----BEGIN CERTIFICATE-----\nMAA=\n-----END CERTIFICATE-----\n"));
    // The armour found again after a failure.
    EXPECT_GT(tryText(pem), 0);
}

// ---------------------------------------------------------------------------
// Hand-made TBSCertificates: the version rules

namespace {

struct TbsParts {
    std::vector<uint8_t> v1Contents;  // serial .. subjectPublicKeyInfo
};

bool V1Parts(const CertDir& d, TbsParts* out) {
    if (!MakeCert(d, "v1")) return false;
    std::vector<uint8_t> tbs = TbsBytes(d.read("v1.der"));
    size_t h, t;
    if (!TlvAt(tbs, 0, &h, &t)) return false;
    out->v1Contents.assign(tbs.begin() + static_cast<long>(h), tbs.end());
    return true;
}

const std::vector<uint8_t> kVer2 = H("A0 03 02 01 01");
const std::vector<uint8_t> kVer3 = H("A0 03 02 01 02");

long DecodeTbs(TBSCertificate& t, const std::vector<uint8_t>& contents) {
    std::vector<uint8_t> all = Wrap(0x30, contents);
    long r = t.readVector(all);
    return r == static_cast<long>(all.size()) ? 1 : r;
}

}  // namespace

TEST(TBSCertificate, VersionRulesForUniqueIdentifiersAndExtensions) {
    CertDir d;
    TbsParts p;
    ASSERT_TRUE(V1Parts(d, &p));
    TBSCertificate t;
    ASSERT_EQ(1, DecodeTbs(t, p.v1Contents));
    EXPECT_EQ(Hex(Wrap(0x30, p.v1Contents)), Hex(Enc(t)));

    const std::vector<uint8_t> uid1 = H("81 02 00 AA"), uid2 = H("82 02 00 BB");
    // Octets after a version-1 value.
    EXPECT_EQ(0, DecodeTbs(t, Cat({p.v1Contents, uid1})));
    // Version 2 with [2] before [1] decodes and re-encodes in order.
    ASSERT_EQ(1, DecodeTbs(t, Cat({kVer2, p.v1Contents, uid2, uid1})));
    EXPECT_EQ(1, t.issuerUniqueIDPresent);
    EXPECT_EQ(1, t.subjectUniqueIDPresent);
    EXPECT_EQ(Hex(Wrap(0x30, Cat({kVer2, p.v1Contents, uid1, uid2}))), Hex(Enc(t)));
    // A second [1].
    EXPECT_EQ(0, DecodeTbs(t, Cat({kVer2, p.v1Contents, uid1, uid1})));
    // Extensions need version 3.
    const std::vector<uint8_t> ext = Wrap(0xA3, Wrap(0x30, Wrap(0x30, H("06 03 55 1D 13 04 02 30 00"))));
    EXPECT_EQ(0, DecodeTbs(t, Cat({kVer2, p.v1Contents, ext})));
    ASSERT_EQ(1, DecodeTbs(t, Cat({kVer3, p.v1Contents, ext})));
    EXPECT_EQ(1u, t.extensions.value.GetCount());
    // An empty extension list decodes and is left out on encoding.
    ASSERT_EQ(1, DecodeTbs(t, Cat({kVer3, p.v1Contents, H("A3 02 30 00")})));
    EXPECT_EQ(Hex(Wrap(0x30, Cat({kVer3, p.v1Contents}))), Hex(Enc(t)));
    // Two extension lists; an unknown context tag; a universal tag.
    EXPECT_EQ(0, DecodeTbs(t, Cat({kVer3, p.v1Contents, ext, ext})));
    EXPECT_EQ(0, DecodeTbs(t, Cat({kVer3, p.v1Contents, H("84 01 00")})));
    EXPECT_EQ(0, DecodeTbs(t, Cat({kVer3, p.v1Contents, H("04 01 00")})));
    // A primitive [3].
    EXPECT_EQ(0, DecodeTbs(t, Cat({kVer3, p.v1Contents, H("83 01 00")})));
    // A version value above 2 keeps its unique identifiers and extensions when written.
    for (const char* later : {"A0 03 02 01 03", "A0 03 02 01 7F", "A0 04 02 02 01 00"}) {
        const std::vector<uint8_t> in = Cat({H(later), p.v1Contents, uid1, ext});
        ASSERT_EQ(1, DecodeTbs(t, in)) << later;
        EXPECT_EQ(1u, t.extensions.value.GetCount());
        EXPECT_EQ(Hex(Wrap(0x30, in)), Hex(Enc(t))) << later;
    }
}

TEST(TBSCertificate, CopiesCompareEqualAndKeepTheirExtensions) {
    CertDir d;
    TbsParts p;
    ASSERT_TRUE(V1Parts(d, &p));
    const std::vector<uint8_t> ext =
        Wrap(0xA3, Wrap(0x30, Cat({Wrap(0x30, H("06 03 55 1D 13 01 01 FF 04 05 30 03 01 01 FF")),
                                   Wrap(0x30, H("06 03 55 1D 0E 04 04 04 02 01 02"))})));
    TBSCertificate t;
    ASSERT_EQ(1, DecodeTbs(t, Cat({kVer3, p.v1Contents, ext})));
    TBSCertificate u;
    u = t;
    EXPECT_TRUE(u == t);
    EXPECT_EQ(Hex(Enc(t)), Hex(Enc(u)));
    EXPECT_EQ(2u, u.extensions.value.GetCount());
    EXPECT_NE(nullptr, u.extensions.value.findExtension(algoid::subjectKeyIdentifier()));
    EXPECT_EQ(nullptr, u.extensions.value.findExtensionByText("2.5.29.15"));
    EXPECT_EQ(nullptr, u.extensions.value.findExtensionByText("not an oid"));
    BasicConstraints bc;
    ASSERT_EQ(1, u.extensions.value.getExtensionValue(algoid::basicConstraints(), &bc));
    EXPECT_TRUE(bc.cA.isTrue());
    EXPECT_EQ(-1, u.extensions.value.getExtensionValue(algoid::keyUsage(), &bc));
    // The key identifier's value is no BasicConstraints.
    EXPECT_EQ(-2, u.extensions.value.getExtensionValue(algoid::subjectKeyIdentifier(), &bc));
    u.extensions.value.getAt(1)->extnValue.set("\x04\x02\x01\x03", 4);
    EXPECT_FALSE(u == t);
}

TEST(Extension, CriticalDefaultsToFalseAndFalseIsNotWritten) {
    Extension e;
    ASSERT_GT(Decode(e, "30 0B 06 03 55 1D 13 04 04 30 02 01 01"), 0);
    EXPECT_FALSE(e.isCritical());
    EXPECT_EQ(N("30 0B 06 03 55 1D 13 04 04 30 02 01 01"), Encode(e));
    ASSERT_GT(Decode(e, "30 0E 06 03 55 1D 13 01 01 00 04 04 30 02 01 01"), 0);
    EXPECT_FALSE(e.isCritical());
    EXPECT_EQ(N("30 0B 06 03 55 1D 13 04 04 30 02 01 01"), Encode(e));
    ASSERT_GT(Decode(e, "30 0E 06 03 55 1D 13 01 01 FF 04 04 30 02 01 01"), 0);
    EXPECT_TRUE(e.isCritical());
    EXPECT_EQ(N("30 0E 06 03 55 1D 13 01 01 FF 04 04 30 02 01 01"), Encode(e));
    // Wrong member tags and trailing octets.
    EXPECT_EQ(0, Decode(e, "30 0E 06 03 55 1D 13 81 01 FF 04 04 30 02 01 01"));
    EXPECT_EQ(0, Decode(e, "30 0B 06 03 55 1D 13 02 04 30 02 01 01"));
    EXPECT_EQ(0, Decode(e, "30 0D 06 03 55 1D 13 04 04 30 02 01 01 05 00"));
    EXPECT_EQ(0, Decode(e, "30 05 06 03 55 1D 13"));
}

TEST(BasicConstraints, FormsOfTheValue) {
    BasicConstraints b;
    ASSERT_GT(Decode(b, "30 00"), 0);
    EXPECT_FALSE(b.cA.isTrue());
    EXPECT_EQ(0, b.pathLenConstraintPresent);
    ASSERT_GT(Decode(b, "30 06 01 01 FF 02 01 03"), 0);
    EXPECT_TRUE(b.cA.isTrue());
    EXPECT_EQ(3, b.pathLenConstraint.getLong());
    EXPECT_EQ(N("30 06 01 01 FF 02 01 03"), Encode(b));
    ASSERT_GT(Decode(b, "30 03 02 01 00"), 0);
    EXPECT_FALSE(b.cA.isTrue());
    EXPECT_EQ(1, b.pathLenConstraintPresent);
    EXPECT_EQ(0, Decode(b, "30 03 04 01 00"));
    EXPECT_EQ(0, Decode(b, "30 09 01 01 FF 02 01 03 02 01 03"));
}

// ---------------------------------------------------------------------------
// Hostile input

TEST(SignedCertificateHostile, EveryTruncationAndBadOuterHeaderFailsCleanly) {
    CertDir d;
    ASSERT_TRUE(MakeCert(d, "rsa"));
    std::vector<uint8_t> der = d.read("rsa.der");
    for (size_t n = 0; n < der.size(); n++) {
        SignedCertificate c;
        std::vector<uint8_t> cut(der.begin(), der.begin() + static_cast<long>(n));
        long r = cut.empty() ? c.readBuffer("", 0) : c.readVector(cut);
        ASSERT_LE(r, 0) << n;
        // The same length claimed by the header, the octets missing.
        MemFile mf(cut.data(), cut.size(), false);
        ASSERT_LE(c.read(&mf, static_cast<long>(der.size())), 0) << n;
    }
    SignedCertificate c;
    std::vector<uint8_t> t = der;
    t[0] = 0x31;
    EXPECT_EQ(0, c.readVector(t));
    t = der;
    t[1] = 0x84;
    t.insert(t.begin() + 2, {0x7F, 0xFF});
    EXPECT_EQ(0, c.readVector(t));
    EXPECT_EQ(0, c.readVector(H("30 84 7F FF FF FF 30 00")));
    EXPECT_EQ(0, c.readVector(H("30 85 01 00 00 00 00 30 00")));
    // Trailing octets inside the outer SEQUENCE.
    std::vector<uint8_t> inner(der.begin() + 4, der.end());
    inner.push_back(0x05);
    inner.push_back(0x00);
    EXPECT_EQ(0, c.readVector(Wrap(0x30, inner)));
    // A signature that is not a BIT STRING.
    t = der;
    t[t.size() - 256 - 5] = 0x04;
    EXPECT_EQ(0, c.readVector(t));
}

TEST(SignedCertificateHostile, ExtensionBombsAreBoundedByTheInput) {
    CertDir d;
    TbsParts p;
    ASSERT_TRUE(V1Parts(d, &p));
    // Twenty thousand extensions decode (the list is bounded by the octets only).
    std::vector<uint8_t> many;
    const std::vector<uint8_t> one = Wrap(0x30, H("06 03 55 1D 0E 04 02 04 00"));
    for (int i = 0; i < 20000; i++) many.insert(many.end(), one.begin(), one.end());
    TBSCertificate t;
    ASSERT_EQ(1, DecodeTbs(t, Cat({kVer3, p.v1Contents, Wrap(0xA3, Wrap(0x30, many))})));
    EXPECT_EQ(20000u, t.extensions.value.GetCount());
    // A value nested thousands deep is kept as octets and refused when decoded.
    std::vector<uint8_t> deep = H("30 00");
    for (int i = 0; i < 3000; i++) deep = Wrap(0x30, deep);
    std::vector<uint8_t> e = Wrap(0x30, Cat({H("06 03 55 1D 13"), Wrap(0x04, deep)}));
    ASSERT_EQ(1, DecodeTbs(t, Cat({kVer3, p.v1Contents, Wrap(0xA3, Wrap(0x30, e))})));
    BasicConstraints bc;
    EXPECT_EQ(-2, t.extensions.value.getExtensionValue(algoid::basicConstraints(), &bc));
    ASNany any(TAG_ANY);
    EXPECT_EQ(1, t.extensions.value.getExtensionValue(algoid::basicConstraints(), &any));
    // Indefinite nesting in the extension list itself is refused at the depth limit.
    std::vector<uint8_t> indef;
    for (int i = 0; i < 3000; i++) {
        indef.push_back(0x30);
        indef.push_back(0x80);
    }
    for (int i = 0; i < 3000; i++) {
        indef.push_back(0);
        indef.push_back(0);
    }
    EXPECT_NE(1, DecodeTbs(t, Cat({kVer3, p.v1Contents, Wrap(0xA3, Wrap(0x30, indef))})));
    // An extension list nested in an extension list is no extension.
    std::vector<uint8_t> nested = Wrap(0xA3, Wrap(0x30, Wrap(0x30, Wrap(0xA3, Wrap(0x30, one)))));
    EXPECT_EQ(0, DecodeTbs(t, Cat({kVer3, p.v1Contents, nested})));
}

// ---------------------------------------------------------------------------
// Signing

namespace {

EVP_PKEY* ReadKey(const CertDir& d, const std::string& name) {
    FILE* f = std::fopen((d.path + "/" + name).c_str(), "r");
    if (f == nullptr) return nullptr;
    EVP_PKEY* pk = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
    std::fclose(f);
    return pk;
}

bool SetFromBn(EVP_PKEY* pk, const char* name, ASNinteger& out) {
    BIGNUM* bn = nullptr;
    if (EVP_PKEY_get_bn_param(pk, name, &bn) != 1) return false;
    std::vector<uint8_t> b(static_cast<size_t>(BN_num_bytes(bn)));
    BN_bn2bin(bn, b.data());
    BN_clear_free(bn);
    return out.setUnsigned(b.data(), static_cast<long>(b.size())) == 1;
}

// OpenSSL's verdict on our encoding of c, with the key of the certificate in der.
int OpenSslVerifies(const SignedCertificate& c, const std::vector<uint8_t>& issuerDer) {
    std::vector<uint8_t> enc = Enc(c);
    const unsigned char* p = enc.data();
    X509* x = d2i_X509(nullptr, &p, static_cast<long>(enc.size()));
    const unsigned char* q = issuerDer.data();
    X509* i = d2i_X509(nullptr, &q, static_cast<long>(issuerDer.size()));
    int r = (x != nullptr && i != nullptr) ? X509_verify(x, X509_get0_pubkey(i)) : -1;
    X509_free(x);
    X509_free(i);
    return r;
}

}  // namespace

TEST(SignedCertificateSigning, RsaSignatureOverAChangedCertificateVerifiesInOpenSsl) {
    CertDir d;
    ASSERT_TRUE(MakeCert(d, "v1"));
    std::vector<uint8_t> der = d.read("v1.der");
    SignedCertificate c;
    ASSERT_GT(DecodeCert(c, der), 0);
    EVP_PKEY* pk = ReadKey(d, "v1.key");
    ASSERT_NE(nullptr, pk);
    RSAPrivateKey key;
    ASSERT_TRUE(SetFromBn(pk, "n", key.modulus));
    ASSERT_TRUE(SetFromBn(pk, "e", key.publicExponent));
    ASSERT_TRUE(SetFromBn(pk, "d", key.privateExponent));
    ASSERT_TRUE(SetFromBn(pk, "rsa-factor1", key.prime1));
    ASSERT_TRUE(SetFromBn(pk, "rsa-factor2", key.prime2));

    // A new serial number and subject, signed with SHA-256.
    c.tbsCertificate.serialNumber.setValue(4242);
    c.tbsCertificate.subject.clear();
    ASSERT_NE(nullptr, c.tbsCertificate.subject.addRdn("CN", "Podpisany", -1));
    std::unique_ptr<QvRbg> rbg(qvRbgCreateObject(4));
    std::vector<uint8_t> seed(rbg->getMinSeedOctets() + 16);
    for (size_t i = 0; i < seed.size(); i++) seed[i] = static_cast<uint8_t>(i * 13 + 7);
    rbg->init(seed.data(), static_cast<unsigned>(seed.size()));
    EXPECT_EQ(-3, c.signRsa(key, 3, nullptr));  // the private-key operation is masked: a generator is needed
    ASSERT_EQ(1, c.signRsa(key, 3, rbg.get()));
    EXPECT_EQ("1.2.840.113549.1.1.11", c.signatureAlgorithm.algorithm.toString());
    EXPECT_TRUE(c.tbsCertificate.signature == c.signatureAlgorithm);
    EXPECT_EQ(1, OpenSslVerifies(c, der));
    EXPECT_EQ(1, c.verifySelfSigned());
    // Decoded again, the new certificate still verifies, over the octets received.
    SignedCertificate back;
    std::vector<uint8_t> enc = Enc(c);
    ASSERT_EQ(static_cast<long>(enc.size()), DecodeCert(back, enc));
    EXPECT_EQ(1, back.verifySelfSigned());
    EXPECT_TRUE(back == c);

    // Hash ids without an RSA identifier, and a key that is no key.
    EXPECT_EQ(-1, c.signRsa(key, 6, rbg.get()));
    RSAPrivateKey empty;
    EXPECT_EQ(-3, c.signRsa(empty, 3, rbg.get()));
    EVP_PKEY_free(pk);
}

TEST(SignedCertificateSigning, DsaSignatureVerifiesInOpenSsl) {
    CertDir d;
    ASSERT_TRUE(MakeCert(d, "dsa"));
    std::vector<uint8_t> der = d.read("dsa.der");
    SignedCertificate c;
    ASSERT_GT(DecodeCert(c, der), 0);
    EVP_PKEY* pk = ReadKey(d, "dsa.key");
    ASSERT_NE(nullptr, pk);
    DSAPrivateKey key;
    ASSERT_TRUE(SetFromBn(pk, "priv", key.x));
    ASSERT_TRUE(SetFromBn(pk, "p", key.p));
    ASSERT_TRUE(SetFromBn(pk, "q", key.q));
    ASSERT_TRUE(SetFromBn(pk, "g", key.g));
    std::unique_ptr<QvRbg> rbg(qvRbgCreateObject(4));
    std::vector<uint8_t> seed(rbg->getMinSeedOctets() + 16);
    for (size_t i = 0; i < seed.size(); i++) seed[i] = static_cast<uint8_t>(i * 37 + 11);
    rbg->init(seed.data(), static_cast<unsigned>(seed.size()));

    c.tbsCertificate.serialNumber.setValue(77);
    ASSERT_EQ(1, c.signDsa(key, 1, rbg.get()));
    EXPECT_EQ("1.2.840.10040.4.3", c.signatureAlgorithm.algorithm.toString());
    EXPECT_EQ(1, OpenSslVerifies(c, der));
    EXPECT_EQ(1, c.verifySelfSigned());
    EXPECT_EQ(-3, c.signDsa(key, 3, rbg.get()));
    EXPECT_EQ(-1, c.signDsa(key, 1, nullptr));
    EVP_PKEY_free(pk);
}

TEST(SignedCertificateSigning, RsaPssBothWaysWithOpenSsl) {
    CertDir d;
    ASSERT_TRUE(MakeCert(d, "v1"));
    ASSERT_TRUE(d.run("openssl req -x509 -key v1.key -subj '/CN=PSS' -days 3 -sha256 -sigopt rsa_padding_mode:pss "
                      "-sigopt rsa_pss_saltlen:32 -sigopt rsa_mgf1_md:sha256 -outform DER -out pss.der && "
                      "openssl req -x509 -key v1.key -subj '/CN=PSS384' -days 3 -sha384 -sigopt "
                      "rsa_padding_mode:pss -sigopt rsa_pss_saltlen:20 -outform DER -out pss384.der"));
    // OpenSSL's PSS certificates verify with our key structure.
    for (const char* name : {"pss.der", "pss384.der"}) {
        std::vector<uint8_t> der = d.read(name);
        SignedCertificate c;
        ASSERT_EQ(static_cast<long>(der.size()), DecodeCert(c, der)) << name;
        CompareWithOpenSsl(der, c);
        EXPECT_EQ(1, c.verifySelfSigned()) << name;
        EXPECT_EQ(1, c.verifyRsa(c.tbsCertificate.subjectPublicKeyInfo.rsaKey)) << name;
        std::vector<uint8_t> t = der;
        t[t.size() - 3] ^= 0x10;
        SignedCertificate bad;
        ASSERT_GT(DecodeCert(bad, t), 0);
        EXPECT_EQ(-3, bad.verifySelfSigned()) << name;
    }
    // Ours verify in OpenSSL.
    std::vector<uint8_t> der = d.read("v1.der");
    SignedCertificate c;
    ASSERT_GT(DecodeCert(c, der), 0);
    EVP_PKEY* pk = ReadKey(d, "v1.key");
    ASSERT_NE(nullptr, pk);
    RSAPrivateKey key;
    ASSERT_TRUE(SetFromBn(pk, "n", key.modulus));
    ASSERT_TRUE(SetFromBn(pk, "e", key.publicExponent));
    ASSERT_TRUE(SetFromBn(pk, "d", key.privateExponent));
    std::unique_ptr<QvRbg> rbg(qvRbgCreateObject(4));
    std::vector<uint8_t> seed(rbg->getMinSeedOctets() + 8, 0x5A);
    rbg->init(seed.data(), static_cast<unsigned>(seed.size()));
    ASSERT_EQ(1, c.signRsaPss(key, 3, rbg.get()));
    EXPECT_EQ(1, OpenSslVerifies(c, der));
    EXPECT_EQ(1, c.verifySelfSigned());
    ASSERT_EQ(1, c.signRsaPss(key, 5, rbg.get(), 0, 1, 0));
    EXPECT_EQ(1, OpenSslVerifies(c, der));
    EXPECT_EQ(1, c.verifySelfSigned());
    EXPECT_EQ(-1, c.signRsaPss(key, 3, rbg.get(), 1, 3, 32));
    EXPECT_EQ(-3, c.signRsaPss(key, 3, nullptr));
    EVP_PKEY_free(pk);
}

TEST(SignedCertificateHostile, EmptySignaturesAndMismatchedIdentifiersAreNotVerified) {
    CertDir d;
    ASSERT_TRUE(MakeCert(d, "v1"));
    std::vector<uint8_t> der = d.read("v1.der");
    SignedCertificate c;
    ASSERT_GT(DecodeCert(c, der), 0);
    const RSAPublicKey& key = c.tbsCertificate.subjectPublicKeyInfo.rsaKey;

    SignedCertificate e(c);
    e.signature.clear();
    EXPECT_EQ(-3, e.verifyWithKeyInfo(c.tbsCertificate.subjectPublicKeyInfo));
    EXPECT_EQ(-1, e.verifyRsa(key));
    EXPECT_EQ(-2, e.verifyDsa(DSAPublicKey(), nullptr));  // not a DSA algorithm

    // The outer identifier changed to another hash: refused before any key operation.
    SignedCertificate m(c);
    m.signatureAlgorithm.setRsaSignature(3);
    EXPECT_EQ(-2, m.verifyRsa(key));
    EXPECT_EQ(-3, m.verifySelfSigned());
    // Same OID, parameters left out on one side only: the identifiers differ.
    SignedCertificate p(c);
    p.signatureAlgorithm.parametersPresent = 0;
    EXPECT_EQ(-3, p.verifySelfSigned());
    EXPECT_EQ(1, p.verifyRsa(key));  // compares the OIDs only
}

TEST(SignedCertificateSigning, EcdsaSignatureVerifiesInOpenSsl) {
    CertDir d;
    ASSERT_TRUE(MakeCert(d, "ec"));
    ASSERT_TRUE(d.run("openssl ec -in ec.key -outform DER -out ec.key.der"));
    std::vector<uint8_t> der = d.read("ec.der"), kd = d.read("ec.key.der");
    ECPrivateKey key;
    ASSERT_EQ(static_cast<long>(kd.size()), key.readVector(kd));
    EXPECT_TRUE(key.hasDomainParameters());
    EXPECT_EQ(Hex(kd), Hex(Enc(key)));
    SignedCertificate c;
    ASSERT_GT(DecodeCert(c, der), 0);
    std::unique_ptr<QvRbg> rbg(qvRbgCreateObject(4));
    std::vector<uint8_t> seed(rbg->getMinSeedOctets() + 8, 0xA5);
    rbg->init(seed.data(), static_cast<unsigned>(seed.size()));
    c.tbsCertificate.serialNumber.setValue(99);
    for (unsigned h : {3u, 4u, 1u}) {
        ASSERT_EQ(1, c.signEcdsa(key, nullptr, h, rbg.get())) << h;
        EXPECT_EQ(1, OpenSslVerifies(c, der)) << h;
        EXPECT_EQ(1, c.verifySelfSigned()) << h;
    }
    EXPECT_EQ(1, c.signEcdsa(key, &c.tbsCertificate.subjectPublicKeyInfo.ecParams, 3, rbg.get()));
    EXPECT_EQ(-1, c.signEcdsa(key, nullptr, 7, rbg.get()));
    EXPECT_EQ(-3, c.signEcdsa(key, nullptr, 3, nullptr));  // no generator
    ECPrivateKey bare;
    EXPECT_EQ(-4, c.signEcdsa(bare, nullptr, 3, rbg.get()));
    EXPECT_EQ(-4, c.signEcdsa(key, &bare.getDomainParameters(), 3, rbg.get()));  // implicitCA
}

// Certificates over brainpool and characteristic-two curves (named, or with
// explicit parameters in a trinomial basis) are signed here and verified by
// OpenSSL and by this system.
TEST(SignedCertificateSigning, EcdsaOverBrainpoolAndBinaryCurvesVerifiesInOpenSsl) {
    const char* const curves[][2] = {{"brainpoolP256r1", "named_curve"},
                                     {"sect283r1", "named_curve"},
                                     {"sect233k1", "explicit"}};
    std::unique_ptr<QvRbg> rbg(qvRbgCreateObject(4));
    std::vector<uint8_t> seed(rbg->getMinSeedOctets() + 8, 0x5A);
    rbg->init(seed.data(), static_cast<unsigned>(seed.size()));
    for (const auto& cv : curves) {
        CertDir d;
        const std::string curve = cv[0];
        ASSERT_TRUE(d.run(std::string("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:") + curve +
                          " -pkeyopt ec_param_enc:" + cv[1] +
                          " -nodes -keyout c.key -subj '/CN=EC/O=Firma' -days 30 -sha256 -out c.pem && "
                          "openssl x509 -in c.pem -outform DER -out c.der && "
                          "openssl ec -in c.key -outform DER -out c.key.der"))
            << curve;
        std::vector<uint8_t> der = d.read("c.der"), kd = d.read("c.key.der");
        ECPrivateKey key;
        ASSERT_EQ(static_cast<long>(kd.size()), key.readVector(kd)) << curve;
        SignedCertificate c;
        ASSERT_GT(DecodeCert(c, der), 0) << curve;
        EXPECT_EQ(std::string(cv[1]) == "explicit" ? ECDomainParameters::kSpecified : ECDomainParameters::kNamedCurve,
                  c.tbsCertificate.subjectPublicKeyInfo.ecParams.getType())
            << curve;
        EXPECT_EQ(1, c.verifySelfSigned()) << curve;
        c.tbsCertificate.serialNumber.setValue(77);
        ASSERT_EQ(1, c.signEcdsa(key, nullptr, 3, rbg.get())) << curve;
        EXPECT_EQ(1, OpenSslVerifies(c, der)) << curve;
        EXPECT_EQ(1, c.verifySelfSigned()) << curve;
    }
}
