// Hostile signatures and ciphertexts against the scheme checks: RSA PKCS#1
// v1.5 and PSS verification, PKCS#1 v1.5 and OAEP decryption, and ECDSA
// verification in both signature forms.  The first octet picks the check, the
// rest is the input; only the library's own exceptions may come out.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "libtorvapp/qvgeneraldsasig.h"
#include "libtorvapp/qvnamedcurveobjects.h"
#include "libtorvapp/qvrsacipherpkcsoaep.h"
#include "libtorvapp/qvrsacipherpkcsv15.h"
#include "libtorvapp/qvrsasigpkcspss.h"
#include "libtorvapp/qvrsasigpkcsv15.h"

namespace {

// A public 1024-bit test key (the first key of the PKCS #1 v2.1 PSS vectors).
const char kN[] = "0x"
    "a56e4a0e701017589a5187dc7ea841d156f2ec0e36ad52a44dfeb1e61f7ad991"
    "d8c51056ffedb162b4c0f283a12a88a394dff526ab7291cbb307ceabfce0b1df"
    "d5cd9508096d5b2b8b6df5d671ef6377c0921cb23c270a70e2598e6ff89d19f1"
    "05acc2d3f0cb35f29280e1386b6f64c4ef22e1e1f20d0ce8cffb2249bd9a2137";
const char kE[] = "0x010001";
const char kD[] = "0x"
    "33a5042a90b27d4f5451ca9bbbd0b44771a101af884340aef9885f2a4bbe92e8"
    "94a724ac3c568c8f97853ad07c0266c8c6a3ca0929f1e8f11231884429fc4d9a"
    "e55fee896a10ce707c3ed7e734e44727a39574501a532683109c2abacaba283c"
    "31b4bd2f53c3ee37e352cee34f9e503bd80c0622ad79c6dcee883547c6a3b325";
const char kP[] = "0x"
    "e7e8942720a877517273a356053ea2a1bc0c94aa72d55c6e86296b2dfc967948"
    "c0a72cbccca7eacb35706e09a1df55a1535bd9b3cc34160b3b6dcd3eda8e6443";
const char kQ[] = "0x"
    "b69dca1cf7d4d7ec81e75b90fcca874abcde123fd2700180aa90479b6e48de8d"
    "67ed24f9f19d85ba275874f542cd20dc723e6963364a1f9425452b269a6799fd";
const char kC[] = "0x"
    "27156aba4126d24a81f3a528cbfb27f56886f840a9f6e86e17a44b94fe931958"
    "4b8e22fdde1e5a2e3bd8aa5ba8d8584194eb2190acf832b847f13a3d24a79f4d";

struct Fixture {
    Fixture()
    {
        pub.setN(kN);
        pub.setE(kE);
        prv.setModulus(kN);
        prv.setPublicExponent(kE);
        prv.setPrivateExponent(kD);
        prv.setPrime1(kP);
        prv.setPrime2(kQ);
        prv.setCoefficient(kC);
        prv.precompute();
        v15.setHashAlgo(QV_HASH_DHF_ALGO_SHA256);
        v15.setPublicKey(&pub);
        pss.setPublicKey(&pub);
        v15Dec.setPrivateKey(&prv);
        oaepDec.setPrivateKey(&prv);
        dom = qvFindNamedCurveDomain("secp256r1");
        ecPub.setDomain(dom);
        ecPub.setH(dom->getGen());
        ecdsa.setPublicKey(&ecPub);
    }
    QvRsaPublicKey pub;
    QvRsaPrivateKey prv;
    QvRsaSigPkcsV15 v15;
    QvRsaSigPkcsPss pss{20, nullptr, QV_HASH_DHF_ALGO_SHA1, 0, QV_HASH_DHF_ALGO_SHA1};
    QvRsaCipherPkcsV15 v15Dec;
    QvRsaCipherPkcsOaep oaepDec{nullptr, QV_HASH_DHF_ALGO_SHA1, 0, QV_HASH_DHF_ALGO_SHA1};
    const QvGeneralDsaKeyDomain *dom;
    QvGeneralDsaPublicKey ecPub;
    QvGeneralDsaSig ecdsa;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Fixture f;
    if (size < 1 || size > 4096)
        return 0;
    const QvOctet *in = data + 1;
    const unsigned int len = static_cast<unsigned int>(size - 1);
    QvOctet digest[32];
    for (unsigned int i = 0; i < 32; ++i)
        digest[i] = static_cast<QvOctet>(i * 37);
    QvOctet out[128];
    try {
        switch (data[0] % 6) {
        case 0:
            f.v15.verify(digest, 32, in, len);
            break;
        case 1:
            f.pss.verify(digest, 20, in, len);
            break;
        case 2:
            f.v15Dec.decrypt(in, len, out, sizeof out);
            break;
        case 3:
            f.oaepDec.decryptWithLabel(in, len, in, len / 4, out, sizeof out);
            break;
        case 4:
            f.ecdsa.verify(digest, 32, in, len);
            break;
        default:
            f.ecdsa.verify(in, len / 3, in + len / 3, len / 3, in + 2 * (len / 3), len - 2 * (len / 3));
            break;
        }
    } catch (const QvException &) {
    }
    return 0;
}
