#include "smartcard/sc_smctx_iso.h"

#include <cstring>
#include <new>
#include <stdexcept>

#include "libtorvapp/qvasymkey.h"
#include "libtorvapp/qvdhgfpsecret.h"
#include "libtorvapp/qvgfpkeydomain.h"
#include "libtorvapp/qvnumbers/qvzn.h"
#include "libtorvapp/qvrbg.h"
#include "smartcard/sc_apdu.h"
#include "smartcard/sc_fileheader.h"
#include "smartcard/sc_smcrypto.h"

namespace {

constexpr int K_ENC = 0;
constexpr int K_MAC = 1;

void PutTlv(std::vector<uint8_t>* v, uint8_t tag, const uint8_t* p, size_t n) { scAppendTlv(v, tag, p, n); }

}  // namespace

// ---------------------------------------------------------------------------
// The channel

SCSmCtxIso::SCSmCtxIso() : SCSmCtx(SC_SM_MODE_ISO) {}

SCSmCtxIso::~SCSmCtxIso() = default;

SCRESULT SCSmCtxIso::SetSession(const uint8_t kenc[16], const uint8_t kmac[16], const uint8_t ssc[SSC_LEN]) {
    if (kenc == nullptr || kmac == nullptr || ssc == nullptr) return SC_E_BAD_PARAMS;
    SCRESULT r = SetSessionKey(K_ENC, kenc, 16);
    if (r >= 0) r = SetSessionKey(K_MAC, kmac, 16);
    if (r >= 0) r = SetSequenceCounter(ssc, SSC_LEN);
    return r;
}

SCRESULT SCSmCtxIso::SetSessionFromSecret(const uint8_t* secret, size_t len) {
    uint8_t kenc[16], kmac[16];
    const uint8_t ssc[SSC_LEN] = {};
    SCRESULT r = scSmDeriveKey(secret, len, 1, kenc);
    if (r >= 0) r = scSmDeriveKey(secret, len, 2, kmac);
    if (r >= 0) r = SetSession(kenc, kmac, ssc);
    scSmWipe(kenc, sizeof kenc);
    scSmWipe(kmac, sizeof kmac);
    return r;
}

size_t SCSmCtxIso::GetMaxCommandData(size_t wireLimit) const {
    // 87 L(2) 01 ciphertext, 97 01 Le, 8E 08 MAC: 17 octets besides the ciphertext,
    // which the padding makes a multiple of eight with at least one octet.
    if (wireLimit < 32) return 0;
    if (wireLimit > 65535) wireLimit = 65535;
    const size_t room = wireLimit - 17 - (wireLimit > 255 ? 2 : 0);
    return (room / 8) * 8 - 1;
}

SCRESULT SCSmCtxIso::Mac(const std::vector<uint8_t>& data, uint8_t mac[8]) const {
    size_t kl = 0, sl = 0;
    const uint8_t* key = GetSessionKey(K_MAC, &kl);
    const uint8_t* ssc = GetSequenceCounter(&sl);
    if (key == nullptr || kl != 16 || ssc == nullptr || sl != SSC_LEN) return SC_E_SM_NOT_ESTABLISHED;
    std::vector<uint8_t> n(SSC_LEN + data.size());
    std::memcpy(n.data(), ssc, SSC_LEN);
    if (!data.empty()) std::memcpy(n.data() + SSC_LEN, data.data(), data.size());
    const SCRESULT r = scSmRetailMac(key, nullptr, n.data(), n.size(), mac);
    scSmWipe(n);
    return r;
}

SCRESULT SCSmCtxIso::_WrapCommand(const uint8_t* apdu, size_t len, std::vector<uint8_t>* out) {
    SCApduInfo info;
    if (!scParseApdu(apdu, len, &info)) return SC_E_BAD_PARAMS;
    // Interindustry classes only, not already protected.
    if ((apdu[0] & 0x80) || (apdu[0] & 0x0C)) return SC_E_BAD_PARAMS;
    if (!IncrementSequenceCounter()) return SC_E_SM_COUNTER_EXHAUSTED;
    const uint8_t cla = static_cast<uint8_t>(apdu[0] | 0x0C);
    const uint8_t ins = apdu[1];

    std::vector<uint8_t> objects;
    if (info.lc) {
        size_t kl = 0;
        const uint8_t* kenc = GetSessionKey(K_ENC, &kl);
        if (kenc == nullptr || kl != 16) return SC_E_SM_NOT_ESTABLISHED;
        std::vector<uint8_t> plain(apdu + info.dataOffset, apdu + info.dataOffset + info.lc);
        scSmPad(&plain);
        std::vector<uint8_t> value(1 + plain.size());
        value[0] = 0x01;  // padding indicator
        SCRESULT r = scSmTdesCbc(kenc, nullptr, true, plain.data(), plain.size(), value.data() + 1);
        scSmWipe(plain);
        if (r < 0) return r;
        // An odd INS carries BER-TLV data: 85 without the padding indicator.
        if (ins & 1)
            PutTlv(&objects, 0x85, value.data() + 1, value.size() - 1);
        else
            PutTlv(&objects, 0x87, value.data(), value.size());
    }
    if (info.hasLe) {
        if (info.le <= 256) {
            const uint8_t le = static_cast<uint8_t>(info.le & 0xFF);
            PutTlv(&objects, 0x97, &le, 1);
        } else {
            const uint8_t le[2] = {static_cast<uint8_t>((info.le >> 8) & 0xFF), static_cast<uint8_t>(info.le & 0xFF)};
            PutTlv(&objects, 0x97, le, 2);
        }
    }
    std::vector<uint8_t> m = {cla, ins, apdu[2], apdu[3]};
    scSmPad(&m);
    m.insert(m.end(), objects.begin(), objects.end());
    uint8_t mac[8];
    const SCRESULT r = Mac(m, mac);
    if (r < 0) return r;
    PutTlv(&objects, 0x8E, mac, 8);

    std::vector<uint8_t> w = {cla, ins, apdu[2], apdu[3]};
    if (objects.size() <= 255) {
        w.push_back(static_cast<uint8_t>(objects.size()));
        w.insert(w.end(), objects.begin(), objects.end());
        w.push_back(0x00);
    } else {
        if (objects.size() > 65535) return SC_E_TOO_MUCH_DATA;
        w.push_back(0x00);
        w.push_back(static_cast<uint8_t>(objects.size() >> 8));
        w.push_back(static_cast<uint8_t>(objects.size()));
        w.insert(w.end(), objects.begin(), objects.end());
        w.push_back(0x00);
        w.push_back(0x00);
    }
    out->swap(w);
    scSmWipe(objects);
    return SC_OK;
}

SCRESULT SCSmCtxIso::_UnwrapResponse(const uint8_t* data, size_t len, uint16_t sw, std::vector<uint8_t>* out,
                                     uint16_t* outSw) {
    if (!IncrementSequenceCounter()) return SC_E_SM_COUNTER_EXHAUSTED;
    // A card that lost the channel says so without protection.
    if (len == 0 && (sw == 0x6987 || sw == 0x6988)) return SC_E_SM_NOT_ESTABLISHED;
    // 87 (or 85), 99, 8E in this order and nothing else.
    SCTlv crypto{}, status{}, mac{};
    bool haveCrypto = false;
    size_t pos = 0, macStart = 0;
    SCTlv t;
    if (pos < len && (data[0] == 0x87 || data[0] == 0x85)) {
        if (!scReadTlv(data, len, &pos, &t)) return SC_E_SM_MAC_INVALID;
        crypto = t;
        haveCrypto = true;
    }
    if (!scReadTlv(data, len, &pos, &t) || t.tag != 0x99 || t.length != 2) return SC_E_SM_MAC_INVALID;
    status = t;
    macStart = pos;
    if (!scReadTlv(data, len, &pos, &t) || t.tag != 0x8E || t.length != 8 || pos != len) return SC_E_SM_MAC_INVALID;
    mac = t;
    uint8_t expect[8];
    const SCRESULT r = Mac(std::vector<uint8_t>(data, data + macStart), expect);
    if (r < 0) return r;
    if (!scSmEqual(expect, mac.value, 8)) return SC_E_SM_MAC_INVALID;

    // Verified: the status word of 99 is the command's.
    const uint16_t innerSw = static_cast<uint16_t>((status.value[0] << 8) | status.value[1]);
    std::vector<uint8_t> plain;
    if (haveCrypto) {
        const uint8_t* c = crypto.value;
        size_t cl = crypto.length;
        if (crypto.tag == 0x87) {
            if (cl < 1 || c[0] != 0x01) return SC_E_INVALID_DATA_FORMAT;
            ++c;
            --cl;
        }
        if (cl == 0 || cl % 8) return SC_E_INVALID_DATA_FORMAT;
        size_t kl = 0;
        const uint8_t* kenc = GetSessionKey(K_ENC, &kl);
        if (kenc == nullptr || kl != 16) return SC_E_SM_NOT_ESTABLISHED;
        plain.resize(cl);
        const SCRESULT d = scSmTdesCbc(kenc, nullptr, false, c, cl, plain.data());
        size_t n = 0;
        if (d < 0 || !scSmUnpad(plain.data(), plain.size(), &n)) {
            scSmWipe(plain);
            return d < 0 ? d : SC_E_INVALID_DATA_FORMAT;
        }
        // Wipe the padding before cutting it off.
        scSmWipe(plain.data() + n, plain.size() - n);
        plain.resize(n);
    }
    (void)sw;  // the outer status word is not protected; 99 holds the command's
    out->swap(plain);
    *outSw = innerSw;
    return SC_OK;
}

// ---------------------------------------------------------------------------
// Key agreement

namespace {

// Random octets of the operating system behind the library's generator interface.
class SystemRbg : public QvRbg {
public:
    void init(const QvOctet*, unsigned int) override {}
    void reinit(const QvOctet*, unsigned int) override {}
    void uninit() override {}
    void fillOctets(QvOctet* dst, unsigned int dstLen) override {
        if (scSmRandom(dst, dstLen) < 0) throw std::runtime_error("no random octets");
    }
    unsigned int getMinSeedOctets() const override { return 0; }
    unsigned int getMaxSeedOctets() const override { return 0; }
    unsigned int getSeedStepOctets() const override { return 1; }
    const char* getName() const override { return "system"; }
};

QvN Number(const std::vector<uint8_t>& v) { return QvN(v.data(), static_cast<unsigned>(v.size()), 0); }

bool IsMask(const QvN& m, unsigned* bits) {
    const unsigned b = m.getBitLength();
    for (unsigned i = 0; i < b; ++i)
        if (!m.getBit(i)) return false;
    *bits = b;
    return true;
}

template <typename Fn>
SCRESULT Guard(Fn fn) {
    try {
        return fn();
    } catch (const std::bad_alloc&) {
        return SC_E_NO_MEMORY;
    } catch (...) {
        return SC_E_CRYPT_ERROR;
    }
}

}  // namespace

struct SCSmDhAgreement::State {
    size_t pLen = 0;
    bool hasQ = false;
    unsigned privateBits = 0;
    // X9.42 form: the library's domain, keys and secret.
    QvDhGFpKeyDomain domain;
    QvDhGFpPublicKey own;
    QvDhGFpPrivateKey priv;
    // PKCS #3 form: the arithmetic directly.
    std::unique_ptr<QvModulus> p;
    QvN g;
    QvN x;
    bool generated = false;
};

SCSmDhAgreement::SCSmDhAgreement() : m(new State) {}

SCSmDhAgreement::~SCSmDhAgreement() {
    if (m) {
        m->x = QvWord(0);
        m->priv.setX(QvN());
    }
}

SCRESULT SCSmDhAgreement::SetGroup(const SCSmKeySet& keySet) {
    return Guard([&]() -> SCRESULT {
        const QvN p = Number(keySet.keys[0]);
        const QvN second = Number(keySet.keys[1]);
        const QvN g = Number(keySet.keys[2]);
        if (p.getBitLength() < 512 || p.isEven() || g <= QvWord(1) || !(g < p - 1u)) return SC_E_INVALID_KEY;
        m->pLen = p.getOctetLength();
        m->generated = false;
        const QvModulus pm(p, QvModulus::OPT_MONTGOMERY);
        unsigned bits = 0;
        if (!second.isZero() && second < p && ((p - 1u) % second).isZero()) {
            // X9.42: g generates the subgroup of order q.
            QvZn t(g, &pm);
            t ^= second;
            if (!(t == 1u) || second.getBitLength() <= 64) return SC_E_INVALID_KEY;
            m->domain.setP(keySet.keys[0].data(), static_cast<unsigned>(keySet.keys[0].size()));
            m->domain.setQ(keySet.keys[1].data(), static_cast<unsigned>(keySet.keys[1].size()));
            m->domain.setG(keySet.keys[2].data(), static_cast<unsigned>(keySet.keys[2].size()));
            if (!m->domain.isComplete()) return SC_E_INVALID_KEY;
            m->hasQ = true;
            return SC_OK;
        }
        if (IsMask(second, &bits) && bits >= 64 && bits < p.getBitLength()) {
            m->p.reset(new QvModulus(p, QvModulus::OPT_MONTGOMERY));
            m->g = g;
            m->privateBits = bits;
            m->hasQ = false;
            return SC_OK;
        }
        return SC_E_INVALID_KEY;
    });
}

SCRESULT SCSmDhAgreement::Generate(std::vector<uint8_t>* publicValue) {
    if (publicValue == nullptr || m->pLen == 0) return SC_E_BAD_PARAMS;
    return Guard([&]() -> SCRESULT {
        SystemRbg rbg;
        QvN y;
        if (m->hasQ) {
            generateKeyPair(m->own, m->priv, &m->domain, &rbg);
            y = m->own.getY();
        } else {
            // A private value of exactly the given length.
            m->x.setRandom(m->privateBits - 1, &rbg);
            QvN top(1, 1);
            top <<= m->privateBits - 1;
            m->x += top;
            QvZn t(m->g, m->p.get());
            t ^= m->x;
            y = t.asQvN();
        }
        publicValue->assign(m->pLen, 0);
        y.asOctetString(publicValue->data(), static_cast<unsigned>(m->pLen), true);
        m->generated = true;
        return SC_OK;
    });
}

SCRESULT SCSmDhAgreement::Agree(const uint8_t* peer, size_t len, std::vector<uint8_t>* secret) {
    if (peer == nullptr || secret == nullptr || !m->generated) return SC_E_BAD_PARAMS;
    if (len == 0 || len > m->pLen) return SC_E_INVALID_KEY;
    return Guard([&]() -> SCRESULT {
        std::vector<uint8_t> z(m->pLen, 0);
        // 0, 1 and p - 1 (and anything outside the field) give a secret anybody knows.
        const QvN y(peer, static_cast<unsigned>(len), 0);
        const QvN& p = m->hasQ ? static_cast<const QvN&>(m->domain.getP()) : static_cast<const QvN&>(*m->p);
        if (y <= QvWord(1) || !(y + 1u < p)) return SC_E_INVALID_KEY;
        if (m->hasQ) {
            QvDhGFpPublicKey other;
            other.setDomain(&m->domain);
            other.setY(peer, static_cast<unsigned>(len));
            if (!other.isValid()) return SC_E_INVALID_KEY;
            QvDhGFpSecret dh;
            dh.setPrivateKey(&m->priv);
            dh.setPublicKey(&other);
            dh.generateSecret();
            const unsigned n = dh.getSecretOctets();
            if (n == 0 || n > m->pLen) return SC_E_CRYPT_ERROR;
            dh.getSecret(z.data() + (m->pLen - n), n);
        } else {
            QvZn t(y, m->p.get());
            t ^= m->x;
            QvN zn = t.asQvN();
            zn.asOctetString(z.data(), static_cast<unsigned>(m->pLen), true);
            zn = QvWord(0);
        }
        secret->swap(z);
        scSmWipe(z);
        return SC_OK;
    });
}
