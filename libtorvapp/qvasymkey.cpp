#include "libtorvapp/qvasymkey.h"

#include <cstring>
#include <memory>
#include <vector>

#include "libtorvapp/qvnumbers/qvzn.h"

namespace {

// Big-endian octets to a number through a buffer that is wiped when released.
QvN fromOctets(const QvOctet *oct, unsigned int len) {
    if (oct == nullptr || len == 0) return QvN();
    return QvN(QvWordMem(oct, len, true));
}

unsigned int toOctets(const QvN &v, QvOctet *oct, unsigned int len) {
    if (oct == nullptr) return 0;
    return v.asOctetString(oct, len, false);
}

unsigned int bitsOf(const QvN &v) { return v.isZero() ? 0 : v.getBitLength(); }

#define QV_TEXT(cls, reason, func, file) \
    "LIBRARY: libtorvapp\nEXCEPTION: " cls "\nREASON: " reason "\nFUNCTION: " func "\nFILE: " file "\nLINE: 0\n"

void appendOctal(QvConvASCII &out, const QvN &v) {
    const unsigned int n = v.getWordCount();
    std::vector<char> text(32u * n / 3u + 3u, '\0');
    longvToOctal(text.data(), v.getWords(), n);
    out += text.data();
    std::memset(text.data(), 0, text.size());
}

}  // namespace

QvAsymKey::~QvAsymKey() = default;
QvPublicKey::~QvPublicKey() = default;
QvPrivateKey::~QvPrivateKey() = default;

// ---------------------------------------------------------------------------
// RSA public key
// ---------------------------------------------------------------------------

QvRsaPublicKey::QvRsaPublicKey() = default;

QvRsaPublicKey::QvRsaPublicKey(const QvN &nv, const QvN &ev) : e(ev) { installN(nv); }

QvRsaPublicKey::~QvRsaPublicKey() = default;

void QvRsaPublicKey::installN(const QvN &v) {
    // Montgomery reduction needs an odd modulus, and an RSA modulus is odd.
    if (v.isZero())
        qvThrow<QvDivByZeroException>(QV_TEXT("QvDivByZeroException", "RSA modulus is zero.",
                                              "void QvRsaPublicKey::setN(const QvN &n)", "qvrsapublickey"));
    if (v.isEven())
        qvThrow<QvArgumentRangeException>(QV_TEXT("QvArgumentRangeException", "RSA modulus is even.",
                                                  "void QvRsaPublicKey::setN(const QvN &n)", "qvrsapublickey"));
    n = QvModulus(v, QvModulus::OPT_MONTGOMERY);
}

unsigned int QvRsaPublicKey::getKeyBits() const { return bitsOf(n); }
bool QvRsaPublicKey::isReady() const { return !n.isZero() && !e.isZero(); }
unsigned int QvRsaPublicKey::getN(QvOctet *oct, unsigned int len) const { return toOctets(n, oct, len); }
unsigned int QvRsaPublicKey::getE(QvOctet *oct, unsigned int len) const { return toOctets(e, oct, len); }
void QvRsaPublicKey::setN(const char *text) { installN(QvN(text)); }
void QvRsaPublicKey::setN(const QvOctet *oct, unsigned int len) { installN(fromOctets(oct, len)); }
void QvRsaPublicKey::setE(const char *text) { e = QvN(text); }
void QvRsaPublicKey::setE(const QvOctet *oct, unsigned int len) { e = fromOctets(oct, len); }

// ---------------------------------------------------------------------------
// RSA private key
// ---------------------------------------------------------------------------

QvRsaPrivateKey::QvRsaPrivateKey() = default;

QvRsaPrivateKey::QvRsaPrivateKey(const QvN &nv, const QvN &dv) : d(dv) { installModulus(nv); }

QvRsaPrivateKey::QvRsaPrivateKey(const QvN &nv, const QvN &dv, const QvN &pv) : d(dv) {
    installModulus(nv);
    const QvN qv = nv / pv;
    installPrime(p, pv);
    installPrime(q, qv);
    const QvN pm1 = pv - 1u;
    const QvN qm1 = qv - 1u;
    const QvN phi = pm1 * qm1;
    const QvModulus phiM(phi, 0);
    const QvZn dz(dv % phi, &phiM);
    e = (1u / dz).asQvN();
    dp = dv % pm1;
    dq = dv % qm1;
    const QvZn qz(qv % pv, &p);
    qInv = (1u / qz).asQvN();
    n.setFactors(p, q, qInv);
}

QvRsaPrivateKey::~QvRsaPrivateKey() = default;

void QvRsaPrivateKey::installModulus(const QvN &v) {
    if (v.isZero())
        qvThrow<QvDivByZeroException>(QV_TEXT("QvDivByZeroException", "RSA modulus is zero.",
                                              "void QvRsaPrivateKey::setModulus(const QvN &n)", "qvrsaprivatekey"));
    if (v.isEven())
        qvThrow<QvArgumentRangeException>(QV_TEXT("QvArgumentRangeException", "RSA modulus is even.",
                                                  "void QvRsaPrivateKey::setModulus(const QvN &n)",
                                                  "qvrsaprivatekey"));
    n = QvModulus(v, QvModulus::OPT_MONTGOMERY);
}

void QvRsaPrivateKey::installPrime(QvModulus &target, const QvN &v) { target = QvModulus(v, 9); }

unsigned int QvRsaPrivateKey::getKeyBits() const { return bitsOf(n); }
bool QvRsaPrivateKey::isPublicPartReady() const { return !n.isZero() && !e.isZero(); }
bool QvRsaPrivateKey::isPrivatePartReady() const { return !n.isZero() && !d.isZero(); }

void QvRsaPrivateKey::precompute() {
    if (p.isZero() || q.isZero() || qInv.isZero()) return;
    n.setFactors(p, q, qInv);
}

void QvRsaPrivateKey::setVersion(const char *text) { version = QvN(text); }
void QvRsaPrivateKey::setVersion(const QvOctet *oct, unsigned int len) { version = fromOctets(oct, len); }
void QvRsaPrivateKey::setModulus(const char *text) { installModulus(QvN(text)); }
void QvRsaPrivateKey::setModulus(const QvOctet *oct, unsigned int len) { installModulus(fromOctets(oct, len)); }
void QvRsaPrivateKey::setPublicExponent(const char *text) { e = QvN(text); }
void QvRsaPrivateKey::setPublicExponent(const QvOctet *oct, unsigned int len) { e = fromOctets(oct, len); }
void QvRsaPrivateKey::setPrivateExponent(const char *text) { d = QvN(text); }
void QvRsaPrivateKey::setPrivateExponent(const QvOctet *oct, unsigned int len) { d = fromOctets(oct, len); }
void QvRsaPrivateKey::setPrime1(const char *text) { installPrime(p, QvN(text)); }
void QvRsaPrivateKey::setPrime1(const QvOctet *oct, unsigned int len) { installPrime(p, fromOctets(oct, len)); }
void QvRsaPrivateKey::setPrime2(const char *text) { installPrime(q, QvN(text)); }
void QvRsaPrivateKey::setPrime2(const QvOctet *oct, unsigned int len) { installPrime(q, fromOctets(oct, len)); }
void QvRsaPrivateKey::setExponent1(const char *text) { dp = QvN(text); }
void QvRsaPrivateKey::setExponent1(const QvOctet *oct, unsigned int len) { dp = fromOctets(oct, len); }
void QvRsaPrivateKey::setExponent2(const char *text) { dq = QvN(text); }
void QvRsaPrivateKey::setExponent2(const QvOctet *oct, unsigned int len) { dq = fromOctets(oct, len); }
void QvRsaPrivateKey::setCoefficient(const char *text) { qInv = QvN(text); }
void QvRsaPrivateKey::setCoefficient(const QvOctet *oct, unsigned int len) { qInv = fromOctets(oct, len); }

unsigned int QvRsaPrivateKey::getVersion(QvOctet *oct, unsigned int len) const { return toOctets(version, oct, len); }
unsigned int QvRsaPrivateKey::getModulus(QvOctet *oct, unsigned int len) const { return toOctets(n, oct, len); }
unsigned int QvRsaPrivateKey::getPublicExponent(QvOctet *oct, unsigned int len) const {
    return toOctets(e, oct, len);
}
unsigned int QvRsaPrivateKey::getPrivateExponent(QvOctet *oct, unsigned int len) const {
    return toOctets(d, oct, len);
}
unsigned int QvRsaPrivateKey::getPrime1(QvOctet *oct, unsigned int len) const { return toOctets(p, oct, len); }
unsigned int QvRsaPrivateKey::getPrime2(QvOctet *oct, unsigned int len) const { return toOctets(q, oct, len); }
unsigned int QvRsaPrivateKey::getExponent1(QvOctet *oct, unsigned int len) const { return toOctets(dp, oct, len); }
unsigned int QvRsaPrivateKey::getExponent2(QvOctet *oct, unsigned int len) const { return toOctets(dq, oct, len); }
unsigned int QvRsaPrivateKey::getCoefficient(QvOctet *oct, unsigned int len) const {
    return toOctets(qInv, oct, len);
}

QvConvASCII &QvRsaPrivateKey::dump(QvConvASCII &out) const {
    out = "";
    const struct {
        const char *label;
        const QvN *value;
    } rows[] = {{"-- version --\n", &version},          {"-- modulus --\n", &n},
                {"-- publicExponent --\n", &e},         {"-- privateExponent --\n", &d},
                {"-- prime1 --\n", &p},                 {"-- prime2 --\n", &q},
                {"-- exponent1 --\n", &dp},             {"-- exponent2 --\n", &dq},
                {"-- coefficient --\n", &qInv}};
    for (const auto &r : rows) {
        out += r.label;
        appendOctal(out, *r.value);
        out += "\n\n";
    }
    return out;
}

// ---------------------------------------------------------------------------
// Keys over GF(p)
// ---------------------------------------------------------------------------

namespace {

const QvGFpKeyDomain &needDomain(const QvGFpKeyDomain *d, const char *text) {
    if (d == nullptr) qvThrow<QvNotInitException>(text);
    return *d;
}

unsigned int gfpBits(const QvGFpKeyDomain *d, bool ofP) {
    if (d == nullptr) return 0;
    return ofP ? bitsOf(d->getP()) : bitsOf(d->getQ());
}

}  // namespace

QvGFpPublicKey::QvGFpPublicKey() : domain(nullptr) {}
QvGFpPublicKey::~QvGFpPublicKey() { domain = nullptr; }

unsigned int QvGFpPublicKey::getKeyBits() const { return gfpBits(domain, true); }

bool QvGFpPublicKey::isReady() const { return !y.isZero() && domain != nullptr && domain->isComplete(); }

bool QvGFpPublicKey::isValid() const {
    if (!isReady())
        qvThrow<QvNotInitException>(QV_TEXT("QvNotInitException", "Public key is not properly initialised.",
                                            "bool QvGFpPublicKey::isValid() const", "qvgfppublickey"));
    const QvModulus &pm = domain->getP();
    if (y < 2u || y + 1u > pm || y == domain->getG()) return false;
    const QvZn yz(y, &pm);
    return (yz ^ static_cast<const QvN &>(domain->getQ())) == 1u;
}

void QvGFpPublicKey::setY(const char *text) { y = QvN(text); }
void QvGFpPublicKey::setY(const QvOctet *oct, unsigned int len) { y = fromOctets(oct, len); }
unsigned int QvGFpPublicKey::getY(QvOctet *oct, unsigned int len) const { return toOctets(y, oct, len); }

const QvMultiplicativeModulusGroup &QvGFpPublicKey::getP() const {
    return needDomain(domain, QV_TEXT("QvNotInitException", "Uninitialised domain.",
                                      "const QvMultiplicativeModulusGroup& QvGFpPublicKey::getP() const",
                                      "qvgfppublickey"))
        .getP();
}
unsigned int QvGFpPublicKey::getP(QvOctet *oct, unsigned int len) const {
    return needDomain(domain, QV_TEXT("QvNotInitException", "Uninitialised domain.",
                                      "unsigned int QvGFpPublicKey::getP(QvOctet *oct, unsigned int len) const",
                                      "qvgfppublickey"))
        .getP(oct, len);
}
const QvModulus &QvGFpPublicKey::getQ() const {
    return needDomain(domain, QV_TEXT("QvNotInitException", "QV-ACCESS: Uninitialised domain.",
                                      "const QvModulus& QvGFpPublicKey::getQ() const", "qvgfppublickey"))
        .getQ();
}
unsigned int QvGFpPublicKey::getQ(QvOctet *oct, unsigned int len) const {
    return needDomain(domain, QV_TEXT("QvNotInitException", "Uninitialised domain.",
                                      "unsigned int QvGFpPublicKey::getQ(QvOctet *oct, unsigned int len) const",
                                      "qvgfppublickey"))
        .getQ(oct, len);
}
QvN QvGFpPublicKey::getG() const {
    return needDomain(domain, QV_TEXT("QvNotInitException", "Uninitialised domain.", "QvN QvGFpPublicKey::getG() const",
                                      "qvgfppublickey"))
        .getG();
}
unsigned int QvGFpPublicKey::getG(QvOctet *oct, unsigned int len) const {
    return needDomain(domain, QV_TEXT("QvNotInitException", "Uninitialised domain.",
                                      "unsigned int QvGFpPublicKey::getG(QvOctet *oct, unsigned int len) const",
                                      "qvgfppublickey"))
        .getG(oct, len);
}

QvDsaPublicKey::QvDsaPublicKey() = default;
QvDsaPublicKey::~QvDsaPublicKey() = default;
QvDhGFpPublicKey::QvDhGFpPublicKey() = default;
QvDhGFpPublicKey::~QvDhGFpPublicKey() = default;

QvGFpPrivateKey::QvGFpPrivateKey() : domain(nullptr) {}
QvGFpPrivateKey::~QvGFpPrivateKey() { domain = nullptr; }

unsigned int QvGFpPrivateKey::getKeyBits() const { return gfpBits(domain, false); }
unsigned int QvGFpPrivateKey::getPublicKeyBits() const { return gfpBits(domain, true); }
bool QvGFpPrivateKey::isPublicPartReady() const { return !y.isZero() && domain != nullptr && domain->isComplete(); }
bool QvGFpPrivateKey::isPrivatePartReady() const {
    return !x.isZero() && domain != nullptr && domain->isComplete();
}

void QvGFpPrivateKey::setX(const char *text) { x = QvN(text); }
void QvGFpPrivateKey::setX(const QvOctet *oct, unsigned int len) { x = fromOctets(oct, len); }
void QvGFpPrivateKey::setY(const char *text) { y = QvN(text); }
void QvGFpPrivateKey::setY(const QvOctet *oct, unsigned int len) { y = fromOctets(oct, len); }
unsigned int QvGFpPrivateKey::getX(QvOctet *oct, unsigned int len) const { return toOctets(x, oct, len); }
unsigned int QvGFpPrivateKey::getY(QvOctet *oct, unsigned int len) const { return toOctets(y, oct, len); }

const QvMultiplicativeModulusGroup &QvGFpPrivateKey::getP() const {
    return needDomain(domain, QV_TEXT("QvNotInitException", "Uninitialised domain.",
                                      "const QvMultiplicativeModulusGroup& QvGFpPrivateKey::getP() const",
                                      "qvgfpprivatekey"))
        .getP();
}
unsigned int QvGFpPrivateKey::getP(QvOctet *oct, unsigned int len) const {
    return needDomain(domain, QV_TEXT("QvNotInitException", "Uninitialised domain.",
                                      "unsigned int QvGFpPrivateKey::getP(QvOctet *oct, unsigned int len) const",
                                      "qvgfpprivatekey"))
        .getP(oct, len);
}
const QvModulus &QvGFpPrivateKey::getQ() const {
    return needDomain(domain, QV_TEXT("QvNotInitException", "Uninitialised domain.",
                                      "const QvModulus& QvGFpPrivateKey::getQ() const", "qvgfpprivatekey"))
        .getQ();
}
unsigned int QvGFpPrivateKey::getQ(QvOctet *oct, unsigned int len) const {
    return needDomain(domain, QV_TEXT("QvNotInitException", "Uninitialised domain.",
                                      "unsigned int QvGFpPrivateKey::getQ(QvOctet *oct, unsigned int len) const",
                                      "qvgfpprivatekey"))
        .getQ(oct, len);
}
QvN QvGFpPrivateKey::getG() const {
    return needDomain(domain, QV_TEXT("QvNotInitException", "Uninitialised domain.",
                                      "QvN QvGFpPrivateKey::getG() const", "qvgfpprivatekey"))
        .getG();
}
unsigned int QvGFpPrivateKey::getG(QvOctet *oct, unsigned int len) const {
    return needDomain(domain, QV_TEXT("QvNotInitException", "Uninitialised domain.",
                                      "unsigned int QvGFpPrivateKey::getG(QvOctet *oct, unsigned int len) const",
                                      "qvgfpprivatekey"))
        .getG(oct, len);
}

QvDsaPrivateKey::QvDsaPrivateKey() = default;
QvDsaPrivateKey::~QvDsaPrivateKey() = default;
QvDhGFpPrivateKey::QvDhGFpPrivateKey() = default;
QvDhGFpPrivateKey::~QvDhGFpPrivateKey() = default;

// ---------------------------------------------------------------------------
// Keys over any group
// ---------------------------------------------------------------------------

namespace {

// H decoded from octets (or copied) by the domain's group; any old element is
// released first, so a failure leaves the key without one.
void replaceElement(QvGroupElem *&h, const QvGeneralDsaKeyDomain *domain, const QvOctet *oct, unsigned int len,
                    const QvGroupElem *from, bool fromOctets, const char *noDomain, const char *noGroup) {
    if (domain == nullptr) qvThrow<QvNotInitException>(noDomain);
    const QvGroup *g = domain->getGroup();
    if (g == nullptr) qvThrow<QvNotInitException>(noGroup);
    delete h;
    h = nullptr;
    if (fromOctets && oct == nullptr)
        qvThrow<QvArgumentRangeException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\nREASON: Null octet string.\n"
            "FUNCTION: void setH(const QvOctet *oct, unsigned int len)\nFILE: qvgeneraldsakey\nLINE: 0\n");
    h = fromOctets ? g->createNew(oct, len) : g->newElement(from);
}

QvGroupElem *copyElement(const QvGeneralDsaKeyDomain *domain, const QvGroupElem *h) {
    if (h == nullptr || domain == nullptr || domain->getGroup() == nullptr) return nullptr;
    return domain->getGroup()->newElement(h);
}

unsigned int encodedBits(const QvGeneralDsaKeyDomain *domain, const QvGroupElem *h, const char *noGroup) {
    if (domain == nullptr || domain->getGroup() == nullptr) qvThrow<QvNotInitException>(noGroup);
    if (h == nullptr) return 0;
    return 8u * domain->getGroup()->getOctetStringEncodingLen(h);
}

unsigned int encodeElement(const QvGeneralDsaKeyDomain *domain, const QvGroupElem *h, QvOctet *oct, unsigned int len,
                           const char *noDomain, const char *noGroup) {
    if (domain == nullptr) qvThrow<QvNotInitException>(noDomain);
    if (domain->getGroup() == nullptr || h == nullptr) qvThrow<QvNotInitException>(noGroup);
    const QvGroup *g = domain->getGroup();
    if (oct == nullptr || len < g->getOctetStringEncodingLen(h)) return 0;
    return g->asOctetString(h, oct, len);
}

}  // namespace

QvGeneralDsaPublicKey::QvGeneralDsaPublicKey() : domain(nullptr), h(nullptr) {}

QvGeneralDsaPublicKey::QvGeneralDsaPublicKey(const QvGeneralDsaPublicKey &other)
    : QvPublicKey(other), domain(other.domain), h(copyElement(other.domain, other.h)) {}

QvGeneralDsaPublicKey &QvGeneralDsaPublicKey::operator=(const QvGeneralDsaPublicKey &other) {
    if (this == &other) return *this;
    QvGroupElem *c = copyElement(other.domain, other.h);
    delete h;
    h = c;
    domain = other.domain;
    return *this;
}

QvGeneralDsaPublicKey::~QvGeneralDsaPublicKey() {
    domain = nullptr;
    delete h;
}

unsigned int QvGeneralDsaPublicKey::getKeyBits() const {
    return encodedBits(domain, h,
                       QV_TEXT("QvNotInitException", "Uninitialised group.",
                               "virtual unsigned int QvGeneralDsaPublicKey::getKeyBits() const",
                               "qvgeneraldsapublickey"));
}

bool QvGeneralDsaPublicKey::isReady() const { return domain != nullptr && domain->isComplete() && h != nullptr; }

bool QvGeneralDsaPublicKey::isValid() const {
    if (!isReady())
        qvThrow<QvNotInitException>(QV_TEXT("QvNotInitException", "Public key is not properly initialised.",
                                            "bool QvGeneralDsaPublicKey::isValid() const",
                                            "qvgeneraldsapublickey"));
    const QvGroup *g = domain->getGroup();
    std::unique_ptr<QvGroupElem> e(g->newElement(nullptr));
    if (g->equals(h, e.get())) return false;
    std::unique_ptr<QvGroupElem> t(g->product(domain->getOrder(), h));
    return g->equals(t.get(), e.get());
}

unsigned int QvGeneralDsaPublicKey::get(QvOctet *oct, unsigned int len) const {
    return encodeElement(domain, h, oct, len,
                         QV_TEXT("QvNotInitException", "Uninitialised domain.",
                                 "unsigned int QvGeneralDsaPublicKey::get(QvOctet *oct, unsigned int len) const",
                                 "qvgeneraldsapublickey"),
                         QV_TEXT("QvNotInitException", "Uninitialised group or public key.",
                                 "unsigned int QvGeneralDsaPublicKey::get(QvOctet *oct, unsigned int len) const",
                                 "qvgeneraldsapublickey"));
}

void QvGeneralDsaPublicKey::setH(const QvOctet *oct, unsigned int len) {
    replaceElement(h, domain, oct, len, nullptr, true,
                   QV_TEXT("QvNotInitException", "Uninitialised domain.",
                           "void QvGeneralDsaPublicKey::setH(const QvOctet *oct, unsigned int len)",
                           "qvgeneraldsapublickey"),
                   QV_TEXT("QvNotInitException", "Uninitialised group.",
                           "void QvGeneralDsaPublicKey::setH(const QvOctet *oct, unsigned int len)",
                           "qvgeneraldsapublickey"));
}

void QvGeneralDsaPublicKey::setH(const QvGroupElem *keyH) {
    replaceElement(h, domain, nullptr, 0, keyH, false,
                   QV_TEXT("QvNotInitException", "Uninitialised domain.",
                           "void QvGeneralDsaPublicKey::setH(const QvGroupElem *keyH)", "qvgeneraldsapublickey"),
                   QV_TEXT("QvNotInitException", "Uninitialised group.",
                           "void QvGeneralDsaPublicKey::setH(const QvGroupElem *keyH)", "qvgeneraldsapublickey"));
}

QvGeneralDsaPrivateKey::QvGeneralDsaPrivateKey() : domain(nullptr), h(nullptr) {}

QvGeneralDsaPrivateKey::QvGeneralDsaPrivateKey(const QvGeneralDsaPrivateKey &other)
    : QvPrivateKey(other), domain(other.domain), x(other.x), h(copyElement(other.domain, other.h)) {}

QvGeneralDsaPrivateKey &QvGeneralDsaPrivateKey::operator=(const QvGeneralDsaPrivateKey &other) {
    if (this == &other) return *this;
    QvGroupElem *c = copyElement(other.domain, other.h);
    delete h;
    h = c;
    x = other.x;
    domain = other.domain;
    return *this;
}

QvGeneralDsaPrivateKey::~QvGeneralDsaPrivateKey() {
    domain = nullptr;
    delete h;
}

unsigned int QvGeneralDsaPrivateKey::getKeyBits() const {
    if (domain == nullptr) return 0;
    return bitsOf(domain->getOrder());
}

unsigned int QvGeneralDsaPrivateKey::getPublicKeyBits() const {
    return encodedBits(domain, h,
                       QV_TEXT("QvNotInitException", "Uninitialised group.",
                               "virtual unsigned int QvGeneralDsaPrivateKey::getPublicKeyBits() const",
                               "qvgeneraldsaprivatekey"));
}

bool QvGeneralDsaPrivateKey::isPrivatePartReady() const {
    return !x.isZero() && domain != nullptr && domain->isComplete();
}

unsigned int QvGeneralDsaPrivateKey::getX(QvOctet *oct, unsigned int len) const { return toOctets(x, oct, len); }

void QvGeneralDsaPrivateKey::set(const QvOctet *oct, unsigned int len) { x = fromOctets(oct, len); }

unsigned int QvGeneralDsaPrivateKey::get(QvOctet *oct, unsigned int len) const {
    return encodeElement(domain, h, oct, len,
                         QV_TEXT("QvNotInitException", "Uninitialised domain.",
                                 "unsigned int QvGeneralDsaPrivateKey::get(QvOctet *oct, unsigned int len) const",
                                 "qvgeneraldsaprivatekey"),
                         QV_TEXT("QvNotInitException", "Uninitialised group or public key.",
                                 "unsigned int QvGeneralDsaPrivateKey::get(QvOctet *oct, unsigned int len) const",
                                 "qvgeneraldsaprivatekey"));
}

void QvGeneralDsaPrivateKey::setH(const QvOctet *oct, unsigned int len) {
    replaceElement(h, domain, oct, len, nullptr, true,
                   QV_TEXT("QvNotInitException", "Uninitialised domain.",
                           "void QvGeneralDsaPrivateKey::setH(const QvOctet *oct, unsigned int len)",
                           "qvgeneraldsaprivatekey"),
                   QV_TEXT("QvNotInitException", "Uninitialised group.",
                           "void QvGeneralDsaPrivateKey::setH(const QvOctet *oct, unsigned int len)",
                           "qvgeneraldsaprivatekey"));
}

void QvGeneralDsaPrivateKey::setH(const QvGroupElem *keyH) {
    replaceElement(h, domain, nullptr, 0, keyH, false,
                   QV_TEXT("QvNotInitException", "Uninitialised domain.",
                           "void QvGeneralDsaPrivateKey::setH(const QvGroupElem *keyH)", "qvgeneraldsaprivatekey"),
                   QV_TEXT("QvNotInitException", "Uninitialised group.",
                           "void QvGeneralDsaPrivateKey::setH(const QvGroupElem *keyH)", "qvgeneraldsaprivatekey"));
}
